// Reading the stored inventories back: the administrator's query commands.
//
//   invserver list [--storage=DIR]          every device: folder, ID, last inventory, items
//   invserver show DEVICE [--storage=DIR]   one device's stored inventory
//   invserver find TEXT [--storage=DIR]     the items of every device that contain TEXT
//
// DEVICE is a device folder's name, a device ID, or a device number's 12
// hexadecimal digits. TEXT is matched without regard to case against each
// stored item line ("key value"); the text of captured files is not searched.
#pragma once

#include <string>
#include <vector>

namespace qv::invserver {

// True when argv[1] names a query command rather than a server option.
bool IsQueryCommand(const std::string& word);
const char* QueryUsageText();

// Runs a query: args[0] is the command, the rest its operands and options.
// Writes the answer to *out and any error to *err; returns the exit code
// (0 found, 1 nothing found or storage unreadable, 2 usage error).
int RunQuery(const std::vector<std::string>& args, std::string* out, std::string* err);

// The item lines of a stored inventory (the scanner's flat file format),
// without their line breaks; contents blocks are left out.
std::vector<std::string> InventoryItems(const std::string& flat);

}  // namespace qv::invserver
