// Message boxes of other programs, found and pressed from outside, as a
// user would: for the end-to-end tests' helpers (boxpress, kslave_peek).
//
// A box is a visible top-level dialog of class "#32770" on the calling
// thread's desktop. Its texts are read as wide text: Wine hands the texts of another
// process's windows over in that form, whatever form the caller asks for.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace qv::e2e {

struct BoxInfo {
    std::string caption;
    std::string text;  // the message (the box's static texts, one per line)
    std::vector<std::pair<int, std::string>> buttons;  // control ID, label
};

// Waits up to wait_ms for a box whose caption is `caption` (any caption when
// empty) and whose message contains `text_part` (any when empty).
HWND FindBox(const std::string& caption, const std::string& text_part, int wait_ms);
BoxInfo DescribeBox(HWND box);
// Prints "caption TEXT", "text TEXT" per message line and "button ID TEXT"
// per button to standard output.
void PrintBox(const BoxInfo& info);
// Presses the button `id` as the button itself does (WM_COMMAND with
// BN_CLICKED) and waits up to wait_ms for the box to go away.
bool PressAndWaitClosed(HWND box, int id, int wait_ms);

// Makes the calling thread work on the desktop `desktop` of the window
// station `station` (e.g. the services' "__wineservice_winstation" and
// "Default"), so that FindBox sees that desktop's boxes. Must be called
// before the thread has created any window. False, with the Windows error in
// *error, when the station or the desktop cannot be opened or entered.
bool EnterDesktop(const char* station, const char* desktop, DWORD* error);

}  // namespace qv::e2e
