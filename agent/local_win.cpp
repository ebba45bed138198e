// rchost32.exe: the agent's links to the local machine - the settings pipe
// (PipeThread), the registry watch that restarts the agent (ParmThread),
// the settings files, the consent prompt, program starts and the reboot.
//
// The pipe serves local programs only: its access list lets everyone on
// this machine in but refuses logons from the network, and where the
// system knows the flag the pipe also rejects remote clients outright, so
// no other machine can rewrite the user's permission settings.
//
// The registry key is opened in its 32-bit view in both builds: the agent
// is a 32-bit program, and install.cmd writes "CommandLine" there.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "agent/agent_win.h"
#include "agent/settings.h"

namespace qv::agent {
namespace {

constexpr const char* kAgentKey = "SOFTWARE\\Brekon\\Fieldhaven\\QVWM\\Rchost32";
constexpr const char* kPipeName = "\\\\.\\pipe\\RCHOST Agent";
constexpr const char* kPromptCaption = "Brekon Remote Control Agent";
constexpr DWORD kPipeTimeoutMs = 10000;
constexpr DWORD kSightValueBytes = 20;
constexpr DWORD kComputerNameCapacity = 40;
constexpr REGSAM kAgentKeyView = KEY_WOW64_32KEY;
#ifndef PIPE_REJECT_REMOTE_CLIENTS
constexpr DWORD PIPE_REJECT_REMOTE_CLIENTS = 0x00000008;
#endif

// --- the consent prompt and program starts ---

char g_prompt_text[kPromptTextBytes];
HANDLE g_prompt_thread = nullptr;
HANDLE g_last_program = nullptr;

DWORD WINAPI PermissionPromptThread(LPVOID) {
    const int answer = ::MessageBoxA(nullptr, g_prompt_text, kPromptCaption,
                                     MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND | MB_TOPMOST);
    g_agent.security.AnswerPrompt(answer == IDYES, Events());
    return 0;
}

class AgentHost final : public VerifyHost {
public:
    SystemInfo Info() override {
        SystemInfo info;
        const DWORD v = ::GetVersion();
        info.os_version_known = true;
        info.os_version = static_cast<uint16_t>(((v & 0xFF) << 8) | ((v >> 8) & 0xFF));
        info.keyboard_type = static_cast<uint16_t>(::GetKeyboardType(0));
        info.keyboard_subtype = static_cast<uint16_t>(::GetKeyboardType(1));
        info.ansi_code_page = static_cast<uint16_t>(::GetACP());
        info.protocol = g_agent.protocol;
        info.viewer_active = ViewerActive();
        return info;
    }
    void ShowCheckOut(const char* text) override { ShowCheckOutBox(text); }

    void StartPromptThread(const PromptRequest& request) override {
        if (g_prompt_thread) {
            ::WaitForSingleObject(g_prompt_thread, INFINITE);
            ::CloseHandle(g_prompt_thread);
            g_prompt_thread = nullptr;
        }
        std::snprintf(g_prompt_text, sizeof g_prompt_text, "%s", request.text.c_str());
        g_prompt_thread = ::CreateThread(nullptr, 0, PermissionPromptThread, nullptr, 0, nullptr);
        if (!g_prompt_thread) g_agent.security.AnswerPrompt(false, Events());
    }

    uint32_t StartProgram(const std::string& word, const std::string& rest) override {
        // The word may carry double quotes around a path with blanks.
        std::string file = word;
        if (file.size() >= 2 && file.front() == '"' && file.back() == '"') file = file.substr(1, file.size() - 2);
        char dir[MAX_PATH] = {};
        ::GetCurrentDirectoryA(sizeof dir, dir);
        char found[MAX_PATH] = {};
        const INT_PTR r = reinterpret_cast<INT_PTR>(::FindExecutableA(file.c_str(), dir, found));
        if (r <= 32) return r > 0 ? static_cast<uint32_t>(r) : ERROR_FILE_NOT_FOUND;
        std::string line;
        const bool blank = std::strchr(found, ' ') != nullptr;
        if (blank) line.push_back('"');
        line.append(found);
        if (blank) line.push_back('"');
        if (!rest.empty()) line += " " + rest;
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        std::string buffer = line;  // CreateProcessA may write into the command line
        if (!::CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                              nullptr, &si, &pi))
            return ::GetLastError();
        ::CloseHandle(pi.hThread);
        g_last_program = pi.hProcess;
        return 0;
    }

