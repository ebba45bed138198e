// The processor scan's Win32 half: registry values, GetSystemInfo, the
// coprocessor probe and the speed measurement.
#pragma once

#include <cstdint>
#include <string>

#include "scanner/hardware/hwsink.h"

namespace qv::scanner {

// Adds the processor and coprocessor items (see cpu.h for the rules).
void ScanProcessor(HardwareSink& sink);

// 1 when the processor's vendor identification names the maker, else 0.
int ProcessorVendorTest();
// The identifier number; 0 when the value cannot be read or has no "x86".
std::uint16_t ProcessorIdentifierNumber();
// Fills the type text (256 bytes) and coprocessor text (20 bytes); returns 1.
int ProcessorTypeText(char* type_text, char* coprocessor_text, HardwareSink& sink);
// 1 when a floating-point unit answers.
int CoprocessorProbe();
// The speed in whole MHz, 0 when it cannot be measured.
std::uint32_t MeasuredSpeed();

// Whether the processor has a time-stamp counter (the cycles of a timing
// run are then taken from it).
bool HasTimeStampCounter();

}  // namespace qv::scanner
