// Requests and replies of the remote control wire, console side; see rcproto.h.
#include "tools/rcconsole/rcproto.h"

#include <cstdio>

#include "common/le_bytes.h"

namespace qv::rcc {
namespace {

constexpr auto U16 = le::Get16;
constexpr auto U32 = le::Get32;
void Put16(Bytes* b, uint16_t v) {
    b->push_back(static_cast<uint8_t>(v));
    b->push_back(static_cast<uint8_t>(v >> 8));
}

// A zero-terminated text inside p[0..n): false when the zero is missing.
bool TextAt(const uint8_t* p, std::size_t n, std::size_t at, std::string* out) {
    for (std::size_t i = at; i < n; ++i)
        if (p[i] == 0) {
            out->assign(reinterpret_cast<const char*>(p + at), i - at);
            return true;
        }
    return false;
}

std::string Words(uint32_t flags, const std::pair<uint32_t, const char*>* table, std::size_t count) {
    std::string s;
    for (std::size_t i = 0; i < count; ++i)
        if (flags & table[i].first) {
            s += s.empty() ? "" : " ";
            s += table[i].second;
            flags &= ~table[i].first;
        }
    if (flags) {
        char extra[16];
        std::snprintf(extra, sizeof extra, "0x%X", static_cast<unsigned>(flags));
        if (!s.empty()) s += ' ';
        s += extra;
    }
    return s.empty() ? "none" : s;
}

}  // namespace

Bytes InfoRequest(uint8_t level) { return {0, rc::kInfoQuery, level, 0}; }
Bytes SimpleRequest(uint8_t type) { return {0, type, 0, 0}; }

bool CommandRequest(const CommandRecord& rec, Bytes* out) {
    if (rec.program.find('\0') != std::string::npos || rec.arguments.find('\0') != std::string::npos) return false;
    if (rec.program.size() + rec.arguments.size() + 5 > kMaxCommandText) return false;
    Bytes b = {0, rc::kCommand, 0, 0, 0, 0, 0, 0, rec.cls, rec.sub};
    Put16(&b, rec.code);
    b.insert(b.end(), rec.program.begin(), rec.program.end());
    b.push_back(0);
    b.insert(b.end(), rec.arguments.begin(), rec.arguments.end());
    b.insert(b.end(), {0, 0, 0, rec.options});
    *out = std::move(b);
    return true;
}

bool DecodeHead(const uint8_t* p, std::size_t n, ReplyHead* out) {
    if (n < rc::kErrorReplySize) return false;
    *out = ReplyHead{p[0], p[1], U16(p + 2)};
    return true;
}

bool DecodeBusy(const uint8_t* p, std::size_t n, BusyReply* out) {
    if (n != rc::kBusyReplySize || U16(p + 2) != rc::kStatusBusy) return false;
    out->age_ticks = U16(p + 4);
    for (std::size_t i = 0; i < rc::kBusyOwnerAddressBytes; ++i) out->owner[i] = p[6 + i];
    return true;
}

bool DecodeEstablish(const uint8_t* p, std::size_t n, EstablishReply* out) {
    if (n != rc::kEstablishReplySize || p[0] != 0 || p[1] != rc::kEstablishSession) return false;
    out->status = U16(p + 2);
    out->permissions = out->status == rc::kStatusDone ? U32(p + 4) : 0;
    out->signals = out->status == rc::kStatusDone ? p[8] : 0;
    return true;
}

bool DecodeInfo(const uint8_t* p, std::size_t n, InfoReply* out) {
    // A busy reply has the length of a level 0 reply: the version flag (0
    // or 1, never a status) and the letters "USER" tell them apart.
    if (n < rc::kInfoLevel0ReplySize || p[0] != 0 || p[1] != rc::kInfoQuery || U16(p + 2) > 1 ||
        p[4] != 'U' || p[5] != 'S' || p[6] != 'E' || p[7] != 'R')
        return false;
    InfoReply r;
    r.version_known = U16(p + 2) == 1;
    r.os_version = U16(p + 14);
    r.level = p[10];
    if (n == rc::kInfoLevel0ReplySize) {
        if (r.level != 0) return false;
        *out = r;
        return true;
    }
    if (r.level == 0 || r.level > 3 || n < 34) return false;
    const std::size_t product_at = U16(p + 22), end = U16(p + 28);
    // The product string, its marker and four bytes lie before the end,
    // and the end is followed by the 100 zero bytes.
    if (product_at < 34 || product_at + 42 != end || end + rc::kInfoTrailingZeros != n) return false;
    if (!TextAt(p, product_at + 37, product_at, &r.product)) return false;
    r.transport = U16(p + 26);
    r.session_age = U16(p + 30);
    r.viewer_active = (p[33] & 0x08) != 0;
    if (r.level >= 3) {
        if (product_at < 60) return false;
        r.keyboard_type = U16(p + 48);
        r.keyboard_subtype = U16(p + 50);
        if (!TextAt(p, 58, 54, &r.language)) return false;
        r.code_page = U16(p + 58);
    }
    *out = r;
    return true;
}

bool DecodeCommand(const uint8_t* p, std::size_t n, CommandReply* out) {
    if (n != rc::kCommandReplySize || p[0] != 0 || p[1] != rc::kCommand) return false;
    out->status = U16(p + 2);
    for (int i = 0; i < 4; ++i) out->data[i] = p[8 + i];
    return true;
}

std::string StatusText(uint16_t status) {
    switch (status) {
    case rc::kStatusDone: return "done";
    case rc::kStatusAlreadyEstablished: return "a session is already established";
    case rc::kStatusInvalidViewer: return "this console is not the session's owner (invalid viewer)";
    case rc::kStatusBusy: return "the agent is busy with another console";
    case rc::kStatusNoSession: return "no session is established";
    case rc::kStatusTimedOut: return "the session timed out";
    case rc::kStatusBadRequest: return "the agent did not accept the request (unknown or malformed)";
    default: return "unknown status " + std::to_string(status);
    }
}

std::string PermissionWords(uint32_t permissions) {
    static const std::pair<uint32_t, const char*> kWords[] = {
        {rc::kAllowTakeover, "takeover"},         {rc::kAllowReboot, "reboot"},
        {rc::kAllowFileTransfer, "file-transfer"}, {rc::kAllowChat, "chat"},
        {rc::kAllowRemoteExecute, "remote-execute"}, {rc::kAllowPingTest, "ping-test"},
    };
    return Words(permissions, kWords, sizeof kWords / sizeof kWords[0]);
}

std::string SignalWords(uint32_t signals) {
    static const std::pair<uint32_t, const char*> kWords[] = {
        {rc::kSignalVisible, "visible"},
        {rc::kSignalAudible, "audible"},
        {rc::kSignalPermissionRequired, "permission-required"},
    };
    return Words(signals, kWords, sizeof kWords / sizeof kWords[0]);
}

std::string AddressText(const uint8_t* p, std::size_t n) {
    bool tail_zero = n >= 6;
    for (std::size_t i = 6; i < n; ++i) tail_zero = tail_zero && p[i] == 0;
    char text[64];
    if (tail_zero) {
        std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", p[0], p[1], p[2], p[3], (p[4] << 8) | p[5]);
        return text;
    }
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(text, sizeof text, "%02x", p[i]);
        s += text;
    }
    return s;
}

