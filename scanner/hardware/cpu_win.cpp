// The processor scan's Win32 half (see cpu_win.h and cpu.h).
//
// The measurement raises the process to real-time priority and the thread
// to time-critical so that the timed runs are not interrupted by other
// threads; a small guard object puts both back on every path out.
#include "scanner/hardware/cpu_win.h"

#include <windows.h>
#include <intrin.h>

#include <cstring>

#include "common/text.h"
#include "scanner/hardware/cpu.h"
#include "scanner/hardware/registry_reader_win.h"

extern "C" void qv_timing_sequence(unsigned ax, unsigned bx, unsigned dx);
extern "C" unsigned qv_fpu_status(void);

namespace qv::scanner {
namespace {

const char* const kProcessorKey = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";

class RealtimePriority {
public:
    RealtimePriority() {
        ::SetPriorityClass(::GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
        ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    }
    ~RealtimePriority() {
        ::SetPriorityClass(::GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
        ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    }
    RealtimePriority(const RealtimePriority&) = delete;
    RealtimePriority& operator=(const RealtimePriority&) = delete;
};

struct TimingRun {
    std::uint32_t counts;  // elapsed performance counter, low 32 bits
    std::uint64_t cycles;  // elapsed time-stamp counter (when there is one)
};

TimingRun OneTimingRun(bool tsc) {
    for (;;) {
        LARGE_INTEGER start, end;
        ::Sleep(0);
        BOOL ok = ::QueryPerformanceCounter(&start);
        // The time-stamp counter is read just inside the performance
        // counter reads, so both clocks span the same instructions.
        std::uint64_t c0 = tsc ? __rdtsc() : 0;
        // AX starts with the low half of the counter read's result; BX and
        // DX with whatever they hold (here: fixed values).
        qv_timing_sequence(static_cast<unsigned>(ok) & 0xFFFF, 0, 0);
        std::uint64_t c1 = tsc ? __rdtsc() : 0;
        ::QueryPerformanceCounter(&end);
        const auto s = static_cast<std::uint32_t>(start.QuadPart);
        const auto e = static_cast<std::uint32_t>(end.QuadPart);
        if (e < s) continue;  // the low half wrapped: time the run again
        return {e - s, c1 - c0};
    }
}

std::uint32_t OneReading(int family, bool tsc) {
    LARGE_INTEGER freq;
    if (!::QueryPerformanceFrequency(&freq)) return 0;
    std::uint64_t counts = 0, cycles = 0;
    for (int i = 0; i < kSpeedRunsPerReading; ++i) {
        TimingRun r = OneTimingRun(tsc);
        counts += r.counts;
        cycles += r.cycles;
    }
    const auto average = static_cast<std::uint32_t>(counts / kSpeedRunsPerReading);
    const std::uint64_t run_cycles = tsc ? cycles / kSpeedRunsPerReading : TableCycles(family);
    return SpeedReading(average, static_cast<std::uint32_t>(freq.QuadPart), run_cycles);
}

}  // namespace

bool HasTimeStampCounter() {
    int regs[4] = {};
    __cpuid(regs, 0);
    if (regs[0] < 1) return false;
    __cpuid(regs, 1);
    return (regs[3] & (1 << 4)) != 0;  // EDX bit 4: TSC
}

int ProcessorVendorTest() {
    char vendor[kVendorBufferSize] = {};
    RegistryReader reg;
    if (!reg.OpenAndRead(kProcessorKey, "VendorIdentifier", vendor, sizeof vendor)) return 0;
    return IsMakerVendor(vendor) ? 1 : 0;
}

std::uint16_t ProcessorIdentifierNumber() {
    char identifier[kIdentifierNumberBufferSize] = {};
    RegistryReader reg;
    if (!reg.OpenAndRead(kProcessorKey, "Identifier", identifier, sizeof identifier)) return 0;
    return IdentifierNumber(identifier);
}

int CoprocessorProbe() { return (qv_fpu_status() & 0xFF) == 0 ? 1 : 0; }

int ProcessorTypeText(char* type_text, char* coprocessor_text, HardwareSink& sink) {
    SYSTEM_INFO si;
    ::GetSystemInfo(&si);
    const bool maker = ProcessorVendorTest() == 1;
    const std::uint16_t number = si.dwProcessorType == kProcessor486 ? ProcessorIdentifierNumber() : 0;
    ProcessorType t = ChooseProcessorType(si.dwProcessorType, maker, si.wProcessorLevel, number,
                                          [] { return CoprocessorProbe() == 1; });
    CopyBounded(type_text, kIdentifierBufferSize, sink.Label(t.text_id));
    CopyBounded(coprocessor_text, kCoprocessorTextSize, t.coprocessor ? sink.Label(kStrInternal) : "");
    return 1;
}

std::uint32_t MeasuredSpeed() {
    SYSTEM_INFO si;
    ::GetSystemInfo(&si);
    const int family = SpeedFamilyIndex(si.dwProcessorType, si.wProcessorLevel);
    if (family < 0) return 0;
    const bool tsc = HasTimeStampCounter();
    // Without a time-stamp counter only the calibrated families can be measured.
    if (!tsc && TableCycles(family) == 0) return 0;
    RealtimePriority raised;
    return MeasureSpeedSeries([&] { return OneReading(family, tsc); });
}

void ScanProcessor(HardwareSink& sink) {
    ProcessorFacts facts;
    char identifier[kIdentifierBufferSize] = {};
    RegistryReader reg;
    facts.identifier_read = reg.OpenAndRead(kProcessorKey, "Identifier", identifier, sizeof identifier);
    facts.identifier = identifier;
    char type_text[kIdentifierBufferSize] = {};
    char coprocessor_text[kCoprocessorTextSize] = {};
    ProcessorTypeText(type_text, coprocessor_text, sink);
    facts.type_text = type_text;
    facts.coprocessor_text = coprocessor_text;
    facts.speed_mhz = MeasuredSpeed();
    WriteProcessorItems(sink, facts);
}

}  // namespace qv::scanner
