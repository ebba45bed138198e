// Fuzz target for the applications database reader and the learning mode's
// rewrite of the database.
//
// Input: a byte (bit 0: Shift-JIS lead bytes count as double-byte
// characters; bits 1-2: how short of memory the loader is), then four
// zero-terminated profile values (Version, Mode, Duplicate, ScanExtensions)
// and a zero-terminated learned file name; the rest is the database file
// QVAPPL.INI, written to a fresh folder on a memory file system (/dev/shm,
// else the temporary folder). Every portion is loaded; each entry loaded
// must then be found again by its own name and size, and each ignored name
// must be ignored. Then the learned name is added to [Applications] and to
// [Ignore]: a rewrite either leaves the database as it was or yields the
// same bytes with the new line inserted at a line start (line ends aside,
// as every LF becomes CR LF).
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "scanner/software/appdb.h"
#include "scanner/software/learn.h"

namespace {

using namespace qv::scanner;

[[noreturn]] void Fail() { std::abort(); }

int ShiftJisLength(unsigned long bytes) {
    const unsigned b = bytes & 0xFF;
    return ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) && (bytes & 0xFF00) ? 2 : 1;
}

struct NullConsole : SoftwareConsole {
    void Out(std::string_view) override {}
    void Err(std::string_view) override {}
    int ReadKey() override { return -1; }
    bool ReadLine(std::string*) override { return false; }
};

struct Platform : StdPlatform {
    bool IsFixedDrive(char) override { return false; }
};

const std::string& Folder() {
    static const std::string dir = [] {
        std::error_code ec;
        const char* base = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
        return std::string(base) + "/qv-appdb-fuzz-" + std::to_string(static_cast<long>(::getpid()));
    }();
    return dir;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string WithoutCr(std::string s) {
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
}

void CheckRewrite(const std::string& before, const std::string& after, const std::string& line) {
    if (after == before) return;
    const std::string old_text = WithoutCr(before), new_text = WithoutCr(after), added = WithoutCr(line) + "\n";
    for (std::size_t at = 0; (at = new_text.find(added, at)) != std::string::npos; ++at)
        if ((at == 0 || new_text[at - 1] == '\n') &&
            new_text.substr(0, at) + new_text.substr(at + added.size()) == old_text)
            return;
    Fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t mode = data[0];
    std::vector<std::string> f;
    std::size_t i = 1;
    while (f.size() < 5 && i <= size) {
        std::size_t end = i;
        while (end < size && data[end] != 0) ++end;
        f.emplace_back(reinterpret_cast<const char*>(data + i), end - i);
        i = end + 1;
    }
    f.resize(5);
    const std::string db_text = i < size ? std::string(reinterpret_cast<const char*>(data + i), size - i) : "";

    std::error_code ec;
    std::filesystem::remove_all(Folder(), ec);
    std::filesystem::create_directories(Folder(), ec);
    const std::string path = Folder() + "/QVAPPL.INI";
    {
        std::ofstream out(path, std::ios::binary);
        out.write(db_text.data(), static_cast<std::streamsize>(db_text.size()));
    }

    NullConsole console;
    SoftwareEnv env;
    env.console = &console;
    env.quiet = true;
    if (mode & 1) env.char_length = ShiftJisLength;
    ApplicationsDatabase::Options options;
    const char* keys[] = {"Version", "Mode", "Duplicate", "ScanExtensions"};
    options.profile = [&](const char* key, const char* fallback) {
        for (int k = 0; k < 4; ++k)
            if (std::string(key) == keys[k]) return f[k].empty() ? std::string(fallback) : f[k];
        return std::string(fallback);
    };
    const std::size_t limits[] = {SIZE_MAX, 200000, 40000, 1000};
    options.memory_limit = limits[(mode >> 1) & 3];

    ApplicationsDatabase db(env, options);
    for (int portion = 0; portion < 64; ++portion) {
        if (db.LoadPortion(path) != kDbResultOk) break;
        if (db.settings().extensions.size() > kMaxExtensions) Fail();
        struct Probe {
            std::string name;
            std::uint32_t size;
        };
        std::vector<Probe> probes;
        for (const ApplicationEntry& e : db.entries())
            if (!e.name.empty()) probes.push_back({std::string(e.name), e.size});
        for (const Probe& p : probes)
            if (!db.settings().duplicate_off() && !db.LookupApplication(p.name, p.size).exact_kind) Fail();
        for (const IgnoreEntry& e : db.ignores())
            if (!e.name.empty() && !db.LookupIgnoredName(e.name)) Fail();
        if (db.IsLastPortion()) break;
    }
    db.Close();

    Platform platform;
    const std::string name = f[4].empty() ? "NEWAPP.EXE" : f[4];
    std::string before = ReadAll(path);
    if (AddApplicationLine(env, platform, name, 12345, "Learned", "1.0", path) == kLearnOk)
        CheckRewrite(before, ReadAll(path), FillTemplate("<I>,%s,%ld,%s,%s", {name, 12345L, "Learned", "1.0"}));
    before = ReadAll(path);
    if (AddIgnoreLine(env, platform, name, path) == kLearnOk)
        CheckRewrite(before, ReadAll(path), FillTemplate("<I>,%s", {name}));
    std::filesystem::remove_all(Folder(), ec);
    return 0;
}
