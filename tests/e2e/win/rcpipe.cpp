// rcpipe: a client of the agent's settings pipe, for the end-to-end tests
// and for administrators who want to look.
//
//   rcpipe [--pipe NAME] get                      the signal and permission flags
//   rcpipe [--pipe NAME] set SIGNALS PERMISSIONS  set both (numbers: 0x.. or decimal)
//   rcpipe [--pipe NAME] address                  the agent's network address
//   rcpipe [--pipe NAME] raw TYPE                 a request of any type
//
// Sends one 68-byte message to "\\.\pipe\RCHOST Agent" (or NAME), reads the
// reply and prints it decoded, one fact a line: "signals 0x04 visible",
// "permissions 0x000020F1 takeover chat ...", "address tcp/ip computer NAME
// local 127.0.0.1:1761", "error N" (the agent's 0xFFFFFFFF replies), or
// "raw HEX", each line ending in a plain "\n". Exit status 0 when a reply came, 1 when the pipe could not be
// used (the Windows error is printed), 2 for a usage error.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/win/handles.h"
#include "tools/rcconsole/rcproto.h"

namespace {

int Usage(const char* problem) {
    std::fprintf(stderr,
                 "rcpipe: %s\nusage: rcpipe [--pipe NAME] get | set SIGNALS PERMISSIONS | address | raw TYPE\n",
                 problem);
    return 2;
}

bool Number(const char* text, unsigned long max, unsigned long* out) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (!*text || *end || v > max) return false;
    *out = v;
    return true;
}

int Fail(const char* what) {
    std::fprintf(stderr, "rcpipe: %s failed (Windows error %lu)\n", what, static_cast<unsigned long>(::GetLastError()));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Plain "\n" line ends, whatever reads the output (Linux tests, mostly).
    _setmode(_fileno(stdout), _O_BINARY);
    std::string pipe = "\\\\.\\pipe\\RCHOST Agent";
    int i = 1;
    if (i + 1 < argc && std::string(argv[i]) == "--pipe") {
        pipe = argv[i + 1];
        i += 2;
    }
    if (i >= argc) return Usage("name the request");
    const std::string what = argv[i];
    qv::rcc::Bytes req;
    unsigned long a = 0, b = 0;
    if (what == "get" && argc == i + 1) {
        req = qv::rcc::PipeRequest(qv::rcc::kPipeGet);
    } else if (what == "set" && argc == i + 3) {
        if (!Number(argv[i + 1], 0xFF, &a) || !Number(argv[i + 2], 0xFFFFFFFFul, &b))
            return Usage("set needs SIGNALS (0 to 0xFF) and PERMISSIONS (32 bits)");
        req = qv::rcc::PipeRequest(qv::rcc::kPipeSet, static_cast<uint8_t>(a), static_cast<uint32_t>(b));
    } else if (what == "address" && argc == i + 1) {
        req = qv::rcc::PipeRequest(qv::rcc::kPipeAddress);
    } else if (what == "raw" && argc == i + 2) {
        if (!Number(argv[i + 1], 0xFFFFFFFFul, &a)) return Usage("raw needs a 32-bit TYPE");
        req = qv::rcc::PipeRequest(static_cast<uint32_t>(a));
    } else {
        return Usage("unknown request or wrong number of arguments");
    }

    // The pipe has one instance: wait while another client uses it.
    qv::win::FileHandle h;
    for (int tries = 0; tries < 10 && !h; ++tries) {
        h.reset(::CreateFileA(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!h && (::GetLastError() != ERROR_PIPE_BUSY || !::WaitNamedPipeA(pipe.c_str(), 2000))) break;
    }
    if (!h) return Fail(("opening " + pipe).c_str());
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(h.get(), &mode, nullptr, nullptr)) return Fail("SetNamedPipeHandleState");
    DWORD wrote = 0;
    if (!::WriteFile(h.get(), req.data(), static_cast<DWORD>(req.size()), &wrote, nullptr)) return Fail("WriteFile");
    uint8_t reply[512];
    DWORD got = 0;
    if (!::ReadFile(h.get(), reply, sizeof reply, &got, nullptr)) return Fail("ReadFile");
    std::printf("bytes %lu\n", static_cast<unsigned long>(got));
    for (const std::string& line : qv::rcc::DescribePipeReply(reply, got)) std::printf("%s\n", line.c_str());
    return 0;
}
