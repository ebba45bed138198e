// Benchmark of the software walk: a bare FindFirstFileA / FindNextFileA walk
// of a tree beside the scanner's walk with recognition of the same tree, in
// the same run, and the load of the applications database, with the
// process's memory before and after (it must not grow with the files walked).
//
//   bench_software_walk.exe ROOT\ DATABASE
//
// Prints figures only; run it through bench/run_software_walk.sh, which
// makes the fixture tree and database first.
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "scanner/software/appdb.h"
#include "scanner/software/recognize.h"
#include "scanner/software/software_win.h"
#include "scanner/software/walk.h"

namespace {

using namespace qv::scanner;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Memory {
    double private_mb, peak_mb;
};

Memory MemoryNow() {
    PROCESS_MEMORY_COUNTERS c = {};
    c.cb = sizeof c;
    GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c);
    return {c.PagefileUsage / 1048576.0, c.PeakPagefileUsage / 1048576.0};
}

unsigned long BareWalk(char* path, std::size_t length) {
    std::memcpy(path + length, "*.*", 4);
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(path, &data);
    path[length] = '\0';
    if (h == INVALID_HANDLE_VALUE) return 0;
    unsigned long files = 0;
    do {
        if (data.cFileName[0] == '.') continue;
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            ++files;
            continue;
        }
        std::size_t n = std::strlen(data.cFileName);
        if (length + n + 1 > kSwPathMax) continue;
        std::memcpy(path + length, data.cFileName, n);
        path[length + n] = '\\';
        path[length + n + 1] = '\0';
        files += BareWalk(path, length + n + 1);
        path[length] = '\0';
    } while (FindNextFileA(h, &data));
    FindClose(h);
    return files;
}

struct CountingOutput : SoftwareOutput {
    unsigned long items = 0, rows = 0;
    void Item(std::string_view, std::string_view) override { ++items; }
    void Row(const char*, std::string_view) override { ++rows; }
    void Record(const ContentsRecord&) override {}
    void Text(ByteSource&) override {}
};

struct SilentConsole : SoftwareConsole {
    void Out(std::string_view) override {}
    void Err(std::string_view t) override { std::fwrite(t.data(), 1, t.size(), stderr); }
    int ReadKey() override { return -1; }
    bool ReadLine(std::string*) override { return false; }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ROOT\\ DATABASE\n", argv[0]);
        return 2;
    }
    std::string root = argv[1];
    std::string database = argv[2];
    Memory start = MemoryNow();

    SilentConsole console;
    CountingOutput output;
    SoftwareEnv env;
    env.console = &console;
    env.output = &output;
    ApplicationsDatabase::Options options;
    options.profile = [&](const char* key, const char* fallback) {
        char value[kSettingValueMax + 1] = {};
        GetPrivateProfileStringA(kSettingsSection, key, fallback, value, sizeof value, database.c_str());
        return std::string(value);
    };
    ApplicationsDatabase db(env, options);
    double t0 = Now();
    int r = db.LoadPortion(database);
    double load = Now() - t0;
    if (r != 0) return r;
    Memory loaded = MemoryNow();
    std::printf("database: %zu entries in %zu-byte portion(s), loaded in %.1f ms\n", db.entries().size(),
                db.portion_size(), load * 1000);

    Recognizer recognizer(env, db, nullptr);
    double bare_best = 1e9, walk_best = 1e9;
    unsigned long bare_files = 0, walk_files = 0;
    for (int round = 0; round < 2; ++round) {
        char path[kSwPathMax + 1];
        std::snprintf(path, sizeof path, "%s", root.c_str());
        t0 = Now();
        bare_files = BareWalk(path, root.size());
        bare_best = std::min(bare_best, Now() - t0);

        Walker walker(FindFileListing(), recognizer, db.settings(), nullptr, false);
        output.items = output.rows = 0;
        t0 = Now();
        walker.WalkRoot(root);
        walk_best = std::min(walk_best, Now() - t0);
        walk_files = walker.file_count();
    }
    Memory walked = MemoryNow();
    std::printf("bare walk:        %lu files in %.0f ms\n", bare_files, bare_best * 1000);
    std::printf("walk+recognition: %lu files (16-bit count) in %.0f ms, %lu items, %lu rows\n", walk_files,
                walk_best * 1000, output.items, output.rows);
    std::printf("ratio walk+recognition / bare: %.2f\n", walk_best / bare_best);
    std::printf("private memory: start %.1f MB, after load %.1f MB, after walks %.1f MB (peak %.1f MB)\n",
                start.private_mb, loaded.private_mb, walked.private_mb, walked.peak_mb);
    return 0;
}
