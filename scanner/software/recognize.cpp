// Recognition of scanned files and the Software table rows.
#include "scanner/software/recognize.h"

#include <cstdio>

namespace qv::scanner {

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(long long z, int* year, unsigned* month, unsigned* day) {
    z += 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = static_cast<unsigned>(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long y = static_cast<long long>(yoe) + era * 400;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(y + (*month <= 2));
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

std::string Quoted(std::initializer_list<std::string_view> columns) {
    std::string row;
    for (std::string_view c : columns) {
        if (!row.empty()) row += ',';
        row += '"';
        row += c;
        row += '"';
    }
    return row;
}

std::string_view WithoutFinalBackslash(std::string_view dir) {
    if (!dir.empty() && dir.back() == '\\') dir.remove_suffix(1);
    return dir;
}

}  // namespace

FileStamp FormatFileStamp(const DirEntry& entry) {
    constexpr std::uint64_t kTicksPerSecond = 10000000;
    constexpr long long kSecondsTo1970 = 11644473600ll;
    long long secs = static_cast<long long>(entry.write_time / kTicksPerSecond) - kSecondsTo1970;
    long long days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
    long long rest = secs - days * 86400;
    int year = 1980;
    unsigned month = 0, day = 0;
    int hour = 0, minute = 0, second = 0;
    int y;
    unsigned m, d;
    CivilFromDays(days, &y, &m, &d);
    if (y >= 1980 && y <= 2107) {
        year = y;
        month = m;
        day = d;
        hour = static_cast<int>(rest / 3600);
        minute = static_cast<int>(rest / 60 % 60);
        second = static_cast<int>(rest % 60) / 2 * 2;
    }
    char letter = 'A';
    int dial = hour;
    if (hour > 12) {
        dial = hour - 12;
        letter = 'P';
    } else if (hour == 0) {
        dial = 12;
    }
    char buf[64];
    FileStamp s;
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d%c", dial, minute, second, letter);
    s.time = buf;
    std::snprintf(buf, sizeof buf, "%02u-%02u-%02d", month, day, year - 1900);
    s.date = buf;
    s.size = std::to_string(entry.size);
    return s;
}

Recognizer::Recognizer(const SoftwareEnv& env, ApplicationsDatabase& db, UnknownFileHandler* learner)
    : env_(env), db_(db), learner_(learner), exists_(env.Label(kLblExists)) {}

void Recognizer::AddRow(std::string_view product, std::string_view version, const DirEntry& entry,
                        std::string_view directory) {
    FileStamp stamp = FormatFileStamp(entry);
    std::string path = DoubleBackslashes(WithoutFinalBackslash(directory));
    env_.output->Row(kSoftwareClass, Quoted({product, version, entry.name, stamp.time, stamp.date,
                                             stamp.size, path}));
}

int Recognizer::RecognizeFile(const DirEntry& entry, std::string_view directory) {
    std::string_view name = entry.name;
    if (db_.LookupIgnoredName(name)) return 0;
    // Database sizes are 32-bit: a file of 4 GB or more is looked up with
    // the largest size a database line can name, never with its low bits.
    LookupResult found = db_.LookupApplication(
        name, entry.size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(entry.size));

    if (learner_) {
        if (found.exact) return 0;
        return learner_->HandleUnknownFile(entry, directory, found.name_entry);
    }

    const SoftwareScanSettings& s = db_.settings();
    if (!found.name_entry) {
        if (!s.all() && !s.unlisted()) return 0;
        std::string full(directory);
        full += name;
        const std::string size = std::to_string(entry.size);
        env_.output->Item(full + " =", size);
        AddRow(full, size, entry, directory);
        return 0;
    }
    if (s.unlisted()) return 0;

    const ApplicationEntry& e = *found.name_entry;
    bool report = (e.type == kTypeInstalled && found.exact_kind) || e.type == kTypeProgram ||
                  e.type == kTypeFile;
    if (!report) return 0;
    std::string_view product = TrimBlanks(e.description);
    std::string_view value = found.exact_kind ? e.version : std::string_view(exists_);
    std::string label(product);
    label += " =";
    env_.output->Item(label, value);
    AddRow(product, value, entry, directory);
    return 0;
}

}  // namespace qv::scanner