    void CloseLastProgram() override {
        if (g_last_program) ::CloseHandle(g_last_program);
        g_last_program = nullptr;
    }

    std::string PromptTemplate(int id) override {
        return LoadTextOr(static_cast<UINT>(id), "");
    }
};

class WindowsReboot final : public SystemReboot {
public:
    void Reboot() override { RestartMachine(::ExitWindowsEx); }
};

// --- the settings pipe ---

class WindowsPipeHost final : public PipeHost {
public:
    int Protocol() override { return g_agent.protocol; }
    std::string ComputerName() override {
        char name[kComputerNameCapacity] = {};
        DWORD size = sizeof name;
        if (!::GetComputerNameA(name, &size)) name[0] = 0;
        return name;
    }
    std::size_t LocalName(uint8_t* buffer, std::size_t capacity) override {
        const LinkHandle h = g_agent.verify_endpoint;
        int size = static_cast<int>(capacity);
        if (!h || !GetLocalName(h, buffer, &size)) return 0;
        return static_cast<std::size_t>(size);
    }
};

// Everyone on this machine may read and write the pipe; network logons are
// refused. The descriptor and its list live as long as the thread.
struct PipeSecurity {
    SECURITY_DESCRIPTOR sd;
    alignas(8) BYTE acl[256];
    SECURITY_ATTRIBUTES sa;
};

bool BuildPipeSecurity(PipeSecurity* ps) {
    if (!::InitializeSecurityDescriptor(&ps->sd, SECURITY_DESCRIPTOR_REVISION)) {
        Log("InitializeSecurityDescriptor failed: %d", static_cast<int>(::GetLastError()));
        return false;
    }
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID network = nullptr, everyone = nullptr;
    bool ok = ::AllocateAndInitializeSid(&nt, 1, SECURITY_NETWORK_RID, 0, 0, 0, 0, 0, 0, 0, &network) &&
              ::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    PACL acl = reinterpret_cast<PACL>(ps->acl);
    ok = ok && ::InitializeAcl(acl, sizeof ps->acl, ACL_REVISION) &&
         ::AddAccessDeniedAce(acl, ACL_REVISION, GENERIC_ALL, network) &&
         ::AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, everyone);
    if (network) ::FreeSid(network);
    if (everyone) ::FreeSid(everyone);
    if (!ok || !::SetSecurityDescriptorDacl(&ps->sd, TRUE, acl, FALSE)) {
        Log("SetSecurityDescriptorDacl failed: %d", static_cast<int>(::GetLastError()));
        return false;
    }
    ps->sa.nLength = sizeof ps->sa;
    ps->sa.lpSecurityDescriptor = &ps->sd;
    ps->sa.bInheritHandle = FALSE;
    return true;
}

HANDLE CreateAgentPipe(SECURITY_ATTRIBUTES* sa) {
    const DWORD mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
    HANDLE pipe = ::CreateNamedPipeA(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     mode | PIPE_REJECT_REMOTE_CLIENTS, 1, kPipeMessageBytes, kPipeMessageBytes,
                                     kPipeTimeoutMs, sa);
    // Systems older than the flag refuse it; the access list still keeps
    // network clients out there.
    if (pipe == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_INVALID_PARAMETER)
        pipe = ::CreateNamedPipeA(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, mode, 1, kPipeMessageBytes,
                                  kPipeMessageBytes, kPipeTimeoutMs, sa);
    return pipe;
}

