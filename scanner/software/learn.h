// Learning unknown program files into the applications database.
//
// In learning mode every scanned file that is neither ignored nor recognised
// exactly comes here. With a learning file, a template line for it is
// appended to that file for later editing. Interactively, the operator is
// shown the file and either types a version (a known program in a new size)
// or chooses, by a single key press, to add it to [Applications], to add it
// to [Ignore], or to skip it.
//
// An added line is written as the first line of its section by rewriting the
// whole database through a temporary file in the database's own directory
// ("QA" or "QI" and six more characters). The copy is made in binary mode so
// that no byte of the database is lost (a byte 26 is kept), and every line
// end of the result is CR LF (a lone LF gets its CR). The temporary file
// replaces the database only when it has been written completely; on any
// failure it is deleted and the database stays as it was.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "scanner/software/recognize.h"
#include "scanner/software/software.h"

namespace qv::scanner {

constexpr int kLearnOk = 0;
constexpr int kLearnFileError = 20;     // database or temporary file not usable
constexpr int kLearnNoSection = 30;     // the section header is missing
constexpr char kTempAppPrefix[] = "QA";
constexpr char kTempIgnorePrefix[] = "QI";

int AddApplicationLine(const SoftwareEnv& env, SoftwarePlatform& platform, std::string_view name,
                       long long size, std::string_view description, std::string_view version,
                       const std::string& database);
int AddIgnoreLine(const SoftwareEnv& env, SoftwarePlatform& platform, std::string_view name,
                  const std::string& database);

class Learner : public UnknownFileHandler {
public:
    // `learning_value` is ":" (interactive) or the learning file's name, then
    // open as `learning_file`.
    Learner(const SoftwareEnv& env, SoftwarePlatform& platform, std::string learning_value,
            std::string database, std::FILE* learning_file);
    int HandleUnknownFile(const DirEntry& entry, std::string_view directory,
                          const ApplicationEntry* name_entry) override;

private:
    int Interactive(const DirEntry& entry, std::string_view directory,
                    const ApplicationEntry* name_entry);
    std::string Answer();

    const SoftwareEnv& env_;
    SoftwarePlatform& platform_;
    std::string value_;
    std::string database_;
    std::FILE* file_;
};

}  // namespace qv::scanner
