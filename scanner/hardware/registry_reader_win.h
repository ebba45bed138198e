// The registry reader of the hardware scanners.
//
// A cursor over one open key below a root key (HKEY_LOCAL_MACHINE for every
// scanner), together with the text of the path opened so far. Opening a
// sub-key is relative to the current key, or to the root when none is open;
// on success the previous key is closed and the new one becomes current, on
// failure nothing changes. Every read answers true when the registry call
// succeeded and false otherwise, so a scanner can simply leave out the items
// that depend on a value it could not read.
//
// Texts read into a caller's buffer are always zero-terminated inside it,
// also when the stored value lacks its terminator.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/win/handles.h"

namespace qv::scanner {

class RegistryReader {
public:
    explicit RegistryReader(HKEY root = HKEY_LOCAL_MACHINE) noexcept : root_(root) {}

    // Opens subkey for reading, or creates it with full access when create
    // is set.
    bool Open(const char* subkey, bool create = false);
    // A 4-byte number.
    bool ReadDword(const char* name, DWORD& value);
    // A value into a fixed buffer of size bytes.
    bool Read(const char* name, char* buffer, DWORD size);
    // Opens subkey and reads one value of it into a fixed buffer.
    bool OpenAndRead(const char* subkey, const char* name, char* buffer, DWORD size);
    // A value of unknown size: the buffer starts at 256 bytes and grows to
    // what the registry asks for as long as it answers ERROR_MORE_DATA.
    // On success data holds the value's bytes followed by a zero byte.
    bool ReadGrowing(const char* name, std::vector<char>& data);
    void Close() noexcept;

    HKEY key() const noexcept { return key_.valid() ? key_.get() : nullptr; }
    const std::string& path() const noexcept { return path_; }

    static constexpr DWORD kInitialGrowingSize = 256;

private:
    HKEY root_;
    qv::win::RegKey key_;
    std::string path_;
};

}  // namespace qv::scanner
