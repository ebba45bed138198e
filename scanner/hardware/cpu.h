// Processor identification and speed: the portable half of the processor scan.
//
// The NT registry describes the processor with an identifier such as
// "x86 Family 5 Model 2 Stepping 12". From it come the stepping and ID
// items, and an identifier number (family, model and stepping packed a
// nibble each) that tells the 486 variants apart. The type text is chosen
// from the processor type GetSystemInfo reports, the vendor test and the
// processor level.
//
// The speed is measured by timing a fixed machine-code sequence against the
// performance counter. One reading averages three timing runs and converts
// the elapsed counts to ticks of the 1193182 Hz timer; the cycles the runs
// took, divided by the ticks, give MHz, which is then snapped to the
// nominal speed of the processors of its class. The cycles come from the
// processor's time-stamp counter when it has one; only processors without
// one fall back to the cycle table calibrated for the 386 to P6 families,
// because on later processors the table's figures are several times too
// high. Readings are taken in series until one series holds eight equal
// readings; the Win32 half (cpu_win.cpp) supplies the runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "scanner/hardware/hwsink.h"

namespace qv::scanner {

// String numbers of the processor scan's labels and texts.
enum CpuString : unsigned {
    kStrUnknown = 28,
    kStrProcessorId = 36,
    kStrProcessorType = 37,
    kStrProcessorSpeed = 38,
    kStrProcessorStepping = 40,
    kStr386 = 41,
    kStr486First = 43,   // 43 to 49: the 486 variants
    kStrMaker586 = 51,
    kStrCoprocessorMath = 54,
    kStrInternal = 56,
    kStrUnknownMhz = 73,
    kStrGeneric586 = 187,
    kStrGeneric686 = 188,
    kStrMaker686 = 189,
    kStrMips4000 = 190,
    kStrAlpha21064 = 191,
    kStrFieldProcessorType = 196,
    kStrFieldFamily = 197,
    kStrFieldModel = 198,
    kStrFieldStepping = 199,
};

// GetSystemInfo's processor types the scan knows.
enum : std::uint32_t {
    kProcessor386 = 386,
    kProcessor486 = 486,
    kProcessor586 = 586,
    kProcessorMips4000 = 4000,
    kProcessorAlpha21064 = 21064,
};

// The vendor identification of the maker whose processor names we use.
inline constexpr const char* kMakerVendorId = "GenuineIntel";

// Registry buffer sizes of the scan.
constexpr std::size_t kIdentifierBufferSize = 256;
constexpr std::size_t kIdentifierNumberBufferSize = 100;
constexpr std::size_t kVendorBufferSize = 100;
constexpr std::size_t kCoprocessorTextSize = 20;

// The number after `label` in the identifier value: it starts one
// character after the label and ends at the next blank (or, when to_end,
// at the end of the value). -1 when the label or the end is not found.
int IdentifierField(std::string_view identifier, std::string_view label, bool to_end);

struct ProcessorFields {
    int type = -1, family = -1, model = -1, stepping = -1;
};
// Parses the four fields by their labels (taken from the string table).
ProcessorFields ParseIdentifier(std::string_view identifier, HardwareSink& sink);

std::string SteppingText(const ProcessorFields& f);    // "%dH"
std::string ProcessorIdText(const ProcessorFields& f); // "0%d%d%dH" or "%d%d%d%dH"

// The identifier number: 0 without "x86"; else each blank-separated piece
// beginning with a digit is shifted in as a nibble, kept to 16 bits.
std::uint16_t IdentifierNumber(std::string_view identifier);

// True when the vendor identification names the maker (case ignored).
bool IsMakerVendor(std::string_view vendor);

// The 486 variant's string number for identifier number n.
unsigned Rule486(std::uint16_t n, bool coprocessor);

struct ProcessorType {
    unsigned text_id = kStrUnknown;
    bool coprocessor = false;
};
// The type text and coprocessor flag; probe() runs the coprocessor probe
// and is called only for the types that test it.
ProcessorType ChooseProcessorType(std::uint32_t processor_type, bool maker, unsigned level,
                                  std::uint16_t identifier_number,
                                  const std::function<bool()>& probe);

// Family index of the speed measurement (3, 4, or the level for 586); -1
// when the type is not measured.
int SpeedFamilyIndex(std::uint32_t processor_type, unsigned level);

// Cycles one timing run costs by the calibration table; 0 outside it.
std::uint32_t TableCycles(int family_index);

// The nominal speed for a measured one (rows searched from the top);
// speeds no row holds are returned unchanged.
std::uint32_t SnapSpeed(std::uint32_t mhz);

// One reading from the average elapsed counter value of three runs, the
// counter frequency (its low 32 bits) and the cycles of one run.
std::uint32_t SpeedReading(std::uint32_t average_counts, std::uint32_t frequency,
                           std::uint64_t cycles);

// Readings are taken in up to 5 series of up to 8; see cpu.cpp.
constexpr int kSpeedSeries = 5;
constexpr int kSpeedReadingsPerSeries = 8;
constexpr int kSpeedRunsPerReading = 3;
constexpr unsigned kTimingIterations = 15000;

std::uint32_t MeasureSpeedSeries(const std::function<std::uint32_t()>& reading);

// Items 1 to 5 of the processor scan from what was gathered.
struct ProcessorFacts {
    bool identifier_read = false;
    std::string identifier;  // up to 255 characters
    std::string type_text;
    std::uint32_t speed_mhz = 0;
    std::string coprocessor_text;  // "Internal" or empty
};
void WriteProcessorItems(HardwareSink& sink, const ProcessorFacts& facts);

}  // namespace qv::scanner
