// The file-system walk of the software scan and its verbose progress display.
//
// WalkDirectory lists one directory through a DirectorySource (FindFirstFileA
// and FindNextFileA in the program, a fake tree in tests), skips names that
// begin with ".", counts the files, tests every entry's name against the
// extension list (a plain tail compare: no "." is needed before the
// extension, an empty token matches every name, and directories take part)
// and hands matches to the Recognizer; then it descends into subdirectories
// unless told not to. One path buffer of 260 bytes is extended and restored
// in place, so nothing is allocated per file; a name that would make the path
// longer than 259 characters is not descended into (nor recognised).
//
// The progress display (verbose only) is a bar of 50 dots filled with ">"
// marks when the server announced how many files to expect, or else a
// spinner "|/-\" that advances on every tenth directory entered.
#pragma once

#include <cstdint>
#include <string_view>

#include "scanner/software/appdb.h"
#include "scanner/software/recognize.h"
#include "scanner/software/software.h"

namespace qv::scanner {

constexpr int kProgressMarks = 50;
constexpr int kSpinnerEvery = 10;
inline constexpr char kSpinner[] = "|/-\\";

class DirectorySource {
public:
    virtual ~DirectorySource() = default;
    // Starts listing `pattern` (a directory path followed by "*.*") and fills
    // the first entry; nullptr when the directory cannot be listed.
    virtual void* Open(const char* pattern, DirEntry* first) = 0;
    virtual bool Next(void* listing, DirEntry* entry) = 0;
    virtual void Close(void* listing) = 0;
};

class ProgressDisplay {
public:
    ProgressDisplay(SoftwareConsole* console, bool verbose, std::uint16_t expected_files,
                    std::uint16_t files_per_mark);
    void StartPass();
    void Directory();
    void Entry();
    void EndPass(bool last, std::string_view done_text);

private:
    void Put(std::string_view text);
    SoftwareConsole* console_;
    bool verbose_;
    bool bar_;
    std::uint16_t per_mark_;
    std::uint16_t marks_ = 0;
    std::uint16_t counter_ = 0;   // kept between passes
    int spinner_ = 0;             // kept for the run
    int directories_ = 0;
};

class Walker {
public:
    Walker(DirectorySource& source, Recognizer& recognizer, const SoftwareScanSettings& settings,
           ProgressDisplay* progress, bool no_subdirectories);

    // Walks `root` (ending in "\"). Returns 0, or the learning step's result,
    // which ends the walk at once.
    int WalkRoot(std::string_view root);
    // Files examined in this pass: a 32-bit count, as drives hold far more
    // than 65535 files.
    std::uint32_t file_count() const { return files_; }
    void ResetFileCount() { files_ = 0; }

    // Tail compare against the extension list; true at the first match.
    static bool MatchesExtension(std::string_view name, const std::vector<std::string>& extensions);

private:
    int WalkDirectory(std::size_t length);

    DirectorySource& source_;
    Recognizer& recognizer_;
    const SoftwareScanSettings& settings_;
    ProgressDisplay* progress_;
    bool no_subdirectories_;
    std::uint32_t files_ = 0;
    char path_[kSwPathMax + 1] = {};
};

}  // namespace qv::scanner
