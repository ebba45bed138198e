// The Win32 halves of the memory, operating system, environment and drives
// scans. Each gathers what the system reports and hands it to the item
// writers of sysitems.h.
#pragma once

#include "scanner/hardware/hwsink.h"
#include "scanner/hardware/sysitems.h"

namespace qv::scanner {

void ScanMemory(HardwareSink& sink);
void ScanOperatingSystem(HardwareSink& sink);
void ScanEnvironment(HardwareSink& sink);
void ScanFloppyDrives(HardwareSink& sink);
void ScanFixedDrives(HardwareSink& sink);
void ScanLogicalDrives(HardwareSink& sink);

// The figures GlobalMemoryStatusEx reports (all six in 64 bits); false
// when the call fails.
bool QueryMemoryFigures(MemoryFigures& m);
// The install date value as the C runtime's "%c" of the local time; false
// when the time cannot be converted.
bool FormatInstallDate(unsigned long seconds_since_1970, std::string& text);

}  // namespace qv::scanner
