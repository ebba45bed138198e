// Fuzz target for the slave's start-up settings: the transport word of the
// command line, the settings file's location from SMS_LOCAL_DIR and the
// fixed drives, the join of a directory and a name, the slave name and the
// "LanaNum" text.
//
// Input: a byte whose bits say which of the drives A: to H: are fixed and
// whether SMS_LOCAL_DIR is set, a byte giving the join's buffer size, then
// zero-separated texts: command line, SMS_LOCAL_DIR, a directory and a name
// to join, the computer name, the "LanaNum" value. A join writes only
// within its buffer and always leaves a terminated text; a located path
// fits its buffer, ends in the file's name and never doubles a separator
// at the join; the slave name is always 20 characters.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "slave/settings.h"

namespace {

using namespace qv::slave;

bool Sep(char c) { return c == '\\' || c == '/'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t drives = data[0];
    const std::size_t cap = data[1] % 160 + 1;
    std::vector<std::string> f(1);
    for (std::size_t i = 2; i < size; ++i) {
        if (data[i] == 0) f.emplace_back();
        else f.back() += static_cast<char>(data[i]);
    }
    f.resize(6);

    ParseTransport(f[0]);

    std::string path;
    const int rc = LocateSettings(drives & 0x80 ? f[1].c_str() : nullptr,
                                  [&](char l) { return l < 'H' && (drives >> (l - 'A')) & 1; }, &path);
    if (path.size() >= kSettingsPathMax) std::abort();
    if (rc == kPathOk && path.empty()) std::abort();
    if (rc == kPathOk) {
        // In SMS_LOCAL_DIR: the directory as given, then the name, with
        // one separator between them unless the directory ends in one.
        const std::string& dir = f[1];
        if (path.compare(0, dir.size(), dir) != 0) std::abort();
        const std::string rest = path.substr(dir.size());
        const bool ends_sep = !dir.empty() && Sep(dir.back());
        if (rest != kSettingsFile && (ends_sep || rest != std::string("\\") + kSettingsFile)) std::abort();
    }

    // The join's buffer is exactly `cap` bytes, so that any write past it
    // is caught.
    auto out = std::make_unique<char[]>(cap);
    if (JoinPath(f[2].c_str(), f[3].c_str(), out.get(), cap) == kPathOk) {
        if (std::strlen(out.get()) + 1 > cap) std::abort();
    } else if (out[0] != 0) {
        std::abort();
    }

    if (MakeSlaveName(f[4]).size() != 20) std::abort();
    ParseLanaNum(f[5]);
    return 0;
}
