// The inventory store (see store.h).
#include "tools/invserver/store.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>

#include "common/inventory_limits.h"

namespace qv::invserver {

namespace {

// Rows written per INSERT statement: fewer round trips to a database
// server, and well below either database's limit of parameters.
constexpr std::size_t kRowsPerInsert = 100;

// The schema, step by step: step k brings version k to k + 1. "{id}" is an
// integer key the database assigns, "{blob}" the raw bytes type.
const std::vector<std::vector<const char*>> kMigrations = {
    {
        "CREATE TABLE counters (name TEXT PRIMARY KEY, value BIGINT NOT NULL)",
        "INSERT INTO counters (name, value) VALUES ('next-number', 1)",
        "CREATE TABLE devices (id {id}, name TEXT NOT NULL UNIQUE, number BIGINT, device_id TEXT NOT NULL,"
        " latest BIGINT)",
        "CREATE TABLE inventories (id {id}, device BIGINT NOT NULL REFERENCES devices (id),"
        " received BIGINT NOT NULL, source TEXT NOT NULL, items BIGINT NOT NULL, digest TEXT NOT NULL,"
        " verbatim {blob})",
        "CREATE INDEX inventories_device ON inventories (device, id)",
        "CREATE TABLE captures (id {id}, inventory BIGINT NOT NULL REFERENCES inventories (id),"
        " directory TEXT NOT NULL, name TEXT NOT NULL, mtime BIGINT NOT NULL, bytes BIGINT NOT NULL,"
        " mtime_text TEXT NOT NULL, bytes_text TEXT NOT NULL, closed INTEGER NOT NULL, contents {blob} NOT NULL)",
        "CREATE INDEX captures_inventory ON captures (inventory)",
        "CREATE TABLE items (inventory BIGINT NOT NULL REFERENCES inventories (id), seq INTEGER NOT NULL,"
        " item_key TEXT NOT NULL, value TEXT, capture BIGINT REFERENCES captures (id),"
        " PRIMARY KEY (inventory, seq))",
        "CREATE TABLE facts (inventory BIGINT NOT NULL REFERENCES inventories (id), seq INTEGER NOT NULL,"
        " kind TEXT NOT NULL, subject TEXT NOT NULL, name TEXT NOT NULL, value TEXT NOT NULL, number BIGINT)",
        "CREATE INDEX facts_inventory ON facts (inventory, kind)",
        "CREATE TABLE software (inventory BIGINT NOT NULL REFERENCES inventories (id), seq INTEGER NOT NULL,"
        " name TEXT NOT NULL, name_fold TEXT NOT NULL, version TEXT, file TEXT, size BIGINT, date TEXT,"
        " path TEXT)",
        "CREATE INDEX software_name ON software (name_fold, inventory)",
        "CREATE INDEX software_inventory ON software (inventory)",
    },
};

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The integer part of a value's leading number (blanks skipped), if any.
DbValue LeadingNumber(const std::string& value) {
    std::size_t at = value.find_first_not_of(' ');
    if (at == std::string::npos || !std::isdigit(static_cast<unsigned char>(value[at]))) return DbValue::Null();
    std::int64_t n = 0;
    for (; at < value.size() && std::isdigit(static_cast<unsigned char>(value[at])); ++at) {
        if (n > (INT64_MAX - 9) / 10) return DbValue::Null();
        n = n * 10 + (value[at] - '0');
    }
    return DbValue::Int(n);
}

std::string Digest(const std::string& text) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

// Inserts rows into `table`, several per statement.
bool InsertRows(Database& db, const std::string& table, const std::string& columns, std::size_t width,
                const std::vector<DbValue>& values) {
    std::string one = "(";
    for (std::size_t c = 0; c < width; ++c) one += c ? ",?" : "?";
    one += ")";
    const std::size_t rows = values.size() / width;
    for (std::size_t r = 0; r < rows; r += kRowsPerInsert) {
        const std::size_t n = std::min(kRowsPerInsert, rows - r);
        std::string sql = "INSERT INTO " + table + " (" + columns + ") VALUES ";
        for (std::size_t k = 0; k < n; ++k) sql += k ? "," + one : one;
        DbParams params(values.begin() + static_cast<std::ptrdiff_t>(r * width),
                        values.begin() + static_cast<std::ptrdiff_t>((r + n) * width));
        if (!db.Exec(sql, params)) return false;
    }
    return true;
}

// What an inventory consists of, whether it came as packets or from a file.
struct Parts {
    const std::vector<StreamEntry>* entries;
    std::vector<const CapturedFile*> files;   // by index of the entries; the last may be unclosed
    std::size_t items = 0;
};

std::string RenderParts(const Parts& p) {
    std::string out;
    for (const StreamEntry& e : *p.entries) {
        if (!e.contents) AppendItemLines(&out, e.item);
        else if (e.file < p.files.size()) AppendContentsLines(&out, *p.files[e.file]);
    }
    return out;
}

}  // namespace

Fact ClassifyKey(const std::string& key, bool software_part) {
    std::string k = key;
    if (!k.empty() && k.back() == '=') k.pop_back();
    while (!k.empty() && k.back() == ' ') k.pop_back();
    auto split_last = [&](const std::string& kind) {
        const std::size_t at = k.rfind(" - ");
        if (at == std::string::npos) return Fact{kind, "", k};
        return Fact{kind, k.substr(0, at), k.substr(at + 3)};
    };
    static const struct {
        const char* prefix;
        const char* kind;
    } kPrefixes[] = {
        {"Processor - ", "processor"}, {"Coprocessor - ", "processor"}, {"Memory - ", "memory"},
        {"Logical Drive ", "drive"},   {"Fixed Drive ", "drive"},       {"Floppy Drive ", "drive"},
        {"OS - ", "os"},               {"LAN - ", "network"},           {"BIOS - ", "hardware"},
        {"Bus - ", "hardware"},        {"COM Ports - ", "hardware"},    {"LPT Ports - ", "hardware"},
        {"Keyboard - ", "hardware"},   {"Mouse - ", "hardware"},        {"Video - ", "hardware"},
    };
    // The scanner's own items, wherever they stand.
    if (k == "Device ID" || k == "Number of Files") return {"other", "", k};
    if (StartsWith(k, "Environ - ")) return {"environment", "Environ", k.substr(10)};
    if (StartsWith(k, "Cfg - ")) return {"config", "", k.substr(6)};
    if (StartsWith(k, "MIF-")) return {"mif", "", k.substr(4)};
    if (StartsWith(k, "Service - ")) {
        std::string name = k.substr(10);
        if (name.size() > 7 && name.compare(name.size() - 7, 7, " Status") == 0)
            return {"service", name.substr(0, name.size() - 7), "Status"};
        return {"service", name, ""};
    }
    for (const auto& p : kPrefixes)
        if (StartsWith(k, p.prefix)) return split_last(p.kind);
    if (software_part) return {"software", "", k};
    return split_last("other");
}

Store::Store(std::unique_ptr<Database> db) : db_(std::move(db)) {}

std::unique_ptr<Store> Store::Open(const std::string& where, std::string* err) {
    std::unique_ptr<Database> db = OpenDatabase(where, err);
    if (!db) return nullptr;
    auto store = std::make_unique<Store>(std::move(db));
    if (!store->Migrate(err)) return nullptr;
    return store;
}

bool Store::Fail(const std::string& what) {
    error_ = what + ": " + db_->error();
    return false;
}

bool Store::Migrate(std::string* err) {
    const bool pg = db_->backend() == DbBackend::Postgres;
    if (!db_->Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")) {
        *err = "cannot create the schema version table in " + db_->where() + ": " + db_->error();
        return false;
    }
    // One step per transaction; the version is read again inside it, so a
    // second server migrating at the same time finds the step done. A step
    // that loses such a race fails and is tried once more.
    for (int attempt = 0; attempt < 3;) {
        if (!db_->Begin()) {
            *err = "cannot migrate " + db_->where() + ": " + db_->error();
            return false;
        }
        std::int64_t version = 0;
        db_->QueryInt("SELECT MAX(version) FROM schema_version", {}, &version);
        if (version >= kSchemaVersion) {
            if (version > kSchemaVersion) {
                db_->Rollback();
                *err = db_->where() + " has schema version " + std::to_string(version) +
                       ", newer than this server's " + std::to_string(kSchemaVersion);
                return false;
            }
            return db_->Commit() || (*err = db_->error(), false);
        }
        bool ok = true;
        for (std::string sql : kMigrations[static_cast<std::size_t>(version)]) {
            for (auto [from, to] : {std::pair<std::string, std::string>{"{id}", pg ? "BIGSERIAL PRIMARY KEY"
                                                                                    : "INTEGER PRIMARY KEY"},
                                    {"{blob}", db_->BlobType()}})
                for (std::size_t at; (at = sql.find(from)) != std::string::npos;) sql.replace(at, from.size(), to);
            if (!(ok = db_->Exec(sql))) break;
        }
        ok = ok && db_->Exec("INSERT INTO schema_version (version) VALUES (?)", {DbValue::Int(version + 1)});
        const std::string why = db_->error();
        if (ok && db_->Commit()) continue;
        db_->Rollback();
        if (++attempt == 3) {
            *err = "cannot migrate " + db_->where() + " to schema version " + std::to_string(version + 1) + ": " +
                   why;
            return false;
        }
    }
    return true;
}

std::string Store::NameForNumber(std::uint64_t number) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "dev-%04X%08X", static_cast<unsigned>((number >> 32) & 0xFFFF),
                  static_cast<unsigned>(number & 0xFFFFFFFFu));
    return buf;
}

