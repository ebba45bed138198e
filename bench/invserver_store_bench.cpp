// invserver_store_bench: the inventory store filled with many devices, and
// how long the administrator's 'software NAME' query takes over them.
//
//   invserver_store_bench [--devices=N] [--programs=N] [--database=sqlite|postgresql]
//
// Stores N devices' inventories (default 10000) straight into the store, as
// the server does once an inventory's packets are in (one transaction
// each): a hardware part of some 40 items and `programs` recognised programs
// (default 30) out of a catalogue of 300, so that each program runs on about
// a tenth of the devices. SQLite is a temporary file; PostgreSQL a
// throw-away server (tests/pgserver, without its disk flushes: the query is
// measured, not the storing). Prints the storing rate, the store's size per
// 1,000 inventories, and the time of 'invserver software NAME' (as the
// command runs it: open, query, table) for a program on many devices and for
// one on none, best and median of 7 runs.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "scanner/serverlink/protocol.h"
#include "tests/pgserver/pg_server.h"
#include "tools/invserver/query.h"
#include "tools/invserver/store.h"
#include "tools/invserver/stream.h"

namespace {

using namespace qv::invserver;
using Clock = std::chrono::steady_clock;
constexpr int kCatalogue = 300;   // distinct programs
constexpr int kRuns = 7;          // query timings per program

std::string Program(int n) { return "Program " + std::to_string(n) + " Suite"; }

// The item packets of device i's inventory, as the scanner would send them.
std::vector<std::string> Packets(int i, int programs) {
    std::vector<std::string> items;
    char id[24];
    std::snprintf(id, sizeof id, "PCSTORE%05d", i);
    items.push_back(std::string("Device ID =") + id);
    items.push_back("Processor - Type =Pentium");
    items.push_back("Processor - Speed =" + std::to_string(133 + i % 200) + " MHz");
    items.push_back("Memory - Physical - Bytes Total = " + std::to_string(32768 + 1024 * (i % 64)) + " KB");
    items.push_back("OS - Name =Windows NT");
    items.push_back("OS - NT Info - Current Version =4.0");
    for (char d : {'C', 'D'}) {
        const std::string drive = std::string("Logical Drive ") + d + " - ";
        items.push_back(drive + "Size =  2047.0 MB");
        items.push_back(drive + "Free =  " + std::to_string(i % 2000) + ".0 MB");
        items.push_back(drive + "File System =NTFS");
    }
    for (int e = 0; e < 26; ++e)
        items.push_back("Environ - VAR" + std::to_string(e) + " =C:\\PATH\\TO\\SOMETHING\\" + std::to_string(e));
    items.push_back("_SOFTWARE =");
    for (int p = 0; p < programs; ++p) {
        const int n = (i * 7 + p * 10) % kCatalogue;
        items.push_back(Program(n) + " =" + std::to_string(1 + n % 5) + ".0");
    }
    items.push_back("Number of Files =    " + std::to_string(2000 + i % 100));
    std::vector<std::string> packets(1);
    for (std::string& item : items) {
        item += '\0';
        if (packets.back().size() + item.size() + 1 > qv::serverlink::kPayloadSize) packets.emplace_back();
        packets.back() += item;
    }
    for (std::string& p : packets) p += '\0';
    return packets;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// 'invserver software NAME' as the command runs it; best and median.
void TimeSoftware(const std::string& where, const std::string& name) {
    std::vector<double> ms;
    std::size_t lines = 0;
    for (int r = 0; r < kRuns; ++r) {
        std::string out, err;
        const auto t0 = Clock::now();
        RunQuery({"software", name, "--database=" + where}, &out, &err);
        ms.push_back(Ms(Clock::now() - t0));
        lines = static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
    }
    std::sort(ms.begin(), ms.end());
    std::printf("software '%s': %zu lines, %.1f ms best, %.1f ms median\n", name.c_str(), lines, ms[0],
                ms[ms.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
    int devices = 10000, programs = 30;
    std::string kind = "sqlite";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--devices=", 0) == 0) devices = std::clamp(std::atoi(a.c_str() + 10), 1, 1000000);
        else if (a.rfind("--programs=", 0) == 0) programs = std::clamp(std::atoi(a.c_str() + 11), 1, kCatalogue);
        else if (a.rfind("--database=", 0) == 0) kind = a.substr(11);
        else {
            std::fprintf(stderr, "usage: invserver_store_bench [--devices=N] [--programs=N] "
                                 "[--database=sqlite|postgresql]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    std::unique_ptr<qv::pgtest::PostgresServer> pg;
    std::string where;
    const std::string file = "/tmp/invserver-store-bench-" + std::to_string(::getpid()) + ".db";
    if (kind == "postgresql") {
        pg = std::make_unique<qv::pgtest::PostgresServer>();
        if (!pg->ok() || !pg->CreateDatabase("bench")) {
            std::fprintf(stderr, "invserver_store_bench: %s\n", pg->error().c_str());
            return 1;
        }
        where = pg->Uri("bench");
    } else if (kind == "sqlite") {
        where = file;
    } else {
        std::fprintf(stderr, "invserver_store_bench: --database is sqlite or postgresql\n");
        return 2;
    }
    std::string err;
    std::unique_ptr<Store> store = Store::Open(where, &err);
    if (!store) {
        std::fprintf(stderr, "invserver_store_bench: %s\n", err.c_str());
        return 1;
    }
    auto size = [&]() -> double {
        std::int64_t bytes = 0;
        if (pg) store->db().QueryInt("SELECT pg_database_size(current_database())", {}, &bytes);
        else
            for (const char* suffix : {"", "-wal"}) {
                std::error_code ec;
                const auto n = std::filesystem::file_size(file + suffix, ec);
                if (!ec) bytes += static_cast<std::int64_t>(n);
            }
        return static_cast<double>(bytes);
    };
    const double empty = size();
    const auto t0 = Clock::now();
    for (int i = 0; i < devices; ++i) {
        StreamDecoder stream;
        for (const std::string& p : Packets(i, programs))
            stream.Feed(reinterpret_cast<const std::uint8_t*>(p.data()), p.size());
        const std::string id = stream.Value("Device ID =");
        if (!store->StoreInventory(Store::NameForId(id), id, "127.0.0.1:5007", 1765000000 + i, stream)) {
            std::fprintf(stderr, "invserver_store_bench: device %d not stored: %s\n", i, store->error().c_str());
            return 1;
        }
    }
    const double seconds = Ms(Clock::now() - t0) / 1000;
    std::printf("%s: %d devices of %d programs stored in %.1f s (%.0f inventories/s), %.2f MB per 1,000 "
                "inventories\n",
                kind.c_str(), devices, programs, seconds, devices / seconds, (size() - empty) / devices * 1000 / 1e6);
    store.reset();
    TimeSoftware(where, Program(7));
    TimeSoftware(where, "No Such Program");
    std::filesystem::remove(file);
    std::filesystem::remove(file + "-wal");
    std::filesystem::remove(file + "-shm");
    return 0;
}
