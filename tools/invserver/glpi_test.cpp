// The GLPI export of a scanner's flat inventory: what goes where, and that
// the document is valid against the published schema (checked with
// tests/data/glpi/validate.py, python3-jsonschema).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tools/invserver/glpi.h"

namespace qv::invserver {
namespace {

// The schema's own checker; "" when the document is valid, else what it says.
std::string SchemaErrors(const std::string& json) {
    const std::string path = "/tmp/qv-glpi-test-" + std::to_string(::getpid()) + ".json";
    std::ofstream(path, std::ios::binary) << json;
    const std::string command = "python3 " QV_SOURCE_DIR "/tests/data/glpi/validate.py " + path + " 2>&1";
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return "cannot run the validator";
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    const int rc = ::pclose(p);
    std::remove(path.c_str());
    return rc == 0 ? std::string() : out.empty() ? "validator failed" : out;
}

const char kFlat[] =
    "Device ID = PC042\r\n"
    "Processor - Stepping = 12H\r\n"
    "Processor - ID = 05212H\r\n"
    "Processor - Type = Pentium\r\n"
    "Processor - Speed = 133 MHz\r\n"
    "Memory - Physical - Bytes Total =  65016 KB\r\n"
    "Memory - Page File - Bytes Total = 102400 KB\r\n"
    "OS - Name = Windows NT\r\n"
    "OS - NT Info - Current Build = 1381\r\n"
    "OS - NT Info - Current Version = 4.0\r\n"
    "OS - NT Info - Registered Owner = Jos\xe9 \x93Q\x94\r\n"
    "OS - NT Info - Service Pack = Service Pack 6\r\n"
    "OS - NT Info - Install Date = 08/09/13 12:00:21\r\n"
    "Environ - PATH = C:\\WINNT;C:\\BIN\r\n"
    "Environ - EMPTY =\r\n"
    "Logical Drive C - Free =    812.5 MB\r\n"
    "Logical Drive C - Size =   2047.0 MB\r\n"
    "Logical Drive C - Volume Label = SYSTEM\r\n"
    "Logical Drive C - File System = NTFS\r\n"
    "Logical Drive C - Serial Number = 1A2B-3C4D\r\n"
    "Fixed Drive 0 - Vendor Description = QUANTUM FIREBALL\r\n"
    "Fixed Drive 0 - Size =   2047.0 MB\r\n"
    "BIOS - Date = 01/15/98\r\n"
    "BIOS - System Model = AT/AT COMPATIBLE\r\n"
    "Machine = NT Workstation\r\n"
    "Device Name = FRONTDESK\r\n"
    "LAN - IP Address = 192.168.1.20\r\n"
    "LAN - NIC Address = 00A0C9123456\r\n"
    "Login Name = jdoe\r\n"
    "Machine Description = Front desk \"A\"\r\n"
    "_SOFTWARE =\r\n"
    "Service - Event Log Status = Running\r\n"
    "Cfg - C:\\CONFIG.SYS = 01/01/98 10:00:00 1234\r\n"
    "_BeginContents\r\nCONFIG.SYS\r\nC:\\\r\n883648800\r\n1234\r\nFILES=40\r\nDevice ID = FORGED\r\n_EndContents\r\n"
    "Microsoft Word = 7.0\r\n"
    "Microsoft Word = 7.0\r\n"
    "Norton Utilities = Exists\r\n"
    "C:\\UTIL\\ZIP.EXE = 40960\r\n"
    "Number of Files =    312\r\n";

TEST(Glpi, MapsTheScannersItemsAndValidates) {
    const std::string json = GlpiInventoryJson({"PC042", "2026-12-08 13:00:00", kFlat});
    EXPECT_EQ(SchemaErrors(json), "") << json;
    const char* expected[] = {
        "\"deviceid\":\"PC042\"",
        "\"accesslog\":{\"logdate\":\"2026-12-08 13:00:00\"}",
        "\"bios\":{\"bdate\":\"1998-01-15\",\"smodel\":\"AT/AT COMPATIBLE\"}",
        "\"cpus\":[{\"name\":\"Pentium\",\"id\":\"05212H\",\"speed\":133,\"stepping\":12}]",
        "\"drives\":[{\"letter\":\"C:\",\"free\":813,\"total\":2047,\"label\":\"SYSTEM\",\"filesystem\":\"NTFS\","
        "\"serial\":\"1A2B-3C4D\"}]",
        "\"envs\":[{\"key\":\"PATH\",\"val\":\"C:\\\\WINNT;C:\\\\BIN\"},{\"key\":\"EMPTY\",\"val\":\"\"}]",
        "\"memories\":[{\"capacity\":63,\"caption\":\"Physical memory\"}]",
        "\"networks\":[{\"description\":\"LAN\",\"ipaddress\":\"192.168.1.20\",\"mac\":\"00:a0:c9:12:34:56\"}]",
        "\"operatingsystem\":{\"name\":\"Windows NT\",\"version\":\"4.0\",\"kernel_version\":\"4.0.1381\","
        "\"full_name\":\"Windows NT 4.0 Service Pack 6\",\"service_pack\":\"Service Pack 6\","
        "\"install_date\":\"2013-08-09 12:00:21\"}",
        // Windows-1252 made UTF-8; a quote in a value escaped.
        "\"winowner\":\"Jos\xc3\xa9 \xe2\x80\x9cQ\xe2\x80\x9d\"",
        "\"description\":\"Front desk \\\"A\\\"\"",
        "\"memory\":63,\"swap\":100,\"name\":\"FRONTDESK\"",
        // Services, captured files and the file count are no programs; a
        // program found twice is listed once; "Exists" is no version.
        "\"softwares\":[{\"name\":\"Microsoft Word\",\"version\":\"7.0\"},{\"name\":\"Norton Utilities\"},"
        "{\"name\":\"ZIP.EXE\",\"folder\":\"C:\\\\UTIL\\\\\",\"filesize\":40960}]",
        "\"storages\":[{\"name\":\"Fixed Drive 0\",\"type\":\"disk\",\"model\":\"QUANTUM FIREBALL\",\"disksize\":2047}]",
        "\"versionclient\":\"qviscnnt\"",
    };
    for (const char* e : expected) EXPECT_NE(json.find(e), std::string::npos) << e << "\n" << json;
    EXPECT_EQ(json.find("FORGED"), std::string::npos);

    // Nothing known but the device: still a valid document; odd values are
    // left out rather than guessed.
    const std::string bare = GlpiInventoryJson(
        {"", "", "Device ID = X\x01Y\r\nBIOS - Date = 13/45/98\r\nProcessor - Speed = Unknown MHz\r\n"});
    EXPECT_EQ(SchemaErrors(bare), "") << bare;
    EXPECT_NE(bare.find("\"deviceid\":\"X\\u0001Y\""), std::string::npos) << bare;
    EXPECT_EQ(bare.find("bios"), std::string::npos) << bare;
    EXPECT_EQ(bare.find("cpus"), std::string::npos) << bare;

    const struct {
        const char* id;
        const char* file;
    } names[] = {{"SRV000000000001", "SRV000000000001"}, {"../a b", ".._a_b"}, {"..", "_.."}, {"", "_"}};
    for (const auto& n : names) EXPECT_EQ(GlpiFileName(n.id), n.file);
}

}  // namespace
}  // namespace qv::invserver
