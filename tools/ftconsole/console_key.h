// The site key in the consoles: `--key-file FILE` and the `keygen FILE`
// command (ftconsole and rcconsole alike).
#pragma once

#include <ostream>
#include <string>

#include "common/sitekey.h"

namespace qv::ftc {

// `PROGRAM keygen FILE`: writes a new random key file, owner-only, never
// over an existing file. The exit status: 0 made, 2 not.
int RunKeygen(const char* program, const std::string& file, std::ostream& out, std::ostream& err);

// Reads the key file given with --key-file and hands the key to linkcore
// for the sessions opened after it. False with the reason in *message.
bool UseKeyFile(const std::string& path, std::string* message);

// The hint the consoles add when an agent or slave does not answer.
const char* NoAnswerHint(bool keyed);

}  // namespace qv::ftc
