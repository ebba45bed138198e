// The MIF component model and writer. See mif.h for the contract.
//
// The model is a plain tree of owned texts: component -> groups -> attributes
// and at most one table of preformatted rows per group. Lookups are linear
// and case-insensitive; with fifteen groups of a dozen attributes each there
// is nothing to gain from an index.
//
// The writer renders the whole file into memory with LF line ends and then
// turns every LF into CR LF, which is exactly what a C runtime text-mode
// stream does on Windows; the bytes are then written in one go in binary
// mode, so the host build produces the same file as the Windows build.
#include "scanner/mif/mif.h"

#include <cstdio>
#include <list>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "common/text.h"

namespace qv::scanner {
namespace {

using Text = std::optional<std::string>;

Text Opt(const char* s) { return s ? Text(s) : std::nullopt; }

struct Attribute {
    Text name, access, type, value;
    std::uint16_t id = 0;
};

struct Table {
    Text name, cls;
    std::vector<std::string> rows;
};

struct Group {
    Text name, cls, description, key;
    std::uint16_t id = 0;
    std::uint16_t attribute_count = 0;
    std::vector<Attribute> attributes;
    std::unique_ptr<Table> table;
};

struct Component {
    Text name, description;
    std::uint16_t group_count = 0;
    int scan_flag = 0;
    std::list<Group> groups;  // stable addresses while groups are added
};

std::unique_ptr<Component> g_component;

Group* FindGroup(const char* cls) {
    if (!g_component || !cls) return nullptr;
    for (Group& g : g_component->groups)
        if (g.cls && EqualNoCase(*g.cls, cls)) return &g;
    return nullptr;
}

Attribute* FindAttribute(Group* g, const char* name) {
    if (!g || !name) return nullptr;
    for (Attribute& a : g->attributes)
        if (a.name && EqualNoCase(*a.name, name)) return &a;
    return nullptr;
}

bool HasRows(const Group& g) { return g.table && !g.table->rows.empty(); }

void Put(std::string& out, std::string_view a) { out.append(a); }

void PutQuoted(std::string& out, std::string_view before, const std::string& text,
               std::string_view after) {
    out.append(before);
    out.push_back('"');
    out.append(text);
    out.push_back('"');
    out.append(after);
}

void PutNumber(std::string& out, std::string_view before, unsigned value) {
    out.append(before);
    out.append(std::to_string(value));
    out.push_back('\n');
}

std::string RenderLf(const Component& c) {
    std::string out;
    Put(out, c.scan_flag == 0 ? "// DONT_SCAN" : " ");
    Put(out, "\n\n");
    Put(out, "START COMPONENT\n\n");
    if (c.name) PutQuoted(out, "NAME = ", *c.name, "\n\n");
    if (c.description) PutQuoted(out, "DESCRIPTION = ", *c.description, "\n\n");
    for (const Group& g : c.groups) {
        const bool rows = HasRows(g);
        Put(out, "START GROUP\n");
        if (g.name) PutQuoted(out, "\tNAME = ", *g.name, "\n");
        if (g.id != 0 && !rows) PutNumber(out, "\tID = ", g.id);
        if (g.cls) PutQuoted(out, "\tCLASS = ", *g.cls, "\n");
        if (g.description) PutQuoted(out, "\tDESCRIPTION = ", *g.description, "\n");
        for (const Attribute& a : g.attributes) {
            Put(out, "\n\tSTART ATTRIBUTE\n");
            if (a.name) PutQuoted(out, "\t\tNAME = ", *a.name, "\n");
            if (a.id != 0) PutNumber(out, "\t\tID = ", a.id);
            if (a.access) { Put(out, "\t\tACCESS = "); Put(out, *a.access); Put(out, "\n"); }
            if (a.type) { Put(out, "\t\tTYPE = "); Put(out, *a.type); Put(out, "\n"); }
            PutQuoted(out, "\t\tVALUE = ", a.value ? *a.value : std::string(), "\n");
            Put(out, "\tEND ATTRIBUTE\n\n");
        }
        if (g.key && rows) { Put(out, "Key = "); Put(out, *g.key); Put(out, "\n\n"); }
        Put(out, "END GROUP\n\n");
        if (rows) {
            const Table& t = *g.table;
            Put(out, "Start Table\n");
            if (t.name) PutQuoted(out, "\tNAME = ", *t.name, "\n");
            if (g.id != 0) PutNumber(out, "\tID = ", g.id);
            if (t.cls) PutQuoted(out, "\tCLASS = ", *t.cls, "\n");
            for (const std::string& r : t.rows) { Put(out, "\t{"); Put(out, r); Put(out, "}\n"); }
            Put(out, "End Table\n\n");
        }
    }
    Put(out, "\nEND COMPONENT");
    return out;
}

}  // namespace

void MifCreateComponent(const char* name, const char* description) {
    auto c = std::make_unique<Component>();
    c->name = Opt(name);
    c->description = Opt(description);
    g_component = std::move(c);
}

bool MifActive() { return g_component != nullptr; }

void MifSetScanFlag(int flag) {
    if (g_component) g_component->scan_flag = flag;
}

void MifAddGroup(const char* name, const char* cls, const char* description) {
    if (!g_component) return;
    Group& g = g_component->groups.emplace_back();
    g.name = Opt(name);
    g.cls = Opt(cls);
    g.description = Opt(description);
    g.id = ++g_component->group_count;
}

void MifAddAttribute(const char* cls, const char* name, const char* access,
                     const char* type, const char* value) {
    Group* g = FindGroup(cls);
    if (!g) return;
    Attribute& a = g->attributes.emplace_back();
    a.name = Opt(name);
    a.access = Opt(access);
    a.type = Opt(type);
    a.value = Opt(value);
    a.id = ++g->attribute_count;
}

void MifSetAttribute(const char* cls, const char* name, const char* access,
                     const char* type, const char* value) {
    Attribute* a = FindAttribute(FindGroup(cls), name);
    if (!a) return;
    if (access) a->access = access;
    if (type) a->type = type;
    if (value) a->value = value;
}

void MifSetGroupId(const char* cls, std::uint16_t id) {
    if (Group* g = FindGroup(cls)) g->id = id;
}

void MifSetGroupKey(const char* cls, const char* key) {
    Group* g = FindGroup(cls);
    if (g && !g->key && key) g->key = key;
}

void MifAddTable(const char* cls, const char* table_name) {
    Group* g = FindGroup(cls);
    if (!g || g->table) return;
    g->table = std::make_unique<Table>();
    g->table->name = Opt(table_name);
    g->table->cls = g->cls;
}

void MifAddTableRow(const char* cls, const char* row) {
    Group* g = FindGroup(cls);
    if (g && g->table && row) g->table->rows.emplace_back(row);
}

std::string MifRender() {
    if (!g_component) return {};
    const std::string lf = RenderLf(*g_component);
    std::string out;
    out.reserve(lf.size() + lf.size() / 8);
    for (char ch : lf) {
        if (ch == '\n') out.push_back('\r');
        out.push_back(ch);
    }
    return out;
}

bool MifWrite(const char* path) {
    if (!g_component || !path) return false;
    const std::string bytes = MifRender();
    std::FILE* f = std::fopen(path, "w+b");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

void MifFree() { g_component.reset(); }

std::string MifDirectoryFromSetting(const std::string& value, int first_fixed_drive) {
    if (!value.empty() && value[0] == '\\') {
        std::string out;
        out.push_back(static_cast<char>('A' + first_fixed_drive));
        out.push_back(':');
        return out + value;
    }
    return value;
}

void MifBuildSchema() {
    MifCreateComponent("Varik Corvane Inventory PC MIF for NT Machines",
                       "This component represents NT Servers/Workstations");
    MifSetScanFlag(0);

    const char* ro = "READ-ONLY";
    const char* c = kMifClassComponentId;
    MifAddGroup("ComponentID", c, "This group defines attributes common to all components");
    MifAddAttribute(c, "Manufacturer", ro, "STRING(32)", nullptr);
    MifAddAttribute(c, "Product", ro, "STRING(32)", "PC");
    MifAddAttribute(c, "Version", ro, "STRING(32)", nullptr);
    MifAddAttribute(c, "Serial Number", ro, "STRING(32)", nullptr);
    MifAddAttribute(c, "Installation", ro, "DATE", nullptr);

    c = kMifClassConnections;
    MifAddGroup("LAN Connections", c, nullptr);
    MifAddAttribute(c, "Connection Number", nullptr, "STRING(1)", nullptr);
    MifAddAttribute(c, "Connection Name", nullptr, "STRING(48)", nullptr);
    MifAddTable(c, "LAN Connection Table");
    MifSetGroupKey(c, "2");

    MifAddGroup("Processor", kMifClassProcessor, "This group contains processor information");
    MifAddGroup("Coprocessor", kMifClassCoprocessor, nullptr);

    c = kMifClassSystemResources;
    MifAddGroup("System Resources", c, "This group contains information on system resources");
    static const char* const kResources[][2] = {
        {"XBIOS - Service Tag", "STRING(32)"},
        {"BIOS - Date", "STRING(16)"},
        {"BIOS - System Model", "STRING(32)"},
        {"BIOS - ID Bytes", "STRING(16)"},
        {"Bus - Type", "STRING(32)"},
        {"Keyboard - Type", "STRING(64)"},
        {"Video - Adapter 0 - Type", "STRING(64)"},
        {"Video - Adapter 0 - BIOS String", "STRING(256)"},
        {"Mouse - Buttons", "STRING(32)"},
        {"Mouse - Driver Version", "STRING(32)"},
        {"Mouse - Interrupt Line", "STRING(32)"},
    };
    for (const auto& a : kResources) MifAddAttribute(c, a[0], nullptr, a[1], nullptr);

    c = kMifClassPorts;
    MifAddGroup("Ports", c, nullptr);
    MifAddAttribute(c, "Type", nullptr, "STRING(3)", nullptr);
    MifAddAttribute(c, "Port Number", nullptr, "STRING(1)", nullptr);
    MifAddAttribute(c, "Base Address", nullptr, "STRING(16)", nullptr);
    MifAddTable(c, "Ports Table");
    MifSetGroupKey(c, "1,2");

    MifAddGroup("Memory", kMifClassMemory, "This group contains information on system memory");

    c = kMifClassMassStorage;
    MifAddGroup("Mass Storage", c, nullptr);
    MifAddAttribute(c, "Drive ID", nullptr, "STRING(2)", nullptr);
    for (const char* n : {"Type", "Cylinders", "Heads", "Sectors", "Total Space"})
        MifAddAttribute(c, n, nullptr, "STRING(16)", nullptr);
    MifAddTable(c, "Mass Storage Table");
    MifSetGroupKey(c, "1");

    c = kMifClassLogicalDrive;
    MifAddGroup("Logical Drives", c, nullptr);
    for (const char* n : {"Drive ID", "Size", "Free", "Serial Number", "Volume Label", "File System"})
        MifAddAttribute(c, n, nullptr, "STRING(48)", nullptr);
    MifAddTable(c, "Logical Drives");
    MifSetGroupKey(c, "1");

    MifAddGroup("Operating System", kMifClassOperatingSystem, nullptr);
    MifAddGroup("IPX LAN", kMifClassIpxLan, nullptr);

    c = kMifClassEnvironment;
    MifAddGroup("Environment", c, nullptr);
    MifAddAttribute(c, "Name", nullptr, "STRING(32)", nullptr);
    MifAddAttribute(c, "Value", nullptr, "STRING(504)", nullptr);
    MifAddTable(c, "Environment Table");
    MifSetGroupKey(c, "1");

    c = kMifClassDrivers;
    MifAddGroup("Drivers and Services", c, nullptr);
    MifAddAttribute(c, "Name", nullptr, "STRING(255)", nullptr);
    MifAddAttribute(c, "Status", nullptr, "STRING(20)", nullptr);
    MifAddTable(c, "NT Driver and Service Table");
    MifSetGroupKey(c, "1,2");

    c = kMifClassConfigFiles;
    MifAddGroup("Config Files", c, nullptr);
    MifAddAttribute(c, "File Name", ro, "STRING(32)", nullptr);
    MifAddAttribute(c, "Path", ro, "STRING(64)", nullptr);
    MifAddAttribute(c, "Date", ro, "STRING(12)", nullptr);
    MifAddAttribute(c, "Time", ro, "STRING(12)", nullptr);
    MifAddAttribute(c, "Size", ro, "STRING(12)", nullptr);
    MifAddTable(c, "Config Files");
    MifSetGroupKey(c, "1");

    c = kMifClassSoftware;
    MifAddGroup("Software", c, nullptr);
    static const char* const kSoftware[][2] = {
        {"Product", "STRING(64)"}, {"Version", "STRING(16)"}, {"File Name", "STRING(12)"},
        {"Time", "STRING(12)"},    {"Date", "STRING(12)"},    {"Size", "STRING(12)"},
        {"Path", "STRING(128)"},
    };
    for (const auto& a : kSoftware) MifAddAttribute(c, a[0], ro, a[1], nullptr);
    MifAddTable(c, "Software Table");
    MifSetGroupId(c, 15);
    MifSetGroupKey(c, "3,7");
}

}  // namespace qv::scanner
