// Fakes shared by the software inventory tests: a console with scripted
// input, an output that records items and rows, a profile, a fake directory
// tree, a platform with chosen fixed drives, and a scratch folder.
#pragma once

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "scanner/software/software.h"
#include "scanner/software/walk.h"

namespace qv::scanner::test {

struct FakeConsole : SoftwareConsole {
    std::string out, err;
    std::deque<int> keys;
    std::deque<std::string> lines;
    void Out(std::string_view t) override { out += t; }
    void Err(std::string_view t) override { err += t; }
    int ReadKey() override {
        if (keys.empty()) return -1;
        int k = keys.front();
        keys.pop_front();
        out += static_cast<char>(k);  // echo
        return k;
    }
    bool ReadLine(std::string* line) override {
        if (lines.empty()) return false;
        *line = lines.front();
        lines.pop_front();
        out += *line + "\n";
        return true;
    }
};

struct FakeOutput : SoftwareOutput {
    std::vector<std::string> items;   // "key|value"
    std::vector<std::string> rows;    // "class|row"
    std::vector<std::string> blocks;  // "size,time,name,directory|text"
    void Item(std::string_view k, std::string_view v) override {
        items.push_back(std::string(k) + "|" + std::string(v));
    }
    void Row(const char* c, std::string_view r) override { rows.push_back(std::string(c) + "|" + std::string(r)); }
    void Record(const ContentsRecord& r) override {
        blocks.push_back(std::string(r.size) + "," + r.time + "," + r.name + "," + r.directory + "|");
    }
    void Text(ByteSource& s) override {
        std::uint8_t buf[256];
        std::size_t n;
        while ((n = s.Read(buf, sizeof buf)) > 0) blocks.back().append(reinterpret_cast<char*>(buf), n);
    }
};

struct Env {
    FakeConsole console;
    FakeOutput output;
    SoftwareEnv env;
    std::map<std::string, std::string> profile;
    Env() {
        env.console = &console;
        env.output = &output;
    }
    ProfileReader Reader() {
        return [this](const char* key, const char* fallback) {
            auto it = profile.find(key);
            return it == profile.end() ? std::string(fallback) : it->second;
        };
    }
};

// A scratch folder removed at the end of the test.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        char tmpl[] = "/tmp/qvswXXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string Write(const std::string& name, const std::string& bytes) const {
        std::string p = (path / name).string();
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    static std::string Read(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

// A directory tree in memory: path "C:\DIR\" -> its entries in listing order.
struct FakeTree : DirectorySource {
    std::map<std::string, std::vector<DirEntry>> dirs;
    std::vector<std::string> opened;
    struct Listing {
        const std::vector<DirEntry>* entries;
        std::size_t next;
    };
    void Add(const std::string& dir, const std::string& name, bool directory, std::uint64_t size,
             std::uint64_t time = 0) {
        DirEntry e;
        std::snprintf(e.name, sizeof e.name, "%s", name.c_str());
        e.directory = directory;
        e.size = size;
        e.write_time = time;
        dirs[dir].push_back(e);
        if (directory) dirs[dir + name + "\\"];
    }
    void* Open(const char* pattern, DirEntry* first) override {
        std::string p = pattern;
        opened.push_back(p);
        std::string dir = p.substr(0, p.size() - 3);
        auto it = dirs.find(dir);
        if (it == dirs.end() || it->second.empty()) return nullptr;
        *first = it->second[0];
        return new Listing{&it->second, 1};
    }
    bool Next(void* h, DirEntry* e) override {
        auto* l = static_cast<Listing*>(h);
        if (l->next >= l->entries->size()) return false;
        *e = (*l->entries)[l->next++];
        return true;
    }
    void Close(void* h) override { delete static_cast<Listing*>(h); }
};

struct FakePlatform : StdPlatform {
    std::string fixed = "C";
    bool replace_fails = false;
    std::map<std::string, std::pair<std::uint32_t, std::uint64_t>> files;  // when not empty: FileStatus answers from here
    std::vector<std::string> probed;
    bool IsFixedDrive(char letter) override { return fixed.find(letter) != std::string::npos; }
    bool FileStatus(const std::string& path, std::uint32_t* time, std::uint64_t* size) override {
        probed.push_back(path);
        if (files.empty()) return StdPlatform::FileStatus(path, time, size);
        auto it = files.find(path);
        if (it == files.end()) return false;
        *time = it->second.first;
        *size = it->second.second;
        return true;
    }
    bool ReplaceFile(const std::string& from, const std::string& to) override {
        if (replace_fails) return false;
        return StdPlatform::ReplaceFile(from, to);
    }
};

}  // namespace qv::scanner::test