std::string ResultText(uint16_t result) {
    switch (result) {
    case rc::kResultPromptOpen: return "prompt still open";
    case rc::kResultStarted: return "started";
    case rc::kResultAllowed: return "allowed";
    case rc::kResultRefused: return "refused";
    default: return "Windows error " + std::to_string(result);
    }
}

Bytes PipeRequest(uint32_t type, uint8_t signals, uint32_t permissions) {
    Bytes b(kPipeMessage, 0);
    for (int i = 0; i < 4; ++i) {
        b[i] = static_cast<uint8_t>(type >> (8 * i));
        b[8 + i] = static_cast<uint8_t>(permissions >> (8 * i));
    }
    b[4] = signals;
    return b;
}

std::vector<std::string> DescribePipeReply(const uint8_t* p, std::size_t n) {
    char line[96];
    std::vector<std::string> out;
    const uint32_t kind = n >= 8 ? U32(p) : 0;
    if (n == 12 && kind == 2) {
        std::snprintf(line, sizeof line, "signals 0x%02X ", p[4]);
        out.push_back(std::string(line).append(SignalWords(p[4])));
        std::snprintf(line, sizeof line, "permissions 0x%08X ", static_cast<unsigned>(U32(p + 8)));
        out.push_back(std::string(line).append(PermissionWords(U32(p + 8))));
    } else if (n == 8 && kind == 0xFFFFFFFFu) {
        out.push_back("error " + std::to_string(U32(p + 4)));
    } else if (n == 48 && kind == 4 && U32(p + 4) == 0) {
        out.push_back("address ipx local " + AddressText(p + 8, 40));
    } else if (n == 68 && kind == 4 && U32(p + 4) == 1) {
        std::string name;
        if (!TextAt(p, 48, 8, &name)) name.assign(reinterpret_cast<const char*>(p + 8), 40);
        for (char& ch : name)
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
        out.push_back("address tcp/ip computer " + name + " local " + AddressText(p + 48, 20));
    } else {
        std::string hex;
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(line, sizeof line, "%02x", p[i]);
            hex += line;
        }
        out.push_back("raw " + hex);
    }
    return out;
}

