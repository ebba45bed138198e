// Recognition of one scanned file against the applications database, the
// Software table row, and the time stamp texts of a directory entry.
//
// RecognizeFile reports a file as its product (label DESCRIPTION " =", value
// VERSION or "Exists") or, in the modes All and Unlisted, as an unlisted file
// (label: its full path " =", value: its size), each with a row of the MIF
// Software table. In learning mode nothing is reported: every file without an
// exact match is handed to the UnknownFileHandler.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "scanner/software/appdb.h"
#include "scanner/software/software.h"

namespace qv::scanner {

inline constexpr const char* kSoftwareClass = "Corvane|Software|1.0";

// One entry of a directory listing. Names are upper-cased by the lister.
struct DirEntry {
    char name[kSwPathMax + 1] = {};
    bool directory = false;
    std::uint64_t size = 0;          // the whole size in bytes
    std::uint64_t write_time = 0;    // UTC, 100 ns units since 1601 (a FILETIME)
};

struct FileStamp {
    std::string time;  // "%02d:%02d:%02d%c", 12-hour dial, A or P
    std::string date;  // "%02d-%02d-%02d", month, day, year - 1900
    std::string size;  // "%lu"
};

// The entry's UTC write time through the MS-DOS date and time fields
// (seconds in steps of two). Times outside 1980-2107, which have no DOS
// form, give the zero fields (00-00-80, 12:00:00A).
FileStamp FormatFileStamp(const DirEntry& entry);

// The learning step; a non-zero result ends the run with that exit code.
class UnknownFileHandler {
public:
    virtual ~UnknownFileHandler() = default;
    virtual int HandleUnknownFile(const DirEntry& entry, std::string_view directory,
                                  const ApplicationEntry* name_entry) = 0;
};

class Recognizer {
public:
    // `learner` is set in learning mode only.
    Recognizer(const SoftwareEnv& env, ApplicationsDatabase& db, UnknownFileHandler* learner);
    // Returns 0, or the learning step's non-zero result.
    int RecognizeFile(const DirEntry& entry, std::string_view directory);

private:
    void AddRow(std::string_view product, std::string_view version, const DirEntry& entry,
                std::string_view directory);

    const SoftwareEnv& env_;
    ApplicationsDatabase& db_;
    UnknownFileHandler* learner_;
    std::string exists_;
};

}  // namespace qv::scanner
