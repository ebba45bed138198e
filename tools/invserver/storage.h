// What the inventory server keeps on disk.
//
//   ROOT/next-number              next device number to assign (decimal)
//   ROOT/<device>/device.txt      the device ID and when it last reported
//   ROOT/<device>/inventory.txt   latest inventory, the scanner's flat file format
//   ROOT/<device>/config.index    one line per captured file: time, size,
//                                 directory, name, data file (tab-separated)
//   ROOT/<device>/config/<n>.dat  the captured file's contents
//
// <device> is "dev-" and the 12 hexadecimal digits of a number this server
// assigned, or "id-" and the device ID (unsafe characters replaced) for a
// scanner that made its own ID. Every file is written to a temporary name,
// flushed and renamed over the old one, so a crash leaves either the old or
// the new version, never half a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scanner/serverlink/protocol.h"
#include "tools/invserver/stream.h"

namespace qv::invserver {

bool WriteFileAtomic(const std::string& path, const std::string& data);
// Reads a whole file; false when it cannot be opened.
bool ReadWholeFile(const std::string& path, std::string* out);

class Storage {
public:
    explicit Storage(std::string root);
    bool Init();                                   // creates the root
    const std::string& root() const { return root_; }

    // Assigns the next device number and creates its folder; 0 (errno set)
    // when the folder or the next number cannot be written.
    std::uint64_t AssignNumber();
    // Folder key for a device ID: the number's folder when the ID ends in the
    // 12 digits of a number assigned here, else one made from the ID itself.
    std::string KeyForId(const std::string& device_id) const;
    static std::string KeyForNumber(std::uint64_t number);

    // Captured files held for a device (for the reply).
    std::vector<serverlink::ConfigEntry> ConfigFiles(const std::string& key) const;
    // The "Number of Files" of the device's stored inventory, or -1.
    long LastFileCount(const std::string& key) const;
    // Stores a completed inventory and its captured files.
    bool StoreInventory(const std::string& key, const std::string& device_id,
                        const StreamDecoder& stream);
    std::string DevicePath(const std::string& key) const { return root_ + "/" + key; }

private:
    struct IndexLine {
        std::uint32_t time, size;
        std::string directory, name, data;
    };
    std::vector<IndexLine> ReadIndex(const std::string& key) const;

    std::string root_;
};

}  // namespace qv::invserver
