// The site key file on POSIX systems (the Linux consoles): reading with the
// owner-only check, and making a new key file.
#pragma once

#include <string>

#include "common/sitekey.h"

namespace qv::sitekey {

// Reads through the file system; a file with any group or other permission
// bit for reading or writing is open to others. Symbolic links are
// followed (the check applies to the file they name).
class PosixKeyFileAccess final : public KeyFileAccess {
public:
    bool Read(const std::string& path, std::size_t max_bytes, std::string* data, std::string* error) override;
    bool OpenToOthers(const std::string& path, std::string* who, std::string* error) override;
};

// Writes a new random key to `path`, readable and writable by its owner
// only (mode 0600). Never replaces an existing file (or a dangling link).
// False with the reason in *error.
bool WriteNewKeyFile(const std::string& path, std::string* error);

}  // namespace qv::sitekey
