#include "scanner/hardware/sysres.h"

#include <gtest/gtest.h>

#include <map>

#include "scanner/hardware/test_sink.h"
#include "scanner/mif/mif.h"

namespace qv::scanner {
namespace {

using testing::Items;

// The recording sink with the labels and texts of these scans.
class SysresSink : public testing::RecordingSink {
public:
    std::string Label(unsigned id) override {
        static const std::map<unsigned, std::string> kLabels = {
            {30, "BIOS - System Model ="}, {32, "BIOS - Date ="}, {33, "Bus - Type ="},
            {67, "Mouse - Buttons ="}, {88, "LPT Ports - LPT%d  Address ="},
            {89, "COM Ports - COM%d Address ="}, {117, "%d x %d"}, {118, "%d Bits/Pixel"},
            {121, "%4d KB"}, {162, "Service - %s Status"}, {164, "Stopped"}, {165, "Starting"},
            {166, "Stopping"}, {167, "Running"}, {168, "Resuming"}, {169, "Pausing"}, {170, "Paused"},
            {180, "Video - Adapter %d - Chip Type ="}, {181, "Video - Adapter %d - DAC Type ="},
            {182, "Video - Adapter %d - Memory ="}, {183, "Video - Adapter %d - String ="},
            {184, "Video - Resolution ="}, {185, "Video - Colors ="},
        };
        auto it = kLabels.find(id);
        return it == kLabels.end() ? RecordingSink::Label(id) : it->second;
    }
};

class MifScope {
public:
    MifScope() { MifBuildSchema(); }
    ~MifScope() { MifFree(); }
    static bool Has(const std::string& text) { return MifRender().find(text) != std::string::npos; }
};

// A full resource descriptor: 16-byte header with the count, then the
// partial descriptors (type, share, flags, 64-bit start, length).
std::vector<std::uint8_t> Descriptor(std::uint32_t count,
                                     std::initializer_list<std::pair<std::uint8_t, std::uint64_t>> parts) {
    std::vector<std::uint8_t> d(16, 0);
    d[0] = 1;  // ISA
    d[12] = count & 0xFF, d[13] = count >> 8 & 0xFF, d[14] = count >> 16 & 0xFF, d[15] = count >> 24;
    for (auto [type, start] : parts) {
        std::uint8_t p[16] = {type, 1, 0, 0};
        for (int i = 0; i < 8; ++i) p[4 + i] = static_cast<std::uint8_t>(start >> (8 * i));
        p[12] = 8;
        d.insert(d.end(), p, p + 16);
    }
    return d;
}

TEST(ResourceDescriptor, PortStartsAndBounds) {
    auto one = Descriptor(1, {{1, 0x3F8}});
    EXPECT_EQ(IoPortStarts(one.data(), one.size()), (std::vector<std::uint32_t>{0x3F8}));

    // Other descriptor types are skipped; only the low 32 bits of the start count.
    auto mixed = Descriptor(3, {{2, 4}, {1, 0x1234500000378ULL}, {1, 0x278}});
    EXPECT_EQ(IoPortStarts(mixed.data(), mixed.size()), (std::vector<std::uint32_t>{0x378, 0x278}));

    // A count larger than the value holds: only what is really there is read.
    auto lying = Descriptor(0xFFFFFFFF, {{1, 0x2F8}});
    EXPECT_EQ(IoPortStarts(lying.data(), lying.size()), (std::vector<std::uint32_t>{0x2F8}));
    // A partial descriptor cut short is not read at all.
    auto cut = Descriptor(2, {{1, 0x2F8}, {1, 0x3E8}});
    cut.resize(cut.size() - 1);
    EXPECT_EQ(IoPortStarts(cut.data(), cut.size()), (std::vector<std::uint32_t>{0x2F8}));
    // Shorter than a header, or nothing at all.
    for (std::size_t n = 0; n < 16; ++n) EXPECT_TRUE(IoPortStarts(one.data(), n).empty()) << n;
    EXPECT_TRUE(IoPortStarts(nullptr, 40).empty());
}

TEST(PortItems, ComAndLptItemsAndRows) {
    MifScope mif;
    SysresSink sink;
    auto com = Descriptor(1, {{1, 0x3F8}});
    auto lpt = Descriptor(1, {{1, 0x378}});
    WritePortItems(sink, PortKind::kCom, 1, com.data(), com.size());
    WritePortItems(sink, PortKind::kLpt, 1, lpt.data(), lpt.size());
    EXPECT_EQ(sink.items, (Items{{"COM Ports - COM1 Address =", "3F8H"}, {"LPT Ports - LPT1  Address =", "378H"}}));
    EXPECT_TRUE(MifScope::Has("\t{\"COM\",\"1\",\"3F8H\"}\r\n\t{\"LPT\",\"1\",\"378H\"}\r\n"));
}

TEST(BusList, JoinedWithoutRepeats) {
    struct Case { std::vector<std::string> ids; std::string list; };
    const Case cases[] = {
        {{"ISA", "PCI", "ISA"}, "ISA, PCI"},
        {{"", "PCI", ""}, "PCI"},
        {{"PCI", "CI"}, "PCI"},  // already contained as a substring
        {{"EISA", "ISA", "PCMCIA"}, "EISA, PCMCIA"},
        {{std::string(300, 'X'), "PCI"}, std::string(255, 'X')},
    };
    for (const Case& c : cases) {
        std::string list;
        for (const std::string& id : c.ids) AppendBus(list, id);
        EXPECT_EQ(list, c.list);
    }
    std::string full(250, 'A');
    AppendBus(full, "PCIBUS");
    EXPECT_EQ(full.size(), 250u) << "the list stays within its 256 bytes";
}

TEST(SystemItems, BiosBusMouseAndMifValues) {
    MifScope mif;
    SysresSink sink;
    WriteBiosDate(sink, "04/01/96");
    WriteSystemModel(sink, "AT/AT COMPATIBLE");
    WriteBusItem(sink, "");
    WriteBusItem(sink, "ISA, PCI");
    WriteMouseItem(sink, 3);
    EXPECT_EQ(sink.items, (Items{{"BIOS - Date =", "04/01/96"},
                                 {"BIOS - System Model =", "AT/AT COMPATIBLE"},
                                 {"Bus - Type =", "ISA, PCI"},
                                 {"Mouse - Buttons =", "3"}}));
    EXPECT_TRUE(MifScope::Has("\"BIOS - Date\"\r\n\t\tID = 2\r\n\t\tTYPE = STRING(16)\r\n\t\tVALUE = \"04/01/96\""));
    EXPECT_TRUE(MifScope::Has("\"Bus - Type\"\r\n\t\tID = 5\r\n\t\tTYPE = STRING(32)\r\n\t\tVALUE = \"ISA, PCI\""));
    EXPECT_TRUE(MifScope::Has("\"Mouse - Buttons\"\r\n\t\tID = 9\r\n\t\tTYPE = STRING(32)\r\n\t\tVALUE = \"3\""));
    // The model is a new attribute of its own after the eleven declared ones.
    EXPECT_TRUE(MifScope::Has("\"BIOS - System Model\"\r\n\t\tID = 12\r\n\t\tTYPE = STRING(16)\r\n"
                              "\t\tVALUE = \"AT/AT COMPATIBLE\""));
}

TEST(KeyboardItems, TypeTextsAndTheUnknownType) {
    EXPECT_STREQ(KeyboardTypeText(4), "IBM Enhanced (101/102-key) keyboard");
    EXPECT_STREQ(KeyboardTypeText(3), "IBM AT (84-key) or similar keyboard ");
    EXPECT_STREQ(KeyboardTypeText(7), "Standard Japanese");
    EXPECT_STREQ(KeyboardTypeText(8), "Unknown");
    EXPECT_STREQ(KeyboardTypeText(-1), "Unknown");

    MifScope mif;
    SysresSink known;
    WriteKeyboardItems(known, 4, 0, 12, 437);
    EXPECT_EQ(known.items, (Items{{"Keyboard - Type =", "IBM Enhanced (101/102-key) keyboard"},
                                  {"Keyboard - SubType =", "0"},
                                  {"Keyboard - Number of Function keys =", "12"},
                                  {"Keyboard - Code Page =", "437"}}));
    EXPECT_TRUE(MifScope::Has("\t\tVALUE = \"IBM Enhanced (101/102-key) keyboard\""));

    MifScope fresh;
    SysresSink unknown;
    WriteKeyboardItems(unknown, 0, 5, 6, 7);
    EXPECT_EQ(unknown.items, (Items{{"Keyboard - Type =", "Unknown"}}));
    EXPECT_TRUE(MifScope::Has("\"Keyboard - Type\"\r\n\t\tID = 6\r\n\t\tTYPE = STRING(64)\r\n\t\tVALUE = \"\""));
}

TEST(VideoItems, ColoursResolutionAndMemory) {
    SysresSink sink;
    struct Case { int planes, bits; std::string text; };
    const Case cases[] = {
        {1, 16, "65536"}, {1, 8, "256"}, {1, 24, "16777216"}, {1, 32, "32 Bits/Pixel"},
        {4, 1, "16"}, {2, 16, "32 Bits/Pixel"}, {1, 31, "2147483648"}, {0, 0, "1"},
    };
    for (const Case& c : cases) EXPECT_EQ(ColorsText(sink, c.planes, c.bits), c.text) << c.planes << "x" << c.bits;
    EXPECT_EQ(VideoMemoryText(sink, 2097152), "2048 KB");
    EXPECT_EQ(VideoMemoryText(sink, 524288), " 512 KB");
    EXPECT_EQ(VideoMemoryText(sink, 1023), "   0 KB");

    VideoFacts v;
    v.adapter_found = true;
    v.adapter_string = "S3 Trio64";
    v.memory_read = true;
    v.memory_bytes = 2097152;
    v.mode_read = true;
    v.width = 800, v.height = 600, v.bits_per_pixel = 16, v.planes = 1;
    WriteVideoItems(sink, v);
    EXPECT_EQ(sink.items, (Items{{"Video - Adapter 0 - String =", "S3 Trio64"},
                                 {"Video - Adapter 0 - Chip Type =", "Unknown"},
                                 {"Video - Adapter 0 - DAC Type =", "Unknown"},
                                 {"Video - Adapter 0 - Memory =", "2048 KB"},
                                 {"Video - Resolution =", "800 x 600"},
                                 {"Video - Colors =", "65536"}}));

    SysresSink none;
    WriteVideoItems(none, VideoFacts{});
    EXPECT_EQ(none.items, (Items{{"Video - Resolution =", "Unknown"}, {"Video - Colors =", "Unknown"}}));
}

TEST(VideoItems, DeviceKeyFromTheDeviceMapValue) {
    EXPECT_EQ(VideoDeviceKey("\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\VGA\\DEVICE0"),
              "SYSTEM\\CURRENTCONTROLSET\\SERVICES\\VGA\\DEVICE0");
    EXPECT_EQ(VideoDeviceKey("\\REGISTRY\\MACHINE\\SOFTWARE\\X"), "");
}

TEST(FillNumbers, IntegerConversionsOnly) {
    EXPECT_EQ(FillNumbers("%d x %d", {1024, 768}), "1024 x 768");
    EXPECT_EQ(FillNumbers("%4d KB", {48}), "  48 KB");
    EXPECT_EQ(FillNumbers("%s and %d%%", {5}), "%s and 5%");
    EXPECT_EQ(FillNumbers("%d %d", {1}), "1 %d");       // more conversions than values
    EXPECT_EQ(FillNumbers("%n%p%9999d", {1}), "%n%p%9999d");  // never a format string
}

TEST(ServiceItems, StateTextsAndLabels) {
    SysresSink sink;
    const char* const texts[] = {"Stopped", "Starting", "Stopping", "Running", "Resuming", "Pausing", "Paused"};
    for (unsigned long state = 1; state <= 7; ++state) {
        WriteServiceItem(sink, "Service - %s Status", "Alerter", state);
        EXPECT_EQ(sink.items.back(), (std::pair<std::string, std::string>{"Service - Alerter Status =",
                                                                           texts[state - 1]}));
    }
    EXPECT_EQ(ServiceStateTextId(0), 0u);
    EXPECT_EQ(ServiceStateTextId(8), 0u);
    WriteServiceItem(sink, "Service - %s Status", "Odd", 9);
    EXPECT_EQ(sink.items.back(), (std::pair<std::string, std::string>{"Service - Odd Status =", ""}));
    // A long display name is cut to the label's 255 bytes before " =".
    WriteServiceItem(sink, "Service - %s Status", std::string(400, 'n'), 4);
    EXPECT_EQ(sink.items.back().first, "Service - " + std::string(245, 'n') + " =");
}

}  // namespace
}  // namespace qv::scanner
