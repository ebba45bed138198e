// Memory, operating system and environment scans, Win32 half.
//
// Memory figures come from GlobalMemoryStatusEx: the older GlobalMemoryStatus
// caps its figures at 2 or 4 GB, which is plainly wrong on today's machines.
#include "scanner/hardware/sysinfo_win.h"

#include <windows.h>

#include <cstring>
#include <ctime>

#include "common/dataformat.h"
#include "scanner/hardware/registry_reader_win.h"

namespace qv::scanner {
namespace {

const char* const kCurrentVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr DWORD kRegTextSize = 256;
constexpr DWORD kCsdVersionSize = 100;

// Double-byte aware upper-casing of a variable name.
std::string UpperName(std::string_view name) {
    std::string out(name);
    if (!out.empty()) ::CharUpperBuffA(out.data(), static_cast<DWORD>(out.size()));
    return out;
}

}  // namespace

bool QueryMemoryFigures(MemoryFigures& m) {
    MEMORYSTATUSEX ms;
    std::memset(&ms, 0, sizeof ms);
    ms.dwLength = sizeof ms;
    if (!::GlobalMemoryStatusEx(&ms)) return false;
    m.total_phys = ms.ullTotalPhys;
    m.avail_phys = ms.ullAvailPhys;
    m.total_page = ms.ullTotalPageFile;
    m.avail_page = ms.ullAvailPageFile;
    m.total_virtual = ms.ullTotalVirtual;
    m.avail_virtual = ms.ullAvailVirtual;
    return true;
}

void ScanMemory(HardwareSink& sink) {
    MemoryFigures m;
    QueryMemoryFigures(m);  // a failed query leaves the figures at 0; the items are always written
    WriteMemoryItems(sink, m);
}

bool FormatInstallDate(unsigned long seconds_since_1970, std::string& text) {
    std::time_t t = static_cast<std::time_t>(seconds_since_1970);
    std::tm* local = std::localtime(&t);
    if (!local) return false;
    // "%c" in the "C" conventions, whatever the user's locale.
    text = qv::DateTimeC(local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour,
                         local->tm_min, local->tm_sec);
    return true;
}

void ScanOperatingSystem(HardwareSink& sink) {
    OsFacts os;
    RegistryReader reg;
    os.key_opened = reg.Open(kCurrentVersionKey);
    if (os.key_opened) {
        for (int i = 0; i < 6; ++i) {
            char buf[kRegTextSize] = {};
            os.values[i].read = reg.Read(kOsValueNames[i], buf, sizeof buf);
            os.values[i].text = buf;
        }
        char csd[kCsdVersionSize] = {};
        os.csd_version.read = reg.Read("CSDVersion", csd, sizeof csd);
        os.csd_version.text = csd;
        DWORD installed = 0;
        if (reg.ReadDword("InstallDate", installed))
            os.install_date_ok = FormatInstallDate(installed, os.install_date);
    }
    WriteOsItems(sink, os);
}

void ScanEnvironment(HardwareSink& sink) {
    char* block = ::GetEnvironmentStringsA();
    if (!block) return;
    WriteEnvironmentItems(sink, block, UpperName);
    ::FreeEnvironmentStringsA(block);
}

}  // namespace qv::scanner
