// The applications database: the settings of the software scan and the two
// hash tables of known program files ([Applications]) and ignored names
// ([Ignore]).
//
// The database is a CR LF text file (QVAPPL.INI by default). Its settings are
// profile values of section "Corvane Inventory", read through a
// ProfileReader (GetPrivateProfileStringA in the program). The two sections
// the loader wants are found by scanning the raw bytes in 32 KB blocks for a
// line that is exactly "[Applications]" or "[Ignore]" followed by CR LF; a
// body runs to the next line that begins with "[" or to the end of the file.
//
// Memory: the body text is read as it is and the entries point into it; the
// entry records of a portion are one array sized by the portion's line count,
// so nothing is allocated per entry. When [Applications] does not fit in the
// memory that can be had (MemoryLimit lets tests say how much that is), it is
// loaded in consecutive portions, and the caller walks the file system once
// per portion. A portion never ends inside a line, and the lines of one NAME
// stay in one portion (unless that group alone is longer than a portion),
// whatever comment or blank lines lie between them.
// The file is closed whenever LoadPortion returns, so that the learning mode
// may replace it while the walk runs.
//
// Lines that do not follow the grammar are cut at their line end: a field
// without its closing comma runs to the end of the line, a line too short to
// hold the four-character prefix and a name is skipped, and a body without a
// final CR LF ends at the end of the buffer. Nothing is ever read past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/software/software.h"

namespace qv::scanner {

constexpr std::size_t kSectionBlockSize = 32768;   // section finder block
constexpr std::size_t kHeaderStepBack = 16;        // overlap between two blocks
constexpr std::size_t kMinPortionSize = 32768;
constexpr std::size_t kPortionShrinkExtra = 80;    // size / 2 + 80 when memory is short
constexpr std::size_t kReadPiece = 32768;          // largest single read
constexpr std::size_t kApplicationChains = 8192;
constexpr std::size_t kIgnoreChains = 1024;
constexpr std::size_t kMaxExtensions = 40;
constexpr int kDatabaseMajorVersion = 2;
constexpr int kScannerMajorVersion = 2;
constexpr int kScannerMinorVersion = 1;

constexpr int kDbResultOk = 0;
constexpr int kDbResultVersion = 1;     // version mismatch: the run ends with 1
constexpr int kDbResultOpen = 20;
constexpr int kDbResultMemory = 50;

inline constexpr const char* kSettingsSection = "Corvane Inventory";

// Reads value `key` of section "Corvane Inventory" with the given default;
// at most kSettingValueMax characters.
using ProfileReader = std::function<std::string(const char* key, const char* fallback)>;

struct SoftwareScanSettings {
    std::string mode = "Listed";     // only the first character counts
    std::string duplicate = "ON";    // upper-cased
    std::vector<std::string> extensions;  // upper-cased tokens, in order