std::string Store::NameForId(const std::string& id) {
    std::string key = "id-";
    for (unsigned char c : id)
        key += (std::isalnum(c) || c == '-' || c == '_' || c == '.') && c < 128 ? static_cast<char>(c) : '_';
    if (key == "id-") key += "_";
    return key;
}

std::string Store::KeyForId(const std::string& id) {
    if (id.size() >= 12) {
        const std::string digits = id.substr(id.size() - 12);
        bool hex = true;
        for (char c : digits) hex = hex && ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
        std::int64_t found = 0;
        if (hex && db_->QueryInt("SELECT id FROM devices WHERE name = ?", {DbValue::Text("dev-" + digits)}, &found))
            return "dev-" + digits;
    }
    return NameForId(id);
}

std::uint64_t Store::AssignNumber() {
    if (!db_->Begin()) return Fail("cannot assign a device number"), 0;
    // The counter's row is updated first: on a database server that locks
    // it, so two servers never hand out the same number.
    std::int64_t next = 0;
    bool ok = db_->QueryInt("UPDATE counters SET value = value + 1 WHERE name = 'next-number' RETURNING value", {},
                            &next);
    std::uint64_t number = ok ? static_cast<std::uint64_t>(next - 1) : 0;
    if (number == 0) number = 1;
    // Never a number whose device exists already (imported, say).
    std::int64_t taken = 0;
    while (ok && db_->QueryInt("SELECT id FROM devices WHERE name = ?", {DbValue::Text(NameForNumber(number))},
                               &taken))
        ++number;
    ok = ok &&
         db_->Exec("UPDATE counters SET value = ? WHERE name = 'next-number'",
                   {DbValue::Int(static_cast<std::int64_t>(number + 1))}) &&
         db_->Exec("INSERT INTO devices (name, number, device_id) VALUES (?, ?, '')",
                   {DbValue::Text(NameForNumber(number)), DbValue::Int(static_cast<std::int64_t>(number))});
    if (ok && db_->Commit()) return number;
    Fail("cannot assign a device number");
    db_->Rollback();
    return 0;
}

