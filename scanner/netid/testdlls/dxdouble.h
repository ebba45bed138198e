// Test doubles of the directory-services client libraries.
//
// Four small DLLs built only for the Wine tests, with the names and exports
// of the real libraries. What they answer is chosen by the environment
// variable QV_DX_SCENARIO (read on every call, so one test process can walk
// through several scenarios); every call is appended as one line
// "Name arguments" to the file named by QV_DX_LOG, so a test can check
// which calls were made and in what order.
//
// Scenarios:
//   primary       the primary connection answers: object "JSMITH",
//                 authenticated; name context "SALES.ACME"
//   dotted        as primary, but the object is "JSMITH.SALES"
//   unauth        as primary, but the connection is not authenticated
//   scan          the primary connection's information fails (0x8801); the
//                 scan gives reference 11 (0x8801 again: move on) and 12
//                 (object "SCANNED", not authenticated)
//   scan-end      as scan, but reference 11 answers 0x8866
//   nocontext     as primary, but no directory context can be made (-328)
//   noprimary     there is no primary connection
//   longname      as unauth, but the object name fills the whole buffer
//                 without a terminator
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "contracts/dirservices.h"

namespace dxdouble {

inline bool Scenario(const char* name) {
    char value[64] = {};
    DWORD n = GetEnvironmentVariableA("QV_DX_SCENARIO", value, sizeof value);
    return n > 0 && n < sizeof value && std::strcmp(value, name) == 0;
}

inline void Log(const char* format, ...) {
    char path[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableA("QV_DX_LOG", path, sizeof path);
    if (n == 0 || n >= sizeof path) return;
    std::FILE* f = std::fopen(path, "ab");
    if (!f) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(f, format, args);
    va_end(args);
    std::fputc('\n', f);
    std::fclose(f);
}

constexpr uint32_t kPrimaryRef = 7;
constexpr uint32_t kConnectionBase = 100;  // connection handle = base + reference
constexpr int32_t kErrOther = 0x8801;

}  // namespace dxdouble
