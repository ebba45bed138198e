#include "common/win/sitekey_win.h"

#include <aclapi.h>

#include <algorithm>
#include <cstdio>

#include "common/win/handles.h"

namespace qv::sitekey {

namespace {

// Rights that let a reader learn the key or a writer replace it (generic
// rights are mapped to these first).
constexpr ACCESS_MASK kReadOrChange = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER;

ACCESS_MASK FileRights(ACCESS_MASK m) {
    GENERIC_MAPPING map = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    ::MapGenericMask(&m, &map);
    return m;
}
constexpr DWORD kDomainUsersRid = 513;

struct Broad {
    WELL_KNOWN_SID_TYPE type;
    const char* name;
};
const Broad kBroad[] = {
    {WinWorldSid, "Everyone"},
    {WinAuthenticatedUserSid, "Authenticated Users"},
    {WinBuiltinUsersSid, "Users"},
    {WinInteractiveSid, "Interactive"},
    {WinBuiltinGuestsSid, "Guests"},
    {WinAnonymousSid, "Anonymous"},
    {WinNetworkSid, "Network"},
    {WinLocalSid, "Local"},
};
constexpr int kBroadCount = sizeof kBroad / sizeof kBroad[0];
constexpr int kDomainUsers = kBroadCount;  // index of "Domain Users" after the table

// The index of an ordinary users' group, or -1.
int BroadIndex(PSID sid) {
    for (int i = 0; i < kBroadCount; ++i)
        if (::IsWellKnownSid(sid, kBroad[i].type)) return i;
    // S-1-5-21-<domain>-513: the users of a domain.
    const SID_IDENTIFIER_AUTHORITY* auth = ::GetSidIdentifierAuthority(sid);
    const UCHAR n = *::GetSidSubAuthorityCount(sid);
    static const SID_IDENTIFIER_AUTHORITY kNt = SECURITY_NT_AUTHORITY;
    if (auth && std::equal(auth->Value, auth->Value + 6, kNt.Value) && n >= 2 &&
        *::GetSidSubAuthority(sid, 0) == SECURITY_NT_NON_UNIQUE && *::GetSidSubAuthority(sid, n - 1) == kDomainUsersRid)
        return kDomainUsers;
    return -1;
}

// The system's text for an error code, and the code.
std::string ErrorText(DWORD e) {
    char text[256] = {};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e, 0, text,
                               sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.'))
        text[--n] = 0;
    return (n ? std::string(text) + " " : std::string()) + "(error " + std::to_string(e) + ")";
}

const char* BroadName(int i) { return i == kDomainUsers ? "Domain Users" : kBroad[i].name; }

}  // namespace

bool DaclOpenToOthers(BOOL present, const ACL* dacl, std::string* who) {
    if (!present || !dacl) {
        *who = "Everyone: the file has no access list";
        return true;
    }
    ACCESS_MASK denied[kBroadCount + 1] = {};
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(const_cast<ACL*>(dacl), i, &ace)) break;
        const ACE_HEADER* h = static_cast<const ACE_HEADER*>(ace);
        if (h->AceFlags & INHERIT_ONLY_ACE) continue;  // for files made inside, not for this one
        if (h->AceType != ACCESS_ALLOWED_ACE_TYPE && h->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        const auto* a = static_cast<const ACCESS_ALLOWED_ACE*>(ace);  // same layout as a denied entry
        PSID sid = const_cast<DWORD*>(&a->SidStart);
        const int b = BroadIndex(sid);
        if (b < 0) continue;
        const ACCESS_MASK mask = FileRights(a->Mask);
        if (h->AceType == ACCESS_DENIED_ACE_TYPE) {
            denied[b] |= mask;
            continue;
        }
        // An earlier denial for Everyone takes the rights from every group.
        const ACCESS_MASK left = mask & ~denied[b] & ~denied[0];
        if (left & kReadOrChange) {
            *who = BroadName(b);
            return true;
        }
    }
    return false;
}

bool WinKeyFileAccess::Read(const std::string& path, std::size_t max_bytes, std::string* data, std::string* error) {
    win::UniqueHandle<win::FileHandleTraits> f(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) {
        *error = ErrorText(::GetLastError());
        return false;
    }
    data->assign(max_bytes + 1, '\0');
    std::size_t got = 0;
    while (got < data->size()) {
        DWORD n = 0;
        if (!::ReadFile(f.get(), data->data() + got, static_cast<DWORD>(data->size() - got), &n, nullptr)) {
            *error = ErrorText(::GetLastError());
            return false;
        }
        if (n == 0) break;
        got += n;
    }
    data->resize(got);
    return true;
}

bool WinKeyFileAccess::OpenToOthers(const std::string& path, std::string* who, std::string* error) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD rc = ::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, &dacl, nullptr, &sd);
    if (rc != ERROR_SUCCESS) {
        *error = ErrorText(rc);
        return false;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    ::GetSecurityDescriptorDacl(sd, &present, &list, &defaulted);
    const bool open = DaclOpenToOthers(present, list, who);
    ::LocalFree(sd);
    return open;
}

ProgramKey FindProgramKey(const std::string& client_ini, const std::string& program_dir, KeyFileAccess& access) {
    ProgramKey k;
    char named[MAX_PATH] = {};
    if (!client_ini.empty())
        ::GetPrivateProfileStringA(kIniSection, kIniKey, "", named, sizeof named, client_ini.c_str());
    if (named[0]) {
        k.path = named;
    } else {
        const std::string beside = program_dir + "\\" + kBesideProgram;
        if (::GetFileAttributesA(beside.c_str()) == INVALID_FILE_ATTRIBUTES) return k;
        k.path = beside;
    }
    LoadResult r = Load(k.path, access);
    k.state = r.ok ? KeyState::kLoaded : KeyState::kRefused;
    k.key = r.key;
    k.message = r.message;
    return k;
}

}  // namespace qv::sitekey
