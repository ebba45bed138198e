// Processor identification and speed (see cpu.h).
#include "scanner/hardware/cpu.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "common/text.h"
#include "scanner/hardware/hwtext.h"
#include "scanner/mif/mif.h"

namespace qv::scanner {
namespace {

// Calibration of one timing run, by family index: (A + B) * 60000 + C cycles.
struct CycleRow { std::uint32_t a, b, c; };
constexpr CycleRow kCycleTable[8] = {
    {19, 19, 20}, {16, 16, 18}, {11, 11, 8}, {11, 2, 15},
    {4, 4, 30},   {2, 1, 14},   {2, 1, 0},   {0, 0, 0},
};

struct SnapRow { std::uint16_t low, nominal, high; };
constexpr SnapRow kSnapTable[22] = {
    {4, 4, 4},       {5, 6, 6},       {7, 8, 8},       {9, 10, 10},     {15, 16, 16},
    {19, 20, 20},    {22, 25, 28},    {30, 33, 36},    {37, 40, 43},    {47, 50, 53},
    {57, 60, 63},    {63, 66, 69},    {72, 75, 78},    {80, 83, 86},    {87, 90, 93},
    {97, 100, 103},  {117, 120, 123}, {124, 125, 128}, {130, 133, 136}, {147, 150, 153},
    {163, 166, 169}, {195, 200, 203},
};

// 1 / 1193182, the period of the timer whose ticks the readings count.
constexpr double kTimerPeriod = 8.380951103855069e-7;

int ParseDecimal(std::string_view digits) {
    std::string copy(digits);
    return std::atoi(copy.c_str());
}

}  // namespace

int IdentifierField(std::string_view identifier, std::string_view label, bool to_end) {
    if (label.empty()) return -1;
    std::size_t at = identifier.find(label);
    if (at == std::string_view::npos) return -1;
    std::size_t start = at + label.size() + 1;  // skip the blank behind the label
    if (start > identifier.size()) return -1;
    std::size_t end = identifier.size();
    if (!to_end) {
        end = identifier.find(' ', start);
        if (end == std::string_view::npos) return -1;
    }
    return ParseDecimal(identifier.substr(start, end - start));
}

ProcessorFields ParseIdentifier(std::string_view identifier, HardwareSink& sink) {
    ProcessorFields f;
    f.type = IdentifierField(identifier, sink.Label(kStrFieldProcessorType), false);
    f.family = IdentifierField(identifier, sink.Label(kStrFieldFamily), false);
    f.model = IdentifierField(identifier, sink.Label(kStrFieldModel), false);
    f.stepping = IdentifierField(identifier, sink.Label(kStrFieldStepping), true);
    return f;
}

std::string SteppingText(const ProcessorFields& f) { return Format("%dH", f.stepping); }

std::string ProcessorIdText(const ProcessorFields& f) {
    if (f.type < 0) return Format("0%d%d%dH", f.family, f.model, f.stepping);
    return Format("%d%d%d%dH", f.type, f.family, f.model, f.stepping);
}

std::uint16_t IdentifierNumber(std::string_view identifier) {
    if (identifier.find("x86") == std::string_view::npos) return 0;
    std::uint16_t number = 0;
    std::size_t pos = 0;
    while (pos < identifier.size()) {
        std::size_t end = identifier.find(' ', pos);
        if (end == std::string_view::npos) end = identifier.size();
        std::string_view piece = identifier.substr(pos, end - pos);
        if (!piece.empty() && piece[0] >= '0' && piece[0] <= '9')
            number = static_cast<std::uint16_t>((number << 4) | static_cast<unsigned>(ParseDecimal(piece)));
        pos = end + 1;
    }
    return number;
}

bool IsMakerVendor(std::string_view vendor) {
    return EqualNoCase(vendor, kMakerVendorId);
}

unsigned Rule486(std::uint16_t n, bool coprocessor) {
    if (n >= 0x400 && n <= 0x41F) return 43;
    if (n >= 0x420 && n <= 0x42F) return coprocessor ? 44 : 45;
    if (n >= 0x430 && n <= 0x43F) return 46;
    if (n >= 0x440 && n <= 0x44F) return 47;
    if (n >= 0x450 && n <= 0x45F) return 48;
    if (n >= 0x480 && n <= 0x48F) return 49;
    return coprocessor ? 43 : 45;
}

ProcessorType ChooseProcessorType(std::uint32_t processor_type, bool maker, unsigned level,
                                  std::uint16_t identifier_number,
                                  const std::function<bool()>& probe) {
    ProcessorType t;
    switch (processor_type) {
        case kProcessor386:
            t.text_id = kStr386;
            break;
        case kProcessor486:
            t.coprocessor = probe();
            t.text_id = Rule486(identifier_number, t.coprocessor);
            break;
        case kProcessor586:
            if (maker) t.text_id = level == 6 ? kStrMaker686 : kStrMaker586;
            else t.text_id = level == 6 ? kStrGeneric686 : kStrGeneric586;
            t.coprocessor = probe();
            break;
        case kProcessorMips4000:
            t.text_id = kStrMips4000;
            t.coprocessor = true;
            break;
        case kProcessorAlpha21064:
            t.text_id = kStrAlpha21064;
            t.coprocessor = true;
            break;
        default:
            t.text_id = kStrUnknown;
            break;
    }
    return t;
}

int SpeedFamilyIndex(std::uint32_t processor_type, unsigned level) {
    switch (processor_type) {
        case kProcessor386: return 3;
        case kProcessor486: return 4;
        case kProcessor586: return static_cast<int>(level);
        default: return -1;
    }
}

std::uint32_t TableCycles(int family_index) {
    if (family_index < 0 || family_index > 7) return 0;
    const CycleRow& r = kCycleTable[family_index];
    return (r.a + r.b) * 60000u + r.c;
}

std::uint32_t SnapSpeed(std::uint32_t mhz) {
    for (int row = 21; row >= 0; --row)
        if (kSnapTable[row].low <= mhz && mhz <= kSnapTable[row].high) return kSnapTable[row].nominal;
    return mhz;
}

std::uint32_t SpeedReading(std::uint32_t average_counts, std::uint32_t frequency,
                           std::uint64_t cycles) {
    if (frequency == 0) return 0;
    const double ticks_exact = static_cast<double>(average_counts) /
                               (static_cast<double>(frequency) * kTimerPeriod);
    if (!(ticks_exact >= 1.0) || ticks_exact >= 4294967296.0) return 0;
    const std::uint64_t ticks = static_cast<std::uint64_t>(ticks_exact);
    const std::uint64_t speed = cycles * 1193u / ticks / 1000u;
    if (speed > 0xFFFFFFFFu) return 0;
    return SnapSpeed(static_cast<std::uint32_t>(speed));
}

std::uint32_t MeasureSpeedSeries(const std::function<std::uint32_t()>& reading) {
    std::uint32_t best = 0;
    std::uint32_t readings[kSpeedReadingsPerSeries] = {};
    bool stable = false;
    for (int series = 0; series < kSpeedSeries && !stable; ++series) {
        stable = true;
        for (int i = 0; i < kSpeedReadingsPerSeries; ++i) {
            readings[i] = reading();
            if (i > 0 && readings[i] != readings[i - 1]) {
                best = std::max({best, readings[i - 1], readings[i]});
                stable = false;
                break;
            }
        }
    }
    return stable ? readings[0] : best;
}

void WriteProcessorItems(HardwareSink& sink, const ProcessorFacts& facts) {
    auto add = [&](unsigned label_id, const char* cls, const char* type, const std::string& value) {
        const std::string label = sink.Label(label_id);
        sink.Item(label, value);
        const std::string name = AttributeNameFromLabel(label);
        MifAddAttribute(cls, name.c_str(), nullptr, type, value.c_str());
    };
    if (facts.identifier_read) {
        const ProcessorFields f = ParseIdentifier(facts.identifier, sink);
        add(kStrProcessorStepping, kMifClassProcessor, "STRING(16)", SteppingText(f));
        add(kStrProcessorId, kMifClassProcessor, "STRING(16)", ProcessorIdText(f));
    }
    add(kStrProcessorType, kMifClassProcessor, "STRING(32)", facts.type_text);
    add(kStrProcessorSpeed, kMifClassProcessor, "STRING(32)",
        facts.speed_mhz ? Format("%3u MHz", static_cast<unsigned>(facts.speed_mhz))
                        : sink.Label(kStrUnknownMhz));
    if (!facts.coprocessor_text.empty())
        add(kStrCoprocessorMath, kMifClassCoprocessor, "STRING(32)", facts.coprocessor_text);
}

}  // namespace qv::scanner
