// Network identity scans, Win32 half.
//
// Addresses. The IPX address is found the way an IPX client finds its own
// address without asking a server: open a datagram socket on any dynamic
// socket number, broadcast "SPAM" to that very socket number on the local
// network, and read the sender's address off the datagram that comes back.
// A short-lived receiver thread waits in recvfrom; the main thread sends up
// to three times, a second apart. Closing the socket ends the receiver. A
// machine without IPX fails at socket() and the query ends at once. The IP
// address is the first address of the host name.
//
// Directory login. The four directory-services client libraries are loaded
// by name at run time only (the program must start on machines without
// them) and used only when every function of a library is found; the call
// sequence itself is in dirlogin.cpp. Connection libraries are released
// last, after the name libraries.
//
// Every failed query only suppresses its own items; nothing is reported.
#include "scanner/netid/netid_win.h"

#include <winsock2.h>
#include <windows.h>
#include <lm.h>
#include <winnetwk.h>
#include <wsipx.h>
#include <wsnwlink.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "common/win/handles.h"
#include "scanner/hardware/hwtext.h"
#include "scanner/hardware/registry_reader_win.h"
#include "scanner/mif/mif.h"
#include "scanner/netid/dirlogin.h"

namespace qv::scanner {
namespace {

using qv::win::KernelHandle;
using qv::win::Module;

NetAddressState g_addresses;

constexpr int kIpxSends = 3;
constexpr DWORD kIpxAnswerWaitMs = 1000;
constexpr DWORD kReceiverEndWaitMs = 2000;
constexpr int kIpxReceiveSize = 50;
constexpr int kIpxPacketType = 4;
constexpr char kProbe[] = "SPAM";  // sent with its terminating zero
constexpr DWORD kComputerNameSize = 256;
constexpr DWORD kAccountTextSize = 256;
constexpr DWORD kTokenBufferSize = 1000;
constexpr int kFullNameSize = 256;
constexpr DWORD kDriveStringsSize = 256;
constexpr DWORD kUniversalNameSize = 512;
constexpr DWORD kNetUserSize = 48;
constexpr DWORD kRegisteredOwnerSize = 256;
const char* const kCurrentVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// WinSock 1.1 for the length of one query.
class WinsockScope {
public:
    WinsockScope() {
        WSADATA data;
        ok_ = ::WSAStartup(MAKEWORD(1, 1), &data) == 0;
    }
    ~WinsockScope() {
        if (ok_) ::WSACleanup();
    }
    WinsockScope(const WinsockScope&) = delete;
    WinsockScope& operator=(const WinsockScope&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

// Shared by the IPX query and its receiver thread. It lives on the heap so
// that a receiver which does not end in time never touches freed memory.
struct IpxProbe {
    SOCKET socket = INVALID_SOCKET;
    HANDLE answered = nullptr;
    SOCKADDR_IPX sender{};
};

DWORD WINAPI IpxReceiver(LPVOID arg) {
    IpxProbe* probe = static_cast<IpxProbe*>(arg);
    for (;;) {
        char buffer[kIpxReceiveSize];
        SOCKADDR_IPX from{};
        int from_len = sizeof from;
        int n = ::recvfrom(probe->socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n == SOCKET_ERROR) return 0;
        if (n >= 4 && std::memcmp(buffer, kProbe, 4) == 0) {
            probe->sender = from;
            ::SetEvent(probe->answered);
            return 0;
        }
    }
}

template <typename T>
bool SetOption(SOCKET s, int level, int name, T value) {
    return ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

enum class ProbeResult { kFailed, kAnswered, kReceiverRunning };

ProbeResult RunIpxProbe(IpxProbe& probe) {
    probe.socket = ::socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX);
    if (probe.socket == INVALID_SOCKET) return ProbeResult::kFailed;
    SOCKADDR_IPX local{};
    local.sa_family = AF_IPX;
    if (::bind(probe.socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return ProbeResult::kFailed;
    int len = sizeof local;
    if (::getsockname(probe.socket, reinterpret_cast<sockaddr*>(&local), &len) != 0) return ProbeResult::kFailed;
    if (!SetOption<BOOL>(probe.socket, SOL_SOCKET, SO_BROADCAST, TRUE) ||
        !SetOption<int>(probe.socket, NSPROTO_IPX, IPX_PTYPE, kIpxPacketType) ||
        !SetOption<int>(probe.socket, NSPROTO_IPX, IPX_FILTERPTYPE, kIpxPacketType))
        return ProbeResult::kFailed;
    u_long blocking = 0;
    ::ioctlsocket(probe.socket, FIONBIO, &blocking);

    probe.answered = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!probe.answered) return ProbeResult::kFailed;
    KernelHandle thread(::CreateThread(nullptr, 0, IpxReceiver, &probe, 0, nullptr));
    if (!thread) return ProbeResult::kFailed;

    SOCKADDR_IPX to{};
    to.sa_family = AF_IPX;
    std::memset(to.sa_nodenum, 0xFF, sizeof to.sa_nodenum);
    to.sa_socket = local.sa_socket;
    bool answered = false;
    for (int i = 0; i < kIpxSends && !answered; ++i) {
        ::sendto(probe.socket, kProbe, sizeof kProbe, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        answered = ::WaitForSingleObject(probe.answered, kIpxAnswerWaitMs) == WAIT_OBJECT_0;
    }
    // Closing the socket ends a receiver still waiting in recvfrom.
    ::closesocket(probe.socket);
    probe.socket = INVALID_SOCKET;
    if (::WaitForSingleObject(thread.get(), kReceiverEndWaitMs) != WAIT_OBJECT_0) return ProbeResult::kReceiverRunning;
    return answered ? ProbeResult::kAnswered : ProbeResult::kFailed;
}

}  // namespace

bool IpxSelfAddress(std::string& network, std::string& node) {
    WinsockScope winsock;
    if (!winsock.ok()) return false;
    auto probe = std::make_unique<IpxProbe>();
    ProbeResult result = RunIpxProbe(*probe);
    if (result == ProbeResult::kReceiverRunning) {
        // A receiver that did not end still uses the probe: leave it be.
        probe.release();
        return false;
    }
    if (probe->socket != INVALID_SOCKET) ::closesocket(probe->socket);
    if (probe->answered) ::CloseHandle(probe->answered);
    if (result != ProbeResult::kAnswered) return false;
    std::uint8_t net[4], nd[6];
    std::memcpy(net, probe->sender.sa_netnum, sizeof net);
    std::memcpy(nd, probe->sender.sa_nodenum, sizeof nd);
    const std::string address = FormatIpxAddress(net, nd);
    return SplitIpxAddress(address, network, node);
}

bool IpAddressQuery(std::string& ip_address, std::string& host_name) {
    WinsockScope winsock;
    if (!winsock.ok()) return false;
    {
        qv::win::Socket test(::socket(AF_INET, SOCK_DGRAM, 0));
        if (!test) return false;
        sockaddr_in any{};
        any.sin_family = AF_INET;
        if (::bind(test.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return false;
    }
    char name[kHostNameSize] = {};
    if (::gethostname(name, sizeof name) != 0) return false;
    name[sizeof name - 1] = '\0';
    hostent* host = ::gethostbyname(name);
    if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list || !host->h_addr_list[0])
        return false;
    std::uint8_t bytes[4];
    std::memcpy(bytes, host->h_addr_list[0], 4);
    ip_address = FormatDottedIp(bytes);
    host_name = name;
    return true;
}

void ResetNetAddresses() { g_addresses = NetAddressState{}; }
const NetAddressState& NetAddresses() { return g_addresses; }

void DetermineNetworkAddresses(bool server_ipx_in_use, const std::string& server_local_ipx) {
    NetAddressState& a = g_addresses;
    std::string network, node;
    if (server_ipx_in_use) {
        // The link's own socket already holds this machine's address.
        a.ipx_address = server_local_ipx.empty() ? std::string(kIpxAddressInUseFallback) : server_local_ipx;
        if (!SplitIpxAddress(a.ipx_address, network, node)) node = a.ipx_address;
        a.nic_address = node;
        a.ipx_known = a.nic_known = true;
    } else if (IpxSelfAddress(network, node)) {
        a.ipx_address = network + ":" + node;
        a.nic_address = node;
        a.ipx_known = a.nic_known = true;
    }
    std::string ip, host;
    if (IpAddressQuery(ip, host)) {
        a.ip_address = ip;
        a.ip_known = true;
        if (!host.empty()) a.host_name = host;
    }
}

void ScanIdentity(HardwareSink& sink, const std::string& device_id, const std::string& device_file_path) {
    IdentityFacts facts;
    facts.device_id = device_id;
    SERVER_INFO_101* info = nullptr;
    if (::NetServerGetInfo(nullptr, 101, reinterpret_cast<LPBYTE*>(&info)) == NERR_Success && info) {
        facts.server_info_read = true;
        facts.server_type = info->sv101_type;
    }
    if (info) ::NetApiBufferFree(info);
    char name[kComputerNameSize] = {};
    DWORD size = sizeof name;
    if (::GetComputerNameA(name, &size)) facts.computer_name = name;

    if (std::FILE* f = std::fopen(device_file_path.c_str(), "r")) {
        facts.device_file_opened = true;
        const std::string address_label = sink.Label(kStrAddress);
        const std::string description_label = sink.Label(kStrMachineDescription);
        char line[kDescriptionLineSize];
        while (facts.description.empty() && std::fgets(line, sizeof line, f))
            facts.description = DescriptionFromLine(line, address_label, description_label);
        std::fclose(f);
        ::SetFileAttributesA(device_file_path.c_str(), FILE_ATTRIBUTE_HIDDEN);
    }
    WriteIdentityItems(sink, facts, g_addresses);
}

bool ProcessAccount(std::string& name, std::string& domain) {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_READ, &raw)) return false;
    KernelHandle token(raw);
    // DWORD-aligned, as the SID inside must be.
    DWORD buffer[kTokenBufferSize / sizeof(DWORD)];
    DWORD needed = 0;
    if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &needed)) return false;
    const TOKEN_USER* user = reinterpret_cast<const TOKEN_USER*>(buffer);
    char account[kAccountTextSize] = {}, dom[kAccountTextSize] = {};
    DWORD account_size = sizeof account, dom_size = sizeof dom;
    SID_NAME_USE use;
    if (!::LookupAccountSidA(nullptr, user->User.Sid, account, &account_size, dom, &dom_size, &use)) return false;
    name = account;
    domain = dom;
    return true;
}

namespace {

DirLibraryLoader g_loader = nullptr;

HMODULE LoadDirLibrary(const char* name) { return g_loader ? g_loader(name) : ::LoadLibraryA(name); }

template <typename Fn>
void Find(HMODULE module, const char* name, Fn& fn) {
    fn = module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name))) : nullptr;
}

