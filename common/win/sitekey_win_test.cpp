// The Windows side of the site key under Wine: the access-list rule on
// lists built here, and where the programs find their key.
#include "common/win/sitekey_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace qv::sitekey {
namespace {

const char kHex[] = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\r\n";

struct Ace {
    bool allow;
    WELL_KNOWN_SID_TYPE who;
    DWORD mask;
    BYTE flags = 0;
};

std::vector<BYTE> MakeAcl(const std::vector<Ace>& aces) {
    std::vector<BYTE> buf(1024);
    PACL acl = reinterpret_cast<PACL>(buf.data());
    EXPECT_TRUE(::InitializeAcl(acl, static_cast<DWORD>(buf.size()), ACL_REVISION));
    for (const Ace& a : aces) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD n = sizeof sid;
        EXPECT_TRUE(::CreateWellKnownSid(a.who, nullptr, sid, &n));
        if (a.allow) EXPECT_TRUE(::AddAccessAllowedAceEx(acl, ACL_REVISION, a.flags, a.mask, sid));
        else EXPECT_TRUE(::AddAccessDeniedAceEx(acl, ACL_REVISION, a.flags, a.mask, sid));
    }
    return buf;
}

TEST(SiteKeyWin, AccessListRule) {
    const DWORD kOwnerAll = FILE_ALL_ACCESS;
    struct Case {
        const char* name;
        std::vector<Ace> aces;
        const char* who;  // "" = not open to others
    } cases[] = {
        {"owner, system, administrators",
         {{true, WinCreatorOwnerSid, kOwnerAll}, {true, WinLocalSystemSid, kOwnerAll},
          {true, WinBuiltinAdministratorsSid, kOwnerAll}},
         ""},
        {"everyone reads", {{true, WinLocalSystemSid, kOwnerAll}, {true, WinWorldSid, FILE_GENERIC_READ}}, "Everyone"},
        {"users read", {{true, WinBuiltinUsersSid, GENERIC_READ}}, "Users"},
        {"authenticated users change", {{true, WinAuthenticatedUserSid, FILE_WRITE_DATA}}, "Authenticated Users"},
        {"users may rewrite the list", {{true, WinBuiltinUsersSid, WRITE_DAC}}, "Users"},
        {"users see only attributes", {{true, WinBuiltinUsersSid, FILE_READ_ATTRIBUTES | SYNCHRONIZE}}, ""},
        {"denied first", {{false, WinWorldSid, GENERIC_ALL | FILE_ALL_ACCESS}, {true, WinBuiltinUsersSid, GENERIC_READ}}, ""},
        {"denied after", {{true, WinBuiltinUsersSid, GENERIC_READ}, {false, WinWorldSid, GENERIC_ALL}}, "Users"},
        {"inherit-only", {{true, WinWorldSid, GENERIC_ALL, INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE}}, ""},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> acl = MakeAcl(c.aces);
        std::string who;
        EXPECT_EQ(DaclOpenToOthers(TRUE, reinterpret_cast<ACL*>(acl.data()), &who), c.who[0] != 0) << c.name;
        EXPECT_EQ(who, c.who) << c.name;
    }
    std::string who;
    EXPECT_TRUE(DaclOpenToOthers(TRUE, nullptr, &who));
    EXPECT_NE(who.find("no access list"), std::string::npos);
}

std::string TempDir() {
    char dir[MAX_PATH];
    ::GetTempPathA(sizeof dir, dir);
    std::string d = std::string(dir) + "sitekey_win_test";
    ::CreateDirectoryA(d.c_str(), nullptr);
    return d;
}

void Write(const std::string& path, const std::string& text) {
    ::DeleteFileA(path.c_str());
    HANDLE f = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE) << path;
    DWORD n = 0;
    ::WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
    ::CloseHandle(f);
}

// Where a program finds its key, checked with the real file access. Wine
// builds a file's access list from its Unix mode bits (0600: SYSTEM and
// the owner; 0644 also Everyone with read) and does not keep a list a
// program sets, so a file a program makes here (umask 022) is open to
// Everyone; the end-to-end test shows a key file of mode 0600 accepted.
TEST(SiteKeyWin, ProgramFindsItsKeyInTheIniOrBesideIt) {
    const std::string dir = TempDir();
    const std::string ini = dir + "\\QVCLIENT.INI", beside = dir + "\\" + kBesideProgram, named = dir + "\\n.key";
    for (const std::string& f : {ini, beside, named}) ::DeleteFileA(f.c_str());
    WinKeyFileAccess fs;
    EXPECT_EQ(FindProgramKey(ini, dir, fs).state, KeyState::kNone);  // neither: the unkeyed wire
    Write(beside, kHex);
    ProgramKey k = FindProgramKey(ini, dir, fs);
    EXPECT_EQ(k.state, KeyState::kRefused);
    EXPECT_EQ(k.path, beside);
    EXPECT_NE(k.message.find("other users (Everyone)"), std::string::npos) << k.message;
    // A path in the settings wins, also when its file is missing.
    Write(ini, "[Transport]\r\nSiteKeyFile=" + named + "\r\n");
    k = FindProgramKey(ini, dir, fs);
    EXPECT_EQ(k.path, named);
    EXPECT_NE(k.message.find("n.key: cannot be read: "), std::string::npos) << k.message;
    EXPECT_NE(k.message.find("(error 2)"), std::string::npos) << k.message;
    for (const std::string& f : {ini, beside}) ::DeleteFileA(f.c_str());
}

}  // namespace
}  // namespace qv::sitekey
