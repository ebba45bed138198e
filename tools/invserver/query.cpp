// The administrator's query commands over the stored inventories (see query.h).
#include "tools/invserver/query.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/inventory_limits.h"
#include "common/text.h"
#include "tools/invserver/escape.h"
#include "tools/invserver/storage.h"

namespace qv::invserver {
namespace {

constexpr char kDefaultStorage[] = "invserver-data";

bool ContainsNoCase(const std::string& text, const std::string& part) {
    return std::search(text.begin(), text.end(), part.begin(), part.end(),
                       [](char a, char b) { return UpperChar(a) == UpperChar(b); }) != text.end();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = text.find('\n', start);
        std::size_t end = lf == std::string::npos ? text.size() : lf;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

struct Device {
    std::string key, id, last, items;
    bool stored = false;  // an inventory is on file
};

// Every device folder of the storage, sorted by name; false when the
// storage folder cannot be read.
bool Devices(const std::string& root, std::vector<Device>* out, std::string* err) {
    DIR* dir = ::opendir(root.c_str());
    if (!dir) {
        *err = "invserver: cannot read storage folder " + root + ": " + std::strerror(errno) + "\n";
        return false;
    }
    for (dirent* e; (e = ::readdir(dir));) {
        const std::string name = e->d_name;
        if (name.rfind("dev-", 0) != 0 && name.rfind("id-", 0) != 0) continue;
        Device d;
        d.key = name;
        std::string info;
        if (ReadWholeFile(root + "/" + name + "/device.txt", &info)) {
            for (const std::string& line : Lines(info)) {
                const std::size_t eq = line.find(" = ");
                if (eq == std::string::npos) continue;
                const std::string key = line.substr(0, eq), value = line.substr(eq + 3);
                if (key == "Device ID") d.id = FileText(value);
                if (key == "Last inventory") d.last = value;
                if (key == "Items") d.items = value;
            }
        }
        std::string probe;
        d.stored = ReadWholeFile(root + "/" + name + "/inventory.txt", &probe);
        out->push_back(std::move(d));
    }
    ::closedir(dir);
    std::sort(out->begin(), out->end(), [](const Device& a, const Device& b) { return a.key < b.key; });
    return true;
}

std::string Pad(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + "  " : text + std::string(width - text.size() + 2, ' ');
}

int List(const std::string& root, std::string* out, std::string* err) {
    std::vector<Device> devices;
    if (!Devices(root, &devices, err)) return 1;
    if (devices.empty()) {
        *out += "no devices stored in " + root + "\n";
        return 0;
    }
    std::size_t key_w = 6, id_w = 9;
    for (const Device& d : devices) {
        key_w = std::max(key_w, d.key.size());
        id_w = std::max(id_w, d.id.size());
    }
    *out += Pad("DEVICE", key_w) + Pad("DEVICE ID", id_w) + Pad("LAST INVENTORY", 23) + "ITEMS\n";
    for (const Device& d : devices)
        *out += Pad(d.key, key_w) + Pad(d.id.empty() ? "-" : d.id, id_w) +
                (d.stored ? Pad(d.last, 23) + d.items : std::string("(no inventory yet)")) + "\n";
    *out += std::to_string(devices.size()) + " device(s)\n";
    return 0;
}

// The device folder a DEVICE operand names, or "".
std::string Resolve(const std::string& root, const std::vector<Device>& devices, const std::string& name) {
    for (const Device& d : devices)
        if (d.key == name) return d.key;
    Storage storage(root);
    const std::string key = storage.KeyForId(name);
    for (const Device& d : devices)
        if (d.key == key || d.key == "dev-" + name) return d.key;
    for (const Device& d : devices)
        if (!d.id.empty() && EqualNoCase(d.id, name)) return d.key;
    return "";
}

int Show(const std::string& root, const std::string& name, std::string* out, std::string* err) {
    std::vector<Device> devices;
    if (!Devices(root, &devices, err)) return 1;
    const std::string key = Resolve(root, devices, name);
    if (key.empty()) {
        *err = "invserver: no device '" + name + "' in " + root + " (see 'invserver list')\n";
        return 1;
    }
    const Device& d = *std::find_if(devices.begin(), devices.end(), [&](const Device& x) { return x.key == key; });
    std::string flat;
    if (!ReadWholeFile(root + "/" + key + "/inventory.txt", &flat)) {
        *out += "Device " + key + (d.id.empty() ? "" : " (" + d.id + ")") + ": no inventory yet\n";
        return 0;
    }
    *out += "Device " + key + (d.id.empty() ? "" : " (" + d.id + ")") + ", last inventory " + d.last + ", " +
            d.items + " items\n";
    // Captured files are shown as they came; their control characters, like
    // those of everything a scanner sent, never reach the terminal as such.
    for (const std::string& line : Lines(flat)) *out += FileText(line) + "\n";
    return 0;
}

int Find(const std::string& root, const std::string& text, std::string* out, std::string* err) {
    std::vector<Device> devices;
    if (!Devices(root, &devices, err)) return 1;
    std::size_t matches = 0, machines = 0;
    for (const Device& d : devices) {
        std::string flat;
        if (!ReadWholeFile(root + "/" + d.key + "/inventory.txt", &flat)) continue;
        bool any = false;
        for (const std::string& item : InventoryItems(flat)) {
            if (!ContainsNoCase(item, text)) continue;
            *out += d.key + "  " + (d.id.empty() ? "-" : d.id) + "  " + FileText(item) + "\n";
            ++matches;
            any = true;
        }
        if (any) ++machines;
    }
    if (matches == 0) {
        *out += "no stored item contains '" + text + "'\n";
        return 1;
    }
    *out += std::to_string(matches) + " item(s) on " + std::to_string(machines) + " device(s)\n";
    return 0;
}

}  // namespace

bool IsQueryCommand(const std::string& word) { return word == "list" || word == "show" || word == "find"; }

const char* QueryUsageText() {
    return "Usage: invserver list [--storage=DIR]\n"
           "       invserver show DEVICE [--storage=DIR]\n"
           "       invserver find TEXT [--storage=DIR]\n"
           "Reads the inventories the server has stored (it need not be running).\n"
           "\n"
           "  list          every device: its folder, device ID, last inventory (UTC) and\n"
           "                number of items\n"
           "  show DEVICE   one device's stored inventory, one item per line; DEVICE is a\n"
           "                folder name from 'list', a device ID, or a device number's 12\n"
           "                hexadecimal digits\n"
           "  find TEXT     every stored item containing TEXT (case ignored), one line each:\n"
           "                device folder, device ID, item; captured file contents are not\n"
           "                searched. Example: invserver find winword.exe\n"
           "  --storage=DIR where inventories are kept (default ./invserver-data)\n"
           "  --help        this text\n"
           "Exit status: 0 done, 1 nothing found or storage unreadable, 2 usage error.\n";
}

std::vector<std::string> InventoryItems(const std::string& flat) {
    std::vector<std::string> items;
    bool in_contents = false;
    for (std::string& line : Lines(flat)) {
        if (in_contents) {
            in_contents = line != kEndContentsLabel;
            continue;
        }
        if (line == kBeginContentsLabel) {
            in_contents = true;
            continue;
        }
        if (!line.empty()) items.push_back(std::move(line));
    }
    return items;
}

int RunQuery(const std::vector<std::string>& args, std::string* out, std::string* err) {
    std::string root = kDefaultStorage;
    std::vector<std::string> operands;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            *out += QueryUsageText();
            return 0;
        }
        if (a.rfind("--storage=", 0) == 0 && a.size() > 10) {
            root = a.substr(10);
        } else if (a.rfind("--", 0) == 0) {
            *err = "invserver: unknown option '" + a + "'\n" + QueryUsageText();
            return 2;
        } else {
            operands.push_back(a);
        }
    }
    const std::string& command = args.empty() ? std::string() : args[0];
    const std::size_t wanted = command == "list" ? 0 : 1;
    if (!IsQueryCommand(command) || operands.size() != wanted || (wanted == 1 && operands[0].empty())) {
        *err = "invserver: " + command + (wanted ? " takes one operand\n" : " takes no operand\n") +
               QueryUsageText();
        return 2;
    }
    if (command == "list") return List(root, out, err);
    if (command == "show") return Show(root, operands[0], out, err);
    return Find(root, operands[0], out, err);
}

}  // namespace qv::invserver