// The client libraries of one login-name lookup.
class WinDirServices : public DirServices {
public:
    WinDirServices() : conn_(LoadDirLibrary("DXCONN32.DLL")), calls_(LoadDirLibrary("DXCALL32.DLL")) {
        if (!conn_ || !calls_) return;
        Find(conn_.get(), "DxCCGetPrimConnRef", c_.get_prim_conn_ref);
        Find(conn_.get(), "DxCCGetAllConnRefInfo", c_.get_all_conn_ref_info);
        Find(conn_.get(), "DxCCOpenConnByRef", c_.open_conn_by_ref);
        Find(conn_.get(), "DxCCScanConnRefs", c_.scan_conn_refs);
        Find(calls_.get(), "DxGetConnectionInformation", c_.get_connection_information);
        Find(calls_.get(), "DxCallsInit", c_.calls_init);
        Find(calls_.get(), "DxGetConnectionStatus", c_.get_connection_status);
    }
    ~WinDirServices() override {
        ReleaseNameLibraries();
        conn_.reset();
        calls_.reset();
    }
    const DxConnectionFns* Connection() override { return c_.complete() ? &c_ : nullptr; }
    const DxLocaleFns* Locale() override {
        if (!loc_) loc_.reset(LoadDirLibrary("DXLOC32.DLL"));
        Find(loc_.get(), "DxLlocaleconv", l_.llocaleconv);
        Find(loc_.get(), "DxInitUnicodeTables", l_.init_unicode_tables);
        Find(loc_.get(), "DxFreeUnicodeTables", l_.free_unicode_tables);
        return l_.complete() ? &l_ : nullptr;
    }
    const DxNetFns* Net() override {
        if (!net_) net_.reset(LoadDirLibrary("DXNET32.DLL"));
        Find(net_.get(), "DxDSCreateContext", n_.create_context);
        Find(net_.get(), "DxDSGetContext", n_.get_context);
        Find(net_.get(), "DxDSFreeContext", n_.free_context);
        return n_.complete() ? &n_ : nullptr;
    }
    void ReleaseNameLibraries() override {
        l_ = DxLocaleFns{};
        n_ = DxNetFns{};
        loc_.reset();
        net_.reset();
    }

private:
    Module conn_, calls_, loc_, net_;
    DxConnectionFns c_;
    DxLocaleFns l_;
    DxNetFns n_;
};

