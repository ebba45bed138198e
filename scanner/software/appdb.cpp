// The applications database loader and its two hash tables.
#include "scanner/software/appdb.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/fileio.h"
#include "common/text.h"

namespace qv::scanner {

namespace {

constexpr char kAppHeader[] = "[Applications]\r\n";
constexpr char kIgnoreHeader[] = "[Ignore]\r\n";
constexpr std::size_t kAppHeaderLen = sizeof kAppHeader - 1;        // 16
constexpr std::size_t kIgnoreHeaderLen = sizeof kIgnoreHeader - 1;  // 10
constexpr std::size_t kPrefixLen = 4;                               // "<I>,"
constexpr std::size_t kNamePeek = 300;  // bytes read to learn the next line's NAME

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Calls fn(line) for each entry line of text[0..size): the text without its
// line break; blank lines (beginning with CR, or empty) and comments skipped.
template <typename Fn>
void EachLine(const char* text, std::size_t size, Fn&& fn) {
    std::size_t pos = 0;
    while (pos < size) {
        const char* lf = static_cast<const char*>(std::memchr(text + pos, '\n', size - pos));
        std::size_t end = lf ? static_cast<std::size_t>(lf - text) : size;
        std::size_t content_end = end;
        if (content_end > pos && text[content_end - 1] == '\r') --content_end;
        std::string_view line(text + pos, content_end - pos);
        pos = lf ? end + 1 : size;
        if (line.empty() || line[0] == '\r' || line[0] == ';') continue;
        fn(line);
    }
}

// The field up to the next comma (or the rest of the line); *rest moves past it.
std::string_view Field(std::string_view* rest) {
    std::size_t comma = rest->find(',');
    std::string_view field = rest->substr(0, comma);
    *rest = comma == std::string_view::npos ? std::string_view() : rest->substr(comma + 1);
    return field;
}

std::uint32_t ParseSize(std::string_view digits) {
    std::size_t i = 0;
    while (i < digits.size() && (digits[i] == ' ' || digits[i] == '\t')) ++i;
    std::uint32_t value = 0;
    for (; i < digits.size() && digits[i] >= '0' && digits[i] <= '9'; ++i)
        value = value * 10u + static_cast<std::uint32_t>(digits[i] - '0');
    return value;
}

// NAME of a line for the portion cut: from the fifth character up to the
// first ",", blank, CR or LF. *complete tells whether a delimiter ended it.
std::string_view CutName(const char* line, std::size_t size, bool* complete) {
    *complete = false;
    if (size <= kPrefixLen) return {};
    std::size_t i = kPrefixLen;
    while (i < size) {
        char c = line[i];
        if (c == ',' || c == ' ' || c == '\r' || c == '\n') {
            *complete = true;
            break;
        }
        ++i;
    }
    return std::string_view(line + kPrefixLen, i - kPrefixLen);
}

// Two names are equal when the first two characters are identical and the
// rest is equal without regard to case.
bool SameApplicationName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    std::size_t strict = std::min<std::size_t>(2, a.size());
    if (a.substr(0, strict) != b.substr(0, strict)) return false;
    return EqualNoCase(a.substr(strict), b.substr(strict));
}

}  // namespace

void ForEachEntryLine(const char* text, std::size_t size,
                      const std::function<void(std::string_view line)>& fn) {
    EachLine(text, size, fn);
}

std::vector<std::string> SplitExtensions(std::string_view value) {
    std::vector<std::string> tokens;
    std::size_t pos = 0;
    while (pos < value.size() && tokens.size() < kMaxExtensions) {
        std::size_t blank = value.find(' ', pos);
        if (blank == std::string_view::npos) blank = value.size();
        tokens.emplace_back(value.substr(pos, blank - pos));
        pos = blank < value.size() ? blank + 1 : blank;
    }
    return tokens;
}

bool ParseDatabaseVersion(const std::string& text, int* major, int* minor) {
    *major = 0;
    *minor = 0;
    int n = std::sscanf(text.c_str(), "%i.%i", major, minor);
    if (n < 1) {
        *major = *minor = 0;
        return false;
    }
    if (n < 2) *minor = 0;
    return *major == kDatabaseMajorVersion;
}

std::uint16_t NameHash(std::string_view name, bool stop_at_comma, CharLengthFn char_length) {
    std::uint16_t h = 0;
    std::size_t i = 0;
    while (i < name.size()) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c == '.' || (stop_at_comma && c == ',')) break;
        unsigned value = c;
        std::size_t len = 1;
        if (c >= 0x80 && i + 1 < name.size() && char_length) {
            unsigned long bytes = c | (static_cast<unsigned long>(static_cast<unsigned char>(name[i + 1])) << 8);
            if (char_length(bytes) == 2) {
                value = c * 256u + static_cast<unsigned char>(name[i + 1]);
                len = 2;
            }
        }
        h = static_cast<std::uint16_t>(h * 4u + value - 65u);
        i += len;
    }
    return h;
}

