// Network identity: the portable half.
//
// The scanner reports who the machine is on the network: its IPX and IP
// addresses and host name, the device ID, whether it is an NT workstation or
// server and a domain controller, its computer name and an optional machine
// description; later in the hardware phase the user's login, domain and full
// name, the servers it has network drives on, and the IPX LAN MIF group.
//
// The Win32 half (netid_win.h) asks the system; this half turns what it got
// into items, rows and texts, so that the rules can be tested without
// Windows. A query that failed is passed as "not known" and only suppresses
// the items that depend on it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/hardware/hwsink.h"

namespace qv::scanner {

// Labels and texts of the program's own string table.
enum NetIdString : unsigned {
    kStrIpxAddressLabel = 57,      // "LAN - IPX Address ="
    kStrLoginName = 59,            // "Login Name ="
    kStrFullName = 60,             // "Full Name ="
    kStrDeviceIdLabel = 85,        // "Device ID =" (the device file's label too)
    kStrMachineDescription = 86,   // "Machine Description ="
    kStrAddress = 93,              // "Address ="
    kStrNicAddress = 94,           // "LAN - NIC Address ="
    kStrIpAddress = 95,            // "LAN - IP Address ="
    kStrDomainController = 96,     // "NT Domain Controller ="
    kStrDeviceName = 97,           // "Device Name ="
    kStrIpHostName = 98,           // "LAN - IP Host Name ="
    kStrMachine = 99,              // "Machine ="
    kStrNtWorkstation = 124,
    kStrNtServer = 125,
    kStrNtMachine = 126,
    kStrPrimary = 127,
    kStrBackup = 128,
    kStrDomainName = 144,          // "Domain Name ="
    kStrMifFullName = 193,
    kStrMifLoginName = 194,
    kStrMifAddress = 195,
};

// Labels that have no string of their own.
inline constexpr const char kIpxNetworkLabel[] = "LAN - IPX Network Number =";
inline constexpr const char kIpxNodeLabel[] = "LAN - IPX Node Address =";

inline constexpr std::size_t kHostNameSize = 128;         // gethostname buffer
inline constexpr std::size_t kDescriptionLineSize = 200;  // device file line, terminator included
inline constexpr std::size_t kDescriptionMax = 79;
inline constexpr std::size_t kMaxConnections = 26;        // one per drive letter
inline constexpr const char kIpxAddressInUseFallback[] = "00000000:000000000000";

// Server type bits of the local server's information (level 101).
inline constexpr std::uint32_t kServerTypeDomainController = 0x0008;
inline constexpr std::uint32_t kServerTypeBackupController = 0x0010;
inline constexpr std::uint32_t kServerTypeNtServer = 0x8000;

// The program-wide address state, filled once early in the run.
struct NetAddressState {
    std::string ipx_address;   // "NNNNNNNN:XXXXXXXXXXXX"
    bool ipx_known = false;
    std::string nic_address;   // the IPX node number
    bool nic_known = false;
    std::string ip_address;    // dotted decimal
    bool ip_known = false;
    std::string host_name;     // may be empty
};

// The network and node numbers of an IPX address (4 and 6 bytes) as
// "%s:%s", each byte two upper-case hexadecimal digits in stored order.
std::string FormatIpxAddress(const std::uint8_t network[4], const std::uint8_t node[6]);
// The node part alone (12 digits).
std::string FormatIpxNode(const std::uint8_t node[6]);
// An IPv4 address's four bytes in stored order as "%d.%d.%d.%d".
std::string FormatDottedIp(const std::uint8_t address[4]);

// The parts of an IPX address before and after its first ":"; false when it
// holds none.
bool SplitIpxAddress(std::string_view address, std::string& network, std::string& node);

// The string IDs of the machine type and domain role for a server type;
// the machine type of a server whose information could not be read is
// "NT Machine". The role is 0 (no item) for a machine that is no controller.
unsigned MachineTypeString(bool info_read, std::uint32_t server_type);
unsigned DomainRoleString(bool info_read, std::uint32_t server_type);

// The machine description a device-file line gives: a line that begins with
// one of the labels (compared over the label's length without regard to
// case) gives the text from the second character after its first "=", cut
// to 79 characters, without the line break. Empty when the line gives none.
std::string DescriptionFromLine(std::string_view line, std::string_view address_label,
                                std::string_view description_label);

// What the identity scan learned from the system.
struct IdentityFacts {
    std::string device_id;
    bool server_info_read = false;
    std::uint32_t server_type = 0;
    std::string computer_name;
    bool device_file_opened = false;  // the address items depend on it
    std::string description;          // empty when the file gives none
};
void WriteIdentityItems(HardwareSink& sink, const IdentityFacts& facts, const NetAddressState& addr);

// The user items; the full name only when it was read.
void WriteUserItems(HardwareSink& sink, const std::string& login_name, const std::string& domain,
                    bool full_name_read, const std::string& full_name);

// The server of a universal name "\\server\volume..."; empty when the name is
// not of that form or names no server.
std::string ServerFromUniversalName(std::string_view name);
// The names without repeats (compared without regard to case, the first
// occurrence stays), in their order.
std::vector<std::string> DistinctServers(const std::vector<std::string>& names);
// The connections table's row for a server: an empty connection number and
// the server's name, each in double quotes.
std::string ConnectionRow(std::string_view server);
// The rows for the universal names of the remote drives, in drive order: at
// most 26 servers, each once. Names that are not universal names (a drive
// root, where the provider has none) give no row.
std::vector<std::string> ConnectionRows(const std::vector<std::string>& universal_names);

}  // namespace qv::scanner