// The account's full name from its domain's controller; false when any
// step fails.
bool FullName(const std::string& account, const std::string& domain, std::string& full_name) {
    wchar_t waccount[kAccountTextSize], wdomain[kAccountTextSize];
    if (!::MultiByteToWideChar(CP_ACP, 0, account.c_str(), -1, waccount, kAccountTextSize) ||
        !::MultiByteToWideChar(CP_ACP, 0, domain.c_str(), -1, wdomain, kAccountTextSize))
        return false;
    LPBYTE dc = nullptr;
    if (::NetGetDCName(nullptr, wdomain, &dc) != NERR_Success || !dc) {
        if (dc) ::NetApiBufferFree(dc);
        return false;
    }
    USER_INFO_2* user = nullptr;
    NET_API_STATUS st = ::NetUserGetInfo(reinterpret_cast<LPCWSTR>(dc), waccount, 2, reinterpret_cast<LPBYTE*>(&user));
    ::NetApiBufferFree(dc);
    bool ok = false;
    if (st == NERR_Success && user) {
        char text[kFullNameSize] = {};
        const wchar_t* w = user->usri2_full_name ? user->usri2_full_name : L"";
        ok = ::WideCharToMultiByte(CP_ACP, 0, w, -1, text, sizeof text, nullptr, nullptr) != 0 || !*w;
        text[sizeof text - 1] = '\0';
        full_name = text;
    }
    if (user) ::NetApiBufferFree(user);
    return ok;
}

}  // namespace

