// The list of configuration files the software phase reports, with what the
// inventory server last saw of each.
//
// The list is filled in two steps. Before the server exchange the configured
// names (the CfgFiles settings of the applications database) are appended to
// entries 0..count-1, in configuration order; an empty setting contributes an
// empty name that is never found. The server's reply then stores, for every
// file the server holds, its time and size into the matching entry, adding an
// entry past the configured ones for a drive-qualified form of a configured
// "\NAME". The capture step looks each found file up here and sends its text
// only when the time or size differ.
//
// Everything is upper-cased text and plain integers; the list lives for the
// run. Header-only so that both the server link and the software scan can use
// it without a link-time dependency on each other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/text.h"

namespace qv::scanner {

constexpr std::size_t kConfigFileEntries = 40;
constexpr std::size_t kConfigNameMax = 259;   // longest name an entry holds

struct ConfigFileEntry {
    std::string name;             // upper-cased path text; empty = free / never found
    bool configured = false;      // one of the configured names (not added by a reply)
    std::uint32_t time = 0;       // last-known write time, seconds since 1970; 0 unknown
    std::uint32_t size = 0;       // last-known size in bytes; 0 unknown
};

struct ConfigFileList {
    std::array<ConfigFileEntry, kConfigFileEntries> entries{};
    std::uint16_t count = 0;      // configured names, entries 0..count-1

    // Index of the first entry whose name equals `name` without regard to
    // ASCII case, or -1. Empty names never match; the whole list is searched,
    // so entries a reply added after an empty configured name are found too.
    int Find(std::string_view name) const {
        if (name.empty()) return -1;
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (EqualNoCase(entries[i].name, name)) return static_cast<int>(i);
        return -1;
    }

    // Appends a configured name; false when the list is full.
    bool AddConfigured(std::string_view name) {
        if (count >= entries.size()) return false;
        ConfigFileEntry& e = entries[count++];
        e.name.assign(name.substr(0, kConfigNameMax));
        e.configured = true;
        e.time = e.size = 0;
        return true;
    }
};

// The run's one list (a single instance across every file that includes this).
inline ConfigFileList& ConfigFiles() {
    static ConfigFileList list;
    return list;
}

}  // namespace qv::scanner