std::int64_t Store::LatestInventory(const std::string& key) {
    std::int64_t id = 0;
    if (!db_->QueryInt("SELECT latest FROM devices WHERE name = ?", {DbValue::Text(key)}, &id)) return 0;
    return id;
}

std::vector<serverlink::ConfigEntry> Store::ConfigFiles(const std::string& key) {
    std::vector<serverlink::ConfigEntry> out;
    db_->Query(
        "SELECT c.directory, c.name, c.mtime, c.bytes FROM captures c JOIN inventories i ON i.id = c.inventory"
        " JOIN devices d ON d.id = i.device WHERE d.name = ? AND c.closed = 1 AND c.id = ("
        "SELECT MAX(c2.id) FROM captures c2 JOIN inventories i2 ON i2.id = c2.inventory"
        " WHERE i2.device = d.id AND c2.directory = c.directory AND c2.name = c.name AND c2.closed = 1)"
        " ORDER BY c.id",
        {DbValue::Text(key)}, [&](const DbRow& r) {
            out.push_back({r[0].AsText(), r[1].AsText(), static_cast<std::uint32_t>(r[2].AsInt()),
                           static_cast<std::uint32_t>(r[3].AsInt())});
            return true;
        });
    return out;
}

static long LastFileCountOf(Database& db, std::int64_t inventory) {
    std::vector<DbRow> rows;
    if (!db.QueryRows("SELECT value FROM items WHERE inventory = ? AND item_key = 'Number of Files =' ORDER BY seq",
                      {DbValue::Int(inventory)}, &rows) ||
        rows.empty())
        return -1;
    return std::strtol(rows[0][0].AsText().c_str(), nullptr, 10);
}

