// Stored inventories in the GLPI inventory format (glpi.h): for
// 'invserver export DEVICE' and for the server's --export-dir.
#pragma once

#include <cstdint>
#include <string>

#include "tools/invserver/store.h"

namespace qv::invserver {

// The GLPI document of a stored inventory; false with the reason in *err.
bool ExportInventory(Store& store, std::int64_t inventory, std::string* json, std::string* err);

// Writes the document to DIR/<device ID as a file name>.json (glpi.h),
// replacing the device's previous one; written to a temporary name first, so
// a reader never sees half a file. The path in *path; false with *err.
bool ExportToDir(Store& store, std::int64_t inventory, const std::string& dir, std::string* path,
                 std::string* err);

}  // namespace qv::invserver
