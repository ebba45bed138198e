// invserver_load: many scanners delivering their inventories to invserver at
// once, on the loopback address.
//
//   invserver_load [--scanners=N] [--items=N] [--drop=PCT] [--keys=N] [--invserver=PATH]
//                  [--database=postgresql|WHERE]
//
// Starts invserver (beside this program) on a free port with a temporary
// storage folder, then N scanners at the same moment (default 200), each
// from a loopback address of its own (127.1.x.y, as N machines would be) and
// each doing what a scanner with a device ID does: the device request, the
// reply (a lost one costs the scanner's ten one-second reply rounds), then
// its items through the scanner's own item stream and server link, then the
// final wait. The items come from a flat inventory file through the
// scanner's replay code (ReplayInventory over LinkCore, here on POSIX
// sockets and threads), so the packets are exactly those of a scan.
// It prints the time until every inventory is stored (the last
// acknowledgement of the last scanner: the server acknowledges a last packet
// only once the inventory is on disk), how many arrived identical to the
// scanner's file, the retransmissions, and the server's memory (resident set
// before, and its peak, VmHWM). With --drop the server ignores that share of
// the datagrams it receives (its --drop-datagrams fault injection).
//
// The store is the server's default (a SQLite file in its storage folder);
// --database=postgresql starts a throw-away PostgreSQL server (tests/pgserver,
// with its disk flushes, as in production) and stores there, any other WHERE
// is handed to the server as it is. The run also prints what the store grew
// by, per 1,000 inventories. A server of the old files layout (--invserver of
// an older build) is checked against its files.
//
// Then, unless --keys=0, it decodes one inventory of that many distinct keys
// (default 314000) and prints how long its packets took, first and last
// tenth: the server's check for repeated keys must not slow down as the
// inventory grows.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/posix_link.h"
#include "scanner/records/itemstream.h"
#include "scanner/records/replay.h"
#include "scanner/serverlink/link.h"
#include "tests/pgserver/pg_server.h"
#include "tools/invserver/store.h"
#include "tools/invserver/stream.h"

