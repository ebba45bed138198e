// The store: items parsed into what they describe, the flat file rebuilt byte
// for byte, and the import of the older files layout.
#include "tools/invserver/store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/invserver/json.h"

namespace qv::invserver {
namespace {

std::string Z(const std::string& s) { return s + std::string(1, '\0'); }

// A representative inventory, packed as the scanner packs it: the hardware
// items, the software part with a service, a captured file whose text ends
// without a line break, a recognised and an unlisted program, a MIF value.
const std::string kPayloads[] = {
    Z("Device ID =PC1") + Z("BIOS - Date =01/15/96") + Z("Processor - Type =Pentium") +
        Z("Memory - Physical - Bytes Total =  65536 KB") + Z("Logical Drive C - Size =  1000.0 MB") +
        Z("OS - NT Info - Current Build =1381") + Z("Environ - PATH =C:\\WINNT") +
        Z("LAN - IP Address =127.0.0.1") + Z("_SOFTWARE =") + Z("Service - Alerter Status =Running") +
        Z("Cfg - C:\\CONFIG.SYS =01/15/96 12:00:00 14") + Z("_BeginContents") + Z("14") + Z("852076800") +
        Z("CONFIG.SYS") + Z("C:\\") + Z("FILES=30\r\nBUF"),
    "FERS=9" + Z("_EndContents") + Z("Word Processor =6.0\xE9") + Z("C:\\UTIL\\ZIP.EXE =1234") +
        Z("MIF-Acme-Agent-Version =2.1") + Z("Number of Files =    2") + Z("Plain"),
};
const char kFlat[] =
    "Device ID = PC1\r\nBIOS - Date = 01/15/96\r\nProcessor - Type = Pentium\r\n"
    "Memory - Physical - Bytes Total =   65536 KB\r\nLogical Drive C - Size =   1000.0 MB\r\n"
    "OS - NT Info - Current Build = 1381\r\nEnviron - PATH = C:\\WINNT\r\nLAN - IP Address = 127.0.0.1\r\n"
    "_SOFTWARE =\r\nService - Alerter Status = Running\r\nCfg - C:\\CONFIG.SYS = 01/15/96 12:00:00 14\r\n"
    "_BeginContents\r\nCONFIG.SYS\r\nC:\\\r\n852076800\r\n14\r\nFILES=30\r\nBUFFERS=9\r\n_EndContents\r\n"
    "Word Processor = 6.0\xE9\r\nC:\\UTIL\\ZIP.EXE = 1234\r\nMIF-Acme-Agent-Version = 2.1\r\n"
    "Number of Files =     2\r\nPlain\r\n";

struct TempStore {
    std::string dir;
    std::unique_ptr<Store> store;
    TempStore() {
        char tmpl[] = "/tmp/invserver-store-XXXXXX";
        dir = ::mkdtemp(tmpl);
        std::string err;
        store = Store::Open(dir + "/inventory.db", &err);
        EXPECT_TRUE(store) << err;
    }
    ~TempStore() { std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string Rebuilt(const std::string& key) {
        std::string flat;
        EXPECT_TRUE(store->RebuildFlat(store->LatestInventory(key), &flat)) << key;
        return flat;
    }
    std::vector<std::string> Rows(const std::string& sql) {
        std::vector<std::string> out;
        EXPECT_TRUE(store->db().Query(sql, {}, [&](const DbRow& r) {
            std::string line;
            for (const DbValue& v : r) line += (line.empty() ? "" : "|") + (v.is_null() ? "NULL" : v.AsText());
            out.push_back(line);
            return true;
        })) << store->db().error();
        return out;
    }
};

TEST(InvServerStore, ParsesItemsAndRebuildsTheFlatFileByteForByte) {
    TempStore t;
    StreamDecoder stream;
    for (const std::string& p : kPayloads) stream.Feed(reinterpret_cast<const std::uint8_t*>(p.data()), p.size() + 1);
    ASSERT_EQ(stream.flat(), kFlat);
    ASSERT_NE(t.store->StoreInventory("id-PC1", "PC1", "127.0.0.1:5000", 1000, stream), 0);
    EXPECT_EQ(t.Rebuilt("id-PC1"), kFlat);
    EXPECT_EQ(t.Rows("SELECT kind, subject, name, value, number FROM facts ORDER BY seq"),
              (std::vector<std::string>{
                  "other||Device ID|PC1|NULL",
                  "hardware|BIOS|Date|01/15/96|1",
                  "processor|Processor|Type|Pentium|NULL",
                  "memory|Memory - Physical|Bytes Total|  65536 KB|65536",
                  "drive|Logical Drive C|Size|  1000.0 MB|1000",
                  "os|OS - NT Info|Current Build|1381|1381",
                  "environment|Environ|PATH|C:\\WINNT|NULL",
                  "network|LAN|IP Address|127.0.0.1|127",
                  "service|Alerter|Status|Running|NULL",
                  "config||C:\\CONFIG.SYS|01/15/96 12:00:00 14|1",
                  "mif||Acme-Agent-Version|2.1|2",
                  "other||Number of Files|    2|2",
              }));
    EXPECT_EQ(t.Rows("SELECT name, version, file, size, path FROM software ORDER BY seq"),
              (std::vector<std::string>{"Word Processor|6.0\xE9|NULL|NULL|NULL", "ZIP.EXE|NULL|ZIP.EXE|1234|C:\\UTIL"}));
    EXPECT_EQ(t.store->LastFileCount("id-PC1"), 2);
    const auto files = t.store->ConfigFiles("id-PC1");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].directory + files[0].file, "C:\\CONFIG.SYS");
    EXPECT_EQ(files[0].time, 852076800u);

