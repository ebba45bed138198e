// Fuzz target for the reader of the device-identity file QVISCAN.CFG.
//
// The input is the file's text. Whatever it holds, the device ID must stay
// within its 79 characters, the kept lines within their count, and the file
// the run writes back must read again as the same state: rewriting the file
// never loses or changes what was read from it (but for a stray carriage
// return at a value's end, which the next read takes for part of the line
// break). A local device ID made from
// the text as a computer name stays within its length too.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/driver/devicefile.h"

namespace {

using namespace qv::scanner;

constexpr char kLabel[] = "Device ID =";

std::string NoCr(std::string s) {
    while (!s.empty() && s.back() == '\r') s.pop_back();
    return s;
}

// The kept lines as the next read sees them.
std::vector<std::string> Kept(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& line : lines)
        if (!NoCr(line).empty()) out.push_back(NoCr(line));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    RunState state;
    ApplyDeviceFileText(text, kLabel, state);
    if (state.device_id.size() > qv::kDeviceIdMax) std::abort();
    if (state.device_file_other_lines.size() > kDeviceFileOtherLinesMax) std::abort();

    const std::string written = FormatDeviceFile(kLabel, state.device_id, "", state.remembered_server,
                                                 state.device_file_other_lines);
    RunState again;
    ApplyDeviceFileText(written, kLabel, again);
    if (NoCr(again.device_id) != NoCr(state.device_id) ||
        NoCr(again.remembered_server) != NoCr(state.remembered_server) ||
        Kept(again.device_file_other_lines) != Kept(state.device_file_other_lines))
        std::abort();

    if (MakeLocalDeviceId(std::string(text.substr(0, 300)), 0x5F3A2B10u).size() > qv::kDeviceIdMax) std::abort();
    return 0;
}
