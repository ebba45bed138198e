// Capture of the configuration files named in the applications database.
//
// The settings CfgFiles1 to CfgFiles4 list names separated by blanks; a name
// beginning with "\" stands for that path on every fixed drive from the first
// one to Z. Every file found gives an item "Cfg - <path> =" with its local
// time and size, and a row of the MIF Config Files table; when the inventory
// server does not already hold the same time and size (see configfiles.h,
// filled by the server's reply), the file's text follows in a contents block
// between "_BeginContents" and "_EndContents".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "scanner/software/appdb.h"
#include "scanner/software/configfiles.h"
#include "scanner/software/software.h"

namespace qv::scanner {

inline constexpr const char* kConfigFilesClass = "Corvane|Config Files|1.0";
constexpr std::size_t kLabelPathMax = 31;      // longer paths are abbreviated in labels
constexpr std::size_t kRecordDirectoryMax = 127;
constexpr std::size_t kTimeTextMax = 39;
constexpr int kConfigListKeys = 4;

// Appends the configured names of CfgFiles1..4 (upper-cased) to `list`; an
// empty value gives one empty name.
void ReadConfigFileLists(const ProfileReader& profile, ConfigFileList& list);

// The drive and its "\", "...", and the path from its second-to-last "\" on,
// for paths with more than two "\"; other paths unchanged.
std::string AbbreviatePath(std::string_view path);

class ConfigCapture {
public:
    ConfigCapture(const SoftwareEnv& env, SoftwarePlatform& platform, const ConfigFileList& list);
    // Every configured name, in list order; "\" names on drives
    // first_fixed_drive (0 = A) to Z whose type is fixed.
    void CaptureConfigFiles(int first_fixed_drive);
    void CaptureConfigFile(const std::string& path, std::uint32_t time, std::uint64_t size);

private:
    const SoftwareEnv& env_;
    SoftwarePlatform& platform_;
    const ConfigFileList& list_;
};

}  // namespace qv::scanner