void SetDirLibraryLoader(DirLibraryLoader loader) { g_loader = loader; }

std::string LoginNameFor(const std::string& account_name) {
    WinDirServices ds;
    return DirectoryLoginName(ds, account_name);
}

void ScanUser(HardwareSink& sink) {
    std::string account, domain;
    const bool have_account = ProcessAccount(account, domain);
    const std::string login = LoginNameFor(account);
    std::string full_name;
    const bool full = have_account && FullName(account, domain, full_name);
    WriteUserItems(sink, login, domain, full, full_name);
}

void ScanConnections() {
    char roots[kDriveStringsSize] = {};
    DWORD n = ::GetLogicalDriveStringsA(sizeof roots - 1, roots);
    if (n == 0 || n >= sizeof roots) return;
    std::vector<std::string> names;
    for (const char* root = roots; *root && names.size() < kMaxConnections; root += std::strlen(root) + 1) {
        if (::GetDriveTypeA(root) != DRIVE_REMOTE) continue;
        DWORD buffer[kUniversalNameSize / sizeof(DWORD)];
        DWORD size = sizeof buffer;
        if (::WNetGetUniversalNameA(root, UNIVERSAL_NAME_INFO_LEVEL, buffer, &size) != NO_ERROR) continue;
        const UNIVERSAL_NAME_INFOA* info = reinterpret_cast<const UNIVERSAL_NAME_INFOA*>(buffer);
        if (info->lpUniversalName) names.emplace_back(info->lpUniversalName);
    }
    for (const std::string& row : ConnectionRows(names)) MifAddTableRow(kMifClassConnections, row.c_str());
}

void ScanIpxLan(HardwareSink& sink) {
    const std::string address_name = sink.Label(kStrMifAddress);
    const std::string login_name = sink.Label(kStrMifLoginName);
    const std::string full_name = sink.Label(kStrMifFullName);
    std::string network, node;
    if (IpxSelfAddress(network, node)) {
        std::string address = network + ":" + node;
        MifAddAttribute(kMifClassIpxLan, address_name.c_str(), nullptr, "STRING(32)", address.c_str());
    }
    char user[kNetUserSize] = {};
    DWORD size = sizeof user;
    if (::WNetGetUserA(nullptr, user, &size) != NO_ERROR) return;
    user[sizeof user - 1] = '\0';
    MifAddAttribute(kMifClassIpxLan, login_name.c_str(), nullptr, "STRING(48)", MifEscape(user).c_str());
    RegistryReader reg;
    char owner[kRegisteredOwnerSize] = {};
    if (reg.OpenAndRead(kCurrentVersionKey, "RegisteredOwner", owner, sizeof owner))
        MifAddAttribute(kMifClassIpxLan, full_name.c_str(), nullptr, "STRING(128)", MifEscape(owner).c_str());
}

}  // namespace qv::scanner
