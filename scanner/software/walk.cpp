// The file-system walk and the progress display.
#include "scanner/software/walk.h"

#include <cstring>
#include <string>

namespace qv::scanner {

ProgressDisplay::ProgressDisplay(SoftwareConsole* console, bool verbose, std::uint16_t expected_files,
                                 std::uint16_t files_per_mark)
    : console_(console), verbose_(verbose), bar_(expected_files > 1), per_mark_(files_per_mark) {}

void ProgressDisplay::Put(std::string_view text) {
    if (verbose_ && console_) console_->Out(text);
}

void ProgressDisplay::StartPass() {
    if (!verbose_) return;
    if (bar_) {
        Put(std::string(kProgressMarks, '.') + std::string(kProgressMarks, '\b'));
        marks_ = 0;
    } else {
        char text[] = {'.', '.', '.', kSpinner[spinner_], '\b'};
        Put(std::string_view(text, sizeof text));
    }
}

void ProgressDisplay::Directory() {
    if (!verbose_ || bar_) return;
    if (++directories_ < kSpinnerEvery) return;
    directories_ = 0;
    spinner_ = (spinner_ + 1) % 4;
    char text[] = {kSpinner[spinner_], '\b'};
    Put(std::string_view(text, sizeof text));
}

void ProgressDisplay::Entry() {
    if (!verbose_ || !bar_) return;
    ++counter_;
    if (counter_ >= per_mark_ && marks_ < kProgressMarks - 1) {
        counter_ = 0;
        ++marks_;
        Put(">");
    }
}

void ProgressDisplay::EndPass(bool last, std::string_view done_text) {
    if (!verbose_) return;
    if (bar_) {
        std::string rest(kProgressMarks - marks_, '>');
        marks_ = kProgressMarks;
        rest += last ? std::string("\n") : std::string(kProgressMarks, '\b');
        Put(rest);
    } else if (last) {
        Put(done_text);
    }
}

Walker::Walker(DirectorySource& source, Recognizer& recognizer, const SoftwareScanSettings& settings,
               ProgressDisplay* progress, bool no_subdirectories)
    : source_(source), recognizer_(recognizer), settings_(settings), progress_(progress),
      no_subdirectories_(no_subdirectories) {}

bool Walker::MatchesExtension(std::string_view name, const std::vector<std::string>& extensions) {
    for (const std::string& ext : extensions) {
        if (ext.size() > name.size()) continue;
        if (EqualNoCase(name.substr(name.size() - ext.size()), ext)) return true;
    }
    return false;
}

int Walker::WalkRoot(std::string_view root) {
    if (root.size() > kSwPathMax) return 0;
    std::memcpy(path_, root.data(), root.size());
    path_[root.size()] = '\0';
    return WalkDirectory(root.size());
}

int Walker::WalkDirectory(std::size_t length) {
    if (progress_) progress_->Directory();
    if (length + 3 > kSwPathMax) return 0;
    std::memcpy(path_ + length, "*.*", 4);
    DirEntry entry;
    void* listing = source_.Open(path_, &entry);
    path_[length] = '\0';
    if (!listing) return 0;
    int result = 0;
    do {
        if (entry.name[0] == '.' || entry.name[0] == '\0') continue;
        if (!entry.directory) ++files_;
        if (progress_) progress_->Entry();
        std::string_view name = entry.name;
        if (MatchesExtension(name, settings_.extensions)) {
            result = recognizer_.RecognizeFile(entry, std::string_view(path_, length));
            if (result != 0) break;
        }
        if (entry.directory && !no_subdirectories_ && length + name.size() + 1 <= kSwPathMax) {
            std::memcpy(path_ + length, name.data(), name.size());
            path_[length + name.size()] = '\\';
            path_[length + name.size() + 1] = '\0';
            result = WalkDirectory(length + name.size() + 1);
            path_[length] = '\0';
            if (result != 0) break;
        }
    } while (source_.Next(listing, &entry));
    source_.Close(listing);
    return result;
}

}  // namespace qv::scanner
