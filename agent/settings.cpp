#include "agent/settings.h"

#include <algorithm>
#include <cstring>

#include "common/le_bytes.h"
#include "common/text.h"

namespace qv::agent {

namespace {

using le::Put32;
using le::Get32;

void Pair(PipeReply* r, uint32_t a, uint32_t b) {
    Put32(r->bytes.data(), a);
    Put32(r->bytes.data() + 4, b);
    r->len = 8;
}

bool IsSlash(char c) { return c == '\\' || c == '/'; }

constexpr std::size_t kIpxNameBytes = 40;
constexpr std::size_t kComputerNameBytes = 40;
constexpr std::size_t kTcpNameBytes = 20;

}  // namespace

PipeReply BuildPipeReply(const uint8_t* msg, std::size_t n, Security& security, PipeHost& host) {
    PipeReply r;
    const uint32_t type = n >= 4 ? Get32(msg) : 0xFFFFFFFFu;
    if (type == kPipeSetSettings && n < 12) {
        Pair(&r, 0xFFFFFFFFu, 0);
        return r;
    }
    switch (type) {
    case kPipeSetSettings:
        security.signals = msg[4];
        security.permissions = Get32(msg + 8);
        [[fallthrough]];
    case kPipeGetSettings:
        Put32(r.bytes.data(), 2);
        r.bytes[4] = static_cast<uint8_t>(security.signals.load() & 0xFF);
        Put32(r.bytes.data() + 8, security.permissions.load());
        r.len = 12;
        break;
    case kPipeType2:
        Pair(&r, 0xFFFFFFFFu, 1);
        break;
    case kPipeGetAddress: {
        const int protocol = host.Protocol();
        if (protocol == 1) {
            Pair(&r, 4, 0);
            host.LocalName(r.bytes.data() + 8, kIpxNameBytes);
            r.len = 8 + kIpxNameBytes;
        } else if (protocol == 2) {
            Pair(&r, 4, 1);
            const std::string name = host.ComputerName();
            std::memcpy(r.bytes.data() + 8, name.data(), std::min(name.size(), kComputerNameBytes - 1));
            host.LocalName(r.bytes.data() + 8 + kComputerNameBytes, kTcpNameBytes);
            r.len = 8 + kComputerNameBytes + kTcpNameBytes;
        } else {
            Pair(&r, 0xFFFFFFFFu, 2);
        }
        break;
    }
    default:
        Pair(&r, 0xFFFFFFFFu, 0);
        break;
    }
    return r;
}

bool JoinPath(std::string_view dir, std::string_view name, std::string* out) {
    out->clear();
    std::string r(dir);
    const bool bare_drive = dir.size() == 2 && dir[1] == ':';
    const bool dir_ends_slash = !dir.empty() && IsSlash(dir.back());
    if (dir_ends_slash && !name.empty() && IsSlash(name.front())) name.remove_prefix(1);
    if (!dir.empty() && !bare_drive && !dir_ends_slash) r.push_back('\\');
    r.append(name);
    if (r.size() > kPathBytes - 1) return false;
    *out = std::move(r);
    return true;
}

std::string LocateClientIni(const char* sms_local_dir, char first_fixed_drive) {
    std::string path;
    if (sms_local_dir && std::strlen(sms_local_dir) < kPathBytes) {
        JoinPath(sms_local_dir, kClientIniName, &path);
    } else if (first_fixed_drive) {
        const char root[4] = {first_fixed_drive, ':', '\\', '\0'};
        JoinPath(root, kClientIniName, &path);
    }
    return path;
}

bool Fix16ColorBitmaps(std::string_view value) { return EqualNoCase(value, "ON") || EqualNoCase(value, "YES"); }

}  // namespace qv::agent
