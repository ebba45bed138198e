// The software phase as the scanner's main flow calls it.
#pragma once

#include <functional>
#include <string>

#include "scanner/software/walk.h"

namespace qv::scanner {

// The directory listing of the walk: FindFirstFileA / FindNextFileA, names
// upper-cased with the system's locale.
DirectorySource& FindFileListing();

// Fills the run's configuration file list (configfiles.h) from the CfgFiles
// settings of the applications database; before the server exchange.
void ReadConfigFileListsFromDatabase(const std::string& database);

// Runs the software scan with the run settings: the passes over the database,
// the configuration file capture, the walk, learning. `text` loads a console
// text of the language library. Returns 0 or the exit code of the run.
int RunSoftwarePhase(const std::function<std::string(unsigned id)>& text);

}  // namespace qv::scanner
