// System resources and drivers-and-services items (see sysres.h).
#include "scanner/hardware/sysres.h"

#include <cstdio>
#include <cstring>

#include "scanner/hardware/hwtext.h"
#include "scanner/hardware/sysitems.h"
#include "scanner/mif/mif.h"

namespace qv::scanner {
namespace {

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::string Cut(std::string_view text, std::size_t max) {
    return std::string(text.substr(0, max));
}

void SetResourceAttribute(std::string_view label, const std::string& value) {
    const std::string name = AttributeNameFromLabel(label);
    MifSetAttribute(kMifClassSystemResources, name.c_str(), nullptr, nullptr, value.c_str());
}

const char* const kKeyboardTypes[] = {
    "Unknown",
    "IBM PX/XT, or compatible (83-key) keyboard",
    "Olivetti ICO (102-key) keyboard",
    "IBM AT (84-key) or similar keyboard ",
    "IBM Enhanced (101/102-key) keyboard",
    "Nokia 1050 or similar keyboard",
    "Nokia 9140 or similar keyboard",
    "Standard Japanese",
};

}  // namespace

std::vector<std::uint32_t> IoPortStarts(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint32_t> starts;
    if (!data || size < kResourceHeaderSize) return starts;
    // Interface type, bus number, list version and revision, then the count.
    const std::uint32_t count = Le32(data + 12);
    const std::size_t room = (size - kResourceHeaderSize) / kPartialDescriptorSize;
    const std::size_t n = count < room ? count : room;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* d = data + kResourceHeaderSize + i * kPartialDescriptorSize;
        // Type, share disposition, flags, 64-bit start (low half used), length.
        if (d[0] == kResourceTypePort) starts.push_back(Le32(d + 4));
    }
    return starts;
}

void AppendBus(std::string& list, std::string_view identifier) {
    if (identifier.empty()) return;
    if (list.empty()) {
        list = Cut(identifier, kBusListMax);
        return;
    }
    if (list.find(identifier) != std::string::npos) return;
    if (list.size() + 2 + identifier.size() > kBusListMax) return;
    list += ", ";
    list.append(identifier);
}

