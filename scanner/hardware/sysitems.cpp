// Memory, operating system, environment and drive items (see sysitems.h).
#include "scanner/hardware/sysitems.h"

#include <cstring>

#include "scanner/hardware/hwtext.h"
#include "scanner/mif/mif.h"

namespace qv::scanner {
namespace {

void AddAttribute(const char* cls, std::string_view label, const char* type, const std::string& value) {
    const std::string name = AttributeNameFromLabel(label);
    MifAddAttribute(cls, name.c_str(), nullptr, type, value.c_str());
}

void ItemAndAttribute(HardwareSink& sink, const std::string& label, const char* cls,
                      const char* type, const std::string& value) {
    sink.Item(label, value);
    AddAttribute(cls, label, type, value);
}

std::string Kilobytes(std::uint64_t bytes, bool padded) {
    const std::string kb = std::to_string(static_cast<long long>(bytes >> 10));
    return Format(padded ? " %6s KB" : " %s KB", kb.c_str());
}

}  // namespace

const char* const kOsValueNames[6] = {
    "CurrentBuildNumber", "CurrentType", "CurrentVersion",
    "RegisteredOrganization", "RegisteredOwner", "SystemRoot",
};

std::string FillTemplate(std::string_view tmpl, std::string_view text) {
    std::size_t pct = tmpl.find('%');
    while (pct != std::string_view::npos && pct + 1 < tmpl.size() && tmpl[pct + 1] == '%')
        pct = tmpl.find('%', pct + 2);
    if (pct == std::string_view::npos) return std::string(tmpl);
    std::size_t end = pct + 1;
    while (end < tmpl.size() && std::strchr("-+ #0123456789.lh", tmpl[end])) ++end;
    if (end < tmpl.size()) ++end;  // the conversion letter
    std::string out(tmpl.substr(0, pct));
    out.append(text);
    out.append(tmpl.substr(end));
    return out;
}

void WriteMemoryItems(HardwareSink& sink, const MemoryFigures& m) {
    const struct { unsigned id; std::uint64_t bytes; bool padded; } rows[] = {
        {kStrMemPhysTotal, m.total_phys, true},      {kStrMemPhysAvail, m.avail_phys, true},
        {kStrMemPageTotal, m.total_page, false},     {kStrMemPageAvail, m.avail_page, false},
        {kStrMemVirtTotal, m.total_virtual, false},  {kStrMemVirtAvail, m.avail_virtual, false},
    };
    for (const auto& r : rows)
        ItemAndAttribute(sink, sink.Label(r.id), kMifClassMemory, "STRING(32)", Kilobytes(r.bytes, r.padded));
}

void WriteOsItems(HardwareSink& sink, const OsFacts& os) {
    static const char* const kLabels[6] = {
        "OS - NT Info - Current Build =",         "OS - NT Info - Current Type =",
        "OS - NT Info - Current Version =",       "OS - NT Info - Registered Organization =",
        "OS - NT Info - Registered Owner =",      "OS - NT Info - System Root =",
    };
    sink.Item("OS - Name =", "Windows NT");
    if (!os.key_opened) return;
    for (int i = 0; i < 6; ++i) {
        const RegText& v = os.values[i];
        if (!v.read) continue;
        if (NotBlank(v.text)) sink.Item(kLabels[i], v.text);
        AddAttribute(kMifClassOperatingSystem, kLabels[i], "STRING(32)", MifEscape(v.text));
    }
    ItemAndAttribute(sink, sink.Label(kStrServicePack), kMifClassOperatingSystem, "STRING(32)",
                     ServicePackText(os.csd_version.read, os.csd_version.text));
    if (os.install_date_ok)
        ItemAndAttribute(sink, sink.Label(kStrInstallDate), kMifClassOperatingSystem, "STRING(32)",
                         os.install_date);
}

void WriteEnvironmentItems(HardwareSink& sink, const char* block,
                           const std::function<std::string(std::string_view)>& upper) {
    if (!block) return;
    const std::string label_template = sink.Label(kStrEnviron);
    for (const char* p = block; *p; p += std::strlen(p) + 1) {
        // Entries longer than the work buffer are cut to it.
        std::string_view entry(p, strnlen(p, kMifEscapeBufferSize - 1));
        std::string name, value;
        if (!SplitEnvironmentEntry(entry, name, value)) continue;
        name = upper(name);
        if (value.size() > kEnvironmentValueMax) value.resize(kEnvironmentValueMax);
        sink.Item(FillTemplate(label_template, name), value);

        char work[kMifEscapeBufferSize];
        std::memcpy(work, value.c_str(), value.size() + 1);
        MifEscapeInPlace(work, sizeof work);
        const std::string row = "\"" + name + "\",\"" + work + "\"";
        MifAddTableRow(kMifClassEnvironment, row.c_str());
    }
}

void WriteLogicalDriveItems(HardwareSink& sink, char letter, const LogicalDriveFacts& d) {
    auto label = [letter](const char* word) { return Format("Logical Drive %c - %s =", letter, word); };
    std::string free_text, size_text;
    if (d.space_ok) {
        free_text = SizeText(d.free_bytes);
        size_text = SizeText(d.total_bytes);
        sink.Item(label("Free"), free_text);
        sink.Item(label("Size"), size_text);
    }
    if (!d.volume_ok) return;
    if (NotBlank(d.label)) sink.Item(label("Volume Label"), d.label);
    sink.Item(label("File System"), d.file_system);
    const std::string serial = SerialNumberText(d.serial);
    const std::string row = Format("\"%c\",\"%s\",\"%s\",\"%s\",\"%s\",\"%s\"", letter, size_text.c_str(),
                                   free_text.c_str(), serial.c_str(), d.label.c_str(),
                                   d.file_system.c_str());
    MifAddTableRow(kMifClassLogicalDrive, row.c_str());
    sink.Item(label("Serial Number"), serial);
}

void ScanFixedDisks(HardwareSink& sink,
                    const std::function<bool(int, int, FixedDiskValues&)>& read) {
    std::uint32_t cylinders = 0, heads = 0, sectors = 0;
    int controller = 0, disk = 0;
    // A controller holds at most a handful of disks; the bound only guards
    // against a registry that answers every key.
    for (int guard = 0; guard < 64 * 64; ++guard) {
        FixedDiskValues v;
        if (!read(controller, disk, v)) {
            if (disk == 0) return;
            ++controller;
            disk = 0;
            continue;
        }
        auto label = [disk](const char* what) { return Format("Fixed Drive %d - %s =", disk, what); };
        if (v.cylinders_ok) { cylinders = v.cylinders; sink.Item(label("Cylinders"), Format("%5u", cylinders)); }
        if (v.heads_ok) { heads = v.heads; sink.Item(label("Heads"), Format("%3u", heads)); }
        if (v.sectors_ok) { sectors = v.sectors; sink.Item(label("Sectors"), Format("%3u", sectors)); }
        if (v.firmware.read) sink.Item(label("Firmware revision"), v.firmware.text);
        if (v.identifier.read) sink.Item(label("Vendor Description"), v.identifier.text);
        if (v.serial.read) sink.Item(label("Serial Number"), v.serial.text);
        const std::uint64_t bytes = std::uint64_t{cylinders} * heads * sectors * 512u;
        const std::string size = SizeText(bytes);
        sink.Item(label("Size"), size);
        const std::string row = Format("\"%c:\",\"%s\",\"%lu\",\"%lu\",\"%lu\",\"%s\"",
                                       static_cast<char>('C' + disk), "Fixed Drive",
                                       static_cast<unsigned long>(cylinders), static_cast<unsigned long>(heads),
                                       static_cast<unsigned long>(sectors), size.c_str());
        MifAddTableRow(kMifClassMassStorage, row.c_str());
        ++disk;
    }
}

bool WriteFloppyItems(HardwareSink& sink, int n, char letter, int media_type,
                      std::uint32_t cylinders, std::uint32_t heads, std::uint32_t sectors) {
    const unsigned media_id = FloppyMediaTextId(media_type);
    if (media_id == 0) return false;
    const std::string number = std::to_string(n);
    const std::string media = sink.Label(media_id);
    sink.Item(FillTemplate(sink.Label(kStrFloppyType), number), media);
    const std::string row = Format("\"%c:\",\"Floppy Drive\",\"%ld\",\"%ld\",\"%ld\",\"%s\"", letter,
                                   static_cast<long>(cylinders), static_cast<long>(heads),
                                   static_cast<long>(sectors), FloppyRowMediaText(media).c_str());
    MifAddTableRow(kMifClassMassStorage, row.c_str());
    sink.Item(FillTemplate(sink.Label(kStrFloppyCylinders), number),
              Format("% 5d", static_cast<int>(cylinders)));
    sink.Item(FillTemplate(sink.Label(kStrFloppySectors), number),
              Format("% 3d", static_cast<int>(sectors)));
    return true;
}

void WriteFloppyCount(HardwareSink& sink, int count) {
    if (count > 0) sink.Item(sink.Label(kStrFloppyCount), std::to_string(count));
}

}  // namespace qv::scanner