Bytes ControlPacket(uint8_t type, uint8_t ack) { return {type, 0, ack, 0}; }

Bytes StartViewingPacket(uint8_t sequence, uint8_t ack, uint8_t factor1, uint8_t factor2, const std::string& name) {
    Bytes b(rc::kPacketHeader + 3 + rc::kViewerNameBytes, 0);
    const uint8_t head[] = {rc::PT_DATA, sequence, ack, 0, rc::kCmdStartViewing, factor1, factor2};
    for (std::size_t i = 0; i < sizeof head; ++i) b[i] = head[i];
    // The name keeps its zero byte.
    for (std::size_t i = 0; i < name.size() && i < rc::kViewerNameBytes - 1; ++i)
        b[sizeof head + i] = static_cast<uint8_t>(name[i]);
    return b;
}

void RecordCounter::Feed(const uint8_t* p, std::size_t n, bool queue_start) {
    if (queue_start) {
        pending_.clear();
        need_ = 0;
        lost_ = false;
    }
    std::size_t i = 0;
    while (i < n) {
        if (lost_) {
            unknown_ += n - i;
            return;
        }
        if (need_ > 0) {
            const std::size_t take = need_ < n - i ? static_cast<std::size_t>(need_) : n - i;
            need_ -= take;
            i += take;
            continue;
        }
        pending_.push_back(p[i++]);
        // The bytes of a record that say its length: the code and, for the
        // variable records, the count field.
        const uint8_t code = pending_[0];
        std::size_t head = 1;
        switch (code) {
        case 121: case 153: head = 4; break;
        case 172: head = 17; break;
        case 175: head = 7; break;
        case 113: case 130: case 149: case 177: break;
        default:
            lost_ = true;
            unknown_ += 1;
            pending_.clear();
            continue;
        }
        if (pending_.size() < head) continue;
        uint64_t total = 0;
        switch (code) {
        case 113: total = 5; break;
        case 130: total = 6; break;
        case 149: total = 49; break;
        case 177: total = 9; break;
        case 121: total = 4 + 3ull * U16(pending_.data() + 2); break;
        case 153: total = 4 + 4ull * U16(pending_.data() + 2); break;
        case 175: total = 7 + static_cast<uint64_t>(U16(pending_.data() + 5)); break;
        case 172: {
            // The bitmap header's bit count (offset 14 of the header) gives the
            // colour table: 2, 16 or 256 entries.
            const unsigned bits = U16(pending_.data() + 15);
            total = bits <= 8 ? 41 + 4ull * (1ull << bits) : 41;
            break;
        }
        }
        ++records_;
        need_ = total - pending_.size();
        pending_.clear();
    }
}

DataReceiver::Action DataReceiver::OnData(uint8_t sequence, Bytes* reply) {
    if (sequence == static_cast<uint8_t>(last_ + 1)) {
        last_ = sequence;
        *reply = ControlPacket(rc::PT_ACK, last_);
        return Action::kTake;
    }
    // Within the agent's window behind us: a copy of one already taken.
    if (static_cast<uint8_t>(last_ - sequence) < rc::kSendSlots) {
        *reply = ControlPacket(rc::PT_ACK, last_);
        return Action::kRepeat;
    }
    *reply = ControlPacket(rc::PT_RESEND, last_);
    return Action::kGap;
}

}  // namespace qv::rcc