    bool all() const { return !mode.empty() && mode[0] == 'A'; }
    bool unlisted() const { return !mode.empty() && mode[0] == 'U'; }
    bool duplicate_off() const { return duplicate.size() > 1 && duplicate[1] == 'F'; }
};

// Cuts an upper-cased ScanExtensions value into tokens at every blank; two
// blanks in a row give an empty token, an empty value no token. At most 40.
std::vector<std::string> SplitExtensions(std::string_view value);

// Version "%i.%i": false when the major number is not 2 (or not a number).
bool ParseDatabaseVersion(const std::string& text, int* major, int* minor);

// The chain hash of a name: characters before the first "." (and, for names
// of the file, before the first ","); h = h * 4 + c - 65 modulo 65536, with a
// double-byte character taken as one value (lead * 256 + trail).
std::uint16_t NameHash(std::string_view name, bool stop_at_comma, CharLengthFn char_length);

// Type letters of the entry prefix "<x>," (their low five bits).
constexpr std::uint8_t kTypeInstalled = 'I' & 0x1F;
constexpr std::uint8_t kTypeProgram = 'P' & 0x1F;
constexpr std::uint8_t kTypeFile = 'F' & 0x1F;

struct ApplicationEntry {
    std::uint8_t type = 0;        // low five bits of the type letter
    bool exact_mark = false;      // matched a file by name and size this pass
    bool name_mark = false;       // matched a file by name only this pass
    std::string_view name;
    std::uint32_t size = 0;       // 1 stands for any size
    std::string_view description;
    std::string_view version;
    std::int32_t next = -1;       // next entry of the chain
};

struct IgnoreEntry {
    std::uint8_t type = 0;
    std::string_view name;
    std::int32_t next = -1;
};

struct LookupResult {
    ApplicationEntry* exact = nullptr;       // first entry with the same name and size (or 1)
    ApplicationEntry* name_entry = nullptr;  // the entry the lookup settled on, or none
    bool exact_kind = false;                 // an exact entry was found
};

// File offsets of the two bodies; start 0 means the section is missing.
struct SectionSpans {
    std::uint64_t app_start = 0, app_length = 0;
    std::uint64_t ignore_start = 0, ignore_length = 0;
};

// Finds the bodies of [Applications] and [Ignore] in an open binary file.
// `block` is a buffer of kSectionBlockSize bytes.
void FindSections(std::FILE* file, char* block, SectionSpans* spans);

class ApplicationsDatabase {
public:
    struct Options {
        ProfileReader profile;
        // Largest single buffer that can be had (tests force portions with it).
        std::size_t memory_limit = std::numeric_limits<std::size_t>::max();
    };

    ApplicationsDatabase(const SoftwareEnv& env, Options options);

    // The first call reads the settings, tests the version, finds the sections,
    // loads [Ignore] and chooses the portion size; every call then loads the
    // next portion of [Applications]. 0, or kDbResultVersion / Open / Memory.
    int LoadPortion(const std::string& path);
    bool IsLastPortion() const { return last_portion_; }
    void Close();

    const SoftwareScanSettings& settings() const { return settings_; }
    std::size_t portion_size() const { return portion_size_; }

    bool LookupIgnoredName(std::string_view name) const;
    LookupResult LookupApplication(std::string_view name, std::uint32_t size);
    // Set once any scanned name has equalled a database NAME in this run.
    bool name_seen() const { return name_seen_; }

    // The entries of the current portion (tests, benchmarks).
    const std::vector<ApplicationEntry>& entries() const { return apps_; }
    const std::vector<IgnoreEntry>& ignores() const { return ignores_; }
    // Entry indices of one chain, in chain order.
    std::vector<std::int32_t> ApplicationChain(std::uint16_t hash) const;

private:
    int FirstLoad(const std::string& path, std::FILE* file);
    void ReadSettings();
    std::unique_ptr<char[]> Allocate(std::size_t size) const;
    bool ReadAt(std::FILE* file, std::uint64_t offset, char* dst, std::size_t size) const;
    std::size_t KeepNameGroups(std::FILE* file, const char* text, std::size_t size) const;
    std::string NextEntryName(std::FILE* file, std::uint64_t at, bool* complete) const;
    void IndexApplications(const char* text, std::size_t size);
    void IndexIgnore(const char* text, std::size_t size);

    const SoftwareEnv& env_;
    Options options_;
    SoftwareScanSettings settings_;
    bool started_ = false;
    bool last_portion_ = false;
    bool name_seen_ = false;
    SectionSpans spans_;
    std::uint64_t next_offset_ = 0;
    std::size_t portion_size_ = 0;
    std::unique_ptr<char[]> portion_;
    std::unique_ptr<char[]> ignore_text_;
    std::vector<ApplicationEntry> apps_;
    std::vector<IgnoreEntry> ignores_;
    std::vector<std::int32_t> app_heads_, app_tails_;
    std::vector<std::int32_t> ignore_heads_, ignore_tails_;
};

// Calls fn(line) for every line of a body (the line's text without its CR LF,
// bounded by the body), skipping blank and comment lines.
void ForEachEntryLine(const char* text, std::size_t size,
                      const std::function<void(std::string_view line)>& fn);

}  // namespace qv::scanner