// Reads one message; true with *n bytes (at most 68) when one arrived.
bool ReadMessage(HANDLE pipe, HANDLE event, uint8_t* buffer, DWORD* n) {
    OVERLAPPED ov{};
    ov.hEvent = event;
    ::ResetEvent(event);
    *n = 0;
    if (::ReadFile(pipe, buffer, kPipeMessageBytes, n, &ov)) return *n > 0;
    DWORD e = ::GetLastError();
    if (e == ERROR_IO_PENDING) {
        HANDLE events[2] = {event, g_agent.terminate_event};
        if (::WaitForMultipleObjects(2, events, FALSE, kPipeTimeoutMs) != WAIT_OBJECT_0) {
            ::CancelIo(pipe);
            ::GetOverlappedResult(pipe, &ov, n, TRUE);
            return false;
        }
        if (::GetOverlappedResult(pipe, &ov, n, FALSE)) return *n > 0;
        e = ::GetLastError();
    }
    // A longer message fills the buffer; the rest is dropped with the client.
    return e == ERROR_MORE_DATA && *n > 0;
}

void WriteMessage(HANDLE pipe, HANDLE event, const uint8_t* data, DWORD len) {
    OVERLAPPED ov{};
    ov.hEvent = event;
    ::ResetEvent(event);
    DWORD written = 0;
    if (!::WriteFile(pipe, data, len, &written, &ov)) {
        if (::GetLastError() != ERROR_IO_PENDING || !::GetOverlappedResult(pipe, &ov, &written, TRUE))
            Log("Write to pipe failed: %d", static_cast<int>(::GetLastError()));
    }
}

DWORD WINAPI PipeThread(LPVOID) {
    HANDLE event = ::CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (!event) return 0;
    static PipeSecurity security;
    if (!BuildPipeSecurity(&security)) {
        ::CloseHandle(event);
        return 0;
    }
    HANDLE pipe = CreateAgentPipe(&security.sa);
    if (pipe == INVALID_HANDLE_VALUE) {
        Log("CreatePipe returned %d", static_cast<int>(::GetLastError()));
        ::CloseHandle(event);
        return 0;
    }
    WindowsPipeHost host;
    while (::WaitForSingleObject(g_agent.terminate_event, 0) != WAIT_OBJECT_0) {
        OVERLAPPED ov{};
        ov.hEvent = event;
        if (::ConnectNamedPipe(pipe, &ov)) {
            Log("ConnectNamedPipe expected FALSE return!");
            break;
        }
        const DWORD e = ::GetLastError();
        if (e == ERROR_IO_PENDING) {
            HANDLE events[2] = {event, g_agent.terminate_event};
            const DWORD r = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
            if (r != WAIT_OBJECT_0) {
                Log("PipeThread: WaitForMultipleObjects returned %d", static_cast<int>(r));
                ::CancelIo(pipe);
                break;
            }
        } else if (e != ERROR_PIPE_CONNECTED) {
            Log("ConnectNamedPipe returned error %d", static_cast<int>(e));
            break;
        }
        uint8_t request[kPipeMessageBytes];
        DWORD n = 0;
        if (ReadMessage(pipe, event, request, &n)) {
            const PipeReply reply = BuildPipeReply(request, n, g_agent.security, host);
            if (reply.len) WriteMessage(pipe, event, reply.bytes.data(), static_cast<DWORD>(reply.len));
        }
        ::FlushFileBuffers(pipe);
        ::DisconnectNamedPipe(pipe);
    }
    ::CloseHandle(pipe);
    ::CloseHandle(event);
    return 0;
}

// --- the registry watch ---

