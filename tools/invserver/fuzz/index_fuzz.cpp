// Fuzz target for the import of an older server's files: the next-number
// file, a device's config.index, device.txt and stored inventory, as a crash,
// a full disk or a careless hand may have left them.
//
// Input: four parts, each a 2-byte little-endian length and its bytes, are
// written as ROOT/next-number and, in the folder of device number 1,
// config.index, device.txt and inventory.txt, in a fresh folder on a memory
// file system (/dev/shm, else the temporary folder). They are imported into
// the server's store, whose rebuild of the inventory must give the file back
// unchanged. Then the server answers a device request of device 1, assigns a
// number to a new device, stores an inventory of device 1 with one captured
// file, and the queries run.
// The reply must carry the index's entries as the server reads them (each
// list packet whole, none cut short by an entry it cannot carry), the
// new number must not be one whose folder exists, and the store must keep
// every captured file the index held (with the new capture's time and size).
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "scanner/serverlink/protocol.h"
#include "tools/invserver/query.h"
#include "tools/invserver/server.h"
#include "tools/invserver/test_packets.h"

namespace {

using namespace qv;
using namespace qv::invserver;

[[noreturn]] void Fail() { std::abort(); }

std::string Root() {
    std::error_code ec;
    const char* base = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
    return std::string(base) + "/qv-index-fuzz-" + std::to_string(static_cast<long>(::getpid()));
}

void Write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

bool Same(const serverlink::ConfigEntry& a, const serverlink::ConfigEntry& b) {
    return a.directory == b.directory && a.file == b.file && a.time == b.time && a.size == b.size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string part[4];
    for (std::size_t i = 0, k = 0; k < 4 && i + 2 <= size; ++k) {
        std::size_t n = data[i] | (static_cast<std::size_t>(data[i + 1]) << 8);
        i += 2;
        n = std::min(n, size - i);
        part[k].assign(reinterpret_cast<const char*>(data + i), n);
        i += n;
    }
    static const std::string root = Root();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    const std::string key = Store::NameForNumber(1);
    const std::string dir = root + "/" + key;
    std::filesystem::create_directories(dir, ec);
    Write(root + "/next-number", part[0]);
    Write(dir + "/config.index", part[1]);
    Write(dir + "/device.txt", part[2]);
    Write(dir + "/inventory.txt", part[3]);
    const std::string id = "SRV" + key.substr(4);
    {
        std::vector<std::vector<std::uint8_t>> sent;
        ServerOptions opt;
        opt.storage = root;
        opt.seed = 7;
        InventoryServer server(
            opt, [&](const std::string&, const std::uint8_t* d, std::size_t n) { sent.emplace_back(d, d + n); },
            [](const std::string&) {});
        if (!server.Init()) Fail();
        std::string report, err;
        if (!ImportFiles(server.store(), root, &report, &err)) Fail();
        std::string flat;
        const std::int64_t imported = server.store().LatestInventory(key);
        if (imported && (!server.store().RebuildFlat(imported, &flat) || flat != part[3])) Fail();

        // The reply lists the captured files as the index reads.
        const std::vector<serverlink::ConfigEntry> held = server.store().ConfigFiles(key);
        const auto request = serverlink::EncodeDeviceRequest(id);
        server.OnDatagram("127.0.0.1:5007", request.data(), request.size(), 10);
        std::vector<serverlink::ConfigEntry> listed;
        for (const auto& p : sent) {
            if (p.size() < serverlink::kHeaderSize || p.size() > serverlink::kDatagramMax) Fail();
            const std::size_t at = serverlink::kHeaderSize + ((p[3] == 1) ? serverlink::kReplyHeadSize : 0);
            if (p.size() < at) Fail();
            for (const auto& e : serverlink::DecodeConfigList(p.data() + at, p.size() - at)) listed.push_back(e);
        }
        // (Entries no list can carry are passed over.)
        std::vector<serverlink::ConfigEntry> sendable;
        for (const auto& e : held)
            if (!e.directory.empty() && e.directory.find('\0') == std::string::npos &&
                e.file.find('\0') == std::string::npos && e.directory.size() + e.file.size() + 11 <= serverlink::kPayloadSize)
                sendable.push_back(e);
        if (listed.size() > sendable.size()) Fail();
        for (std::size_t i = 0; i < listed.size(); ++i)
            if (!Same(listed[i], sendable[i])) Fail();

        // A new device never gets the number of a device that exists.
        sent.clear();
        const auto fresh = serverlink::EncodeDeviceRequest("");
        server.OnDatagram("127.0.0.2:5007", fresh.data(), fresh.size(), 20);
        if (!sent.empty() && sent[0].size() >= serverlink::kHeaderSize + serverlink::kReplyHeadSize) {
            const auto head = serverlink::DecodeReplyHead(sent[0].data() + serverlink::kHeaderSize);
            if (head.device_high == 0 && head.device_low == 1) Fail();
        }

        // A new inventory of device 1 with one captured file keeps the others.
        using test::DataPacket;
        using test::Item;
        const auto p1 = DataPacket(1, false, Item("Device ID =" + id) + Item("_BeginContents") + Item("3") +
                                                  Item("900000000") + Item("NEW.INI") + Item("C:\\") + "a=1" +
                                                  std::string(1, '\0'));
        const auto p2 = DataPacket(2, true, Item("_EndContents") + Item("Number of Files =    1"));
        sent.clear();
        server.OnDatagram("127.0.0.1:5007", p1.data(), p1.size(), 30);
        server.OnDatagram("127.0.0.1:5007", p2.data(), p2.size(), 40);
        if (server.stats().inventories == 1) {
            const std::vector<serverlink::ConfigEntry> after = server.store().ConfigFiles(key);
            for (const auto& e : held) {
                if (e.directory == "C:\\" && e.file == "NEW.INI") continue;
                if (std::none_of(after.begin(), after.end(), [&](const auto& a) { return Same(a, e); })) Fail();
            }
            if (std::none_of(after.begin(), after.end(), [](const auto& a) {
                    return a.directory == "C:\\" && a.file == "NEW.INI" && a.time == 900000000u && a.size == 3u;
                }))
                Fail();
        }
    }
    for (const char* command : {"list", "show", "find", "software", "changes"}) {
        std::string out, err;
        std::vector<std::string> args = {command};
        if (command[0] != 'l') args.push_back(command[0] == 'f' || command[1] == 'o' ? "a" : id);
        args.push_back("--storage=" + root);
        RunQuery(args, &out, &err);
    }
    InventoryItems(part[3]);
    std::filesystem::remove_all(root, ec);
    return 0;
}
