// The agent's logs: the debug log (debugger output, standard output and a
// capped file beside the program) and the event log (audit events in the
// Security log, service messages in the application log).
//
// A service's standard output goes nowhere, so administrators read the
// debug log from "rchost32.log" beside the program. The file is capped at
// kLogFileMax bytes: when a line would pass the cap, the file is renamed to
// "rchost32.log.old" (replacing the previous one) and a new file started, so
// at most twice the cap is ever kept on disk.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "agent/agent_win.h"
#include "rchostmsg.h"

namespace qv::agent {
namespace {

constexpr std::size_t kLineMax = 256;
constexpr DWORD kLogFileMax = 1024 * 1024;
constexpr const char* kAuditSource = "Brekon Rchost Agent";
constexpr const char* kServiceSource = "Rchost32";
constexpr const char* kAuditKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Security\\Brekon Rchost Agent";
constexpr DWORD kTypesSupported = 31;

struct LogFile {
    CRITICAL_SECTION lock;
    bool lock_ready = false;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD size = 0;
    std::string path;
} g_log;

HANDLE OpenForAppend(const std::string& path, DWORD* size) {
    HANDLE h = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    LARGE_INTEGER n{};
    *size = ::GetFileSizeEx(h, &n) && n.QuadPart < kLogFileMax ? static_cast<DWORD>(n.QuadPart) : kLogFileMax;
    return h;
}

void WriteToFile(const char* line, DWORD len) {
    if (!g_log.lock_ready) return;
    ::EnterCriticalSection(&g_log.lock);
    if (g_log.file != INVALID_HANDLE_VALUE) {
        if (g_log.size + len > kLogFileMax) {
            ::CloseHandle(g_log.file);
            const std::string old = g_log.path + ".old";
            ::MoveFileExA(g_log.path.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING);
            g_log.size = 0;
            g_log.file = OpenForAppend(g_log.path, &g_log.size);
        }
        DWORD written = 0;
        if (g_log.file != INVALID_HANDLE_VALUE && ::WriteFile(g_log.file, line, len, &written, nullptr))
            g_log.size += written;
    }
    ::LeaveCriticalSection(&g_log.lock);
}

void WriteLine(const char* text);

class WindowsEvents final : public AgentLog {
public:
    void Line(const char* text) override { WriteLine(text); }
    void Audit(int id, bool success, const char* insertion) override {
        HANDLE source = ::RegisterEventSourceA(nullptr, kAuditSource);
        if (!source) return;
        const char* strings[3] = {"[Unknown]", "[Unknown]", insertion};
        const WORD count = insertion ? 3 : 2;
        if (!g_report_event(source, success ? EVENTLOG_AUDIT_SUCCESS : EVENTLOG_AUDIT_FAILURE, 0,
                            static_cast<DWORD>(id), nullptr, count, 0, strings, nullptr))
            Log("ReportEvent failed: %d", static_cast<int>(::GetLastError()));
        ::DeregisterEventSource(source);
    }
    void ServiceMessage(const char* text) override {
        HANDLE source = ::RegisterEventSourceA(nullptr, kServiceSource);
        Log("Event source: %d, %d", static_cast<int>(reinterpret_cast<INT_PTR>(source)),
            static_cast<int>(::GetLastError()));
        if (!source) return;
        const char* strings[1] = {text};
        // The message file gives the service message its own full ID
        // (informational severity), so it does not meet audit event 1.
        if (!g_report_event(source, EVENTLOG_INFORMATION_TYPE, 0, RCHOST_MSG_SERVICE, nullptr, 1, 0, strings,
                            nullptr))
            Log("ReportEvent failed: %d", static_cast<int>(::GetLastError()));
        ::DeregisterEventSource(source);
    }
};

// A finished line (no newline) to the debugger, standard output and the file.
void WriteLine(const char* text) {
    char line[kLineMax + 3];
    int n = std::snprintf(line, kLineMax, "%s", text);
    if (n < 0) n = 0;
    if (n > static_cast<int>(kLineMax) - 1) n = kLineMax - 1;
    line[n] = '\n';
    line[n + 1] = 0;
    ::OutputDebugStringA(line);
    std::fputs(line, stdout);
    std::fflush(stdout);
    // The file gets Windows line ends.
    line[n] = '\r';
    line[n + 1] = '\n';
    WriteToFile(line, static_cast<DWORD>(n + 2));
}

}  // namespace

ReportEventFn g_report_event = ::ReportEventA;

void Log(const char* format, ...) {
    char line[kLineMax];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    WriteLine(line);
}

void OpenLogFile(const std::string& dir) {
    if (!g_log.lock_ready) {
        ::InitializeCriticalSection(&g_log.lock);
        g_log.lock_ready = true;
    }
    ::EnterCriticalSection(&g_log.lock);
    if (g_log.file == INVALID_HANDLE_VALUE) {
        g_log.path = dir + "\\rchost32.log";
        g_log.file = OpenForAppend(g_log.path, &g_log.size);
    }
    ::LeaveCriticalSection(&g_log.lock);
}

void CloseLogFile() {
    if (!g_log.lock_ready) return;
    ::EnterCriticalSection(&g_log.lock);
    if (g_log.file != INVALID_HANDLE_VALUE) ::CloseHandle(g_log.file);
    g_log.file = INVALID_HANDLE_VALUE;
    ::LeaveCriticalSection(&g_log.lock);
}

AgentLog& Events() {
    static WindowsEvents events;
    return events;
}

void RegisterAuditSource(const std::string& program_dir) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAuditKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        ::RegCloseKey(key);
        return;
    }
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAuditKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                          &key, nullptr) != ERROR_SUCCESS) {
        Log("Unable to create key");
        return;
    }
    const std::string file = program_dir + "\\rchostmsg.dll";
    if (::RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                         static_cast<DWORD>(file.size() + 1)) != ERROR_SUCCESS) {
        Log("Could not set event message file");
    } else {
        DWORD types = kTypesSupported;
        if (::RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                             sizeof types) != ERROR_SUCCESS)
            Log("Could not set supported types");
    }
    ::RegCloseKey(key);
}

}  // namespace qv::agent
