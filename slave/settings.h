// The slave's start-up settings: transport from the command line, the
// settings file QVCLIENT.INI and its location, the blank-padded slave name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace qv::slave {

enum Transport : int { kTransportNone = 0, kTransportIpx = 1, kTransportTcp = 2 };

// The first blank-separated word, without regard to case: "TCP"/"TCPIP"
// choose TCP/IP, "IPX" chooses IPX, anything else (or nothing) neither.
Transport ParseTransport(const std::string& command_line);

// Result codes of the settings-file location.
enum : int {
    kPathOk = 0,
    kPathNoFixedDrive = 10000,
    kPathTooLong = 10001,
    kPathMissingArgument = 10002,
    kPathNoVariable = 10010,
};
constexpr std::size_t kSettingsPathMax = 128;
inline constexpr char kSettingsFile[] = "QVCLIENT.INI";

// Joins a directory and a file name into out (cap bytes with the zero):
// one separator between them unless the directory is a bare drive ("D:"),
// and no doubled separator. kPathTooLong when the result does not fit.
int JoinPath(const char* dir, const char* name, char* out, std::size_t cap);

// Where QVCLIENT.INI lives: in $SMS_LOCAL_DIR when it is set (sms_local_dir
// not null) and fits, else in the root of the first fixed drive A: to Z:.
// Returns the code of the last step (kPathNoVariable when the drive search
// was used), and the path (empty when there is no fixed drive).
int LocateSettings(const char* sms_local_dir, const std::function<bool(char)>& is_fixed_drive,
                   std::string* path);

// The computer name cut or padded with blanks to 20 characters.
std::string MakeSlaveName(const std::string& computer_name);
// "LanaNum" as decimal text; 0 when empty or not a number.
uint8_t ParseLanaNum(const std::string& text);

}  // namespace qv::slave
