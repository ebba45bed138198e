// Network identity items, texts and connection rows (portable).
//
// Everything here works on values the Win32 half has already read, so the
// order of the items and the conditions each item depends on are checked by
// the host tests. Case-insensitive comparisons (labels, server names) fold
// the ASCII letters only.
#include "scanner/netid/netid.h"

#include <cstdio>
#include <utility>

#include "common/text.h"

namespace qv::scanner {
namespace {

// An empty label never matches.
bool StartsNoCase(std::string_view text, std::string_view prefix) {
    return !prefix.empty() && StartsWithNoCase(text, prefix);
}

void AppendHex(std::string& out, const std::uint8_t* bytes, std::size_t n) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0x0F]);
    }
}

}  // namespace

std::string FormatIpxAddress(const std::uint8_t network[4], const std::uint8_t node[6]) {
    std::string out;
    AppendHex(out, network, 4);
    out.push_back(':');
    AppendHex(out, node, 6);
    return out;
}

std::string FormatIpxNode(const std::uint8_t node[6]) {
    std::string out;
    AppendHex(out, node, 6);
    return out;
}

std::string FormatDottedIp(const std::uint8_t address[4]) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
    return buf;
}

bool SplitIpxAddress(std::string_view address, std::string& network, std::string& node) {
    std::size_t colon = address.find(':');
    if (colon == std::string_view::npos) return false;
    network.assign(address.substr(0, colon));
    node.assign(address.substr(colon + 1));
    return true;
}

unsigned MachineTypeString(bool info_read, std::uint32_t server_type) {
    if (!info_read) return kStrNtMachine;
    const std::uint32_t server_bits = kServerTypeNtServer | kServerTypeDomainController | kServerTypeBackupController;
    return (server_type & server_bits) ? kStrNtServer : kStrNtWorkstation;
}

unsigned DomainRoleString(bool info_read, std::uint32_t server_type) {
    if (!info_read) return 0;
    if (server_type & kServerTypeDomainController) return kStrPrimary;
    if (server_type & kServerTypeBackupController) return kStrBackup;
    return 0;
}

std::string DescriptionFromLine(std::string_view line, std::string_view address_label,
                                std::string_view description_label) {
    // Only a real line break is removed: a last line without one keeps its
    // last character.
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (!StartsNoCase(line, address_label) && !StartsNoCase(line, description_label)) return {};
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq + 2 > line.size()) return {};
    std::string_view value = line.substr(eq + 2);
    return std::string(value.substr(0, kDescriptionMax));
}

void WriteIdentityItems(HardwareSink& sink, const IdentityFacts& facts, const NetAddressState& addr) {
    sink.Item(sink.Label(kStrDeviceIdLabel), facts.device_id);
    std::string machine = sink.Label(MachineTypeString(facts.server_info_read, facts.server_type));
    if (!machine.empty()) sink.Item(sink.Label(kStrMachine), machine);
    unsigned role = DomainRoleString(facts.server_info_read, facts.server_type);
    std::string role_text = role ? sink.Label(role) : std::string();
    if (!role_text.empty()) sink.Item(sink.Label(kStrDomainController), role_text);
    sink.Item(sink.Label(kStrDeviceName), facts.computer_name);

    // The rest is written only when the device-identity file could be read.
    if (!facts.device_file_opened) return;
    std::string address = addr.ipx_known ? addr.ipx_address : (addr.ip_known ? addr.ip_address : std::string());
    if (!address.empty()) sink.Item(sink.Label(kStrAddress), address);
    if (addr.ipx_known) {
        sink.Item(sink.Label(kStrIpxAddressLabel), addr.ipx_address);
        std::string network, node;
        if (SplitIpxAddress(addr.ipx_address, network, node)) {
            sink.Item(kIpxNetworkLabel, network);
            sink.Item(kIpxNodeLabel, node);
        }
    }
    if (addr.ip_known) sink.Item(sink.Label(kStrIpAddress), addr.ip_address);
    if (!addr.host_name.empty()) sink.Item(sink.Label(kStrIpHostName), addr.host_name);
    if (addr.nic_known) sink.Item(sink.Label(kStrNicAddress), addr.nic_address);
    if (!facts.description.empty()) sink.Item(sink.Label(kStrMachineDescription), facts.description);
}

void WriteUserItems(HardwareSink& sink, const std::string& login_name, const std::string& domain,
                    bool full_name_read, const std::string& full_name) {
    sink.Item(sink.Label(kStrLoginName), login_name);
    sink.Item(sink.Label(kStrDomainName), domain);
    if (full_name_read) sink.Item(sink.Label(kStrFullName), full_name);
}

std::string ServerFromUniversalName(std::string_view name) {
    if (name.size() < 3 || name[0] != '\\' || name[1] != '\\') return {};
    std::string_view rest = name.substr(2);
    return std::string(rest.substr(0, rest.find('\\')));
}

std::vector<std::string> DistinctServers(const std::vector<std::string>& names) {
    std::vector<std::string> out;
    for (const std::string& name : names) {
        bool seen = false;
        for (const std::string& kept : out) seen = seen || EqualNoCase(kept, name);
        if (!seen) out.push_back(name);
    }
    return out;
}

std::string ConnectionRow(std::string_view server) {
    std::string row = "\"\",\"";
    row.append(server);
    row.append("\"");
    return row;
}

std::vector<std::string> ConnectionRows(const std::vector<std::string>& universal_names) {
    std::vector<std::string> servers;
    for (const std::string& name : universal_names) {
        if (servers.size() == kMaxConnections) break;
        std::string server = ServerFromUniversalName(name);
        if (!server.empty()) servers.push_back(std::move(server));
    }
    std::vector<std::string> rows;
    for (const std::string& server : DistinctServers(servers)) rows.push_back(ConnectionRow(server));
    return rows;
}

}  // namespace qv::scanner
