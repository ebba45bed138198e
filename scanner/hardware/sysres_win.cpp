// System resources scans, Win32 half.
//
// The registry's hardware description gives the BIOS date, the system
// model, the multifunction adapters (bus types) with their serial and
// parallel controllers, and the video device map; the keyboard, mouse and
// display come from their own queries. Every key is opened for reading
// below HKEY_LOCAL_MACHINE through the registry reader.
//
// The video miniport's "HardwareInformation.*" values are UTF-16 texts
// stored as binary data; they are read with the wide registry call and
// converted to the ANSI code page.
#include "scanner/hardware/sysres_win.h"

#include <windows.h>

#include <cstring>

#include "common/win/handles.h"
#include "scanner/hardware/hwtext.h"
#include "scanner/hardware/registry_reader_win.h"

namespace qv::scanner {
namespace {

const char* const kSystemKey = "HARDWARE\\DESCRIPTION\\System";
const char* const kAdapterKey = "HARDWARE\\DESCRIPTION\\System\\MultifunctionAdapter";
const char* const kVideoMapKey = "HARDWARE\\DEVICEMAP\\VIDEO";
constexpr DWORD kTextSize = 256;
// Guards against a registry that answers every key number.
constexpr int kMaxAdapters = 256;
constexpr int kMaxControllers = 256;
constexpr int kMaxVideoDevices = 64;

bool ReadSystemText(const char* name, std::string& text) {
    RegistryReader reg;
    char buf[kTextSize] = {};
    if (!reg.OpenAndRead(kSystemKey, name, buf, sizeof buf)) return false;
    text = buf;
    return true;
}

// A UTF-16 value (binary or text) converted to the ANSI code page, at
// most kTextSize - 1 bytes.
bool ReadWideText(HKEY key, const wchar_t* name, std::string& text) {
    wchar_t wide[kTextSize] = {};
    DWORD got = sizeof wide - sizeof(wchar_t);  // room for a terminator of our own
    if (::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(wide), &got) != ERROR_SUCCESS)
        return false;
    wide[got / sizeof(wchar_t)] = L'\0';
    char ansi[kTextSize] = {};
    int n = ::WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, sizeof ansi, nullptr, nullptr);
    if (n <= 0) {
        // Too long for the buffer: the part that fits.
        n = ::WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(std::wcslen(wide)), ansi, sizeof ansi - 1,
                                  nullptr, nullptr);
        ansi[n > 0 ? n : 0] = '\0';
    }
    ansi[sizeof ansi - 1] = '\0';
    text = ansi;
    return true;
}

void ScanControllers(HardwareSink& sink, const std::string& adapter_path, const char* kind_key, PortKind kind) {
    for (int i = 0; i < kMaxControllers; ++i) {
        RegistryReader reg;
        const std::string path = Format("%s\\%s\\%d", adapter_path.c_str(), kind_key, i);
        std::vector<char> data;
        if (!reg.Open(path.c_str()) || !reg.ReadGrowing("Configuration Data", data)) return;
        // ReadGrowing leaves a zero byte after the value's bytes.
        WritePortItems(sink, kind, i + 1, reinterpret_cast<const std::uint8_t*>(data.data()), data.size() - 1);
    }
}

}  // namespace

void ScanBiosDate(HardwareSink& sink) {
    std::string date;
    if (ReadSystemText("SystemBiosDate", date)) WriteBiosDate(sink, date);
}

void ScanSystemModel(HardwareSink& sink) {
    std::string model;
    if (ReadSystemText("Identifier", model)) WriteSystemModel(sink, model);
}

void ScanPortsAndBus(HardwareSink& sink) {
    std::string buses;
    for (int a = 0; a < kMaxAdapters; ++a) {
        const std::string adapter = Format("%s\\%d", kAdapterKey, a);
        RegistryReader reg;
        if (!reg.Open(adapter.c_str())) break;
        char id[kTextSize] = {};
        if (reg.Read("Identifier", id, sizeof id)) AppendBus(buses, id);
        reg.Close();
        ScanControllers(sink, adapter, "SerialController", PortKind::kCom);
        ScanControllers(sink, adapter, "ParallelController", PortKind::kLpt);
    }
    WriteBusItem(sink, buses);
}

bool ReadVideoAdapter(VideoFacts& v) {
    for (int n = 0; n < kMaxVideoDevices; ++n) {
        RegistryReader map;
        char value[kTextSize] = {};
        const std::string name = Format("\\Device\\Video%d", n);
        if (!map.OpenAndRead(kVideoMapKey, name.c_str(), value, sizeof value)) return false;
        ::CharUpperBuffA(value, static_cast<DWORD>(std::strlen(value)));
        const std::string device = VideoDeviceKey(value);
        RegistryReader reg;
        if (device.empty() || !reg.Open(device.c_str())) continue;
        std::string adapter_string;
        if (!ReadWideText(reg.key(), L"HardwareInformation.AdapterString", adapter_string)) continue;
        v.adapter_found = true;
        v.adapter_string = adapter_string;
        ReadWideText(reg.key(), L"HardwareInformation.ChipType", v.chip_type);
        ReadWideText(reg.key(), L"HardwareInformation.DacType", v.dac_type);
        DWORD bytes = 0;
        v.memory_read = reg.ReadDword("HardwareInformation.MemorySize", bytes);
        v.memory_bytes = bytes;
        return true;
    }
    return false;
}

bool ReadVideoMode(VideoFacts& v) {
    qv::win::CreatedDc dc(::CreateCompatibleDC(nullptr));
    if (!dc) return false;
    v.width = ::GetDeviceCaps(dc.get(), HORZRES);
    v.height = ::GetDeviceCaps(dc.get(), VERTRES);
    v.bits_per_pixel = ::GetDeviceCaps(dc.get(), BITSPIXEL);
    v.planes = ::GetDeviceCaps(dc.get(), PLANES);
    v.mode_read = true;
    return true;
}

void ScanVideo(HardwareSink& sink) {
    VideoFacts v;
    ReadVideoAdapter(v);
    ReadVideoMode(v);
    WriteVideoItems(sink, v);
}

void ScanMouse(HardwareSink& sink) {
    DWORD buttons = 0;
    if (::GetNumberOfConsoleMouseButtons(&buttons)) WriteMouseItem(sink, buttons);
}

void ScanKeyboard(HardwareSink& sink) {
    const int type = ::GetKeyboardType(0);
    if (type == 0) {
        WriteKeyboardItems(sink, 0, 0, 0, 0);
        return;
    }
    WriteKeyboardItems(sink, type, ::GetKeyboardType(1), ::GetKeyboardType(2), static_cast<int>(::GetKBCodePage()));
}

}  // namespace qv::scanner
