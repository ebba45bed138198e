// The Win32 halves of the system resources scans and the drivers and
// services scan. Each gathers what the system reports and hands it to the
// item writers of sysres.h; a query that fails only leaves out its items.
#pragma once

#include "scanner/hardware/hwsink.h"
#include "scanner/hardware/sysres.h"

namespace qv::scanner {

void ScanBiosDate(HardwareSink& sink);
void ScanSystemModel(HardwareSink& sink);
// The multifunction adapters: the bus list, and the serial and parallel
// controllers of each adapter.
void ScanPortsAndBus(HardwareSink& sink);
void ScanVideo(HardwareSink& sink);
void ScanMouse(HardwareSink& sink);
void ScanKeyboard(HardwareSink& sink);

// The adapter half of the video scan (the device map's first adapter that
// has an adapter string); false when none is found.
bool ReadVideoAdapter(VideoFacts& v);
// The mode half (resolution and colour bits of a screen-compatible memory
// context); false when no context could be made.
bool ReadVideoMode(VideoFacts& v);

// One item per service and driver the service control manager knows.
void ScanDriversAndServices(HardwareSink& sink);

// Bytes of the enumeration buffer: room for a handful of records and
// their names, so the scan loops with the resume handle.
constexpr unsigned kServiceBufferSize = 360;

}  // namespace qv::scanner
