// The Windows side of the software phase: the profile reader, the directory
// listing (FindFirstFileA / FindNextFileA), drive types, the console with
// single key presses, and the atomic replacement of the database.
//
// Names from the listing are upper-cased with the system's locale
// (CharUpperBuffA) before anything compares or hashes them, as the database
// keeps its names in upper case.
#include <windows.h>

#include <conio.h>
#include <cstdio>
#include <cstring>

#include "contracts/localization.h"
#include "scanner/driver/settings.h"
#include "scanner/records/inventory.h"
#include "scanner/software/appdb.h"
#include "scanner/software/configcap.h"
#include "scanner/software/configfiles.h"
#include "scanner/software/software_win.h"
#include "scanner/software/swscan.h"

namespace qv::scanner {

namespace {

ProfileReader DatabaseProfile(const std::string& database) {
    return [database](const char* key, const char* fallback) {
        char value[kSettingValueMax + 1] = {};
        GetPrivateProfileStringA(kSettingsSection, key, fallback, value, sizeof value, database.c_str());
        return std::string(value);
    };
}

void FillEntry(const WIN32_FIND_DATAA& data, DirEntry* entry) {
    std::size_t n = strnlen(data.cFileName, sizeof data.cFileName);
    if (n > kSwPathMax) n = kSwPathMax;
    std::memcpy(entry->name, data.cFileName, n);
    entry->name[n] = '\0';
    CharUpperBuffA(entry->name, static_cast<DWORD>(n));
    entry->directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry->size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    entry->write_time = (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                        data.ftLastWriteTime.dwLowDateTime;
}

// Each listing is a find handle; the walk closes every listing it opens.
class FindFileSource : public DirectorySource {
public:
    void* Open(const char* pattern, DirEntry* first) override {
        WIN32_FIND_DATAA data;
        HANDLE h = FindFirstFileA(pattern, &data);
        if (h == INVALID_HANDLE_VALUE) return nullptr;
        FillEntry(data, first);
        return h;
    }
    bool Next(void* listing, DirEntry* entry) override {
        WIN32_FIND_DATAA data;
        if (!FindNextFileA(static_cast<HANDLE>(listing), &data)) return false;
        FillEntry(data, entry);
        return true;
    }
    void Close(void* listing) override { FindClose(static_cast<HANDLE>(listing)); }
};

class WinPlatform : public StdPlatform {
public:
    bool IsFixedDrive(char letter) override {
        char root[] = {letter, ':', '\\', '\0'};
        return GetDriveTypeA(root) == DRIVE_FIXED;
    }
    bool ReplaceFile(const std::string& from, const std::string& to) override {
        return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
};

class WinConsole : public SoftwareConsole {
public:
    void Out(std::string_view t) override {
        std::fwrite(t.data(), 1, t.size(), stdout);
        std::fflush(stdout);
    }
    void Err(std::string_view t) override {
        std::fflush(stdout);
        std::fwrite(t.data(), 1, t.size(), stderr);
        std::fflush(stderr);
    }
    int ReadKey() override {
        std::fflush(stdout);
        int c = _getche();
        return c == EOF ? -1 : c;
    }
    bool ReadLine(std::string* line) override {
        std::fflush(stdout);
        line->clear();
        char buf[128];
        while (std::fgets(buf, sizeof buf, stdin)) {
            *line += buf;
            if (!line->empty() && line->back() == '\n') {
                line->pop_back();
                if (!line->empty() && line->back() == '\r') line->pop_back();
                return true;
            }
        }
        return !line->empty();
    }
};

std::string OwnLabel(unsigned id) {
    char buf[256];
    int n = LoadItemLabel(id, buf, sizeof buf);
    return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

int CharLength(unsigned long bytes) { return QVCharType(bytes); }

}  // namespace

DirectorySource& FindFileListing() {
    static FindFileSource source;
    return source;
}

void ReadConfigFileListsFromDatabase(const std::string& database) {
    ReadConfigFileLists(DatabaseProfile(database), ConfigFiles());
}

int RunSoftwarePhase(const std::function<std::string(unsigned id)>& text) {
    const RunSettings& s = Settings();
    RunState& st = State();
    static WinConsole console;
    static WinPlatform platform;
    DirectorySource& source = FindFileListing();

    SoftwareEnv env;
    env.console = &console;
    env.output = &InventoryOutput();
    env.text = text;
    env.label = OwnLabel;
    env.quiet = s.quiet;
    env.verbose = s.verbose;
    env.char_length = CharLength;

    ApplicationsDatabase::Options options;
    options.profile = DatabaseProfile(s.database_path);
    ApplicationsDatabase db(env, options);

    // A captured text that does not end in a line break still leaves
    // "_EndContents" on a line of its own in the flat file.
    InventoryStream().SetFlatTextLineBreak(true);
    ConfigCapture capture(env, platform, ConfigFiles());

    SoftwareScanParams params;
    params.learning_value = s.learning_value;
    params.scan_root = s.scan_root;
    params.extra_drive = s.extra_drive;
    params.database_path = s.database_path;
    params.expected_files = st.expected_file_count;
    params.files_per_mark = st.files_per_mark;
    params.no_subdirectories = s.no_subdirectories;
    params.learning_file = &st.learning_file;
    return RunSoftwareScan(env, params, db, source, platform,
                           [&] { capture.CaptureConfigFiles(s.first_fixed_drive); });
}

}  // namespace qv::scanner
