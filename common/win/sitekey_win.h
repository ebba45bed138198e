// The site key on Windows: where the agent and the slave find it, reading
// it, and the access-list check of the key file.
//
// Where: the path in value "SiteKeyFile" of section [Transport] of
// QVCLIENT.INI when it is set; otherwise the file SITE.KEY beside the
// program when it exists; otherwise there is no key and the programs keep
// the unkeyed wire. A key that is configured but cannot be used refuses
// the start-up: the programs never fall back to the unkeyed wire then.
#pragma once

#include <windows.h>

#include <string>

#include "common/sitekey.h"

namespace qv::sitekey {

inline constexpr char kIniSection[] = "Transport";
inline constexpr char kIniKey[] = "SiteKeyFile";
inline constexpr char kBesideProgram[] = "SITE.KEY";

// Whether an access list lets ordinary users (Everyone, Users,
// Authenticated Users, Interactive, Guests, Anonymous, Network, Local,
// Domain Users) read or change the file: an allowed entry for such a
// group with read, write or ownership rights, not taken away by an earlier
// denied entry. No access list (`present` false, or a null list) lets
// everyone in. *who names the first such group.
bool DaclOpenToOthers(BOOL present, const ACL* dacl, std::string* who);

class WinKeyFileAccess final : public KeyFileAccess {
public:
    bool Read(const std::string& path, std::size_t max_bytes, std::string* data, std::string* error) override;
    bool OpenToOthers(const std::string& path, std::string* who, std::string* error) override;
};

enum class KeyState { kNone, kLoaded, kRefused };

struct ProgramKey {
    KeyState state = KeyState::kNone;
    std::string path;     // the file that was used or refused
    Key key{};
    std::string message;  // kRefused: why, naming the file
};

// Finds and loads the program's key: client_ini is the path of
// QVCLIENT.INI (may be empty), program_dir the program's folder.
ProgramKey FindProgramKey(const std::string& client_ini, const std::string& program_dir, KeyFileAccess& access);

}  // namespace qv::sitekey
