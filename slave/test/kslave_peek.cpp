// kslave_peek: a small window program for the end-to-end tests that looks at
// a running KSLAVE from outside, as a user or the system would.
//
//   kslave_peek list        prints the status list: "count N", "top T",
//                           "visible V", then one "line TEXT" per entry
//   kslave_peek endsession  sends WM_ENDSESSION (TRUE), as at log-off
//   kslave_peek close       sends WM_SYSCOMMAND SC_CLOSE, as the system menu
//   kslave_peek box CAPTION waits up to 15 s for a message box (a top-level
//                           dialog of class "#32770") with that caption,
//                           prints "caption TEXT", "text TEXT" for its
//                           message and "button ID TEXT" for each button,
//                           then presses OK (WM_COMMAND IDOK, as the OK
//                           button sends it) and waits up to 5 s for the
//                           box to go away ("closed")
//
// Exit status 0, or 1 when no slave window (or no such box, or a box that
// stays) is found.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/e2e/win/msgbox_win.h"

namespace {

constexpr int kIdList = 201;

HWND FindSlave() {
    for (int i = 0; i < 50; ++i) {
        if (HWND w = ::FindWindowA("#32770", "File Transfer Slave")) return w;
        ::Sleep(100);
    }
    return nullptr;
}

int PressBox(const char* caption) {
    HWND box = qv::e2e::FindBox(caption, "", 15000);
    if (!box) {
        std::printf("no box\n");
        return 1;
    }
    qv::e2e::PrintBox(qv::e2e::DescribeBox(box));
    if (!qv::e2e::PressAndWaitClosed(box, IDOK, 5000)) {
        std::printf("box stays\n");
        return 1;
    }
    std::printf("closed\n");
    return 0;
}

int PrintList(HWND dlg) {
    HWND list = ::GetDlgItem(dlg, kIdList);
    if (!list) return 1;
    LRESULT count = ::SendMessageA(list, LB_GETCOUNT, 0, 0);
    LRESULT top = ::SendMessageA(list, LB_GETTOPINDEX, 0, 0);
    LRESULT height = ::SendMessageA(list, LB_GETITEMHEIGHT, 0, 0);
    RECT rc{};
    ::GetClientRect(list, &rc);
    std::printf("count %ld\ntop %ld\nvisible %ld\n", static_cast<long>(count), static_cast<long>(top),
                height > 0 ? static_cast<long>((rc.bottom - rc.top) / height) : 0L);
    // Read as wide text: Wine hands list box text of another process over
    // in that form, whatever form the caller asks for.
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT len = ::SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        if (len < 0 || len > 4096) continue;
        std::wstring wide(static_cast<std::size_t>(len) * 2 + 2, L'\0');
        ::SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wide.data()));
        char text[8192 + 1] = {};
        ::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, text, sizeof text - 1, nullptr, nullptr);
        std::printf("line %s\n", text);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "list";
    if (what == "box") return PressBox(argc > 2 ? argv[2] : "");
    HWND dlg = FindSlave();
    if (!dlg) {
        std::printf("no slave window\n");
        return 1;
    }
    if (what == "endsession") {
        ::SendMessageA(dlg, WM_ENDSESSION, TRUE, 0);
        return 0;
    }
    if (what == "close") {
        ::SendMessageA(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
        return 0;
    }
    return PrintList(dlg);
}
