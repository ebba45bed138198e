// The software scan driver: the passes over the applications database, the
// drives or scan root walked in each, the learning file, the progress
// display, and the "Number of Files" item at the end.
//
// The database is loaded one portion per pass; the whole file system is
// walked once per portion. The configuration files are captured in the first
// pass, after the first portion has been loaded. Learning mode needs the
// database in one portion (the prompts would otherwise ask about files the
// next portion knows).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "scanner/software/appdb.h"
#include "scanner/software/software.h"
#include "scanner/software/walk.h"

namespace qv::scanner {

constexpr int kSoftwareLearnTooLarge = 50;
constexpr int kSoftwareLearnFile = 1;

struct SoftwareScanParams {
    std::string learning_value;     // empty, ":" or the learning file's name
    std::string scan_root;          // empty, or a directory ending in "\"
    char extra_drive = 0;           // 0 = none
    std::string database_path;
    std::uint16_t expected_files = 1;
    std::uint16_t files_per_mark = 0;
    bool no_subdirectories = false;
    std::FILE** learning_file = nullptr;  // where the open learning file is kept
};

// Returns 0, the database loader's result, 50 (learning with a database in
// portions) or 1 (learning file not creatable). `capture_config` runs once,
// in the first pass.
int RunSoftwareScan(const SoftwareEnv& env, const SoftwareScanParams& params, ApplicationsDatabase& db,
                    DirectorySource& source, SoftwarePlatform& platform,
                    const std::function<void()>& capture_config);

}  // namespace qv::scanner