    // A stream that ends inside a captured text (a scanner that stopped) is
    // rebuilt as it came, too.
    StreamDecoder cut;
    const std::string p = Z("_BeginContents") + Z("3") + Z("1") + Z("A.INI") + Z("C:\\") + "x\ny";
    cut.Feed(reinterpret_cast<const std::uint8_t*>(p.data()), p.size() + 1);
    ASSERT_NE(t.store->StoreInventory("id-PC2", "", "p:1", 1000, cut), 0);
    EXPECT_EQ(t.Rebuilt("id-PC2"), "_BeginContents\r\nA.INI\r\nC:\\\r\n1\r\n3\r\nx\r\ny");
    EXPECT_TRUE(t.store->ConfigFiles("id-PC2").empty());   // an unfinished capture is not offered back
}

void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The folders of an older server: a numbered device with a captured file
// kept raw (CR LF), a device of its own ID whose file a hand edited, a number
// handed out without an inventory, and the next number.
TEST(InvServerStore, ImportsTheFilesLayoutOnce) {
    TempStore t;
    const std::string old = t.dir + "/old";
    for (const char* d : {"", "/dev-000000000001", "/dev-000000000001/config", "/id-PC9", "/dev-000000000003"})
        ::mkdir((old + d).c_str(), 0755);
    Write(old + "/next-number", "5\n");
    Write(old + "/dev-000000000001/device.txt",
          "Device ID = SRV000000000001\nLast inventory = 2025-03-04 05:06:07 UTC\nItems = 24\n");
    Write(old + "/dev-000000000001/inventory.txt", kFlat);
    Write(old + "/dev-000000000001/config.index", "852076800\t14\tC:\\\tCONFIG.SYS\t0.dat\n");
    Write(old + "/dev-000000000001/config/0.dat", "FILES=30\r\nBUFFERS=9");
    const std::string edited = "Device ID = PC9\r\nFoo =x\r\nBar = 1\r\n";
    Write(old + "/id-PC9/device.txt", "Device ID = PC9\n");
    Write(old + "/id-PC9/inventory.txt", edited);

    for (const char* round : {"first", "second"}) {
        std::string report, err;
        ASSERT_TRUE(ImportFiles(*t.store, old, &report, &err)) << err;
        EXPECT_NE(report.find(round[0] == 'f' ? "3 device folder(s), 2 inventories imported"
                                              : "3 device folder(s), 0 inventories imported"),
                  std::string::npos)
            << report;
        EXPECT_EQ(t.Rows("SELECT COUNT(*) FROM inventories"), std::vector<std::string>{"2"}) << round;
        EXPECT_EQ(t.Rebuilt("dev-000000000001"), kFlat);
        EXPECT_EQ(t.Rebuilt("id-PC9"), edited);
    }
    EXPECT_EQ(t.Rows("SELECT name, number, device_id FROM devices ORDER BY name"),
              (std::vector<std::string>{"dev-000000000001|1|SRV000000000001", "dev-000000000003|3|", "id-PC9|NULL|PC9"}));
    EXPECT_EQ(t.Rows("SELECT received, source FROM inventories ORDER BY id")[0], "1741064767|import");
    EXPECT_EQ(t.Rows("SELECT contents FROM captures"), std::vector<std::string>{"FILES=30\r\nBUFFERS=9"});
    EXPECT_EQ(t.Rows("SELECT name, version FROM software ORDER BY seq")[0], "Word Processor|6.0\xE9");
    EXPECT_EQ(t.store->KeyForId("SRV000000000001"), "dev-000000000001");
    EXPECT_EQ(t.store->ConfigFiles("dev-000000000001").size(), 1u);
    EXPECT_EQ(t.store->AssignNumber(), 5u);       // after the imported next number
    std::string report, err;
    EXPECT_FALSE(ImportFiles(*t.store, old + "/missing", &report, &err));
}

TEST(InvServerStore, JsonStringsAreEscapedAndValid) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain", "\"plain\""},
        {"q\"b\\s/", "\"q\\\"b\\\\s/\""},
        {std::string("\r\n\t\x1b\x7f\0", 6), "\"\\u000D\\u000A\\u0009\\u001B\\u007F\\u0000\""},
        {"caf\xC3\xA9 \xE2\x82\xAC", "\"caf\xC3\xA9 \xE2\x82\xAC\""},           // UTF-8 kept
        {"caf\xE9 \xC3", "\"caf\\u00E9 \\u00C3\""},                               // code page bytes
        {"\xED\xA0\x80\xC0\xAF", "\"\\u00ED\\u00A0\\u0080\\u00C0\\u00AF\""},      // surrogate, overlong
    };
    for (const auto& c : cases) {
        std::string out;
        JsonWriter(&out).String(c.in);
        EXPECT_EQ(out, c.out);
    }
    std::string out;
    JsonWriter w(&out);
    w.BeginArray().BeginObject().Key("a").Int(1).Key("b").Null().Key("c").BeginArray().EndArray().EndObject();
    w.String("x").EndArray();
    EXPECT_EQ(out, "[{\"a\":1,\"b\":null,\"c\":[]},\"x\"]");
}

}  // namespace
}  // namespace qv::invserver
