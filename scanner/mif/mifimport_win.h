// Import of custom MIF files: the directory walk and the file reading.
#pragma once

#include <functional>
#include <string>

namespace qv::scanner {

// String-table IDs of the import (the program's own table): the console text
// shown under the verbose option when a file's import was cut ("%s" is the
// file's path), and the label of the item that records the cut.
constexpr unsigned kStrMifImportCut = 200;
constexpr unsigned kLabelMifImportCut = 201;

// Called with a file's path when a limit cut its import short.
using MifCutFn = std::function<void(const std::string& path)>;

// Reads every "*.mif" file of the MIF directory, in the order the file
// system lists them, and adds their items to the run's item stream. An
// empty or missing directory does nothing.
void ImportCustomMifs(const std::string& directory, const MifCutFn& on_cut = {});

// Reads one file (at most kMifImportFileMax bytes of it) and adds its items.
// A file that cannot be opened, or is marked "// DONT_SCAN", adds nothing.
// A file whose import a limit cut short adds, after its items, the item
// "MIF Import - Cut =" with the file's path, and on_cut is called.
void ImportMifFile(const std::string& path, const MifCutFn& on_cut = {});

}  // namespace qv::scanner
