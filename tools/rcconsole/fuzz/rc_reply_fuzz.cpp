// Fuzz target for the console's reading of what an agent sends back.
//
// The input is a run of packets an agent might send: each a 2-byte
// little-endian length (modulo 600, so longer packets are tried too) and
// that many bytes; an empty one is a time-out, and the link counts as
// broken once the input is used up. The console's client runs a session
// against it (information, establish, a command, a validation, the end),
// and every packet is also read by the decoders, the pipe reply reader and
// the data-side bookkeeping. What they hand on must stay within the forms:
// texts no longer than their fields, ages and flags as carried.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/ftconsole/ftclient.h"
#include "tools/rcconsole/rcclient.h"
#include "tools/rcconsole/rcproto.h"

namespace {

using namespace qv::rcc;

[[noreturn]] void Fail() { std::abort(); }

class ScriptLink final : public qv::ftc::PacketLink {
public:
    ScriptLink(const uint8_t* d, std::size_t n) : d_(d), n_(n) {}
    bool Send(const uint8_t*, std::size_t) override { return true; }
    int Recv(uint8_t* buf, std::size_t cap, int) override {
        const uint8_t* p;
        std::size_t len;
        if (!NextPacket(&p, &len)) return -1;
        if (len == 0) return 0;
        if (len > cap) return -1;
        for (std::size_t i = 0; i < len; ++i) buf[i] = p[i];
        return static_cast<int>(len);
    }
    bool NextPacket(const uint8_t** p, std::size_t* len) {
        if (pos_ + 2 > n_) return false;
        *len = (d_[pos_] | d_[pos_ + 1] << 8) % 600u;
        pos_ += 2;
        if (*len > n_ - pos_) *len = n_ - pos_;
        *p = d_ + pos_;
        pos_ += *len;
        return true;
    }

private:
    const uint8_t* d_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

void CheckInfo(const InfoReply& i) {
    if (i.product.size() > 36 || i.language.size() > 3 || i.level > 3) Fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every packet through the decoders.
    {
        ScriptLink walk(data, size);
        const uint8_t* p;
        std::size_t n;
        RecordCounter records;
        DataReceiver rx;
        uint64_t fed = 0;
        while (walk.NextPacket(&p, &n)) {
            InfoReply info;
            if (DecodeInfo(p, n, &info)) CheckInfo(info);
            BusyReply busy;
            // A busy reply is never taken for an information reply.
            if (DecodeBusy(p, n, &busy) && (n != 22 || DecodeInfo(p, n, &info))) Fail();
            EstablishReply est;
            DecodeEstablish(p, n, &est);
            CommandReply cmd;
            DecodeCommand(p, n, &cmd);
            if (DescribePipeReply(p, n).empty()) Fail();
            AddressText(p, n < 32 ? n : 32);
            if (n >= 4) {
                Bytes reply;
                rx.OnData(p[1], &reply);
                if (reply.size() != 4) Fail();
                records.Feed(p + 4, n - 4, (p[3] & 2) != 0);
                fed += n - 4;
            }
        }
        if (records.unknown_bytes() > fed) Fail();
    }
    // A session against the run.
    ScriptLink link(data, size);
    RcClient c(link, 1, 1);
    InfoReply info;
    if (c.Info(3, &info).ok) CheckInfo(info);
    EstablishReply est;
    Outcome o = c.Establish(&est);
    if (o.ok && o.busy) Fail();
    CommandRecord rec;
    rec.code = qv::rc::kCodePollResult;
    CommandReply cmd;
    o = c.Command(rec, true, &cmd);
    if (o.ok && o.status != 0) Fail();
    c.Validate(1);
    c.End();
    return 0;
}
