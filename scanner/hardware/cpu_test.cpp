#include "scanner/hardware/cpu.h"

#include <gtest/gtest.h>

#include <vector>

#include "scanner/hardware/test_sink.h"
#include "scanner/mif/mif.h"

namespace qv::scanner {
namespace {

using testing::Items;
using testing::RecordingSink;

TEST(ProcessorIdentifier, FieldsIdAndNumber) {
    RecordingSink sink;
    const struct {
        const char* identifier;
        const char* stepping;
        const char* id;
        std::uint16_t number;
    } cases[] = {
        {"x86 Family 5 Model 2 Stepping 12", "12H", "05212H", 0x52C},
        {"x86 Family 4 Model 8 Stepping 0", "0H", "0480H", 0x480},
        {"x86 Family 6 Model 1", "-1H", "06-1-1H", 0x61},  // "Model" has no blank after it
        {"AMD64 Family 23 Model 49 Stepping 0", "0H", "023490H", 0},
        {"", "-1H", "0-1-1-1H", 0},
        {"x86 Family 15 Model 2 Stepping 9", "9H", "01529H", 0xF29},
        {"x86 Family 25 Model 33 Stepping 2", "2H", "025332H", 0x1B12},  // fields of 16 and more overlap
        {"x86 Processor Type 1 Family 5 Model 2 Stepping 12", "12H", "15212H", 0x152C},
        {"x86 Family 5 Model 2 Stepping", "-1H", "052-1H", 0x52},
    };
    for (const auto& c : cases) {
        ProcessorFields f = ParseIdentifier(c.identifier, sink);
        EXPECT_EQ(SteppingText(f), c.stepping) << c.identifier;
        EXPECT_EQ(ProcessorIdText(f), c.id) << c.identifier;
        EXPECT_EQ(IdentifierNumber(c.identifier), c.number) << c.identifier;
    }
}

TEST(ProcessorType, Rule486) {
    const struct { std::uint16_t n; bool fpu; unsigned id; } cases[] = {
        {0x400, false, 43}, {0x41F, false, 43}, {0x425, true, 44}, {0x425, false, 45},
        {0x430, false, 46}, {0x44F, true, 47},  {0x450, false, 48}, {0x480, false, 49},
        {0x460, true, 43},  {0x47F, false, 45}, {0x000, true, 43},  {0x490, false, 45},
    };
    for (const auto& c : cases) EXPECT_EQ(Rule486(c.n, c.fpu), c.id) << std::hex << c.n << c.fpu;
}

TEST(ProcessorType, ByTypeMakerAndLevel) {
    const struct {
        std::uint32_t type; bool maker; unsigned level; std::uint16_t n; bool fpu;
        unsigned text; bool coprocessor; bool probed;
    } cases[] = {
        {386, true, 3, 0, true, 41, false, false},
        {486, false, 4, 0x480, true, 49, true, true},
        {486, false, 4, 0x425, false, 45, false, true},
        {586, true, 5, 0, true, 51, true, true},
        {586, true, 6, 0, true, 189, true, true},
        {586, false, 6, 0, false, 188, false, true},
        {586, false, 23, 0, true, 187, true, true},
        {4000, false, 0, 0, false, 190, true, false},
        {21064, false, 0, 0, false, 191, true, false},
        {8664, false, 6, 0, true, 28, false, false},
    };
    for (const auto& c : cases) {
        bool probed = false;
        ProcessorType t = ChooseProcessorType(c.type, c.maker, c.level, c.n, [&] {
            probed = true;
            return c.fpu;
        });
        EXPECT_EQ(t.text_id, c.text) << c.type << " level " << c.level;
        EXPECT_EQ(t.coprocessor, c.coprocessor) << c.type;
        EXPECT_EQ(probed, c.probed) << c.type;
    }
    EXPECT_TRUE(IsMakerVendor("GenuineIntel"));
    EXPECT_TRUE(IsMakerVendor("GENUINEINTEL"));
    EXPECT_FALSE(IsMakerVendor("AuthenticAMD"));
    EXPECT_FALSE(IsMakerVendor("GenuineIntel "));
    EXPECT_FALSE(IsMakerVendor(""));
}

TEST(ProcessorSpeed, CycleTableAndFamilyIndex) {
    EXPECT_EQ(TableCycles(3), 780015u);
    EXPECT_EQ(TableCycles(4), 480030u);
    EXPECT_EQ(TableCycles(5), 180014u);
    EXPECT_EQ(TableCycles(6), 180000u);
    EXPECT_EQ(TableCycles(0), 2280020u);
    EXPECT_EQ(TableCycles(7), 0u);
    EXPECT_EQ(TableCycles(8), 0u);
    EXPECT_EQ(TableCycles(-1), 0u);
    EXPECT_EQ(SpeedFamilyIndex(386, 9), 3);
    EXPECT_EQ(SpeedFamilyIndex(486, 9), 4);
    EXPECT_EQ(SpeedFamilyIndex(586, 6), 6);
    EXPECT_EQ(SpeedFamilyIndex(586, 23), 23);
    EXPECT_EQ(SpeedFamilyIndex(4000, 0), -1);
}

TEST(ProcessorSpeed, SnappingTable) {
    const struct { std::uint32_t in, out; } cases[] = {
        {64, 66}, {63, 66}, {62, 60}, {110, 110}, {4, 4}, {3, 3}, {5, 6}, {21, 21},
        {28, 25}, {29, 29}, {124, 125}, {199, 200}, {203, 200}, {204, 204}, {2445, 2445},
    };
    for (const auto& c : cases) EXPECT_EQ(SnapSpeed(c.in), c.out) << c.in;
}

TEST(ProcessorSpeed, ReadingFromCountsAndCycles) {
    // A P5 at 66 MHz: 180014 cycles take 2727.5 us; at a counter of 1193182 Hz
    // that is 3254 counts, so 3254 ticks.
    EXPECT_EQ(SpeedReading(3254, 1193182, TableCycles(5)), 66u);
    // The same time on a 10 MHz counter.
    EXPECT_EQ(SpeedReading(27275, 10000000, TableCycles(5)), 66u);
    // 2.4 GHz by the time-stamp counter: 60000 cycles in 25 us = 250 counts at 10 MHz.
    // The ticks are truncated (29.8 to 29), which reads about 3% high.
    EXPECT_EQ(SpeedReading(250, 10000000, 60000), 2468u);
    // No ticks, no counter frequency: no reading, no division by zero.
    EXPECT_EQ(SpeedReading(0, 10000000, 60000), 0u);
    EXPECT_EQ(SpeedReading(5, 10000000, 60000), 0u);
    EXPECT_EQ(SpeedReading(1000, 0, 60000), 0u);
    // A huge cycle count does not wrap.
    EXPECT_EQ(SpeedReading(10000000, 10000000, 3000000000ull), 2999u);
}

std::function<std::uint32_t()> Feed(std::vector<std::uint32_t> values, int* calls) {
    return [values, calls]() mutable {
        std::uint32_t v = values[static_cast<std::size_t>(*calls) % values.size()];
        ++*calls;
        return v;
    };
}

TEST(ProcessorSpeed, SeriesAndStability) {
    int calls = 0;
    EXPECT_EQ(MeasureSpeedSeries(Feed({90, 90, 90, 90, 90, 90, 90, 90}, &calls)), 90u);
    EXPECT_EQ(calls, 8);  // one stable series ends the measurement

    // First series breaks at its 2nd reading (90 then 100): best 100. The
    // second series is stable at 66 and wins over best.
    calls = 0;
    EXPECT_EQ(MeasureSpeedSeries(Feed({90, 100, 66, 66, 66, 66, 66, 66, 66, 66}, &calls)), 66u);
    EXPECT_EQ(calls, 10);

    // Never stable: the largest compared reading over all five series.
    calls = 0;
    EXPECT_EQ(MeasureSpeedSeries(Feed({1, 2}, &calls)), 2u);
    EXPECT_EQ(calls, 10);
    calls = 0;
    EXPECT_EQ(MeasureSpeedSeries(Feed({50, 50, 50, 120, 60, 60, 70, 60, 60, 60, 60, 60, 60, 61}, &calls)), 120u);

    calls = 0;
    EXPECT_EQ(MeasureSpeedSeries(Feed({0}, &calls)), 0u);
}

TEST(ProcessorItems, ItemsAndAttributesInOrder) {
    MifBuildSchema();
    RecordingSink sink;
    ProcessorFacts facts;
    facts.identifier_read = true;
    facts.identifier = "x86 Family 5 Model 2 Stepping 12";
    facts.type_text = "Pentium";
    facts.speed_mhz = 66;
    facts.coprocessor_text = "Internal";
    WriteProcessorItems(sink, facts);
    EXPECT_EQ(sink.items, (Items{{"Processor - Stepping =", "12H"},
                                 {"Processor - ID =", "05212H"},
                                 {"Processor - Type =", "Pentium"},
                                 {"Processor - Speed =", " 66 MHz"},
                                 {"Coprocessor - Math =", "Internal"}}));
    const std::string mif = MifRender();
    EXPECT_NE(mif.find("\t\tNAME = \"Processor - Stepping\"\r\n\t\tID = 1\r\n"
                       "\t\tTYPE = STRING(16)\r\n\t\tVALUE = \"12H\"\r\n"),
              std::string::npos);
    EXPECT_NE(mif.find("\t\tNAME = \"Processor - Speed\"\r\n\t\tID = 4\r\n"
                       "\t\tTYPE = STRING(32)\r\n\t\tVALUE = \" 66 MHz\"\r\n"),
              std::string::npos);
    EXPECT_NE(mif.find("\tCLASS = \"Corvane|Coprocessor|1.0\"\r\n\r\n\tSTART ATTRIBUTE\r\n"
                       "\t\tNAME = \"Coprocessor - Math\"\r\n\t\tID = 1\r\n"),
              std::string::npos);
    MifFree();

    // Unreadable identifier, no speed, no coprocessor.
    RecordingSink bare;
    ProcessorFacts none;
    none.type_text = "Unknown";
    WriteProcessorItems(bare, none);
    EXPECT_EQ(bare.items, (Items{{"Processor - Type =", "Unknown"}, {"Processor - Speed =", "Unknown MHz"}}));

    RecordingSink fast;
    facts.speed_mhz = 2445;
    WriteProcessorItems(fast, facts);
    EXPECT_EQ(fast.items[3].second, "2445 MHz");
}

}  // namespace
}  // namespace qv::scanner