void FindSections(std::FILE* file, char* block, SectionSpans* spans) {
    enum class Open { None, Apps, Ignore } open = Open::None;
    std::uint64_t block_start = 0;
    bool before_is_lf = true;  // the byte before the block (start of file: a line start)
    std::uint64_t file_end = 0;
    auto close_body = [&](std::uint64_t at) {
        if (open == Open::Apps) spans->app_length = at - spans->app_start;
        if (open == Open::Ignore) spans->ignore_length = at - spans->ignore_start;
        open = Open::None;
    };
    for (;;) {
        if (!SeekFile(file, block_start)) break;
        std::size_t n = std::fread(block, 1, kSectionBlockSize, file);
        file_end = block_start + n;
        if (n == 0) break;
        // A header in the last 16 bytes of a full block is left to the next
        // block, which begins 16 bytes back and so sees it whole.
        bool final = n < kSectionBlockSize;
        std::size_t limit = final ? n : n - kHeaderStepBack;
        for (std::size_t i = 0; i < limit; ++i) {
            if (block[i] != '[') continue;
            bool line_start = i == 0 ? before_is_lf : block[i - 1] == '\n';
            if (!line_start) continue;
            std::uint64_t at = block_start + i;
            close_body(at);
            std::size_t avail = n - i;
            if (avail >= kAppHeaderLen && std::memcmp(block + i, kAppHeader, kAppHeaderLen) == 0) {
                spans->app_start = at + kAppHeaderLen;
                spans->app_length = 0;
                open = Open::Apps;
            } else if (avail >= kIgnoreHeaderLen &&
                       std::memcmp(block + i, kIgnoreHeader, kIgnoreHeaderLen) == 0) {
                spans->ignore_start = at + kIgnoreHeaderLen;
                spans->ignore_length = 0;
                open = Open::Ignore;
            }
        }
        if (final) break;
        before_is_lf = block[limit - 1] == '\n';
        block_start += limit;
    }
    close_body(file_end);
}

ApplicationsDatabase::ApplicationsDatabase(const SoftwareEnv& env, Options options)
    : env_(env), options_(std::move(options)) {}

std::unique_ptr<char[]> ApplicationsDatabase::Allocate(std::size_t size) const {
    if (size > options_.memory_limit) return nullptr;
    return std::unique_ptr<char[]>(new (std::nothrow) char[size]);
}

bool ApplicationsDatabase::ReadAt(std::FILE* file, std::uint64_t offset, char* dst, std::size_t size) const {
    if (!SeekFile(file, offset)) return false;
    std::size_t done = 0;
    while (done < size) {
        std::size_t piece = std::min(kReadPiece, size - done);
        std::size_t got = std::fread(dst + done, 1, piece, file);
        done += got;
        if (got < piece) break;
    }
    // A file that shrank since the sections were found reads as blanks lines.
    if (done < size) std::memset(dst + done, '\n', size - done);
    return true;
}

void ApplicationsDatabase::ReadSettings() {
    auto read = [&](const char* key, const char* fallback) {
        std::string v = options_.profile ? options_.profile(key, fallback) : std::string(fallback);
        if (v.size() > kSettingValueMax) v.resize(kSettingValueMax);
        return v;
    };
    settings_.mode = read("Mode", "Listed");
    settings_.duplicate = UpperAscii(read("Duplicate", "On"));
    settings_.extensions = SplitExtensions(UpperAscii(read("ScanExtensions", "exe com dll")));
}

int ApplicationsDatabase::FirstLoad(const std::string& path, std::FILE* file) {
    // The caller opened the file only after the version test; see LoadPortion.
    std::unique_ptr<char[]> block = Allocate(kSectionBlockSize);
    if (!block) {
        env_.Message(env_.Text(kTxtInsufficientMemory));
        return kDbResultMemory;
    }
    FindSections(file, block.get(), &spans_);
    block.reset();

    if (spans_.ignore_start != 0) {
        std::size_t len = static_cast<std::size_t>(spans_.ignore_length);
        ignore_text_ = Allocate(len + 1);
        if (!ignore_text_) {
            env_.Message(env_.Text(kTxtInsufficientMemory));
            return kDbResultMemory;
        }
        ignore_text_[0] = '\n';
        ReadAt(file, spans_.ignore_start, ignore_text_.get() + 1, len);
        IndexIgnore(ignore_text_.get() + 1, len);
    }

    std::size_t size = static_cast<std::size_t>(spans_.app_length);
    for (;;) {
        portion_ = Allocate(size + 1);
        if (portion_ || size <= kMinPortionSize) break;
        std::size_t smaller = size / 2 + kPortionShrinkExtra;
        size = smaller >= kMinPortionSize ? smaller : kMinPortionSize;
    }
    if (!portion_ && size < kMinPortionSize) {
        size = kMinPortionSize;
        portion_ = Allocate(size + 1);
    }
    if (!portion_) {
        env_.Message(env_.Text(kTxtInsufficientMemory));
        return kDbResultMemory;
    }
    portion_size_ = size;
    next_offset_ = spans_.app_start;
    return kDbResultOk;
}

