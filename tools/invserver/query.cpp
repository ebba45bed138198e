// The administrator's commands over the store (see query.h).
#include "tools/invserver/query.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>

#include "common/inventory_limits.h"
#include "tools/invserver/escape.h"
#include "tools/invserver/export.h"
#include "tools/invserver/json.h"
#include "tools/invserver/store.h"

namespace qv::invserver {
namespace {

constexpr char kDefaultStorage[] = "invserver-data";

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

std::string TimeText(std::int64_t t) {
    if (t <= 0) return "-";
    char buf[40];
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

// "YYYY-MM-DD", optionally with " HH:MM[:SS]" or "THH:MM[:SS]", UTC; -1 when not a date.
std::int64_t ParseDate(const std::string& text) {
    std::tm tm{};
    char sep = ' ';
    int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &sep,
                        &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
    if (n != 3 && n != 6 && n != 7) return -1;
    if ((n > 3 && sep != ' ' && sep != 'T') || tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 ||
        tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<std::int64_t>(timegm(&tm));
}

// Text for the terminal: whatever a scanner sent, its control characters
// never reach it as such.
std::string Show(const std::string& s) { return FileText(s); }

// Columns padded to their widest cell, two blanks apart.
std::string Table(const std::vector<std::string>& head, const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> width(head.size());
    for (std::size_t c = 0; c < head.size(); ++c) width[c] = head[c].size();
    for (const auto& r : rows)
        for (std::size_t c = 0; c < r.size() && c < width.size(); ++c) width[c] = std::max(width[c], r[c].size());
    std::string out;
    auto line = [&](const std::vector<std::string>& cells) {
        std::string l;
        for (std::size_t c = 0; c < cells.size(); ++c)
            l += c + 1 == cells.size() ? cells[c] : cells[c] + std::string(width[c] - cells[c].size() + 2, ' ');
        while (!l.empty() && l.back() == ' ') l.pop_back();
        out += l + "\n";
    };
    line(head);
    for (const auto& r : rows) line(r);
    return out;
}

struct Query {
    Store& store;
    bool json;
    std::string* out;
    std::string* err;

    Database& db() { return store.db(); }
    int DbFailed() {
        *err = "invserver: database " + db().where() + ": " + db().error() + "\n";
        return 1;
    }

    // The device a DEVICE operand names: its name, the name's digits, a
    // device ID (case ignored). Empty when none.
    struct Device {
        std::int64_t id = 0, latest = 0;
        std::string name, device_id;
    };
    bool Resolve(const std::string& operand, Device* d) {
        std::vector<DbRow> rows;
        for (const std::string& name : {operand, "dev-" + operand, Store::NameForId(operand)}) {
            if (!db().QueryRows("SELECT id, name, device_id, latest FROM devices WHERE name = ?",
                                {DbValue::Text(name)}, &rows))
                return false;
            if (!rows.empty()) break;
        }
        if (rows.empty() && !db().QueryRows("SELECT id, name, device_id, latest FROM devices"
                                            " WHERE LOWER(device_id) = LOWER(?) ORDER BY name",
                                            {DbValue::Text(operand)}, &rows))
            return false;
        if (rows.empty()) {
            d->id = 0;
            return true;
        }
        *d = {rows[0][0].AsInt(), rows[0][3].AsInt(), rows[0][1].AsText(), rows[0][2].AsText()};
        return true;
    }
    int NoDevice(const std::string& operand) {
        *err = "invserver: no device '" + Show(operand) + "' in " + db().where() + " (see 'invserver list')\n";
        return 1;
    }

    int List() {
        std::vector<DbRow> rows;
        if (!db().QueryRows("SELECT d.name, d.device_id, i.received, i.source, i.items,"
                            " (SELECT COUNT(*) FROM inventories x WHERE x.device = d.id)"
                            " FROM devices d LEFT JOIN inventories i ON i.id = d.latest ORDER BY d.name",
                            {}, &rows))
            return DbFailed();
        if (json) {
            JsonWriter w(out);
            w.BeginArray();
            for (const DbRow& r : rows) {
                w.BeginObject();
                w.Key("device").String(r[0].AsText());
                w.Key("device_id").String(r[1].AsText());
                w.Key("last_inventory");
                r[2].is_null() ? w.Null() : w.String(TimeText(r[2].AsInt()));
                w.Key("source");
                r[3].is_null() ? w.Null() : w.String(r[3].AsText());
                w.Key("items").Int(r[4].AsInt());
                w.Key("inventories").Int(r[5].AsInt());
                w.EndObject();
            }
            w.EndArray();
            *out += "\n";
            return 0;
        }
        if (rows.empty()) {
            *out += "no devices stored in " + db().where() + "\n";
            return 0;
        }
        std::vector<std::vector<std::string>> table;
        for (const DbRow& r : rows) {
            const std::string id = r[1].AsText().empty() ? "-" : Show(r[1].AsText());
            if (r[2].is_null())
                table.push_back({r[0].AsText(), id, "(no inventory yet)"});
            else
                table.push_back({r[0].AsText(), id, TimeText(r[2].AsInt()), Show(r[3].AsText()),
                                 r[4].AsText(), r[5].AsText()});
        }
        *out += Table({"DEVICE", "DEVICE ID", "LAST INVENTORY", "FROM", "ITEMS", "INVENTORIES"}, table);
        *out += std::to_string(rows.size()) + " device(s)\n";
        return 0;
    }

    int ShowDevice(const std::string& operand) {
        Device d;
        if (!Resolve(operand, &d)) return DbFailed();
        if (!d.id) return NoDevice(operand);
        std::vector<DbRow> head;
        if (d.latest && !db().QueryRows("SELECT received, source, items FROM inventories WHERE id = ?",
                                        {DbValue::Int(d.latest)}, &head))
            return DbFailed();
        if (json) {
            JsonWriter w(out);
            w.BeginObject();
            w.Key("device").String(d.name);
            w.Key("device_id").String(d.device_id);
            if (!head.empty()) {
                w.Key("inventory").Int(d.latest);
                w.Key("received").String(TimeText(head[0][0].AsInt()));
                w.Key("source").String(head[0][1].AsText());
                w.Key("items").BeginArray();
                bool ok = db().Query("SELECT item_key, value FROM items WHERE inventory = ? AND capture IS NULL"
                                     " ORDER BY seq",
                                     {DbValue::Int(d.latest)}, [&](const DbRow& r) {
                                         w.BeginObject();
                                         w.Key("key").String(r[0].AsText());
                                         w.Key("value");
                                         r[1].is_null() ? w.Null() : w.String(r[1].AsText());
                                         w.EndObject();
                                         return true;
                                     });
                w.EndArray();
                w.Key("captured_files").BeginArray();
                ok = ok && db().Query("SELECT directory, name, mtime, bytes FROM captures WHERE inventory = ?"
                                      " ORDER BY id",
                                      {DbValue::Int(d.latest)}, [&](const DbRow& r) {
                                          w.BeginObject();
                                          w.Key("directory").String(r[0].AsText());
                                          w.Key("name").String(r[1].AsText());
                                          w.Key("time").Int(r[2].AsInt());
                                          w.Key("size").Int(r[3].AsInt());
                                          w.EndObject();
                                          return true;
                                      });
                w.EndArray();
                if (!ok) return DbFailed();
            }
            w.EndObject();
            *out += "\n";
            return 0;
        }
        const std::string title = "Device " + d.name + (d.device_id.empty() ? "" : " (" + Show(d.device_id) + ")");
        if (head.empty()) {
            *out += title + ": no inventory yet\n";
            return 0;
        }
        std::string flat;
        if (!store.RebuildFlat(d.latest, &flat)) return DbFailed();
        *out += title + ", last inventory " + TimeText(head[0][0].AsInt()) + " from " + Show(head[0][1].AsText()) +
                ", " + head[0][2].AsText() + " items\n";
        for (const std::string& line : Lines(flat)) *out += Show(line) + "\n";
        return 0;
    }

    // The device named by operand with its latest inventory; otherwise the
    // exit code of the failure (message written), in *rc.
    bool ResolveLatest(const std::string& operand, Device* d, int* rc) {
        if (!Resolve(operand, d)) {
            *rc = DbFailed();
        } else if (!d->id) {
            *rc = NoDevice(operand);
        } else if (!d->latest) {
            *err = "invserver: device " + d->name + " has no inventory yet\n";
            *rc = 1;
        } else {
            return true;
        }
        return false;
    }

    int Flat(const std::string& operand) {
        Device d;
        int rc = 0;
        if (!ResolveLatest(operand, &d, &rc)) return rc;
        std::string flat;
        if (!store.RebuildFlat(d.latest, &flat)) return DbFailed();
        *out += flat;
        return 0;
    }

    int Export(const std::string& operand) {
        Device d;
        int rc = 0;
        if (!ResolveLatest(operand, &d, &rc)) return rc;
        std::string why;
        if (!ExportInventory(store, d.latest, out, &why)) {
            *err = "invserver: " + why + "\n";
            return 1;
        }
        return 0;
    }

    static std::string LikePattern(const std::string& text) {
        std::string p = "%";
        for (char c : text) {
            if (c == '%' || c == '_' || c == '\\') p += '\\';
            p += c;
        }
        return p + "%";
    }

    int Find(const std::string& text) {
        std::vector<DbRow> rows;
        if (!db().QueryRows("SELECT d.name, d.device_id, t.item_key, t.value FROM devices d"
                            " JOIN items t ON t.inventory = d.latest"
                            " WHERE t.capture IS NULL AND t.item_key <> '_BeginContents' AND LOWER(CASE"
                            " WHEN t.value IS NULL OR t.value = '' THEN t.item_key ELSE t.item_key || ' ' || t.value"
                            " END) LIKE LOWER(?) ESCAPE '\\' ORDER BY d.name, t.seq",
                            {DbValue::Text(LikePattern(text))}, &rows))
            return DbFailed();
        std::set<std::string> machines;
        JsonWriter w(out);
        if (json) w.BeginArray();
        for (const DbRow& r : rows) {
            const std::string value = r[3].AsText();
            const std::string item = value.empty() ? r[2].AsText() : r[2].AsText() + " " + value;
            machines.insert(r[0].AsText());
            if (json) {
                w.BeginObject();
                w.Key("device").String(r[0].AsText());
                w.Key("device_id").String(r[1].AsText());
                w.Key("item").String(item);
                w.EndObject();
            } else {
                *out += r[0].AsText() + "  " + (r[1].AsText().empty() ? "-" : Show(r[1].AsText())) + "  " +
                        Show(item) + "\n";
            }
        }
        if (json) {
            w.EndArray();
            *out += "\n";
        } else if (rows.empty()) {
            *out += "no stored item contains '" + Show(text) + "'\n";
        } else {
            *out += std::to_string(rows.size()) + " item(s) on " + std::to_string(machines.size()) + " device(s)\n";
        }
        return rows.empty() ? 1 : 0;
    }

    int Software(const std::string& name, const std::string* version) {
        std::string sql =
            "SELECT d.name, d.device_id, s.name, s.version, s.path, s.size FROM software s"
            " JOIN devices d ON d.latest = s.inventory WHERE s.name_fold = LOWER(?)";
        DbParams params{DbValue::Text(name)};
        if (version) {
            sql += " AND s.version = ?";
            params.push_back(DbValue::Text(*version));
        }
        std::vector<DbRow> rows;
        if (!db().QueryRows(sql + " ORDER BY d.name, s.seq", params, &rows)) return DbFailed();
        std::set<std::string> machines;
        for (const DbRow& r : rows) machines.insert(r[0].AsText());
        if (json) {
            JsonWriter w(out);
            w.BeginArray();
            for (const DbRow& r : rows) {
                w.BeginObject();
                w.Key("device").String(r[0].AsText());
                w.Key("device_id").String(r[1].AsText());
                w.Key("name").String(r[2].AsText());
                for (auto [key, col] : {std::pair<const char*, int>{"version", 3}, {"path", 4}}) {
                    w.Key(key);
                    r[col].is_null() ? w.Null() : w.String(r[col].AsText());
                }
                w.Key("size");
                r[5].is_null() ? w.Null() : w.Int(r[5].AsInt());
                w.EndObject();
            }
            w.EndArray();
            *out += "\n";
            return rows.empty() ? 1 : 0;
        }
        if (rows.empty()) {
            *out += "no device runs '" + Show(name) + "'" + (version ? " version '" + Show(*version) + "'" : "") +
                    "\n";
            return 1;
        }
        std::vector<std::vector<std::string>> table;
        for (const DbRow& r : rows)
            table.push_back({r[0].AsText(), r[1].AsText().empty() ? "-" : Show(r[1].AsText()), Show(r[2].AsText()),
                             r[3].is_null() ? "-" : Show(r[3].AsText()), r[4].is_null() ? "-" : Show(r[4].AsText())});
        *out += Table({"DEVICE", "DEVICE ID", "NAME", "VERSION", "PATH"}, table);
        *out += std::to_string(machines.size()) + " device(s)\n";
        return 0;
    }

    struct Change {
        std::int64_t inventory, previous, received;
        std::string what, subject, from, to;
    };

    // Software as "name", "version", "path" (a multiset: the same program may
    // stand in two folders); sizes by what they describe.
    bool SoftwareOf(std::int64_t inventory, std::multiset<std::vector<std::string>>* set) {
        return db().Query("SELECT name, version, path FROM software WHERE inventory = ?", {DbValue::Int(inventory)},
                          [&](const DbRow& r) {
                              set->insert({r[0].AsText(), r[1].AsText(), r[2].AsText()});
                              return true;
                          });
    }
    bool SizesOf(std::int64_t inventory, std::map<std::string, std::pair<std::string, std::string>>* sizes) {
        return db().Query("SELECT kind, subject, name, value FROM facts WHERE inventory = ? AND ("
                          "(kind = 'memory' AND name = 'Bytes Total') OR (kind = 'drive' AND name = 'Size'))"
                          " ORDER BY seq",
                          {DbValue::Int(inventory)}, [&](const DbRow& r) {
                              std::string value = r[3].AsText();
                              value.erase(0, value.find_first_not_of(' '));
                              sizes->emplace(r[1].AsText() + " - " + r[2].AsText(),
                                             std::make_pair(r[0].AsText(), value));
                              return true;
                          });
    }

    int Changes(const std::string& operand, std::int64_t since) {
        Device d;
        if (!Resolve(operand, &d)) return DbFailed();
        if (!d.id) return NoDevice(operand);
        std::vector<DbRow> inventories;
        if (!db().QueryRows("SELECT id, received FROM inventories WHERE device = ? ORDER BY received, id", {DbValue::Int(d.id)},
                            &inventories))
            return DbFailed();
        std::vector<Change> changes;
        std::multiset<std::vector<std::string>> before, after;
        std::map<std::string, std::pair<std::string, std::string>> sizes_before, sizes_after;
        for (std::size_t k = 1; k < inventories.size(); ++k) {
            const std::int64_t id = inventories[k][0].AsInt(), prev = inventories[k - 1][0].AsInt();
            const std::int64_t when = inventories[k][1].AsInt();
            if (when < since) continue;
            before.clear();
            after.clear();
            sizes_before.clear();
            sizes_after.clear();
            if (!SoftwareOf(prev, &before) || !SoftwareOf(id, &after) || !SizesOf(prev, &sizes_before) ||
                !SizesOf(id, &sizes_after))
                return DbFailed();
            auto soft = [&](const std::vector<std::string>& s) {
                return s[0] + (s[1].empty() ? "" : " " + s[1]) + (s[2].empty() ? "" : " in " + s[2]);
            };
            for (const auto& s : after) {
                auto it = before.find(s);
                if (it != before.end()) before.erase(it);
                else changes.push_back({id, prev, when, "software added", soft(s), "", ""});
            }
            for (const auto& s : before) changes.push_back({id, prev, when, "software removed", soft(s), "", ""});
            for (const auto& [subject, now] : sizes_after) {
                auto it = sizes_before.find(subject);
                if (it == sizes_before.end())
                    changes.push_back({id, prev, when, now.first + " added", subject, "", now.second});
                else if (it->second.second != now.second)
                    changes.push_back({id, prev, when, now.first + " size changed", subject, it->second.second,
                                       now.second});
            }
            for (const auto& [subject, then] : sizes_before)
                if (!sizes_after.count(subject))
                    changes.push_back({id, prev, when, then.first + " removed", subject, then.second, ""});
        }
        if (json) {
            JsonWriter w(out);
            w.BeginArray();
            for (const Change& c : changes) {
                w.BeginObject();
                w.Key("inventory").Int(c.inventory);
                w.Key("previous").Int(c.previous);
                w.Key("received").String(TimeText(c.received));
                w.Key("change").String(c.what);
                w.Key("item").String(c.subject);
                if (c.what.find("size") != std::string::npos || c.what.rfind("software", 0) != 0) {
                    w.Key("from").String(c.from);
                    w.Key("to").String(c.to);
                }
                w.EndObject();
            }
            w.EndArray();
            *out += "\n";
            return 0;
        }
        if (changes.empty()) {
            *out += "no changes of " + d.name + " in " + std::to_string(inventories.size()) + " inventories" +
                    (since > 0 ? " since " + TimeText(since) : "") + "\n";
            return 0;
        }
        std::vector<std::vector<std::string>> table;
        for (const Change& c : changes)
            table.push_back({TimeText(c.received), c.what,
                             Show(c.subject) + (c.from.empty() && c.to.empty()
                                                    ? ""
                                                    : ": " + (c.from.empty() ? "-" : Show(c.from)) + " -> " +
                                                          (c.to.empty() ? "-" : Show(c.to)))});
        *out += Table({"RECEIVED", "CHANGE", "WHAT"}, table);
        *out += std::to_string(changes.size()) + " change(s)\n";
        return 0;
    }
};

}  // namespace

bool IsQueryCommand(const std::string& word) {
    return word == "list" || word == "show" || word == "find" || word == "software" || word == "changes" ||
           word == "import" || word == "flat" || word == "export";
}

const char* QueryUsageText() {
    return "Usage: invserver list [--json] [STORE]\n"
           "       invserver show DEVICE [--json] [STORE]\n"
           "       invserver find TEXT [--json] [STORE]\n"
           "       invserver software NAME [VERSION] [--json] [STORE]\n"
           "       invserver changes DEVICE [--since=DATE] [--json] [STORE]\n"
           "       invserver flat DEVICE [STORE]\n"
           "       invserver export DEVICE [STORE]\n"
           "       invserver import DIR [STORE]\n"
           "Reads the inventories the server has stored (it need not be running).\n"
           "\n"
           "  list          every device: name, device ID, last inventory (UTC), where it\n"
           "                came from, its number of items and of stored inventories\n"
           "  show DEVICE   the device's latest inventory, one item per line; DEVICE is a\n"
           "                name from 'list', a device ID, or a device number's 12\n"
           "                hexadecimal digits\n"
           "  find TEXT     every item of the latest inventories containing TEXT (case\n"
           "                ignored); captured file contents are not searched.\n"
           "                Example: invserver find winword.exe\n"
           "  software NAME [VERSION]\n"
           "                the devices whose latest inventory lists the program NAME (its\n"
           "                description, or the file name of an unlisted program; case\n"
           "                ignored), of that VERSION when given\n"
           "  changes DEVICE  what changed from one inventory of the device to the next:\n"
           "                software added or removed, memory or drive size changed\n"
           "  flat DEVICE   the latest inventory as the scanner's flat file, byte for byte\n"
           "                (to compare, or to replay with the scanner)\n"
           "  export DEVICE the latest inventory in the GLPI inventory format (JSON), for\n"
           "                GLPI's injector (tools/invserver/GLPI.md tells what goes where)\n"
           "  import DIR    reads the files of an older version of this server (DIR holds\n"
           "                its device folders) into the store; importing again adds\n"
           "                nothing. Without STORE the store is DIR/inventory.db.\n"
           "  --since=DATE  only inventories received from DATE on (YYYY-MM-DD, or\n"
           "                'YYYY-MM-DD HH:MM:SS', UTC)\n"
           "  --json        the answer as JSON, for scripts\n"
           "STORE:\n"
           "  --storage=DIR     the server's folder: the store is DIR/inventory.db\n"
           "                    (default ./invserver-data)\n"
           "  --database=WHERE  a SQLite file, or postgresql://...\n"
           "  --help        this text\n"
           "Exit status: 0 done, 1 nothing found or store unreadable, 2 usage error.\n";
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
    std::string storage, database, since_text;
    bool json = false, has_since = false;
    std::vector<std::string> operands;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            *out += QueryUsageText();
            return 0;
        }
        if (a.rfind("--storage=", 0) == 0 && a.size() > 10) {
            storage = a.substr(10);
        } else if (a.rfind("--database=", 0) == 0 && a.size() > 11) {
            database = a.substr(11);
        } else if (a == "--json") {
            json = true;
        } else if (a.rfind("--since=", 0) == 0) {
            since_text = a.substr(8);
            has_since = true;
        } else if (a == "--since" && i + 1 < args.size()) {
            since_text = args[++i];
            has_since = true;
        } else if (a.rfind("--", 0) == 0) {
            *err = "invserver: unknown option '" + a + "'\n" + QueryUsageText();
            return 2;
        } else {
            operands.push_back(a);
        }
    }
    const std::string command = args.empty() ? std::string() : args[0];
    std::size_t least = 1, most = 1;
    if (command == "list") least = most = 0;
    if (command == "software") most = 2;
    if (!IsQueryCommand(command) || operands.size() < least || operands.size() > most ||
        std::any_of(operands.begin(), operands.end(), [](const std::string& s) { return s.empty(); })) {
        *err = "invserver: " + command + " takes " +
               (most == 0 ? std::string("no operand") : most == 2 ? "NAME and perhaps VERSION" : "one operand") +
               "\n" + QueryUsageText();
        return 2;
    }
    if ((has_since && command != "changes") ||
        (json && (command == "flat" || command == "import" || command == "export"))) {
        *err = "invserver: " + std::string(has_since ? "--since" : "--json") + " is not an option of " + command +
               "\n";
        return 2;
    }
    const std::int64_t since = has_since ? ParseDate(since_text) : 0;
    if (since < 0) {
        *err = "invserver: --since wants a date YYYY-MM-DD[ HH:MM:SS], not '" + since_text + "'\n";
        return 2;
    }
    if (!database.empty() && !storage.empty()) {
        *err = "invserver: give --storage or --database, not both\n";
        return 2;
    }
    std::string where = database;
    if (where.empty())
        where = (storage.empty() ? (command == "import" ? operands[0] : std::string(kDefaultStorage)) : storage) +
                "/" + kDefaultDatabaseName;
    // A query never makes an empty store where there was none.
    if (command != "import" && !IsPostgresLocation(where) && ::access(where.c_str(), F_OK) != 0) {
        *err = "invserver: no store at " + where + " (see --storage and --database)\n";
        return 1;
    }
    std::string why;
    std::unique_ptr<Store> store = Store::Open(where, &why);
    if (!store) {
        *err = "invserver: " + why + "\n";
        return 1;
    }
    if (command == "import") {
        if (!ImportFiles(*store, operands[0], out, &why)) {
            *err = "invserver: " + why + "\n";
            return 1;
        }
        return 0;
    }
    Query q{*store, json, out, err};
    if (command == "list") return q.List();
    if (command == "show") return q.ShowDevice(operands[0]);
    if (command == "flat") return q.Flat(operands[0]);
    if (command == "export") return q.Export(operands[0]);
    if (command == "software") return q.Software(operands[0], operands.size() > 1 ? &operands[1] : nullptr);
    if (command == "changes") return q.Changes(operands[0], since);
    return q.Find(operands[0]);
}

}  // namespace qv::invserver
