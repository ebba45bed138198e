// Import of custom MIF files: the directory walk and the file reading.
#pragma once

#include <string>

namespace qv::scanner {

// Reads every "*.mif" file of the MIF directory, in the order the file
// system lists them, and adds their items to the run's item stream. An
// empty or missing directory does nothing.
void ImportCustomMifs(const std::string& directory);

// Reads one file (at most kMifImportFileMax bytes of it) and adds its items.
// A file that cannot be opened, or is marked "// DONT_SCAN", adds nothing.
void ImportMifFile(const std::string& path);

}  // namespace qv::scanner
