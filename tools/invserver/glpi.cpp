// The GLPI inventory format (glpi.h).
#include "tools/invserver/glpi.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "common/text.h"

namespace qv::invserver {

namespace {

// What the scanner writes in the flat file: labels and values.
const char kDeviceId[] = "Device ID =";
const char kSoftwareMark[] = "_SOFTWARE =";
const char kBeginContents[] = "_BeginContents";
const char kEndContents[] = "_EndContents";
const char kExists[] = "Exists";                  // a program recognised by name only

// A JSON string: quoted, escaped, UTF-8.
std::string Quote(std::string_view raw) {
    const std::string text = ValidUtf8(raw) ? std::string(raw) : Cp1252ToUtf8(raw);
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04X", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string Trim(std::string_view s) {
    std::size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
    return std::string(s.substr(a, b - a));
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// The leading number of a text ("  2047.5 MB", " 65016 KB", "200 MHz",
// "12H"); false when it does not begin with digits.
bool LeadingNumber(std::string_view s, double* out) {
    const std::string t = Trim(s);
    if (t.empty() || t[0] < '0' || t[0] > '9') return false;
    *out = std::strtod(t.c_str(), nullptr);
    return std::isfinite(*out);
}

long long Rounded(double v) { return static_cast<long long>(std::llround(v)); }

// A two-digit year as the scanner's machines mean it: 1980 to 2079.
int FullYear(int yy) { return yy >= 100 ? yy : yy >= 80 ? 1900 + yy : 2000 + yy; }

// "MM/DD/YY" or "MM/DD/YYYY" (the BIOS date, and the date of the C
// library's "%c"), optionally followed by "HH:MM:SS"; "" otherwise.
std::string IsoDate(const std::string& text, bool with_time) {
    int mo = 0, d = 0, y = 0, h = 0, mi = 0, s = 0, used = 0;
    const std::string t = Trim(text);
    if (std::sscanf(t.c_str(), "%2d/%2d/%4d%n", &mo, &d, &y, &used) != 3) return {};
    y = FullYear(y);
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || y < 1900 || y > 2999) return {};
    char out[64];
    if (with_time && std::sscanf(t.c_str() + used, " %2d:%2d:%2d", &h, &mi, &s) == 3 && h < 24 && mi < 60 &&
        s < 61 && h >= 0 && mi >= 0 && s >= 0) {
        std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
    } else {
        std::snprintf(out, sizeof out, "%04d-%02d-%02d", y, mo, d);
    }
    return out;
}

// A JSON object built field by field, in order.
class Object {
public:
    void Text(const std::string& name, const std::string& value) {
        if (!value.empty()) Raw(name, Quote(value));
    }
    void Int(const std::string& name, long long value) { Raw(name, std::to_string(value)); }
    void Raw(const std::string& name, const std::string& json) {
        if (!body_.empty()) body_ += ',';
        body_ += Quote(name);
        body_ += ':';
        body_ += json;
    }
    bool empty() const { return body_.empty(); }
    std::string Json() const { return "{" + body_ + "}"; }

private:
    std::string body_;
};

std::string Array(const std::vector<Object>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ',';
        out += items[i].Json();
    }
    return out + "]";
}

struct Item {
    std::string key, value;   // key with its " =" taken off
    bool software;            // after the "_SOFTWARE =" mark
};

// The items of a flat inventory file, as the scanner's replay reads them:
// the key up to the first "=", the value from the second character after
// it; contents blocks are skipped.
std::vector<Item> Items(const std::string& flat) {
    std::vector<Item> out;
    bool software = false, contents = false;
    std::size_t pos = 0;
    while (pos < flat.size()) {
        std::size_t end = flat.find('\n', pos);
        if (end == std::string::npos) end = flat.size();
        std::string_view line(flat.data() + pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (contents) {
            contents = !StartsWith(line, kEndContents);
            continue;
        }
        if (StartsWith(line, kBeginContents)) {
            contents = true;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        std::string key = Trim(line.substr(0, eq));
        std::string value = eq + 2 <= line.size() ? std::string(line.substr(eq + 2)) : std::string();
        if (std::string(line.substr(0, eq + 1)) == kSoftwareMark) {
            software = true;
            continue;
        }
        out.push_back({std::move(key), std::move(value), software});
    }
    return out;
}

// "MB" from a value in kilobytes (" 65016 KB"), -1 when it is no number.
long long MegabytesOfKb(const std::string& value) {
    double kb;
    return LeadingNumber(value, &kb) ? Rounded(kb / 1024) : -1;
}

long long Megabytes(const std::string& value) {
    double mb;
    return LeadingNumber(value, &mb) ? Rounded(mb) : -1;
}

// A NIC address of 12 hexadecimal digits as "00:a0:c9:12:34:56", "" otherwise.
std::string MacText(const std::string& value) {
    std::string digits = Trim(value), out;
    if (digits.size() != 12) return {};
    for (std::size_t i = 0; i < 12; ++i) {
        char c = digits[i];
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        if (i && i % 2 == 0) out += ':';
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

}  // namespace

std::string GlpiFileName(const std::string& device_id) {
    std::string name;
    for (unsigned char c : device_id)
        name += (std::isalnum(c) && c < 0x80) || c == '-' || c == '_' || c == '.' ? static_cast<char>(c) : '_';
    if (name.empty() || name == "." || name == "..") name = "_" + name;
    return name;
}

std::string GlpiInventoryJson(const GlpiSource& source) {
    std::map<std::string, std::string> first;     // hardware items: the first value of each key
    Object cpu, bios, os, hardware, network;
    std::vector<Object> envs, drives, storages, softwares;
    std::map<char, Object> drive_by_letter;
    std::vector<char> letters;
    std::map<std::string, Object> storage_by_name;
    std::vector<std::string> storage_names;
    std::set<std::pair<std::string, std::string>> programs;   // (name, version) already listed

    for (const Item& item : Items(source.flat)) {
        if (item.software) {
            if (StartsWith(item.key, "Service - ") || StartsWith(item.key, "Cfg - ") ||
                StartsWith(item.key, "MIF") || item.key == "Number of Files" || item.key.empty())
                continue;
            Object program;
            const std::size_t slash = item.key.rfind('\\');
            std::string name = item.key, version = Trim(item.value);
            if (slash != std::string::npos && item.key.size() >= 3 && item.key[1] == ':') {
                // A program file the applications database does not know:
                // its path, and its size as value.
                name = item.key.substr(slash + 1);
                program.Text("name", name);
                program.Text("folder", item.key.substr(0, slash + 1));
                double size;
                if (LeadingNumber(item.value, &size)) program.Int("filesize", Rounded(size));
                version.clear();
            } else {
                if (version == kExists) version.clear();
                program.Text("name", name);
                program.Text("version", version);
            }
            if (name.empty() || !programs.insert({item.key, version}).second) continue;
            softwares.push_back(program);
            continue;
        }
        const std::string& k = item.key;
        if (StartsWith(k, "Environ - ")) {
            Object env;
            env.Raw("key", Quote(k.substr(10)));
            env.Raw("val", Quote(item.value));
            envs.push_back(env);
            continue;
        }
        if (StartsWith(k, "Logical Drive ") && k.size() > 18 && k.compare(15, 3, " - ") == 0) {
            const char letter = k[14];
            const std::string what = k.substr(18);
            if (!drive_by_letter.count(letter)) {
                letters.push_back(letter);
                drive_by_letter[letter].Text("letter", std::string(1, letter) + ":");
            }
            Object& d = drive_by_letter[letter];
            if (what == "Size" && Megabytes(item.value) >= 0) d.Int("total", Megabytes(item.value));
            else if (what == "Free" && Megabytes(item.value) >= 0) d.Int("free", Megabytes(item.value));
            else if (what == "File System") d.Text("filesystem", Trim(item.value));
            else if (what == "Volume Label") d.Text("label", Trim(item.value));
            else if (what == "Serial Number") d.Text("serial", Trim(item.value));
            continue;
        }
        if (StartsWith(k, "Fixed Drive ")) {
            const std::size_t dash = k.find(" - ");
            if (dash == std::string::npos) continue;
            const std::string disk = k.substr(0, dash), what = k.substr(dash + 3);
            if (!storage_by_name.count(disk)) {
                storage_names.push_back(disk);
                storage_by_name[disk].Text("name", disk);
                storage_by_name[disk].Text("type", "disk");
            }
            Object& s = storage_by_name[disk];
            if (what == "Size" && Megabytes(item.value) >= 0) s.Int("disksize", Megabytes(item.value));
            else if (what == "Vendor Description") s.Text("model", Trim(item.value));
            else if (what == "Serial Number") s.Text("serial", Trim(item.value));
            else if (what == "Firmware revision") s.Text("firmware", Trim(item.value));
            continue;
        }
        first.emplace(k, item.value);
    }
    auto get = [&](const std::string& key) -> std::string {
        auto it = first.find(key);
        return it == first.end() ? std::string() : Trim(it->second);
    };

    bios.Text("bdate", IsoDate(get("BIOS - Date"), false));
    bios.Text("smodel", get("BIOS - System Model"));

    cpu.Text("name", get("Processor - Type"));
    cpu.Text("manufacturer", get("Processor - Vendor"));
    cpu.Text("id", get("Processor - ID"));
    double number;
    if (LeadingNumber(get("Processor - Speed"), &number) && number > 0) cpu.Int("speed", Rounded(number));
    if (LeadingNumber(get("Processor - Stepping"), &number)) cpu.Int("stepping", Rounded(number));

    const long long memory = MegabytesOfKb(get("Memory - Physical - Bytes Total"));
    const long long swap = MegabytesOfKb(get("Memory - Page File - Bytes Total"));
    Object module;
    if (memory >= 0) {
        module.Int("capacity", memory);
        module.Text("caption", "Physical memory");
        hardware.Int("memory", memory);
    }
    if (swap >= 0) hardware.Int("swap", swap);

    const std::string os_name = get("OS - Name"), version = get("OS - NT Info - Current Version"),
                      build = get("OS - NT Info - Current Build"), pack = get("OS - NT Info - Service Pack");
    os.Text("name", os_name);
    os.Text("version", version);
    os.Text("kernel_version", version.empty() || build.empty() ? version : version + "." + build);
    std::string full = os_name;
    for (const std::string& part : {version, pack})
        if (!part.empty() && !full.empty()) full += " " + part;
    os.Text("full_name", full);
    os.Text("service_pack", pack);
    os.Text("install_date", IsoDate(get("OS - NT Info - Install Date"), true));

    hardware.Text("name", get("Device Name"));
    hardware.Text("description", get("Machine Description"));
    hardware.Text("workgroup", get("Domain Name"));
    hardware.Text("lastloggeduser", get("Login Name"));
    hardware.Text("winowner", get("OS - NT Info - Registered Owner"));
    hardware.Text("wincompany", get("OS - NT Info - Registered Organization"));

    const std::string ip = get("LAN - IP Address"), mac = MacText(get("LAN - NIC Address"));
    if (!ip.empty() || !mac.empty()) {
        network.Text("description", "LAN");
        network.Text("ipaddress", ip);
        network.Text("mac", mac);
    }

    for (char letter : letters) drives.push_back(drive_by_letter[letter]);
    for (const std::string& name : storage_names) storages.push_back(storage_by_name[name]);

    Object content;
    if (!source.received.empty()) {
        Object access;
        access.Text("logdate", source.received);
        content.Raw("accesslog", access.Json());
    }
    if (!bios.empty()) content.Raw("bios", bios.Json());
    if (!cpu.empty()) content.Raw("cpus", Array({cpu}));
    if (!drives.empty()) content.Raw("drives", Array(drives));
    if (!envs.empty()) content.Raw("envs", Array(envs));
    if (!hardware.empty()) content.Raw("hardware", hardware.Json());
    if (!module.empty()) content.Raw("memories", Array({module}));
    if (!network.empty()) content.Raw("networks", Array({network}));
    if (!os.empty()) content.Raw("operatingsystem", os.Json());
    if (!softwares.empty()) content.Raw("softwares", Array(softwares));
    if (!storages.empty()) content.Raw("storages", Array(storages));
    content.Text("versionclient", "qviscnnt");

    std::string device_id = source.device_id;
    if (device_id.empty()) device_id = get(std::string(kDeviceId, sizeof kDeviceId - 3));
    Object doc;
    doc.Raw("action", Quote("inventory"));
    doc.Raw("content", content.Json());
    doc.Raw("deviceid", Quote(device_id));
    doc.Raw("itemtype", Quote("Computer"));
    return doc.Json() + "\n";
}

}  // namespace qv::invserver
