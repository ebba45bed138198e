// What the consoles (ftconsole, webconsole) build from the slave's single
// requests: a directory's listing with the slave's silences made explicit,
// and file times as the slave's MS-DOS words.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "tools/ftconsole/ftclient.h"

namespace qv::ftc {

// "D:" or "D:\": a drive's root, which cannot be searched for like a directory.
bool IsRoot(const std::string& path);
bool HasWildcard(const std::string& path);

// Is dir a directory (or, for a root, a drive) of the slave? The Result is
// ok when the slave could be asked.
Result DirectoryExists(FtClient& c, const std::string& dir, bool* exists);

enum class ListProblem { kNone, kNoSuchDirectory, kNoSuchDrive, kIsAFile };

// Lists a directory, or a pattern when it has wildcards: the directory names
// (each ending in "\") and the file names, in the slave's order. The slave
// answers an empty listing for a directory that is not there, so a directory
// is checked first: *problem says when it is missing or is a file (the
// Result is then ok). *pattern is what was listed, e.g. "C:\TEMP\*.*".
Result ListDirectory(FtClient& c, const std::string& dir, std::vector<std::string>* dirs,
                     std::vector<std::string>* files, ListProblem* problem, std::string* pattern = nullptr);

// The slave turns a file's time into local MS-DOS words with the offset from
// UTC in effect now, daylight saving or not (as Windows' FileTimeToLocalFileTime
// does); the consoles convert with their own offset in effect now, so a file's
// time survives an upload and a download in any time zone, whatever the season
// of the date itself. A time the MS-DOS words cannot hold becomes 1 January 1980.
void TimeToDos(time_t t, uint16_t* date, uint16_t* time);
time_t DosToTime(uint16_t date, uint16_t time);

}  // namespace qv::ftc
