// Message boxes found and pressed from outside; see msgbox_win.h.
#include "tests/e2e/win/msgbox_win.h"

#include <cstdio>

namespace qv::e2e {
namespace {

std::string TextOf(HWND w) {
    wchar_t wide[4096] = {};
    ::GetWindowTextW(w, wide, static_cast<int>(sizeof wide / sizeof wide[0]));
    char text[8192 + 1] = {};
    ::WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text - 1, nullptr, nullptr);
    return text;
}

BOOL CALLBACK AddControl(HWND w, LPARAM arg) {
    BoxInfo* info = reinterpret_cast<BoxInfo*>(arg);
    char cls[64] = {};
    ::GetClassNameA(w, cls, sizeof cls);
    const std::string text = TextOf(w);
    if (lstrcmpiA(cls, "Static") == 0 && !text.empty()) info->text += (info->text.empty() ? "" : "\n") + text;
    if (lstrcmpiA(cls, "Button") == 0) info->buttons.emplace_back(::GetDlgCtrlID(w), text);
    return TRUE;
}

struct Search {
    const std::string* caption;
    const std::string* text_part;
    HWND found = nullptr;
};

BOOL CALLBACK Consider(HWND w, LPARAM arg) {
    Search* s = reinterpret_cast<Search*>(arg);
    char cls[64] = {};
    ::GetClassNameA(w, cls, sizeof cls);
    // Hidden dialogs (a program's own hidden status window) are no boxes.
    if (lstrcmpA(cls, "#32770") != 0 || !::IsWindowVisible(w)) return TRUE;
    if (!s->caption->empty() && TextOf(w) != *s->caption) return TRUE;
    if (!s->text_part->empty() && DescribeBox(w).text.find(*s->text_part) == std::string::npos) return TRUE;
    s->found = w;
    return FALSE;
}

}  // namespace

HWND FindBox(const std::string& caption, const std::string& text_part, int wait_ms) {
    for (int waited = 0;; waited += 100) {
        Search s{&caption, &text_part};
        ::EnumDesktopWindows(::GetThreadDesktop(::GetCurrentThreadId()), Consider, reinterpret_cast<LPARAM>(&s));
        if (s.found) return s.found;
        if (waited >= wait_ms) return nullptr;
        ::Sleep(100);
    }
}

BoxInfo DescribeBox(HWND box) {
    BoxInfo info;
    info.caption = TextOf(box);
    ::EnumChildWindows(box, AddControl, reinterpret_cast<LPARAM>(&info));
    return info;
}

void PrintBox(const BoxInfo& info) {
    std::printf("caption %s\n", info.caption.c_str());
    std::size_t at = 0;
    while (at <= info.text.size() && !info.text.empty()) {
        const std::size_t nl = info.text.find('\n', at);
        std::printf("text %s\n", info.text.substr(at, nl == std::string::npos ? std::string::npos : nl - at).c_str());
        if (nl == std::string::npos) break;
        at = nl + 1;
    }
    for (const auto& b : info.buttons) std::printf("button %d %s\n", b.first, b.second.c_str());
    std::fflush(stdout);
}

bool PressAndWaitClosed(HWND box, int id, int wait_ms) {
    ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, id)));
    for (int waited = 0; waited <= wait_ms; waited += 100) {
        if (!::IsWindow(box)) return true;
        ::Sleep(100);
    }
    return false;
}

bool EnterDesktop(const char* station, const char* desktop, DWORD* error) {
    HWINSTA ws = ::OpenWindowStationA(station, FALSE, GENERIC_ALL);
    if (!ws || !::SetProcessWindowStation(ws)) {
        *error = ::GetLastError();
        return false;
    }
    HDESK desk = ::OpenDesktopA(desktop, 0, FALSE, GENERIC_ALL);
    if (!desk || !::SetThreadDesktop(desk)) {
        *error = ::GetLastError();
        return false;
    }
    // Both stay open for the life of the process: the thread works on them.
    return true;
}

}  // namespace qv::e2e
