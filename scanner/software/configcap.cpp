// Configuration file capture.
#include "scanner/software/configcap.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include "common/text.h"

namespace qv::scanner {

void ReadConfigFileLists(const ProfileReader& profile, ConfigFileList& list) {
    for (int k = 1; k <= kConfigListKeys; ++k) {
        std::string key = "CfgFiles" + std::to_string(k);
        std::string value = profile ? profile(key.c_str(), "") : std::string();
        if (value.size() > kSettingValueMax) value.resize(kSettingValueMax);
        value = UpperAscii(value);
        std::size_t pos = 0;
        for (;;) {
            std::size_t blank = value.find(' ', pos);
            std::string_view name = std::string_view(value).substr(pos, blank == std::string::npos ? std::string::npos : blank - pos);
            if (!list.AddConfigured(name)) return;
            if (blank == std::string::npos) break;
            pos = blank + 1;
        }
    }
}

std::string AbbreviatePath(std::string_view path) {
    std::size_t first = path.find('\\');
    if (first == std::string_view::npos) return std::string(path);
    std::size_t count = 0;
    for (char c : path) count += (c == '\\');
    if (count <= 2) return std::string(path);
    std::size_t last = path.rfind('\\');
    std::size_t second_last = path.rfind('\\', last - 1);
    std::string out(path.substr(0, first + 1));
    out += "...";
    out += path.substr(second_last);
    return out;
}

ConfigCapture::ConfigCapture(const SoftwareEnv& env, SoftwarePlatform& platform, const ConfigFileList& list)
    : env_(env), platform_(platform), list_(list) {}

void ConfigCapture::CaptureConfigFiles(int first_fixed_drive) {
    for (std::size_t i = 0; i < list_.count && i < list_.entries.size(); ++i) {
        const std::string& name = list_.entries[i].name;
        if (name.empty()) continue;
        std::uint32_t time = 0;
        std::uint64_t size = 0;
        if (name[0] == '\\') {
            for (int d = first_fixed_drive < 0 ? 0 : first_fixed_drive; d < 26; ++d) {
                char letter = static_cast<char>('A' + d);
                if (!platform_.IsFixedDrive(letter)) continue;
                std::string path = std::string(1, letter) + ":" + name;
                if (path.size() > kSwPathMax) continue;
                if (platform_.FileStatus(path, &time, &size)) CaptureConfigFile(path, time, size);
            }
        } else if (platform_.FileStatus(name, &time, &size)) {
            CaptureConfigFile(name, time, size);
        }
    }
}

void ConfigCapture::CaptureConfigFile(const std::string& path, std::uint32_t time, std::uint64_t size) {
    std::size_t cut = path.rfind('\\');
    std::string directory = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    std::string file_name = cut == std::string::npos ? path : path.substr(cut + 1);
    if (directory.size() > kRecordDirectoryMax) directory.resize(kRecordDirectoryMax);
    // A name without a directory is a file of the current directory. The
    // record's directory must not be empty: an empty field's zero pair would
    // end the server packet early and lose what follows it.
    const std::string record_directory = directory.empty() ? std::string(".\\") : directory;

    std::string shown = path.size() <= kLabelPathMax ? path : AbbreviatePath(path);
    std::string label = env_.Label(kLblCfg) + UpperAscii(shown) + " =";
    LocalTime local;
    std::string when;
    if (!platform_.LocalTimeOf(time, &local, &when)) when.clear();
    if (when.size() > kTimeTextMax) when.resize(kTimeTextMax);
    const std::string size_text = std::to_string(size);
    env_.output->Item(label, when + " " + size_text);

    char row[2048];
    std::string dir_text = DoubleBackslashes(directory);
    std::snprintf(row, sizeof row, "\"%s\",\"%s\",\"%02d-%02d-%02d\",\"%02d:%02d:%02d\",\"%s\"",
                  file_name.c_str(), dir_text.c_str(), local.month, local.day, local.year, local.hour,
                  local.minute, local.second, size_text.c_str());
    env_.output->Row(kConfigFilesClass, row);

    int at = list_.Find(path);
    if (at >= 0) {
        const ConfigFileEntry& e = list_.entries[static_cast<std::size_t>(at)];
        // The server's size is 32-bit: a file of 4 GB or more never equals it.
        if (e.time == time && e.size == size) return;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return;
    env_.output->Item(env_.Label(kLblBeginContents), "");
    ContentsRecord record;
    SetContentsRecord(record, size_text, std::to_string(time), file_name,
                      record_directory, env_.char_length);
    env_.output->Record(record);
    FileByteSource source(file.get());
    env_.output->Text(source);
    env_.output->Item(env_.Label(kLblEndContents), "");
}

}  // namespace qv::scanner
