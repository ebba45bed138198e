// An inventory in the GLPI inventory format (JSON), for GLPI's injector.
//
// Made from the flat inventory file the store rebuilds, item by item: what
// the scanner reports about the BIOS, processor, memory, drives, operating
// system, environment, network identity and recognised programs goes into
// the format's bios, cpus, memories, drives, storages, operatingsystem, envs,
// networks, hardware and softwares; what the format has no place for
// (services, captured configuration files, imported MIF values, ports,
// video) and what the scanner does not know are left out. tools/invserver/
// GLPI.md tells item by item.
//
// JSON texts must be UTF-8, the scanner's texts are in its machine's ANSI
// code page: a text that is not valid UTF-8 is read as Windows-1252.
#pragma once

#include <string>

namespace qv::invserver {

struct GlpiSource {
    std::string device_id;   // the device's ID in the store
    std::string received;    // when the inventory arrived, "YYYY-MM-DD HH:MM:SS" (UTC), or ""
    std::string flat;        // the flat inventory file
};

// The JSON document (one object, ending in a line break).
std::string GlpiInventoryJson(const GlpiSource& source);

// A device ID as a file name: letters, digits, "-", "_" and "." kept, the
// rest "_" (never empty, never "." or "..").
std::string GlpiFileName(const std::string& device_id);

}  // namespace qv::invserver
