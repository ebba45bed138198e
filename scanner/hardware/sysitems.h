// Memory, operating system, environment and drive items: the portable half.
//
// The Win32 scanners (sysinfo_win.cpp, drives_win.cpp) gather the figures
// and texts from the system; the functions here turn them into inventory
// items and MIF attributes and rows, in the order the inventory expects.
// A query that failed is passed as "not read" and only suppresses the items
// that depend on it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "scanner/hardware/hwsink.h"

namespace qv::scanner {

enum SysString : unsigned {
    kStrMemPhysTotal = 55,
    kStrMemPhysAvail = 154,
    kStrMemPageTotal = 155,
    kStrMemPageAvail = 156,
    kStrMemVirtTotal = 157,
    kStrMemVirtAvail = 158,
    kStrServicePack = 160,
    kStrInstallDate = 161,
    kStrEnviron = 152,
    kStrFloppyType = 53,
    kStrFloppyCylinders = 90,
    kStrFloppySectors = 92,
    kStrFloppyCount = 83,
};

// Replaces the first printf conversion of a label template (%s, %d, %c
// and the like, with flags and width) by text. Labels come from the string
// table, so they are never used as format strings themselves.
std::string FillTemplate(std::string_view tmpl, std::string_view text);

// Memory figures in bytes (64-bit, as GlobalMemoryStatusEx reports them).
struct MemoryFigures {
    std::uint64_t total_phys = 0, avail_phys = 0;
    std::uint64_t total_page = 0, avail_page = 0;
    std::uint64_t total_virtual = 0, avail_virtual = 0;
};
void WriteMemoryItems(HardwareSink& sink, const MemoryFigures& m);

// One registry text of the operating system scan.
struct RegText {
    bool read = false;
    std::string text;
};
struct OsFacts {
    bool key_opened = false;
    // CurrentBuildNumber, CurrentType, CurrentVersion, RegisteredOrganization,
    // RegisteredOwner, SystemRoot, in this order.
    RegText values[6];
    RegText csd_version;
    bool install_date_ok = false;
    std::string install_date;  // "%c" of the local time
};
// Registry value names of OsFacts::values, in order.
extern const char* const kOsValueNames[6];
void WriteOsItems(HardwareSink& sink, const OsFacts& os);

// Writes one item per usable entry of an environment block (entries
// "NAME=VALUE", each zero-terminated, the block ending with an empty one)
// and one row of the Environment table. upper() upper-cases a name.
void WriteEnvironmentItems(HardwareSink& sink, const char* block,
                           const std::function<std::string(std::string_view)>& upper);

struct LogicalDriveFacts {
    bool space_ok = false;
    std::uint64_t free_bytes = 0, total_bytes = 0;
    bool volume_ok = false;
    std::string label, file_system;
    std::uint32_t serial = 0;
};
void WriteLogicalDriveItems(HardwareSink& sink, char letter, const LogicalDriveFacts& d);

// What one AT-disk key held; numbers not read keep the previous disk's.
struct FixedDiskValues {
    bool cylinders_ok = false, heads_ok = false, sectors_ok = false;
    std::uint32_t cylinders = 0, heads = 0, sectors = 0;
    RegText firmware, identifier, serial;
};
// Walks controller/disk numbers as the AT-disk map is laid out: read(c, d,
// values) opens "Controller c\Disk d" and returns false when there is no
// such key. A missing disk 0 ends the walk; a missing later disk moves on to
// the next controller.
void ScanFixedDisks(HardwareSink& sink,
                    const std::function<bool(int, int, FixedDiskValues&)>& read);

// One floppy drive numbered n; returns false (nothing written) for media
// that are not floppy disks.
bool WriteFloppyItems(HardwareSink& sink, int n, char letter, int media_type,
                      std::uint32_t cylinders, std::uint32_t heads, std::uint32_t sectors);
void WriteFloppyCount(HardwareSink& sink, int count);

}  // namespace qv::scanner
