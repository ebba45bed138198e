// The device-identity file QVISCAN.CFG: the text it holds and how it is read.
//
// The file has one line per setting, a label, a blank and a value: the device
// ID under the label "Device ID =" and the server the device last reported
// to under "IV Server =". Reading and writing the file itself is the
// program's (it also sets the file's attributes); this module turns lines
// into run state and run state into the file's text, and makes a local
// device ID when no server assigns one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/driver/settings.h"

namespace qv::scanner {

constexpr std::size_t kDeviceFileLineMax = 256;   // bytes per line read, terminator included
constexpr const char kServerLabel[] = "IV Server =";
constexpr std::size_t kDeviceFileOtherLinesMax = 32;

// Applies one line of the file (line break included or not) to the state:
// the device ID line sets the device ID (cut to 79 characters), the server
// line the remembered server name; empty values and other lines are ignored.
// Any other non-empty line (a machine description, say) is kept in the
// state, up to kDeviceFileOtherLinesMax of them, so that rewriting the file
// does not lose it. `device_label` is the "Device ID =" label from the
// string table.
void ApplyDeviceFileLine(std::string line, const std::string& device_label, RunState& state);

// Applies the file's text (as read in text mode) the way the program reads
// it with a line buffer of kDeviceFileLineMax bytes: in pieces that end
// after a line break or when the buffer is full, each one taken up to its
// first zero byte.
void ApplyDeviceFileText(std::string_view text, const std::string& device_label, RunState& state);

// The file's text with "\n" line ends (the program writes it in text mode).
// The server line names this run's server, else the remembered one; it is
// left out when there is neither. The file's other lines follow as read.
std::string FormatDeviceFile(const std::string& device_label, const std::string& device_id,
                             const std::string& server_name, const std::string& remembered_server,
                             const std::vector<std::string>& other_lines = {});

// The computer name followed by the time in seconds since 1970 as 8
// upper-case hexadecimal digits, cut to the device ID's length.
std::string MakeLocalDeviceId(const std::string& computer_name, std::uint32_t seconds_since_1970);

}  // namespace qv::scanner