namespace {

using namespace qv::serverlink;
using qv::bench::FreeUdpPort;
using qv::bench::ReadAll;
using Clock = std::chrono::steady_clock;

// A field of /proc/PID/status in kB ("VmRSS", "VmHWM"), or -1.
long StatusKb(pid_t pid, const std::string& field) {
    std::istringstream in(ReadAll("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    return -1;
}

// The flat inventory file of scanner `i`: its device ID, `items` items and
// one captured configuration file.
std::string FlatInventory(int i, int items) {
    char id[24];
    std::snprintf(id, sizeof id, "PCLOAD%03d", i);
    std::string text = std::string("Device ID = ") + id + "\r\n";
    for (int n = 1; n < items; ++n)
        text += "Software - Item " + std::to_string(n) + " - Program = C:\\PROGRA~1\\APP" + std::to_string(n % 97) +
                "\\APP.EXE " + std::to_string(n * 37 + i) + "\r\n";
    std::string config;
    for (int n = 0; n < 40; ++n) config += "DEVICE=C:\\DRIVERS\\DRV" + std::to_string(n) + ".SYS\r\n";
    text += "_BeginContents\r\nCONFIG.SYS\r\nC:\\\r\n852076800\r\n" + std::to_string(config.size()) + "\r\n" + config +
            "_EndContents\r\n";
    return text;
}

struct Result {
    bool delivered = false;
    unsigned retransmissions = 0;
    double seconds = 0;
};

// One scanner run: request, reply, replay, final wait.
Result RunScanner(int i, const std::string& server, const std::string& flat, Clock::time_point start) {
    Result r;
    char ip[32];
    std::snprintf(ip, sizeof ip, "127.1.%d.%d", i / 250, i % 250 + 1);
    qv::bench::PosixPlatform platform(ip);
    LinkCore core(platform, {"LOAD", 5, 10, true});
    std::this_thread::sleep_until(start);
    if (core.OpenIp(server) != kOpenIp) return r;
    char id[24];
    std::snprintf(id, sizeof id, "PCLOAD%03d", i);
    core.RequestDeviceId(id);
    qv::scanner::ConfigFileList list;
    core.ReceiveServerReply(list);
    qv::scanner::ItemStream stream;
    stream.SetPacketSink(&core);
    bool failed = false;
    stream.SetSendFailureHandler([&] { failed = true; });
    stream.Reset();
    qv::scanner::MemoryByteSource source(flat);
    qv::scanner::ReplayOptions options;
    options.invalid_data = [](std::string_view, std::string_view) {};
    const int rc = qv::scanner::ReplayInventory(source, "LOAD.TXT", options, stream);
    const int abandoned = core.WaitForAllAcks();
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    core.Close();
    r.delivered = rc == qv::scanner::kReplayOk && !failed && abandoned == 0;
    r.retransmissions = core.retransmissions();
    return r;
}

// Bytes of the store: the PostgreSQL database's size, or the SQLite file and
// its journal, or (old server) the storage folder.
double StoreBytes(const std::string& where, qv::pgtest::PostgresServer* pg) {
    std::int64_t bytes = 0;
    if (pg) {
        std::string err;
        if (auto db = qv::invserver::OpenDatabase(where, &err))
            db->QueryInt("SELECT pg_database_size(current_database())", {}, &bytes);
        return static_cast<double>(bytes);
    }
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(where).parent_path();
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec)) bytes += static_cast<std::int64_t>(it->file_size(ec));
    return static_cast<double>(bytes);
}

// Decodes an inventory of `keys` distinct keys as the server does and
// prints the time per packet of its first and last tenth.
void DecodeManyKeys(int keys) {
    std::vector<std::string> packets(1);
    for (int n = 0; n < keys; ++n) {
        std::string item = "Software - File " + std::to_string(n) + " =C:\\DIR\\FILE" + std::to_string(n) + ".EXE";
        item += '\0';
        if (packets.back().size() + item.size() + 1 > kPayloadSize) packets.emplace_back();
        packets.back() += item;
    }
    qv::invserver::StreamDecoder decoder;
    const std::size_t tenth = std::max<std::size_t>(1, packets.size() / 10);
    double first = 0, last = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        packets[i] += '\0';
        auto t0 = Clock::now();
        decoder.Feed(reinterpret_cast<const std::uint8_t*>(packets[i].data()), packets[i].size());
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (i < tenth) first += ms;
        if (i >= packets.size() - tenth) last += ms;
    }
    std::printf("decoding %d distinct keys in %zu packets: %.4f ms per packet in the first tenth, "
                "%.4f ms in the last tenth\n",
                keys, packets.size(), first / tenth, last / tenth);
}

}  // namespace