long Store::LastFileCount(const std::string& key) {
    const std::int64_t latest = LatestInventory(key);
    return latest ? LastFileCountOf(*db_, latest) : -1;
}

std::int64_t Store::DeviceRow(const std::string& key, const std::string& device_id) {
    std::int64_t id = 0;
    if (!db_->Exec("INSERT INTO devices (name, number, device_id) VALUES (?, NULL, ?) ON CONFLICT (name) DO NOTHING",
                   {DbValue::Text(key), DbValue::Text(device_id)}) ||
        !db_->QueryInt("SELECT id FROM devices WHERE name = ?", {DbValue::Text(key)}, &id))
        return 0;
    if (!device_id.empty() &&
        !db_->Exec("UPDATE devices SET device_id = ? WHERE id = ?", {DbValue::Text(device_id), DbValue::Int(id)}))
        return 0;
    return id;
}

static std::int64_t StoreParts(Database& db, std::int64_t device, const std::string& source, std::int64_t received,
                               const Parts& parts, const std::string& flat, const std::string* verbatim) {
    std::int64_t inventory = 0;
    if (!db.QueryInt("INSERT INTO inventories (device, received, source, items, digest, verbatim)"
                     " VALUES (?, ?, ?, ?, ?, ?) RETURNING id",
                     {DbValue::Int(device), DbValue::Int(received), DbValue::Text(source),
                      DbValue::Int(static_cast<std::int64_t>(parts.items)), DbValue::Text(Digest(flat)),
                      verbatim ? DbValue::Blob(*verbatim) : DbValue::Null()},
                     &inventory))
        return 0;
    std::vector<std::int64_t> capture_ids;
    for (const CapturedFile* f : parts.files) {
        std::int64_t id = 0;
        if (!db.QueryInt("INSERT INTO captures (inventory, directory, name, mtime, bytes, mtime_text, bytes_text,"
                         " closed, contents) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
                         {DbValue::Int(inventory), DbValue::Text(f->directory), DbValue::Text(f->name),
                          DbValue::Int(f->time), DbValue::Int(f->size), DbValue::Text(f->time_text),
                          DbValue::Text(f->size_text), DbValue::Int(f->closed ? 1 : 0), DbValue::Blob(f->contents)},
                         &id))
            return 0;
        capture_ids.push_back(id);
    }
    std::vector<DbValue> items, facts, software;
    bool software_part = false;
    std::int64_t seq = 0;
    for (const StreamEntry& e : *parts.entries) {
        ++seq;
        if (e.contents) {
            if (e.file >= capture_ids.size()) continue;
            items.insert(items.end(), {DbValue::Int(inventory), DbValue::Int(seq), DbValue::Text(""), DbValue::Null(),
                                       DbValue::Int(capture_ids[e.file])});
            continue;
        }
        std::string key, value;
        const bool has_value = SplitItem(e.item, &key, &value);
        items.insert(items.end(), {DbValue::Int(inventory), DbValue::Int(seq), DbValue::Text(key),
                                   has_value ? DbValue::Text(value) : DbValue::Null(), DbValue::Null()});
        if (!has_value) continue;
        if (key == "_SOFTWARE =") {
            software_part = true;
            continue;
        }
        const Fact f = ClassifyKey(key, software_part);
        if (f.kind != "software") {
            facts.insert(facts.end(), {DbValue::Int(inventory), DbValue::Int(seq), DbValue::Text(f.kind),
                                       DbValue::Text(f.subject), DbValue::Text(f.name), DbValue::Text(value),
                                       LeadingNumber(value)});
            continue;
        }
        // An unlisted program file is reported by its path ("C:\UTIL\ZIP.EXE")
        // and size; a recognised one by its product and version.
        const std::string& name = f.name;
        const bool path = name.size() > 3 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':' &&
                          name[2] == '\\';
        if (path) {
            const std::size_t slash = name.rfind('\\');
            const std::string file = name.substr(slash + 1);
            software.insert(software.end(),
                            {DbValue::Int(inventory), DbValue::Int(seq), DbValue::Text(file), DbValue::Text(Lower(file)),
                             DbValue::Null(), DbValue::Text(file), LeadingNumber(value), DbValue::Null(),
                             DbValue::Text(name.substr(0, slash == 2 ? 3 : slash))});
        } else {
            software.insert(software.end(),
                            {DbValue::Int(inventory), DbValue::Int(seq), DbValue::Text(name), DbValue::Text(Lower(name)),
                             DbValue::Text(value), DbValue::Null(), DbValue::Null(), DbValue::Null(), DbValue::Null()});
        }
    }
    if (!InsertRows(db, "items", "inventory, seq, item_key, value, capture", 5, items) ||
        !InsertRows(db, "facts", "inventory, seq, kind, subject, name, value, number", 7, facts) ||
        !InsertRows(db, "software", "inventory, seq, name, name_fold, version, file, size, date, path", 9, software) ||
        !db.Exec("UPDATE devices SET latest = ? WHERE id = ?", {DbValue::Int(inventory), DbValue::Int(device)}))
        return 0;
    return inventory;
}

