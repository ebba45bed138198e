// The scanner's run settings and the run state every phase shares.
//
// One RunSettings is filled from the defaults and the command line at start-up
// and read by every phase afterwards; RunState holds what the phases learn
// during the run (device ID, the server's expected file count, ...). Both are
// process-wide, as the scanner runs once and exits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/inventory_limits.h"

namespace qv::scanner {

constexpr std::size_t kServerNameMax = 48;      // longest server name accepted
constexpr std::size_t kServerAddressMax = 31;   // longest NTT host text
constexpr std::size_t kPathMax = 259;           // longest path (260-byte fields)
constexpr int kMinRetransmitSeconds = 5;
constexpr int kMinReplyRounds = 10;

enum class Transport { None, Ipx, Ip };

struct RunSettings {
    int first_fixed_drive = 2;          // 0 = A:, default C:
    std::string device_file_path;       // QVISCAN.CFG on the first fixed drive
    std::string server_name;            // S
    std::string learning_value;         // Q: empty, ":" or a file name
    std::string scan_root;              // D, ends in "\" when set
    std::string flat_file_name;         // O
    int reply_rounds = kMinReplyRounds; // Z
    int retransmit_seconds = kMinRetransmitSeconds;  // A
    bool quiet = false;                 // MU
    bool help_wanted = false;           // ? H
    bool force_software = false;        // F
    std::string database_path;          // I, default program dir + QVAPPL.INI
    char extra_drive = 0;               // K, 0 = none
    std::string mif_file_name;          // M: "QVISCAN.MIF" when MIF output is wanted
    bool no_subdirectories = false;     // N
    Transport transport = Transport::None;  // NTI, NTT
    std::string server_address;         // the text after NTI / NTT
    bool verbose = false;               // V
    std::string template_file;          // T: replay mode
    std::string help_file_path;         // program dir + QVISCNNT.HLP
    std::string program_name;           // module file name without directory and extension
    std::string program_dir;            // drive and directory of the program, ending in "\"

    bool mif_wanted() const { return !mif_file_name.empty(); }
    bool learning() const { return !learning_value.empty(); }
    bool replay() const { return !template_file.empty(); }
};

struct RunState {
    std::string device_id;              // at most kDeviceIdMax characters
    std::string remembered_server;      // "IV Server =" line of QVISCAN.CFG
    std::vector<std::string> device_file_other_lines;  // kept when QVISCAN.CFG is rewritten
    std::uint16_t expected_file_count = 1;
    std::uint16_t files_per_mark = 0;
    std::FILE* flat_file = nullptr;     // open from step 10 to exit
    std::FILE* learning_file = nullptr; // open from the software phase to exit
};

RunSettings& Settings();
RunState& State();

}  // namespace qv::scanner