int main(int argc, char** argv) {
    int scanners = 200, items = 1500, drop = 0, keys = 314000;
    std::string invserver, database;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--scanners=", 0) == 0) scanners = std::clamp(std::atoi(a.c_str() + 11), 1, 60000);
        else if (a.rfind("--items=", 0) == 0) items = std::max(2, std::atoi(a.c_str() + 8));
        else if (a.rfind("--drop=", 0) == 0) drop = std::clamp(std::atoi(a.c_str() + 7), 0, 100);
        else if (a.rfind("--keys=", 0) == 0) keys = std::max(0, std::atoi(a.c_str() + 7));
        else if (a.rfind("--invserver=", 0) == 0) invserver = a.substr(12);
        else if (a.rfind("--database=", 0) == 0) database = a.substr(11);
        else {
            std::fprintf(stderr, "usage: invserver_load [--scanners=N] [--items=N] [--drop=PCT] [--keys=N] "
                                 "[--invserver=PATH] [--database=postgresql|WHERE]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    if (invserver.empty()) {
        std::string self = argv[0];
        std::size_t slash = self.rfind('/');
        invserver = (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/invserver";
    }
    std::unique_ptr<qv::pgtest::PostgresServer> pg;
    if (database == "postgresql") {
        pg = std::make_unique<qv::pgtest::PostgresServer>(true);
        if (!pg->ok() || !pg->CreateDatabase("load")) {
            std::fprintf(stderr, "invserver_load: %s\n", pg->error().c_str());
            return 1;
        }
        database = pg->Uri("load");
    }
    const int port = FreeUdpPort();
    const std::string storage = "/tmp/invserver-load-" + std::to_string(::getpid());
    const std::string where = database.empty() ? storage + "/" + qv::invserver::kDefaultDatabaseName : database;
    const std::string log = storage + ".log";
    pid_t child = ::fork();
    if (child == 0) {
        int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        std::string p = "--port=" + std::to_string(port), s = "--storage=" + storage,
                    d = "--drop-datagrams=" + std::to_string(drop), db = "--database=" + database;
        ::execl(invserver.c_str(), invserver.c_str(), "--address=127.0.0.1", p.c_str(), s.c_str(), d.c_str(),
                "--seed=5", database.empty() ? static_cast<char*>(nullptr) : db.c_str(),
                static_cast<char*>(nullptr));
        std::perror("invserver_load: cannot start invserver");
        _exit(127);
    }
    // The server has made and migrated its store when its first line is out.
    for (int i = 0; i < 500 && ReadAll(log).find("listening") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const long rss_before = StatusKb(child, "VmRSS");
    const double store_before = StoreBytes(where, pg.get());

    std::vector<std::string> flats(scanners);
    for (int i = 0; i < scanners; ++i) flats[i] = FlatInventory(i, items);
    std::vector<Result> results(scanners);
    std::vector<std::thread> threads;
    const std::string server = "127.0.0.1:" + std::to_string(port);
    const Clock::time_point start = Clock::now() + std::chrono::milliseconds(500);
    for (int i = 0; i < scanners; ++i)
        threads.emplace_back([&, i] { results[i] = RunScanner(i, server, flats[i], start); });
    for (std::thread& t : threads) t.join();
    const long peak = StatusKb(child, "VmHWM");
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    const double store_after = StoreBytes(where, pg.get());
    std::string err;
    std::unique_ptr<qv::invserver::Store> store;
    if (!pg && ::access(where.c_str(), F_OK) == 0) store = qv::invserver::Store::Open(where, &err);
    else if (pg) store = qv::invserver::Store::Open(where, &err);
    double all = 0;
    int delivered = 0, identical = 0;
    unsigned long retransmissions = 0;
    for (int i = 0; i < scanners; ++i) {
        all = std::max(all, results[i].seconds);
        delivered += results[i].delivered;
        retransmissions += results[i].retransmissions;
        char key[32];
        std::snprintf(key, sizeof key, "id-PCLOAD%03d", i);
        std::string stored;
        if (!store) stored = ReadAll(storage + "/" + key + "/inventory.txt");
        else if (const std::int64_t latest = store->LatestInventory(key)) store->RebuildFlat(latest, &stored);
        identical += stored == flats[i];
    }
    store.reset();
    std::size_t bytes = 0;
    for (const std::string& f : flats) bytes += f.size();
    std::printf("%d scanners at once, %d items each (%.1f KB flat file), server dropping %d%% of datagrams\n",
                scanners, items, bytes / 1024.0 / scanners, drop);
    std::printf("all stored after %.2f s: %d of %d delivered, %d stored identical to the scanner's file, "
                "%lu retransmissions\n",
                all, delivered, scanners, identical, retransmissions);
    std::printf("server memory: %ld kB resident before, %ld kB peak\n", rss_before, peak);
    std::printf("store: %s, %.1f inventories stored per second, grew by %.2f MB per 1,000 inventories\n",
                pg ? "PostgreSQL" : database.empty() ? "the server's default" : database.c_str(), identical / all,
                (store_after - store_before) / std::max(identical, 1) * 1000 / 1e6);
    const std::string tail = ReadAll(log);
    std::size_t at = tail.rfind("shutting down");
    if (at != std::string::npos) std::printf("server: %s", tail.c_str() + at);
    std::string rm = "rm -rf '" + storage + "' '" + log + "'";
    int status = std::system(rm.c_str()) == 0 && identical == scanners ? 0 : 1;
    if (keys > 0) DecodeManyKeys(keys);
    return status;
}
