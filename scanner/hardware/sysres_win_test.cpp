#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "scanner/hardware/registry_fixture_win.h"
#include "scanner/hardware/scan_fixture_win.h"
#include "scanner/hardware/sysres_win.h"
#include "scanner/mif/mif.h"

namespace qv::scanner {
namespace {

using testing::FakeMachineRegistry;
using testing::Items;
using testing::LabelSink;
using testing::MifScope;

const char* const kAdapters = "HARDWARE\\DESCRIPTION\\System\\MultifunctionAdapter";
// Partial descriptor types: I/O port and interrupt.
constexpr BYTE kPort = 1, kInterrupt = 2;

// A full resource descriptor claiming `count` partial descriptors, holding
// one I/O port descriptor per start.
std::vector<BYTE> PortResources(DWORD count, std::initializer_list<DWORD> starts) {
    std::vector<BYTE> d(16, 0);
    std::memcpy(&d[12], &count, 4);
    for (DWORD start : starts) {
        BYTE p[16] = {kPort, 1, 1, 0};
        std::memcpy(p + 4, &start, 4);
        p[12] = 8;
        d.insert(d.end(), p, p + 16);
    }
    return d;
}

void SetResources(FakeMachineRegistry& reg, const std::string& key, const std::vector<BYTE>& data) {
    reg.Set(key.c_str(), "Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR, data.data(),
            static_cast<DWORD>(data.size()));
}

// A UTF-16 value as the video miniport stores it (binary), or as a wide
// text value; HKEY_LOCAL_MACHINE is the fixture's scratch key.
void SetWide(FakeMachineRegistry& reg, const char* key, const wchar_t* name, DWORD type, const std::wstring& text) {
    reg.Key(key);
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &k), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(k, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    RegCloseKey(k);
}

TEST(PortsAndBusScan, AdaptersAndPortsFromConfigurationData) {
    MifScope mif;
    FakeMachineRegistry reg;
    const std::string a0 = std::string(kAdapters) + "\\0", a1 = std::string(kAdapters) + "\\1";
    reg.Text(a0.c_str(), "Identifier", "ISA");
    reg.Text(a1.c_str(), "Identifier", "PCI");
    reg.Text((std::string(kAdapters) + "\\2").c_str(), "Identifier", "ISA");
    SetResources(reg, a0 + "\\SerialController\\0", PortResources(1, {0x3F8}));
    // Claims three descriptors, holds one: only that one is read.
    SetResources(reg, a0 + "\\SerialController\\1", PortResources(3, {0x2F8}));
    SetResources(reg, a0 + "\\ParallelController\\0", PortResources(1, {0x378}));
    // A value larger than the first 256-byte read.
    std::vector<BYTE> big = PortResources(20, {});
    for (int i = 0; i < 19; ++i) {
        BYTE p[16] = {kInterrupt};
        big.insert(big.end(), p, p + 16);
    }
    BYTE last[16] = {kPort, 1, 1, 0, 0xBC, 0x03};
    big.insert(big.end(), last, last + 16);
    SetResources(reg, a1 + "\\ParallelController\\0", big);
    // A controller key without configuration data ends its kind.
    reg.Key((a1 + "\\SerialController\\0").c_str());
    SetResources(reg, a1 + "\\SerialController\\1", PortResources(1, {0x3E8}));

    LabelSink sink;
    ScanPortsAndBus(sink);
    EXPECT_EQ(sink.items, (Items{{"COM Ports - COM1 Address =", "3F8H"},
                                 {"COM Ports - COM2 Address =", "2F8H"},
                                 {"LPT Ports - LPT1  Address =", "378H"},
                                 {"LPT Ports - LPT1  Address =", "3BCH"},
                                 {"Bus - Type =", "ISA, PCI"}}));
    EXPECT_TRUE(MifScope::Has("\t{\"COM\",\"1\",\"3F8H\"}\r\n\t{\"COM\",\"2\",\"2F8H\"}\r\n"
                              "\t{\"LPT\",\"1\",\"378H\"}\r\n\t{\"LPT\",\"1\",\"3BCH\"}\r\n"));
    EXPECT_TRUE(MifScope::Has("\"Bus - Type\"\r\n\t\tID = 5\r\n\t\tTYPE = STRING(32)\r\n\t\tVALUE = \"ISA, PCI\""));
}

TEST(PortsAndBusScan, NoAdaptersWriteNothing) {
    FakeMachineRegistry reg;
    LabelSink sink;
    ScanPortsAndBus(sink);
    EXPECT_TRUE(sink.items.empty());
}

TEST(BiosScan, DateAndModelWhenRead) {
    FakeMachineRegistry reg;
    LabelSink none;
    ScanBiosDate(none);
    ScanSystemModel(none);
    EXPECT_TRUE(none.items.empty());

    reg.Text("HARDWARE\\DESCRIPTION\\System", "SystemBiosDate", "04/01/96");
    reg.Text("HARDWARE\\DESCRIPTION\\System", "Identifier", "AT/AT COMPATIBLE");
    LabelSink sink;
    ScanBiosDate(sink);
    ScanSystemModel(sink);
    EXPECT_EQ(sink.items, (Items{{"BIOS - Date =", "04/01/96"}, {"BIOS - System Model =", "AT/AT COMPATIBLE"}}));
}

TEST(VideoScan, AdapterValuesAreConvertedFromUtf16) {
    FakeMachineRegistry reg;
    const char* map = "HARDWARE\\DEVICEMAP\\VIDEO";
    const char* vga = "SYSTEM\\CurrentControlSet\\Services\\vga\\Device0";
    // The first device has no key, the second no adapter string: both are passed over.
    reg.Text(map, "\\Device\\Video0", "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Gone\\Device0");
    reg.Text(map, "\\Device\\Video1", "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Bare\\Device0");
    reg.Key("SYSTEM\\CurrentControlSet\\Services\\Bare\\Device0");
    reg.Text(map, "\\Device\\Video2", "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vga\\Device0");
    SetWide(reg, vga, L"HardwareInformation.AdapterString", REG_BINARY, L"S3 Trio64V+ \x00e9");
    SetWide(reg, vga, L"HardwareInformation.ChipType", REG_BINARY, std::wstring(300, L'c'));
    reg.Dword(vga, "HardwareInformation.MemorySize", 2097152);

    VideoFacts v;
    ASSERT_TRUE(ReadVideoAdapter(v));
    EXPECT_EQ(v.adapter_string, "S3 Trio64V+ \xe9");  // code page 1252
    EXPECT_EQ(v.chip_type, "Unknown") << "longer than the 256-byte text: not read";
    EXPECT_EQ(v.dac_type, "Unknown");
    ASSERT_TRUE(v.memory_read);
    EXPECT_EQ(v.memory_bytes, 2097152u);

    SetWide(reg, vga, L"HardwareInformation.DacType", REG_BINARY, L"Internal");
    SetWide(reg, vga, L"HardwareInformation.ChipType", REG_SZ, L"S3 Trio");
    LabelSink sink;
    ScanVideo(sink);
    ASSERT_EQ(sink.items.size(), 6u);
    EXPECT_EQ(Items(sink.items.begin(), sink.items.begin() + 4),
              (Items{{"Video - Adapter 0 - String =", "S3 Trio64V+ \xe9"},
                     {"Video - Adapter 0 - Chip Type =", "S3 Trio"},
                     {"Video - Adapter 0 - DAC Type =", "Internal"},
                     {"Video - Adapter 0 - Memory =", "2048 KB"}}));
    EXPECT_EQ(sink.items[4].first, "Video - Resolution =");
    EXPECT_EQ(sink.items[5].first, "Video - Colors =");
}

TEST(VideoScan, ModeOfTheScreenWithoutAnAdapter) {
    FakeMachineRegistry reg;
    VideoFacts v;
    EXPECT_FALSE(ReadVideoAdapter(v));
    ASSERT_TRUE(ReadVideoMode(v));
    LabelSink sink;
    ScanVideo(sink);
    ASSERT_EQ(sink.items.size(), 2u);
    EXPECT_EQ(sink.items[0], (std::pair<std::string, std::string>{
                                 "Video - Resolution =", std::to_string(v.width) + " x " + std::to_string(v.height)}));
    EXPECT_EQ(sink.items[1].first, "Video - Colors =");
    EXPECT_TRUE(std::regex_match(sink.items[1].second, std::regex(R"(\d+|\d+ Bits/Pixel)"))) << sink.items[1].second;
}

TEST(KeyboardAndMouseScan, ItemsOfThisMachine) {
    LabelSink sink;
    ScanKeyboard(sink);
    ASSERT_FALSE(sink.items.empty());
    EXPECT_EQ(sink.items[0].first, "Keyboard - Type =");
    if (GetKeyboardType(0) == 4) {
        ASSERT_EQ(sink.items.size(), 4u);
        EXPECT_EQ(sink.items[0].second, "IBM Enhanced (101/102-key) keyboard");
        EXPECT_EQ(sink.items[3], (std::pair<std::string, std::string>{"Keyboard - Code Page =",
                                                                      std::to_string(GetKBCodePage())}));
    }
    LabelSink mouse;
    ScanMouse(mouse);
    DWORD buttons = 0;
    if (GetNumberOfConsoleMouseButtons(&buttons))
        EXPECT_EQ(mouse.items, (Items{{"Mouse - Buttons =", std::to_string(buttons)}}));
    else
        EXPECT_TRUE(mouse.items.empty());
}

TEST(DriversAndServicesScan, EveryServiceOnceInTheManagersOrder) {
    // The whole list in one call with a large buffer, for comparison.
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
    ASSERT_NE(scm, nullptr);
    std::vector<BYTE> big(256 * 1024);
    DWORD needed = 0, count = 0, resume = 0;
    ASSERT_TRUE(EnumServicesStatusA(scm, 0x3B, SERVICE_STATE_ALL, reinterpret_cast<ENUM_SERVICE_STATUSA*>(big.data()),
                                    static_cast<DWORD>(big.size()), &needed, &count, &resume));
    CloseServiceHandle(scm);
    const auto* all = reinterpret_cast<const ENUM_SERVICE_STATUSA*>(big.data());
    ASSERT_GT(count, 3u) << "too few services for the small buffer to need the resume handle";

    LabelSink sink;
    ScanDriversAndServices(sink);
    ASSERT_EQ(sink.items.size(), count);
    const std::set<std::string> states = {"Stopped", "Starting", "Stopping", "Running",
                                          "Resuming", "Pausing", "Paused"};
    for (DWORD i = 0; i < count; ++i) {
        EXPECT_EQ(sink.items[i].first, std::string("Service - ") + all[i].lpDisplayName + " Status =");
        EXPECT_TRUE(states.count(sink.items[i].second)) << sink.items[i].second;
    }
}

}  // namespace
}  // namespace qv::scanner
