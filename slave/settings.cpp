// Start-up settings of the slave; see settings.h.
#include "slave/settings.h"

#include <cstdlib>
#include <cstring>

#include "common/text.h"

namespace qv::slave {
namespace {

bool IsSep(char c) { return c == '\\' || c == '/'; }

}  // namespace

Transport ParseTransport(const std::string& command_line) {
    std::size_t b = command_line.find_first_not_of(" \t");
    if (b == std::string::npos) return kTransportNone;
    std::size_t e = command_line.find_first_of(" \t", b);
    std::string word = qv::UpperAscii(command_line.substr(b, e == std::string::npos ? std::string::npos : e - b));
    if (word == "TCP" || word == "TCPIP") return kTransportTcp;
    if (word == "IPX") return kTransportIpx;
    return kTransportNone;
}

int JoinPath(const char* dir, const char* name, char* out, std::size_t cap) {
    if (!dir || !name || !out || cap == 0) return kPathMissingArgument;
    std::string result = dir;
    const std::size_t dl = result.size();
    const bool dir_ends_sep = dl > 0 && IsSep(result[dl - 1]);
    const bool name_starts_sep = IsSep(name[0]);
    const bool bare_drive = dl == 2 && result[1] == ':';
    if (dl > 0 && dir_ends_sep && name_starts_sep) {
        result += name + 1;
    } else if (!bare_drive && dl > 0 && !dir_ends_sep && name[0] != 0 && !name_starts_sep) {
        result += '\\';
        result += name;
    } else {
        result += name;
    }
    if (result.size() + 1 > cap) {
        out[0] = 0;
        return kPathTooLong;
    }
    std::memcpy(out, result.c_str(), result.size() + 1);
    return kPathOk;
}

int LocateSettings(const char* sms_local_dir, const std::function<bool(char)>& is_fixed_drive, std::string* path) {
    char buf[kSettingsPathMax];
    path->clear();
    if (sms_local_dir && std::strlen(sms_local_dir) < kSettingsPathMax) {
        int rc = JoinPath(sms_local_dir, kSettingsFile, buf, sizeof buf);
        if (rc == kPathOk) *path = buf;
        return rc;
    }
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if (!is_fixed_drive(letter)) continue;
        const char root[] = {letter, ':', '\\', 0};
        if (JoinPath(root, kSettingsFile, buf, sizeof buf) == kPathOk) *path = buf;
        return kPathNoVariable;
    }
    return kPathNoFixedDrive;
}

std::string MakeSlaveName(const std::string& computer_name) {
    std::string name = computer_name.substr(0, 20);
    name.resize(20, ' ');
    return name;
}

uint8_t ParseLanaNum(const std::string& text) {
    return static_cast<uint8_t>(std::atoi(text.c_str()));
}

}  // namespace qv::slave
