#include "tools/ftconsole/remote_files.h"

#include <cctype>

namespace qv::ftc {

namespace {

std::string WithoutTrailingSlash(std::string p) {
    while (p.size() > 1 && (p.back() == '\\' || p.back() == '/') && p[p.size() - 2] != ':') p.pop_back();
    return p;
}

// Does the slave have the drive of the root path p ("D:" or "D:\")? A root
// cannot be searched for like a directory; the drive list knows it.
Result HasDrive(FtClient& c, const std::string& p, bool* exists) {
    std::vector<int> drives;
    Result r = c.Drives(&drives);
    if (!r.ok) return r;
    const int want = std::toupper(static_cast<unsigned char>(p[0])) - 'A';
    *exists = false;
    for (int d : drives) *exists = *exists || d == want;
    return r;
}

}  // namespace

bool IsRoot(const std::string& p) {
    return (p.size() == 2 || (p.size() == 3 && (p[2] == '\\' || p[2] == '/'))) && p[1] == ':' &&
           std::isalpha(static_cast<unsigned char>(p[0]));
}

bool HasWildcard(const std::string& p) { return p.find_first_of("*?") != std::string::npos; }

Result DirectoryExists(FtClient& c, const std::string& dir, bool* exists) {
    *exists = false;
    if (IsRoot(dir)) return HasDrive(c, dir, exists);
    Result r = c.VerifyDirectory(WithoutTrailingSlash(dir));
    if (!r.error.empty() || r.no_reply) return r;
    *exists = r.status == 0;
    return Result{true, 0, "", false};
}

Result ListDirectory(FtClient& c, const std::string& dir, std::vector<std::string>* dirs,
                     std::vector<std::string>* files, ListProblem* problem, std::string* pattern_out) {
    dirs->clear();
    files->clear();
    *problem = ListProblem::kNone;
    std::string pattern = dir;
    if (!HasWildcard(dir)) {
        bool exists = false;
        Result r = DirectoryExists(c, dir, &exists);
        if (!r.ok) return r;
        if (!exists) {
            uint32_t size;
            if (IsRoot(dir))
                *problem = ListProblem::kNoSuchDrive;
            else
                *problem = c.Size(dir, &size).ok ? ListProblem::kIsAFile : ListProblem::kNoSuchDirectory;
            return r;
        }
        if (pattern.empty() || (pattern.back() != '\\' && pattern.back() != '/' && pattern.back() != ':'))
            pattern += '\\';
        pattern += "*.*";
    }
    if (pattern_out) *pattern_out = pattern;
    Result r = c.List(pattern, false, dirs);
    if (!r.ok) return r;
    return c.List(pattern, true, files);
}

namespace {

long UtcOffsetNow() {
    const time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_gmtoff;
}

}  // namespace

time_t DosToTime(uint16_t date, uint16_t time) {
    ft::DosStamp s = ft::DecodeDos(date, time);
    std::tm tm{};
    tm.tm_year = s.year - 1900;
    tm.tm_mon = s.month - 1;
    tm.tm_mday = s.day;
    tm.tm_hour = s.hour;
    tm.tm_min = s.minute;
    tm.tm_sec = s.second;
    return timegm(&tm) - UtcOffsetNow();
}

void TimeToDos(time_t t, uint16_t* date, uint16_t* time) {
    const time_t local_as_utc = t + UtcOffsetNow();
    std::tm tm{};
    gmtime_r(&local_as_utc, &tm);
    ft::DosStamp s{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    if (!ft::EncodeDos(s, date, time)) ft::EncodeDos(ft::DosStamp{1980, 1, 1, 0, 0, 0}, date, time);
}

}  // namespace qv::ftc