std::int64_t Store::StoreInventory(const std::string& key, const std::string& device_id, const std::string& source,
                                   std::int64_t received, const StreamDecoder& stream) {
    Parts parts{&stream.entries(), {}, stream.items()};
    for (const CapturedFile& f : stream.files()) parts.files.push_back(&f);
    if (stream.unclosed()) parts.files.push_back(stream.unclosed());
    if (!db_->Begin()) return Fail("cannot begin storing"), 0;
    const std::int64_t device = DeviceRow(key, device_id);
    const std::int64_t id = device ? StoreParts(*db_, device, source, received, parts, stream.flat(), nullptr) : 0;
    if (id && db_->Commit()) return id;
    Fail("cannot store the inventory");
    db_->Rollback();
    return 0;
}

bool Store::RebuildFlat(std::int64_t inventory, std::string* flat) {
    flat->clear();
    std::vector<DbRow> head;
    if (!db_->QueryRows("SELECT verbatim FROM inventories WHERE id = ?", {DbValue::Int(inventory)}, &head) ||
        head.empty())
        return false;
    if (!head[0][0].is_null()) {
        *flat = head[0][0].AsText();
        return true;
    }
    std::vector<DbRow> captures;
    if (!db_->QueryRows("SELECT id, directory, name, mtime_text, bytes_text, closed, contents FROM captures"
                        " WHERE inventory = ? ORDER BY id",
                        {DbValue::Int(inventory)}, &captures))
        return false;
    auto capture = [&](std::int64_t id) -> const DbRow* {
        for (const DbRow& c : captures)
            if (c[0].AsInt() == id) return &c;
        return nullptr;
    };
    return db_->Query("SELECT item_key, value, capture FROM items WHERE inventory = ? ORDER BY seq",
                      {DbValue::Int(inventory)}, [&](const DbRow& r) {
                          if (r[2].is_null()) {
                              AppendItemLines(flat, r[0].AsText() + r[1].AsText());
                          } else if (const DbRow* c = capture(r[2].AsInt())) {
                              CapturedFile f;
                              f.directory = (*c)[1].AsText();
                              f.name = (*c)[2].AsText();
                              f.time_text = (*c)[3].AsText();
                              f.size_text = (*c)[4].AsText();
                              f.closed = (*c)[5].AsInt() != 0;
                              f.contents = (*c)[6].AsText();
                              AppendContentsLines(flat, f);
                          }
                          return true;
                      });
}

