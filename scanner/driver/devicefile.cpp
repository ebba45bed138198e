#include "scanner/driver/devicefile.h"

#include <algorithm>
#include <cstdio>

#include "common/text.h"

namespace qv::scanner {

namespace {

// The value of a "label value" line: the text from the second character
// after the "=" on (the blank after "=" is skipped).
std::string ValueAfterLabel(const std::string& line) {
    std::size_t eq = line.find('=');
    if (eq == std::string::npos || eq + 2 > line.size()) return {};
    return line.substr(eq + 2);
}

}  // namespace

void ApplyDeviceFileLine(std::string line, const std::string& device_label, RunState& state) {
    StripLineBreak(line);
    if (!device_label.empty() && StartsWithNoCase(line, device_label)) {
        std::string value = ValueAfterLabel(line);
        if (value.size() > kDeviceIdMax) value.resize(kDeviceIdMax);
        if (!value.empty()) state.device_id = value;
    } else if (StartsWithNoCase(line, kServerLabel)) {
        std::string value = ValueAfterLabel(line);
        if (!value.empty()) state.remembered_server = value;
    } else if (!line.empty() && state.device_file_other_lines.size() < kDeviceFileOtherLinesMax) {
        state.device_file_other_lines.push_back(line);
    }
}

void ApplyDeviceFileText(std::string_view text, const std::string& device_label, RunState& state) {
    while (!text.empty()) {
        std::size_t n = std::min(text.find('\n'), kDeviceFileLineMax - 2) + 1;
        if (n > text.size()) n = text.size();
        std::string_view piece = text.substr(0, n);
        text.remove_prefix(n);
        ApplyDeviceFileLine(std::string(piece.substr(0, piece.find('\0'))), device_label, state);
    }
}

std::string FormatDeviceFile(const std::string& device_label, const std::string& device_id,
                             const std::string& server_name, const std::string& remembered_server,
                             const std::vector<std::string>& other_lines) {
    std::string text = device_label + " " + device_id + "\n";
    const std::string& server = server_name.empty() ? remembered_server : server_name;
    if (!server.empty()) text += std::string(kServerLabel) + " " + server + "\n";
    for (const std::string& line : other_lines) text += line + "\n";
    return text;
}

std::string MakeLocalDeviceId(const std::string& computer_name, std::uint32_t seconds_since_1970) {
    char stamp[9];
    std::snprintf(stamp, sizeof stamp, "%08X", static_cast<unsigned>(seconds_since_1970));
    std::string id = computer_name + stamp;
    if (id.size() > kDeviceIdMax) id.resize(kDeviceIdMax);
    return id;
}

}  // namespace qv::scanner
