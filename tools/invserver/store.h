// The inventory server's store: a database (db.h) holding every device,
// every inventory it received and that inventory's items, both as they came
// (so the flat inventory is rebuilt byte for byte) and parsed into what they
// describe (so queries need not read flat files).
//
// Tables (created and migrated by Migrate(); schema_version holds the step
// reached):
//   counters    named numbers: "next-number", the next device number to assign
//   devices     name ("dev-" and 12 hexadecimal digits of an assigned number,
//               or "id-" and the scanner's own device ID made safe), the
//               number, the device ID as the scanner sent it
//   inventories one per stored inventory: device, time received (seconds
//               since 1970, UTC), source ("ADDRESS:PORT", or "import"),
//               number of items, digest of the flat file
//   items       the stream in order: each item as sent, split into key and
//               value (value NULL for an item without "="), or a reference to
//               a captured file (a contents block)
//   captures    captured configuration files: record fields as sent, text
//   facts       items parsed: kind (processor, memory, drive, os,
//               environment, network, service, hardware, mif, config, other),
//               subject ("Logical Drive C", "Memory - Physical", a service's
//               name), name ("Size", "Bytes Total", "Status"), value, and the
//               value's leading number where it has one
//   software    the software part: name, version, file, size, date, path (what
//               the item tells: a recognised program gives name and version,
//               an unlisted file its path and size)
// Every row of an inventory is written in one transaction.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scanner/serverlink/protocol.h"
#include "tools/invserver/db.h"
#include "tools/invserver/stream.h"

namespace qv::invserver {

// The schema step the code expects.
constexpr int kSchemaVersion = 1;
// The SQLite file kept in the storage folder when no --database is given.
constexpr const char* kDefaultDatabaseName = "inventory.db";

class Store {
public:
    explicit Store(std::unique_ptr<Database> db);
    // Opens `where` (OpenDatabase) and migrates it; null with *err on failure.
    static std::unique_ptr<Store> Open(const std::string& where, std::string* err);

    Database& db() { return *db_; }
    // Creates the tables or brings an older schema up to kSchemaVersion.
    bool Migrate(std::string* err);

    // Device names (see above).
    static std::string NameForNumber(std::uint64_t number);
    static std::string NameForId(const std::string& device_id);
    // The device a device ID belongs to: the number's device when the ID ends
    // in the 12 digits of a number assigned here, else NameForId.
    std::string KeyForId(const std::string& device_id);

    // Assigns the next device number and records its device; 0 when the
    // database fails (error()).
    std::uint64_t AssignNumber();
    // Captured files held for a device: the latest capture of each path.
    std::vector<serverlink::ConfigEntry> ConfigFiles(const std::string& key);
    // The "Number of Files" of the device's latest inventory, or -1.
    long LastFileCount(const std::string& key);

    // Stores a completed inventory in one transaction; its id, or 0 when the
    // database failed (nothing of it is kept then).
    std::int64_t StoreInventory(const std::string& key, const std::string& device_id, const std::string& source,
                                std::int64_t received, const StreamDecoder& stream);

    // The flat inventory file of an inventory, as the scanner wrote it; false
    // when there is no such inventory or the database fails.
    bool RebuildFlat(std::int64_t inventory, std::string* flat);
    // The latest inventory of a device (by name), or 0.
    std::int64_t LatestInventory(const std::string& key);

    const std::string& error() const { return error_; }

    // The device's row id, made when missing (inside the caller's
    // transaction); the device ID is recorded when not empty. 0 on failure.
    std::int64_t DeviceRow(const std::string& key, const std::string& device_id);

private:
    bool Fail(const std::string& what);

    std::unique_ptr<Database> db_;
    std::string error_;
};

// Reads the files layout of earlier versions of this server (ROOT/next-number,
// ROOT/<device>/device.txt, inventory.txt, config.index, config/<n>.dat) into
// the store. A device's inventory already stored (same flat file) is not
// stored again, so importing twice adds nothing. Writes one line per device
// to *report; false when the folder cannot be read or the database fails.
bool ImportFiles(Store& store, const std::string& root, std::string* report, std::string* err);

// One key's parsed form (the facts table).
struct Fact {
    std::string kind, subject, name;
};
Fact ClassifyKey(const std::string& key, bool software_part);

}  // namespace qv::invserver