// ---- Import of the files layout ----

namespace {

bool ReadAll(const std::string& path, std::string* out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out->clear();
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out->append(buf, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

std::vector<std::string> SplitLines(const std::string& text, const char* sep) {
    std::vector<std::string> out;
    const std::string s(sep);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(s, start);
        if (end == std::string::npos) {
            out.push_back(text.substr(start));
            break;
        }
        out.push_back(text.substr(start, end - start));
        start = end + s.size();
    }
    return out;
}

// An item as sent that gives this line of the flat file.
std::string ItemForLine(const std::string& line) {
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos || eq + 1 == line.size()) return line;
    if (line[eq + 1] == ' ' && eq + 2 < line.size()) return line.substr(0, eq + 1) + line.substr(eq + 2);
    return line;   // no form of its own: the rebuild check keeps the file as it is
}

struct IndexEntry {
    std::string directory, name, data;
};

std::vector<IndexEntry> ReadIndex(const std::string& path) {
    std::vector<IndexEntry> out;
    std::string text;
    if (!ReadAll(path, &text)) return out;
    for (const std::string& line : SplitLines(text, "\n")) {
        const std::vector<std::string> f = SplitLines(line, "\t");
        if (f.size() == 5) out.push_back({f[2], f[3], f[4]});
    }
    return out;
}

std::int64_t ParseUtc(const std::string& text) {
    std::tm tm{};
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                    &tm.tm_sec) != 6)
        return 0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<std::int64_t>(timegm(&tm));
}

std::string FieldOf(const std::string& text, const std::string& label) {
    for (const std::string& line : SplitLines(text, "\n"))
        if (line.rfind(label, 0) == 0) return line.substr(label.size());
    return "";
}

}  // namespace