int ApplicationsDatabase::LoadPortion(const std::string& path) {
    if (!started_) {
        ReadSettings();
        int major = 0, minor = 0;
        std::string version = options_.profile ? options_.profile("Version", "1.0") : "1.0";
        if (!ParseDatabaseVersion(version, &major, &minor)) {
            env_.Message(FillTemplate(env_.Text(kTxtVersionMismatch),
                                      {kScannerMajorVersion, kScannerMinorVersion, major, minor}));
            return kDbResultVersion;
        }
    }
    errno = 0;
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        env_.FileError(path, errno);
        return kDbResultOpen;
    }
    if (!started_) {
        started_ = true;
        int r = FirstLoad(path, file.get());
        if (r != kDbResultOk) return r;
    }

    apps_.clear();
    std::uint64_t end = spans_.app_start + spans_.app_length;
    std::uint64_t left = spans_.app_start != 0 && end > next_offset_ ? end - next_offset_ : 0;
    char* text = portion_.get() + 1;
    portion_[0] = '\n';
    std::size_t used;
    if (left <= portion_size_) {
        used = static_cast<std::size_t>(left);
        ReadAt(file.get(), next_offset_, text, used);
        last_portion_ = true;
    } else {
        ReadAt(file.get(), next_offset_, text, portion_size_);
        used = KeepNameGroups(file.get(), text, portion_size_);
        last_portion_ = false;
    }
    next_offset_ += used;
    IndexApplications(text, used);
    return kDbResultOk;
}

// The NAME of the first entry line at or after file offset `at` in the
// [Applications] body, passing over comment and blank lines of any length.
// *complete is false when only the first kNamePeek bytes of a longer NAME
// were read. An empty NAME when the body ends first.
std::string ApplicationsDatabase::NextEntryName(std::FILE* file, std::uint64_t at, bool* complete) const {
    *complete = true;
    const std::uint64_t end = spans_.app_start + spans_.app_length;
    char peek[kNamePeek];
    bool in_skipped_line = false;
    while (at < end) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof peek, end - at));
        if (!SeekFile(file, at)) return {};
        const std::size_t got = std::fread(peek, 1, want, file);
        if (got == 0) return {};
        if (!in_skipped_line) {
            const char first = peek[0];
            if (first != '\r' && first != '\n' && first != ';') {
                std::string name(CutName(peek, got, complete));
                if (got < sizeof peek) *complete = true;
                return name;
            }
            in_skipped_line = true;
        }
        const char* lf = static_cast<const char*>(std::memchr(peek, '\n', got));
        if (lf) {
            at += static_cast<std::uint64_t>(lf - peek) + 1;
            in_skipped_line = false;
        } else {
            at += got;
        }
    }
    return {};
}

// How much of a full portion to keep: up to the start of the incomplete last
// line, and before that, before the lines that carry the same NAME as the
// line at the cut, so that the next portion begins with the whole group.
std::size_t ApplicationsDatabase::KeepNameGroups(std::FILE* file, const char* text,
                                                std::size_t size) const {
    const char* last_lf = nullptr;
    for (std::size_t i = size; i > 0; --i)
        if (text[i - 1] == '\n') {
            last_lf = text + i - 1;
            break;
        }
    if (!last_lf) return size;  // one line longer than the portion: cut it
    std::size_t tail = static_cast<std::size_t>(last_lf - text) + 1;

    // The NAME at the cut: that of the first entry line from the cut on
    // (comment and blank lines between the lines of a group are passed
    // over), taken from memory when it is whole there, else from the file.
    bool complete = false;
    std::string name;
    const char at_cut = tail < size ? text[tail] : '\n';
    if (at_cut != '\r' && at_cut != '\n' && at_cut != ';')
        name.assign(CutName(text + tail, size - tail, &complete));
    if (!complete) name = NextEntryName(file, next_offset_ + tail, &complete);
    if (name.empty()) return tail;

    // Comment and blank lines between the lines of a group go with it.
    std::size_t cut = tail, probe = tail;
    while (probe > 0) {
        std::size_t start = probe - 1;  // probe - 1 is the LF that ends the previous line
        while (start > 0 && text[start - 1] != '\n') --start;
        probe = start;
        char first = text[start];
        if (first == '\r' || first == '\n' || first == ';') continue;
        bool line_complete = false;
        std::string_view line_name = CutName(text + start, cut - start, &line_complete);
        bool same = complete ? line_name == name
                             : line_name.substr(0, name.size()) == name;
        if (!same) break;
        cut = start;
    }
    // A group longer than the portion cannot be kept together: split it.
    return cut > 0 ? cut : tail;
}