DWORD WINAPI ParmThread(LPVOID) {
    HKEY key = nullptr;
    const LONG rc = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAgentKey, 0, KEY_ALL_ACCESS | kAgentKeyView, &key);
    if (rc != ERROR_SUCCESS) {
        Log("ParmThread cannot open key: %s return value %d", kAgentKey, static_cast<int>(rc));
        return 0;
    }
    HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
        Log("Unable to create event for parm thread: %d", static_cast<int>(::GetLastError()));
        ::RegCloseKey(key);
        return 0;
    }
    for (;;) {
        ::RegNotifyChangeKeyValue(key, FALSE,
                                  REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                                      REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY,
                                  event, TRUE);
        HANDLE events[2] = {event, g_agent.terminate_event};
        const DWORD r = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (r == WAIT_OBJECT_0) {
            g_agent.settings_changed = true;
            // While viewing, the ending changes thread closes the dialog.
            if (g_agent.view.readyToSend == SEND_NOTREADY) CloseMainWindow();
            ::ResetEvent(event);
            continue;
        }
        if (r != WAIT_OBJECT_0 + 1)
            Log("Unable to wait on event in parm thread: %d", static_cast<int>(::GetLastError()));
        break;
    }
    Log("Cleaning up in Parm Thread");
    ::CloseHandle(event);
    ::RegCloseKey(key);
    Log("Leaving Parm Thread");
    return 0;
}

}  // namespace

VerifyHost& Host() {
    static AgentHost host;
    return host;
}

SystemReboot& Rebooter() {
    static WindowsReboot reboot;
    return reboot;
}

void ReleasePrograms() {
    Host().CloseLastProgram();
    if (g_prompt_thread) ::CloseHandle(g_prompt_thread);
    g_prompt_thread = nullptr;
}

bool ReadCommandLine(char* buffer) {
    std::memset(buffer, 0, kCommandLineMax);
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAgentKey, 0, KEY_READ | kAgentKeyView, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD size = kCommandLineMax - 1;  // always room for the terminator
    const LONG rc = ::RegQueryValueExA(key, "CommandLine", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    ::RegCloseKey(key);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        std::memset(buffer, 0, kCommandLineMax);
        return false;
    }
    buffer[kCommandLineMax - 1] = 0;
    return true;
}

void LocateClientIni() {
    char dir[kPathBytes + 1] = {};
    const DWORD n = ::GetEnvironmentVariableA("SMS_LOCAL_DIR", dir, sizeof dir);
    char drive = 0;
    for (char letter = 'A'; letter <= 'Z' && !drive; ++letter) {
        const char root[] = {letter, ':', '\\', 0};
        if (::GetDriveTypeA(root) == DRIVE_FIXED) drive = letter;
    }
    g_agent.client_ini = agent::LocateClientIni(n > 0 && n < sizeof dir ? dir : nullptr, drive);
}

void ReadSecuritySettings() {
    const std::string path = g_agent.client_ini;
    const SightFlags flags = ReadSightSettings([&path](const char* key, const char* default_value) {
        char value[kSightValueBytes] = {};
        if (path.empty()) return std::string(default_value);
        ::GetPrivateProfileStringA("Sight", key, default_value, value, sizeof value, path.c_str());
        return std::string(value);
    });
    g_agent.security.SetFlags(flags);
}

void ReadAgentIni() {
    char value[kSightValueBytes] = {};
    ::GetPrivateProfileStringA("Misc", "Fix16ColorBitmaps", "", value, sizeof value, "RCHOST.INI");
    g_agent.fix16_colour_bitmaps = Fix16ColorBitmaps(value);
}

bool StartPipeThread() {
    g_agent.pipe_thread = ::CreateThread(nullptr, 0, PipeThread, nullptr, 0, nullptr);
    return g_agent.pipe_thread != nullptr;
}

bool StartParmThread() {
    g_agent.parm_thread = ::CreateThread(nullptr, 0, ParmThread, nullptr, 0, nullptr);
    return g_agent.parm_thread != nullptr;
}

}  // namespace qv::agent
