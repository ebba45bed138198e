// The registry reader of the hardware scanners (see registry_reader_win.h).
#include "scanner/hardware/registry_reader_win.h"

namespace qv::scanner {

bool RegistryReader::Open(const char* subkey, bool create) {
    if (!subkey) return false;
    HKEY parent = key_.valid() ? key_.get() : root_;
    HKEY opened = nullptr;
    LONG rc;
    if (create)
        rc = ::RegCreateKeyExA(parent, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                               nullptr, &opened, nullptr);
    else
        rc = ::RegOpenKeyExA(parent, subkey, 0, KEY_READ, &opened);
    if (rc != ERROR_SUCCESS) return false;
    key_.reset(opened);
    if (!path_.empty() && *subkey) path_ += '\\';
    path_ += subkey;
    return true;
}

bool RegistryReader::ReadDword(const char* name, DWORD& value) {
    if (!key_.valid()) return false;
    DWORD data = 0, size = sizeof data, type = 0;
    if (::RegQueryValueExA(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
        ERROR_SUCCESS)
        return false;
    value = data;
    return true;
}

bool RegistryReader::Read(const char* name, char* buffer, DWORD size) {
    if (!key_.valid() || !buffer || size == 0) return false;
    DWORD got = size, type = 0;
    if (::RegQueryValueExA(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &got) !=
        ERROR_SUCCESS) {
        buffer[0] = '\0';
        return false;
    }
    // A value stored without its terminator, or filling the buffer, is cut
    // so that the text ends inside the buffer.
    buffer[got < size ? got : size - 1] = '\0';
    return true;
}

bool RegistryReader::OpenAndRead(const char* subkey, const char* name, char* buffer, DWORD size) {
    return Open(subkey) && Read(name, buffer, size);
}

bool RegistryReader::ReadGrowing(const char* name, std::vector<char>& data) {
    if (!key_.valid()) return false;
    DWORD size = kInitialGrowingSize;
    for (;;) {
        data.assign(size + 1, '\0');
        DWORD got = size, type = 0;
        LONG rc = ::RegQueryValueExA(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                                     &got);
        if (rc == ERROR_SUCCESS) {
            data.resize(got + 1);
            data[got] = '\0';
            return true;
        }
        if (rc != ERROR_MORE_DATA || got <= size) {
            data.clear();
            return false;
        }
        size = got;  // the size the registry reports; the value may grow again meanwhile
    }
}

void RegistryReader::Close() noexcept {
    key_.reset();
    path_.clear();
}

}  // namespace qv::scanner
