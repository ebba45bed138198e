// boxpress: finds a message box and presses one of its buttons, as the
// user at the machine would; for the end-to-end tests.
//
//   boxpress [--service] [--caption TEXT] [--text PART] [--wait S] BUTTON
//
// BUTTON is yes, no, ok or cancel. The box is a visible top-level dialog of class
// "#32770" whose caption is TEXT (any when not given) and whose message
// contains PART. With --service the box is looked for on the desktop of
// the services ("Default" of the window station "__wineservice_winstation",
// where a service's boxes appear), otherwise on this program's own desktop.
// Waits up to S seconds (default 15) for the box; prints "caption TEXT",
// "text LINE" per line of the message, "button ID LABEL" per button, then
// presses the button and prints "pressed BUTTON" and "closed" once the box
// is gone (within 5 s). Lines end in a plain "\n".
//
// Exit status 0 when the box was pressed and closed, 1 when no such box
// came, it has no such button or it stayed, 2 for a usage error or a
// desktop that cannot be entered.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/e2e/win/msgbox_win.h"

namespace {

int Usage(const char* problem) {
    std::fprintf(stderr, "boxpress: %s\nusage: boxpress [--service] [--caption TEXT] [--text PART] [--wait S] "
                         "yes|no|ok|cancel\n", problem);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Plain "\n" line ends, whatever reads the output (Linux tests, mostly).
    _setmode(_fileno(stdout), _O_BINARY);
    bool service = false;
    std::string caption, text, button;
    int wait_s = 15;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--help") {
            std::printf("usage: boxpress [--service] [--caption TEXT] [--text PART] [--wait S] yes|no|ok|cancel\n");
            return 0;
        } else if (a == "--service") {
            service = true;
        } else if (a == "--caption" && has_value) {
            caption = argv[++i];
        } else if (a == "--text" && has_value) {
            text = argv[++i];
        } else if (a == "--wait" && has_value) {
            wait_s = std::atoi(argv[++i]);
            if (wait_s < 0 || wait_s > 3600) return Usage("--wait needs seconds from 0 to 3600");
        } else if (button.empty() && a.size() && a[0] != '-') {
            button = a;
        } else {
            return Usage(("unknown argument " + a).c_str());
        }
    }
    const int id = button == "yes" ? IDYES : button == "no" ? IDNO : button == "ok" ? IDOK
                 : button == "cancel" ? IDCANCEL : 0;
    if (!id) return Usage("name the button: yes, no, ok or cancel");
    if (service) {
        DWORD error = 0;
        if (!qv::e2e::EnterDesktop("__wineservice_winstation", "Default", &error)) {
            std::fprintf(stderr, "boxpress: cannot enter the services' desktop (error %lu)\n",
                         static_cast<unsigned long>(error));
            return 2;
        }
    }
    HWND box = qv::e2e::FindBox(caption, text, wait_s * 1000);
    if (!box) {
        std::printf("no box\n");
        return 1;
    }
    const qv::e2e::BoxInfo info = qv::e2e::DescribeBox(box);
    qv::e2e::PrintBox(info);
    bool has = false;
    for (const auto& b : info.buttons) has = has || b.first == id;
    if (!has) {
        std::printf("no button %s\n", button.c_str());
        return 1;
    }
    std::printf("pressed %s\n", button.c_str());
    std::fflush(stdout);
    if (!qv::e2e::PressAndWaitClosed(box, id, 5000)) {
        std::printf("box stays\n");
        return 1;
    }
    std::printf("closed\n");
    return 0;
}