bool ImportFiles(Store& store, const std::string& root, std::string* report, std::string* err) {
    Database& db = store.db();
    DIR* dir = ::opendir(root.c_str());
    if (!dir) {
        *err = "cannot read " + root + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> keys;
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.rfind("dev-", 0) == 0 || name.rfind("id-", 0) == 0) keys.push_back(name);
    }
    ::closedir(dir);
    std::sort(keys.begin(), keys.end());
    std::size_t imported = 0;
    for (const std::string& key : keys) {
        const std::string folder = root + "/" + key;
        std::string device_txt, flat;
        ReadAll(folder + "/device.txt", &device_txt);
        const std::string device_id = FieldOf(device_txt, "Device ID = ");
        const std::int64_t received = ParseUtc(FieldOf(device_txt, "Last inventory = "));
        const bool has_flat = ReadAll(folder + "/inventory.txt", &flat);

        // The flat file back into items and contents blocks.
        std::vector<StreamEntry> entries;
        std::vector<CapturedFile> files;
        Parts parts{&entries, {}, 0};
        const std::vector<IndexEntry> index = ReadIndex(folder + "/config.index");
        const std::vector<std::string> lines = SplitLines(flat, "\r\n");
        for (std::size_t i = 0; i < lines.size(); ++i) {
            ++parts.items;
            if (lines[i] != kBeginContentsLabel || i + 4 >= lines.size()) {
                entries.push_back({ItemForLine(lines[i]), 0, false});
                continue;
            }
            entries.push_back({lines[i], 0, false});
            CapturedFile f;
            f.name = lines[i + 1];
            f.directory = lines[i + 2];
            f.time_text = lines[i + 3];
            f.size_text = lines[i + 4];
            f.time = static_cast<std::uint32_t>(std::strtoull(f.time_text.c_str(), nullptr, 10));
            f.size = static_cast<std::uint32_t>(std::strtoll(f.size_text.c_str(), nullptr, 10));
            f.closed = false;
            for (i += 5; i < lines.size(); ++i) {
                if (lines[i] == kEndContentsLabel) {
                    f.closed = true;
                    ++parts.items;
                    break;
                }
                f.contents += lines[i] + "\r\n";
            }
            // The captured file as it came, where the server kept it and it
            // gives the same lines.
            for (const IndexEntry& x : index) {
                CapturedFile raw = f;
                if (x.directory != f.directory || x.name != f.name || x.data.find('/') != std::string::npos ||
                    !ReadAll(folder + "/config/" + x.data, &raw.contents))
                    continue;
                std::string a, b;
                AppendContentsLines(&a, f);
                AppendContentsLines(&b, raw);
                if (a == b) f.contents = raw.contents;
            }
            entries.push_back({{}, files.size(), true});
            files.push_back(std::move(f));
        }
        for (const CapturedFile& f : files) parts.files.push_back(&f);
        // Lines no item gives (a hand-edited file, say) are kept as the
        // file itself, so the rebuild still gives it back unchanged.
        const bool exact = RenderParts(parts) == flat;

        if (!db.Begin()) return *err = "cannot import " + key + ": " + db.error(), false;
        bool ok = true;
        const std::int64_t device = store.DeviceRow(key, device_id);
        ok = device != 0;
        if (ok && key.rfind("dev-", 0) == 0 && key.size() == 16)
            ok = db.Exec("UPDATE devices SET number = ? WHERE id = ?",
                         {DbValue::Int(static_cast<std::int64_t>(std::strtoull(key.c_str() + 4, nullptr, 16))),
                          DbValue::Int(device)});
        std::int64_t existing = 0;
        std::string line = key + ": ";
        if (ok && !has_flat) {
            line += "no inventory";
        } else if (ok && db.QueryInt("SELECT id FROM inventories WHERE device = ? AND digest = ?",
                                     {DbValue::Int(device), DbValue::Text(Digest(flat))}, &existing)) {
            line += "already stored";
        } else if (ok) {
            ok = StoreParts(db, device, "import", received, parts, flat, exact ? nullptr : &flat) != 0;
            line += "imported, " + std::to_string(parts.items) + " items, " + std::to_string(files.size()) +
                    " captured file(s)" + (exact ? "" : " (kept as the file: not all its lines are items)");
            ++imported;
        }
        if (!ok || !db.Commit()) {
            *err = "cannot import " + key + ": " + db.error();
            db.Rollback();
            return false;
        }
        *report += line + "\n";
    }
    std::string next;
    if (ReadAll(root + "/next-number", &next)) {
        const std::int64_t n = std::strtoll(next.c_str(), nullptr, 10);
        if (n > 0 && !db.Exec("UPDATE counters SET value = ? WHERE name = 'next-number' AND value < ?",
                              {DbValue::Int(n), DbValue::Int(n)})) {
            *err = "cannot import the next device number: " + db.error();
            return false;
        }
    }
    *report += std::to_string(keys.size()) + " device folder(s), " + std::to_string(imported) + " inventories imported\n";
    return true;
}

}  // namespace qv::invserver
