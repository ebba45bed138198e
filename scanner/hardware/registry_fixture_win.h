// Test fixture: HKEY_LOCAL_MACHINE redirected to a scratch key of the
// current user (RegOverridePredefKey), so tests can lay out exactly the
// machine keys a scanner reads and leave the real registry alone.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace qv::scanner::testing {

class FakeMachineRegistry {
public:
    static constexpr const char* kScratch = "Software\\QvHardwareTest";

    FakeMachineRegistry() {
        ::RegDeleteTreeA(HKEY_CURRENT_USER, kScratch);
        LONG rc = ::RegCreateKeyExA(HKEY_CURRENT_USER, (std::string(kScratch) + "\\hklm").c_str(), 0, nullptr, 0,
                                    KEY_ALL_ACCESS, nullptr, &root_, nullptr);
        EXPECT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(::RegOverridePredefKey(HKEY_LOCAL_MACHINE, root_), ERROR_SUCCESS);
    }
    ~FakeMachineRegistry() {
        ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        ::RegCloseKey(root_);
        ::RegDeleteTreeA(HKEY_CURRENT_USER, kScratch);
    }
    FakeMachineRegistry(const FakeMachineRegistry&) = delete;
    FakeMachineRegistry& operator=(const FakeMachineRegistry&) = delete;

    void Set(const char* key, const char* name, DWORD type, const void* data, DWORD size) {
        HKEY k = nullptr;
        ASSERT_EQ(::RegCreateKeyExA(root_, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(::RegSetValueExA(k, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        ::RegCloseKey(k);
    }
    void Text(const char* key, const char* name, const std::string& value) {
        Set(key, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
    }
    void Dword(const char* key, const char* name, DWORD value) { Set(key, name, REG_DWORD, &value, sizeof value); }
    void Key(const char* key) {
        HKEY k = nullptr;
        ASSERT_EQ(::RegCreateKeyExA(root_, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
        ::RegCloseKey(k);
    }

private:
    HKEY root_ = nullptr;
};

}  // namespace qv::scanner::testing