std::string FillNumbers(std::string_view tmpl, std::initializer_list<long> values) {
    std::string out;
    auto next = values.begin();
    std::size_t i = 0;
    while (i < tmpl.size()) {
        const char c = tmpl[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        if (i + 1 < tmpl.size() && tmpl[i + 1] == '%') {
            out += '%';
            i += 2;
            continue;
        }
        std::size_t end = i + 1;
        while (end < tmpl.size() && std::strchr("-+ #0", tmpl[end])) ++end;
        std::size_t width_digits = 0;
        while (end < tmpl.size() && tmpl[end] >= '0' && tmpl[end] <= '9' && width_digits < 3) ++end, ++width_digits;
        if (end < tmpl.size() && tmpl[end] == 'l') ++end;
        const bool number = end < tmpl.size() && std::strchr("diuxXo", tmpl[end]) && tmpl[end] != '\0';
        if (!number || next == values.end()) {
            out += c;
            ++i;
            continue;
        }
        // The conversion alone, checked above, with a long argument.
        std::string conversion(tmpl.substr(i, end - i));
        if (conversion.back() != 'l') conversion += 'l';
        conversion += tmpl[end];
        char buf[64];
        std::snprintf(buf, sizeof buf, conversion.c_str(), *next++);
        out += buf;
        i = end + 1;
    }
    return out;
}

void WriteBiosDate(HardwareSink& sink, std::string_view date) {
    const std::string label = sink.Label(kStrBiosDate);
    const std::string value = Cut(date, kSysresTextMax);
    sink.Item(label, value);
    SetResourceAttribute(label, value);
}

void WriteSystemModel(HardwareSink& sink, std::string_view model) {
    const std::string label = sink.Label(kStrSystemModel);
    const std::string value = Cut(model, kSysresTextMax);
    sink.Item(label, value);
    const std::string name = AttributeNameFromLabel(label);
    MifAddAttribute(kMifClassSystemResources, name.c_str(), nullptr, "STRING(16)", value.c_str());
}

void WriteBusItem(HardwareSink& sink, const std::string& list) {
    if (list.empty()) return;
    const std::string label = sink.Label(kStrBusType);
    sink.Item(label, list);
    SetResourceAttribute(label, list);
}

void WritePortItems(HardwareSink& sink, PortKind kind, int number, const std::uint8_t* data,
                    std::size_t size) {
    const bool com = kind == PortKind::kCom;
    const std::string label = FillNumbers(sink.Label(com ? kStrComAddress : kStrLptAddress), {number});
    for (std::uint32_t start : IoPortStarts(data, size)) {
        const std::string address = Format("%XH", static_cast<unsigned>(start));
        const std::string row =
            Format("\"%s\",\"%d\",\"%s\"", com ? "COM" : "LPT", number, address.c_str());
        MifAddTableRow(kMifClassPorts, row.c_str());
        sink.Item(label, address);
    }
}

const char* KeyboardTypeText(int type) {
    if (type < 0 || type >= static_cast<int>(sizeof kKeyboardTypes / sizeof kKeyboardTypes[0]))
        return kKeyboardTypes[0];
    return kKeyboardTypes[type];
}

void WriteKeyboardItems(HardwareSink& sink, int type, int subtype, int function_keys, int code_page) {
    const char* label = "Keyboard - Type =";
    const std::string text = KeyboardTypeText(type);
    sink.Item(label, text);
    if (type == 0) return;
    SetResourceAttribute(label, text);
    sink.Item("Keyboard - SubType =", std::to_string(subtype));
    sink.Item("Keyboard - Number of Function keys =", std::to_string(function_keys));
    sink.Item("Keyboard - Code Page =", std::to_string(code_page));
}

void WriteMouseItem(HardwareSink& sink, unsigned buttons) {
    const std::string label = sink.Label(kStrMouseButtons);
    const std::string value = std::to_string(buttons);
    sink.Item(label, value);
    SetResourceAttribute(label, value);
}

std::string VideoDeviceKey(std::string_view upper_value) {
    const std::size_t at = upper_value.find("SYSTEM");
    return at == std::string_view::npos ? std::string() : std::string(upper_value.substr(at));
}

std::string VideoMemoryText(HardwareSink& sink, std::uint32_t bytes) {
    return FillNumbers(sink.Label(kStrKilobytesText), {static_cast<long>(bytes / 1024)});
}

std::string ColorsText(HardwareSink& sink, int planes, int bits_per_pixel) {
    const long bits = static_cast<long>(planes) * bits_per_pixel;
    if (bits >= 32) return FillNumbers(sink.Label(kStrBitsPerPixelText), {bits});
    if (bits < 0) return "Unknown";
    return std::to_string(1ULL << bits);
}

void WriteVideoItems(HardwareSink& sink, const VideoFacts& v) {
    auto label = [&sink](unsigned id) { return FillTemplate(sink.Label(id), "0"); };
    if (v.adapter_found) {
        sink.Item(label(kStrVideoString), Cut(v.adapter_string, kSysresTextMax));
        sink.Item(label(kStrVideoChipType), Cut(v.chip_type, kSysresTextMax));
        sink.Item(label(kStrVideoDacType), Cut(v.dac_type, kSysresTextMax));
        sink.Item(label(kStrVideoMemory), v.memory_read ? VideoMemoryText(sink, v.memory_bytes) : "Unknown");
    }
    std::string resolution = "Unknown", colors = "Unknown";
    if (v.mode_read) {
        resolution = FillNumbers(sink.Label(kStrResolutionText), {v.width, v.height});
        colors = ColorsText(sink, v.planes, v.bits_per_pixel);
    }
    sink.Item(sink.Label(kStrVideoResolution), resolution);
    sink.Item(sink.Label(kStrVideoColors), colors);
}

unsigned ServiceStateTextId(unsigned long state) {
    return state >= 1 && state <= 7 ? kStrServiceStopped + static_cast<unsigned>(state - 1) : 0;
}

void WriteServiceItem(HardwareSink& sink, std::string_view status_template, std::string_view display_name,
                      unsigned long state) {
    std::string label = FillTemplate(status_template, display_name);
    if (label.size() > kServiceTextMax) label.resize(kServiceTextMax);
    label += " =";
    const unsigned id = ServiceStateTextId(state);
    sink.Item(label, id ? Cut(sink.Label(id), kServiceTextMax) : std::string());
}

}  // namespace qv::scanner
