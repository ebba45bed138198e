// Fuzz target for the console's handling of what a slave sends back.
//
// The input is the run of replies a slave might send: each one a 2-byte
// little-endian length (taken modulo 600, so that packets longer than a
// reply are tried too) followed by that many bytes. The console's client
// runs every command against it; each wait takes the next reply, and the
// link counts as broken once the input is used up. What the client hands
// on must stay within its bounds: a listing within its cap, a download
// never past the size announced for it, texts for the terminal free of
// control characters, a progress line within its width.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "slave/ft_protocol.h"
#include "tools/ftconsole/console_text.h"
#include "tools/ftconsole/ftclient.h"

namespace {

using namespace qv::ftc;

[[noreturn]] void Fail() { std::abort(); }

class ScriptLink final : public PacketLink {
public:
    ScriptLink(const uint8_t* d, std::size_t n) : d_(d), n_(n) {}
    bool Send(const uint8_t*, std::size_t) override { return true; }
    int Recv(uint8_t* buf, std::size_t cap, int) override {
        if (pos_ + 2 > n_) return -1;
        std::size_t len = (d_[pos_] | d_[pos_ + 1] << 8) % 600u;
        pos_ += 2;
        if (len > n_ - pos_) len = n_ - pos_;
        if (len == 0) return 0;  // a time-out
        const uint8_t* p = d_ + pos_;
        pos_ += len;
        if (len > cap) return -1;
        for (std::size_t i = 0; i < len; ++i) buf[i] = p[i];
        return static_cast<int>(len);
    }

private:
    const uint8_t* d_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

void CheckText(const std::string& s) {
    for (unsigned char ch : Printable(s))
        if (ch < 0x20 || ch == 0x7F || (ch >= 0x80 && ch <= 0x9F)) Fail();
}

void CheckProgress(uint64_t done, uint64_t total) {
    if (total && done > total) Fail();  // never more than announced
    if (ProgressLine("NAME", done, total).size() > kProgressWidth) Fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ScriptLink link(data, size);
    // The script never blocks: a long time-out only keeps a slow run (under
    // the sanitizers, on a busy machine) from timing out before it reads.
    FtClient c(link, 60000, 1);
    c.Existence();
    std::vector<int> drives;
    c.Drives(&drives);
    std::vector<std::string> names;
    c.List("C:\\*.*", true, &names);
    if (names.size() > kListMaxNames) Fail();
    for (const auto& n : names) CheckText(n);
    std::string dir;
    c.CurrentDirectory(&dir);
    CheckText(dir);
    uint32_t file_size = 0;
    c.Size("C:\\A.TXT", &file_size);
    uint64_t got = 0, shown = 0;
    uint16_t date = 0, time = 0;
    Result r = c.Download(
        "C:\\A.TXT", [&](const uint8_t*, std::size_t n) { return got += n, true; }, &date, &time,
        [&](uint64_t done, uint64_t total) {
            CheckProgress(done, total);
            shown = done;
        });
    if (got != shown || got > kUnknownSizeCap) Fail();
    if (qv::ft::ValidDos(date, time)) {
        uint16_t d2, t2;
        if (!qv::ft::EncodeDos(qv::ft::DecodeDos(date, time), &d2, &t2) || d2 != date || t2 != time) Fail();
    }
    (void)r;
    c.Put("C:\\UP.BIN", std::string(1000, 'u'), 0x2521, 0x6000, false, CheckProgress);
    c.Delete("C:\\UP.BIN");
    c.VerifyDirectory("C:\\");
    c.Terminate();
    return 0;
}
