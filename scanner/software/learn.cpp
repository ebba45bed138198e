// Learning mode: the learning file, the prompts and the database rewrite.
#include "scanner/software/learn.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>

namespace qv::scanner {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

constexpr int kTempAttempts = 26 * 26;

std::string DirectoryOf(const std::string& path) {
    std::size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

bool Exists(const std::string& path) {
    File f(std::fopen(path.c_str(), "rb"));
    return f != nullptr;
}

// A name "QA" / "QI" and six characters that is not in use in `dir`.
bool TempName(const std::string& dir, const char* prefix, std::string* path) {
    static unsigned serial = static_cast<unsigned>(std::time(nullptr));
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        unsigned v = serial++ * 2654435761u;
        std::string name = prefix;
        for (int i = 0; i < 6; ++i) {
            name += static_cast<char>('A' + v % 26);
            v /= 26;
        }
        *path = dir + name;
        if (!Exists(*path)) return true;
    }
    errno = EEXIST;
    return false;
}

// Copies from `in` to `out` with every LF written as CR LF (a CR LF stays as
// it is). With `header`, stops after the first whole line that equals it and
// returns whether it was found; without, copies to the end.
bool CopyLines(std::FILE* in, std::FILE* out, std::string_view header) {
    std::string line;
    int c;
    bool prev_cr = false;
    while ((c = std::getc(in)) != EOF) {
        if (c == '\n') {
            if (!prev_cr) std::putc('\r', out);
            std::putc('\n', out);
            if (!header.empty()) {
                std::string_view content(line);
                if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
                if (content == header) return true;
                line.clear();
            }
            prev_cr = false;
            continue;
        }
        std::putc(c, out);
        prev_cr = c == '\r';
        if (!header.empty() && line.size() <= header.size() + 1) line += static_cast<char>(c);
    }
    return header.empty();
}

int Rewrite(const SoftwareEnv& env, SoftwarePlatform& platform, const std::string& database,
            const char* prefix, std::string_view header, const std::string& new_line) {
    errno = 0;
    File db(std::fopen(database.c_str(), "r+b"));
    if (!db) {
        env.FileError(database, errno);
        return kLearnFileError;
    }
    std::string temp;
    if (!TempName(DirectoryOf(database), prefix, &temp)) {
        env.FileError(env.Text(kTxtNoTempFile), errno);
        return kLearnFileError;
    }
    errno = 0;
    File out(std::fopen(temp.c_str(), "wb"));
    if (!out) {
        env.FileError(temp, errno);
        return kLearnFileError;
    }
    if (!CopyLines(db.get(), out.get(), header)) {
        out.reset();
        std::remove(temp.c_str());
        return kLearnNoSection;
    }
    std::fputs(new_line.c_str(), out.get());
    std::fputs("\r\n", out.get());
    CopyLines(db.get(), out.get(), {});
    bool read_ok = !std::ferror(db.get());
    db.reset();
    errno = 0;
    bool write_ok = std::fflush(out.get()) == 0 && !std::ferror(out.get());
    int error = errno;
    write_ok = (std::fclose(out.release()) == 0) && write_ok;
    if (!read_ok || !write_ok) {
        std::remove(temp.c_str());
        env.FileError(read_ok ? temp : database, error ? error : EIO);
        return kLearnFileError;
    }
    if (!platform.ReplaceFile(temp, database)) {
        error = errno;
        std::remove(temp.c_str());
        env.FileError(database, error ? error : EACCES);
        return kLearnFileError;
    }
    return kLearnOk;
}

}  // namespace

int AddApplicationLine(const SoftwareEnv& env, SoftwarePlatform& platform, std::string_view name,
                       long long size, std::string_view description, std::string_view version,
                       const std::string& database) {
    std::string line = FillTemplate("<I>,%s,%ld,%s,%s", {name, size, description, version});
    return Rewrite(env, platform, database, kTempAppPrefix, "[Applications]", line);
}

int AddIgnoreLine(const SoftwareEnv& env, SoftwarePlatform& platform, std::string_view name,
                  const std::string& database) {
    return Rewrite(env, platform, database, kTempIgnorePrefix, "[Ignore]", FillTemplate("<I>,%s", {name}));
}

Learner::Learner(const SoftwareEnv& env, SoftwarePlatform& platform, std::string learning_value,
                 std::string database, std::FILE* learning_file)
    : env_(env), platform_(platform), value_(std::move(learning_value)),
      database_(std::move(database)), file_(learning_file) {}

int Learner::HandleUnknownFile(const DirEntry& entry, std::string_view directory,
                               const ApplicationEntry* name_entry) {
    if (value_ == ":") return Interactive(entry, directory, name_entry);
    if (!file_) return 0;
    const long long size = static_cast<long long>(entry.size);
    std::string line = name_entry
        ? FillTemplate(env_.Label(kLblLearnKnown), {entry.name, size, name_entry->description})
        : FillTemplate(env_.Label(kLblLearnUnknown), {entry.name, size});
    std::fputs(line.c_str(), file_);
    std::fflush(file_);
    return 0;
}

std::string Learner::Answer() {
    std::string line;
    if (!env_.console->ReadLine(&line)) line.clear();
    if (line.size() > kAnswerMax) line.resize(kAnswerMax);
    return line;
}

int Learner::Interactive(const DirEntry& entry, std::string_view directory,
                         const ApplicationEntry* name_entry) {
    SoftwareConsole& con = *env_.console;
    const long long size = static_cast<long long>(entry.size);
    con.Out(FillTemplate(env_.Text(kTxtUnknownFile), {entry.name, directory, size}));
    if (name_entry) {
        con.Out(FillTemplate(env_.Text(kTxtUnrecognizedVersion), {name_entry->description}));
        con.Out(env_.Text(kTxtEnterVersionOrIgnore));
        std::string version = Answer();
        if (version.empty()) return 0;
        return AddApplicationLine(env_, platform_, entry.name, size, name_entry->description, version,
                                  database_);
    }
    con.Out(env_.Text(kTxtChoice1) + "\n" + env_.Text(kTxtChoice2) + "\n" + env_.Text(kTxtChoice3) +
            "\n" + env_.Text(kTxtChoicePrompt));
    int key;
    for (;;) {
        key = con.ReadKey();
        if (key < 0) return 0;  // no more input: nothing is added
        if (key == '1' || key == '2' || key == '3') break;
        con.Out("\a\b \b");
    }
    if (key == '1') {
        con.Out(env_.Text(kTxtEnterDescription));
        std::string description = Answer();
        con.Out(env_.Text(kTxtEnterVersion));
        std::string version = Answer();
        return AddApplicationLine(env_, platform_, entry.name, size, description, version, database_);
    }
    if (key == '2') return AddIgnoreLine(env_, platform_, entry.name, database_);
    return 0;
}

}  // namespace qv::scanner
