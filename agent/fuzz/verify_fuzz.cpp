// Fuzz target for the verify endpoint's request handling.
//
// The input is a run of requests: a byte choosing the caller (the first
// console, a second one, or one whose address could not be read; with bit
// 7 set the user first answers an open consent prompt), a byte of
// elapsed time in steps of 1.1 s, a length byte and that many request
// bytes. Every reply must be one of the protocol's sizes and repeat the
// request's first two bytes; a program may only be started from a record
// that lies within the request with both texts terminated.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "agent/test/fakes.h"

namespace {

using namespace qv::agent;

[[noreturn]] void Fail() { std::abort(); }

struct CheckedHost : test::Host {
    std::size_t request_len = 0;
    uint32_t StartProgram(const std::string& w, const std::string& rest) override {
        // The command line never exceeds the request's bytes (plus a K).
        if (w.size() + rest.size() > std::min<std::size_t>(request_len, 256)) Fail();
        return w.size() % 3 == 0 ? 5 : 0;
    }
    void StartPromptThread(const PromptRequest& r) override {
        if (r.text.size() > 255 || r.template_id < 1113 || r.template_id > 1121) Fail();
    }
};

}  // namespace

int FuzzVerifyRequests(const uint8_t* data, std::size_t size) {
    test::Events ev;
    ev.keep = false;
    CheckedHost host;
    Security security;
    VerifyEndpoint verify(security, host, ev);
    const uint8_t callers[2][16] = {{1, 2, 3, 4}, {5, 6, 7, 8}};
    uint32_t now = 0xFFFF0000u;  // the tick count wraps during the run
    std::size_t i = 0;
    while (i + 3 <= size) {
        const uint8_t who = data[i] % 3;
        now += data[i + 1] * 1100u;
        std::size_t n = data[i + 2];
        i += 3;
        if (n > size - i) n = size - i;
        host.request_len = n;
        if ((data[i - 3] & 0x80) && security.PromptOpen()) security.AnswerPrompt(n % 2, ev);
        // Each request in a buffer of its own size, so that reading past it is caught.
        const test::Bytes req(data + i, data + i + n);
        const VerifyOutcome out = verify.Handle(req.data(), n, who < 2 ? callers[who] : nullptr, who < 2 ? 16 : 0, now);
        switch (out.reply_len) {
        case 0: case 4: case 12: case 14: case 22: case 176: case 188: case 202: break;
        default: Fail();
        }
        if (out.reply_len && (out.reply[0] != (n > 0 ? data[i] : 0) || out.reply[1] != (n > 1 ? data[i + 1] : 0)))
            Fail();
        if (out.reboot && (n < 2 || data[i + 1] != 7)) Fail();
        i += n;
    }
    return 0;
}

#ifdef QV_FUZZ_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzVerifyRequests(data, size); }
#endif
