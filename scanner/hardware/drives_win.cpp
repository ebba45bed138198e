// Logical drives, fixed disks and floppy drives scans, Win32 half.
//
// Byte counts are formed in 64 bits so that drives of 4 GB and more report
// their real size.
#include <windows.h>
#include <winioctl.h>

#include <cstring>

#include "common/win/handles.h"
#include "scanner/hardware/hwtext.h"
#include "scanner/hardware/registry_reader_win.h"
#include "scanner/hardware/sysinfo_win.h"

namespace qv::scanner {
namespace {

constexpr DWORD kVolumeTextSize = 256;
constexpr DWORD kDiskTextSize = 256;

// Sets an error mode for the lifetime of the object only.
class ErrorModeScope {
public:
    explicit ErrorModeScope(UINT mode) : old_(::SetErrorMode(mode)) {}
    ~ErrorModeScope() { ::SetErrorMode(old_); }
    ErrorModeScope(const ErrorModeScope&) = delete;
    ErrorModeScope& operator=(const ErrorModeScope&) = delete;

private:
    UINT old_;
};

}  // namespace

void ScanLogicalDrives(HardwareSink& sink) {
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        const char root[] = {letter, ':', '\\', '\0'};
        switch (::GetDriveTypeA(root)) {
            case DRIVE_UNKNOWN: case DRIVE_NO_ROOT_DIR: case DRIVE_REMOTE:
            case DRIVE_REMOVABLE: case DRIVE_CDROM:
                continue;
            default:
                break;
        }
        LogicalDriveFacts d;
        DWORD spc = 0, bps = 0, free_clusters = 0, total_clusters = 0;
        d.space_ok = ::GetDiskFreeSpaceA(root, &spc, &bps, &free_clusters, &total_clusters) != 0;
        if (d.space_ok) {
            d.free_bytes = std::uint64_t{free_clusters} * spc * bps;
            d.total_bytes = std::uint64_t{total_clusters} * spc * bps;
        }
        char label[kVolumeTextSize] = {}, fs[kVolumeTextSize] = {};
        DWORD serial = 0;
        d.volume_ok = ::GetVolumeInformationA(root, label, sizeof label, &serial, nullptr, nullptr, fs,
                                              sizeof fs) != 0;
        d.label = label;
        d.file_system = fs;
        d.serial = serial;
        WriteLogicalDriveItems(sink, letter, d);
    }
}

void ScanFixedDrives(HardwareSink& sink) {
    ScanFixedDisks(sink, [](int controller, int disk, FixedDiskValues& v) {
        RegistryReader reg;
        const std::string key = Format("HARDWARE\\DEVICEMAP\\AtDisk\\Controller %d\\Disk %d", controller, disk);
        if (!reg.Open(key.c_str())) return false;
        DWORD n = 0;
        if ((v.cylinders_ok = reg.ReadDword("Actual - Number of cylinders", n))) v.cylinders = n;
        if ((v.heads_ok = reg.ReadDword("Actual - Number of heads", n))) v.heads = n;
        if ((v.sectors_ok = reg.ReadDword("Actual - Sectors per track", n))) v.sectors = n;
        char buf[kDiskTextSize];
        if ((v.firmware.read = reg.Read("Firmware revision", buf, sizeof buf))) v.firmware.text = buf;
        if ((v.identifier.read = reg.Read("Identifier", buf, sizeof buf))) v.identifier.text = buf;
        if ((v.serial.read = reg.Read("Serial number", buf, sizeof buf))) v.serial.text = buf;
        return true;
    });
}

void ScanFloppyDrives(HardwareSink& sink) {
    int count = 0;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        const char device[] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
        qv::win::FileHandle h;
        {
            // A drive without a disk must not raise a system message box.
            ErrorModeScope mode(SEM_FAILCRITICALERRORS);
            h.reset(::CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        }
        if (!h) continue;
        DWORD got = 0;
        if (!::DeviceIoControl(h.get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr)) continue;
        DISK_GEOMETRY g;
        std::memset(&g, 0, sizeof g);
        if (::DeviceIoControl(h.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &got, nullptr)) {
            if (WriteFloppyItems(sink, count, letter, static_cast<int>(g.MediaType),
                                 static_cast<std::uint32_t>(g.Cylinders.QuadPart), g.TracksPerCylinder,
                                 g.SectorsPerTrack))
                ++count;
        }
        ::DeviceIoControl(h.get(), FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr);
    }
    WriteFloppyCount(sink, count);
}

}  // namespace qv::scanner