void ApplicationsDatabase::IndexApplications(const char* text, std::size_t size) {
    app_heads_.assign(kApplicationChains, -1);
    app_tails_.assign(kApplicationChains, -1);
    std::size_t lines = static_cast<std::size_t>(std::count(text, text + size, '\n')) + 1;
    apps_.clear();
    apps_.reserve(lines);
    EachLine(text, size, [&](std::string_view line) {
        if (line.size() <= kPrefixLen) return;
        ApplicationEntry e;
        e.type = static_cast<std::uint8_t>(line[1] & 0x1F);
        std::string_view rest = line.substr(kPrefixLen);
        e.name = Field(&rest);
        e.size = ParseSize(Field(&rest));
        e.description = Field(&rest);
        e.version = rest;
        std::size_t chain = NameHash(e.name, true, env_.char_length) % kApplicationChains;
        auto index = static_cast<std::int32_t>(apps_.size());
        apps_.push_back(e);
        if (app_tails_[chain] < 0) app_heads_[chain] = index;
        else apps_[static_cast<std::size_t>(app_tails_[chain])].next = index;
        app_tails_[chain] = index;
    });
}

void ApplicationsDatabase::IndexIgnore(const char* text, std::size_t size) {
    ignore_heads_.assign(kIgnoreChains, -1);
    ignore_tails_.assign(kIgnoreChains, -1);
    std::size_t lines = static_cast<std::size_t>(std::count(text, text + size, '\n')) + 1;
    ignores_.reserve(lines);
    EachLine(text, size, [&](std::string_view line) {
        if (line.size() <= kPrefixLen) return;
        IgnoreEntry e;
        e.type = static_cast<std::uint8_t>(line[1] & 0x1F);
        e.name = line.substr(kPrefixLen);
        std::size_t chain = NameHash(e.name, false, env_.char_length) % kIgnoreChains;
        auto index = static_cast<std::int32_t>(ignores_.size());
        ignores_.push_back(e);
        if (ignore_tails_[chain] < 0) ignore_heads_[chain] = index;
        else ignores_[static_cast<std::size_t>(ignore_tails_[chain])].next = index;
        ignore_tails_[chain] = index;
    });
}

void ApplicationsDatabase::Close() {
    portion_.reset();
    ignore_text_.reset();
    apps_.clear();
    apps_.shrink_to_fit();
    ignores_.clear();
    ignores_.shrink_to_fit();
    app_heads_.clear();
    ignore_heads_.clear();
}

bool ApplicationsDatabase::LookupIgnoredName(std::string_view name) const {
    if (ignore_heads_.empty()) return false;
    std::size_t chain = NameHash(name, false, env_.char_length) % kIgnoreChains;
    for (std::int32_t i = ignore_heads_[chain]; i >= 0; i = ignores_[static_cast<std::size_t>(i)].next)
        if (EqualNoCase(ignores_[static_cast<std::size_t>(i)].name, name)) return true;
    return false;
}

LookupResult ApplicationsDatabase::LookupApplication(std::string_view name, std::uint32_t size) {
    LookupResult r;
    if (app_heads_.empty()) return r;
    bool dup_off = settings_.duplicate_off();
    std::size_t chain = NameHash(name, false, env_.char_length) % kApplicationChains;
    for (std::int32_t i = app_heads_[chain]; i >= 0; i = apps_[static_cast<std::size_t>(i)].next) {
        ApplicationEntry& e = apps_[static_cast<std::size_t>(i)];
        if (!SameApplicationName(e.name, name)) continue;
        r.name_entry = &e;
        name_seen_ = true;
        if (e.size == size || e.size == 1) {
            r.exact_kind = true;
            r.exact = &e;
            if (e.exact_mark && dup_off) r.name_entry = nullptr;
            else e.exact_mark = true;
            return r;
        }
        if (e.name_mark && dup_off) r.name_entry = nullptr;
        else e.name_mark = true;
    }
    return r;
}

std::vector<std::int32_t> ApplicationsDatabase::ApplicationChain(std::uint16_t hash) const {
    std::vector<std::int32_t> out;
    if (app_heads_.empty()) return out;
    for (std::int32_t i = app_heads_[hash % kApplicationChains]; i >= 0;
         i = apps_[static_cast<std::size_t>(i)].next)
        out.push_back(i);
    return out;
}

}  // namespace qv::scanner
