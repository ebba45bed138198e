// The site key file: the shared secret that keyed linkcore sessions prove
// and derive their session keys from.
//
// Format: one line of 64 hexadecimal digits (32 bytes, either case), an
// optional line break (LF or CR LF) after it, and nothing else. A key of
// all zero bytes is refused: it is what an empty or wiped file gives, never
// a key that was made on purpose.
//
// A key file is only as secret as its access list: a file that ordinary
// users of the machine may read (POSIX: any group or other permission bit
// for reading or writing; Windows: read access for Everyone, Users,
// Authenticated Users and the like) is refused, so that no one can copy
// the key off a managed machine or swap in one of their own.
//
// The checks that need the platform sit behind KeyFileAccess; Load() runs
// them in order and words every failure for the person who has to mend it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv::sitekey {

constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kKeyHexDigits = 2 * kKeyBytes;
// A key file is one short line; anything much longer is not a key file,
// and is not read whole.
constexpr std::size_t kMaxFileBytes = 256;

using Key = std::array<uint8_t, kKeyBytes>;

// The text of a key file -> the key; false with the reason in *why.
bool Parse(std::string_view text, Key* key, std::string* why);
// The text of a key file for `key`: 64 lower-case digits and "\n".
std::string Format(const Key& key);

class KeyFileAccess {
public:
    virtual ~KeyFileAccess() = default;
    // Reads up to max_bytes + 1 bytes of the file (so that a longer file
    // shows); false with the system's reason in *error.
    virtual bool Read(const std::string& path, std::size_t max_bytes, std::string* data, std::string* error) = 0;
    // Whether users other than the file's owner and the administrators may
    // read or change it: true with who they are in *who ("group and
    // others", "Everyone", ...). False with *error set when the access list
    // cannot be examined (Load() then refuses the file too).
    virtual bool OpenToOthers(const std::string& path, std::string* who, std::string* error) = 0;
};

struct LoadResult {
    bool ok = false;
    Key key{};
    std::string message;  // why the file was refused, naming the file
};

// Reads, checks and parses a key file.
LoadResult Load(const std::string& path, KeyFileAccess& access);

}  // namespace qv::sitekey
