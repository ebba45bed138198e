// The message file as an event viewer uses it: loaded as a data file, each
// event's text formatted with the strings the agent reports.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rchostmsg.h"

namespace {

// What an event viewer shows for an event: FormatMessage over the module's
// message table with the event's strings as the argument array.
std::string Show(HMODULE m, DWORD id, std::vector<const char*> strings) {
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                         FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                     m, id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                     reinterpret_cast<char*>(&text), 0,
                                     reinterpret_cast<va_list*>(static_cast<void*>(strings.data())));
    std::string s = n && text ? std::string(text, n) : "(none, error " + std::to_string(::GetLastError()) + ")";
    ::LocalFree(text);
    return s;
}

TEST(RchostMessages, EveryEventShowsItsOwnTextWithItsStrings) {
    HMODULE m = ::LoadLibraryExA(RCHOSTMSG_DLL, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(m, nullptr) << ::GetLastError();
    struct Case {
        DWORD id;
        std::vector<const char*> strings;
        const char* expected;  // the first line of the text
    };
    const Case cases[] = {
        {RCHOST_AUDIT_REBOOT, {"[Unknown]", "[Unknown]"}, "Remote control: a console restarted this computer."},
        {RCHOST_AUDIT_START_CHAT, {"[Unknown]", "[Unknown]", "KCHAT32.EXE"},
         "Remote control: a console started the chat program KCHAT32.EXE."},
        {RCHOST_AUDIT_START_SLAVE, {"[Unknown]", "[Unknown]", "KSLAVE.EXE"},
         "Remote control: a console started the file transfer slave KSLAVE.EXE."},
        {RCHOST_AUDIT_START_PROGRAM, {"[Unknown]", "[Unknown]", "notepad.exe"},
         "Remote control: a console started the program notepad.exe."},
        {RCHOST_AUDIT_VIEWER_GONE, {"[Unknown]", "[Unknown]"},
         "Remote control: the viewer's connection ended (the viewer disconnected or the connection failed)."},
        {RCHOST_AUDIT_ALLOWED, {"[Unknown]", "[Unknown]", "transfer"},
         "Remote control: the user allowed a console's request (transfer)."},
        {RCHOST_AUDIT_ANSWERED, {"[Unknown]", "[Unknown]", "remote"},
         "Remote control: the user answered a console's request for permission (remote)."},
        {RCHOST_AUDIT_SESSION, {"[Unknown]", "[Unknown]"}, "Remote control: a console established a session."},
        {RCHOST_MSG_SERVICE, {"WinMainSetup failed"}, "Remote control agent: WinMainSetup failed"},
    };
    for (const Case& c : cases) {
        const std::string text = Show(m, c.id, c.strings);
        EXPECT_EQ(text.substr(0, text.find('\r')), c.expected) << "event " << c.id;
        if (c.id != RCHOST_MSG_SERVICE) {
            EXPECT_NE(text.find("User: [Unknown]\r\nDomain: [Unknown]"), std::string::npos) << text;
        }
    }
    // The service message is event 1 of its own source: the same low word
    // as the reboot audit event, but a text of its own.
    EXPECT_EQ(RCHOST_MSG_SERVICE & 0xFFFF, 1u);
    EXPECT_EQ(Show(m, 5, {}).rfind("(none", 0), 0u);
    ::FreeLibrary(m);
}

}  // namespace
