// An in-memory FileSystem and status list for the tests of the slave's
// protocol logic and of the console that drives it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "slave/slave_fs.h"
#include "slave/texts.h"

namespace qv::slave::testing {

struct MemFile {
    std::string bytes;
    uint16_t date = 0, time = 0;
};

class MemFs : public FileSystem {
public:
    std::map<char, DriveKind> drives{{'A', DriveKind::kRemovable}, {'C', DriveKind::kFixed},
                                     {'F', DriveKind::kRemote}};
    std::map<std::string, MemFile> files;
    std::map<std::string, std::vector<FindEntry>> listings;  // pattern -> entries in order
    int current = 3;
    int next_fd = 3;
    std::map<int, std::pair<std::string, std::size_t>> open;  // fd -> path, position
    std::size_t disk_left = SIZE_MAX;                          // bytes before the disk is full
    uint32_t write_error = 0;                                  // status when the disk is full
    uint32_t read_error = 0;                                   // status of every read when set
    int finds_open = 0;
    std::vector<std::string> stamped;

    DriveKind DriveType(char l) override { return drives.count(l) ? drives[l] : DriveKind::kNoDrive; }
    int CurrentDrive() override { return current; }
    void ChangeDrive(int d) override {
        if (drives.count(static_cast<char>('A' + d - 1))) current = d;
    }
    uint32_t OpenRead(const std::string& p, int* fd) override {
        if (!files.count(p)) return 2;
        *fd = next_fd++;
        open[*fd] = {p, 0};
        return 0;
    }
    uint32_t OpenWrite(const std::string& p, int* fd) override {
        if (p.find("readonly") != std::string::npos) return 5;
        files[p] = MemFile{};
        *fd = next_fd++;
        open[*fd] = {p, 0};
        return 0;
    }
    uint32_t Read(int fd, uint8_t* buf, std::size_t n, std::size_t* got) override {
        auto& [p, pos] = open.at(fd);
        if (read_error) return read_error;
        const std::string& b = files[p].bytes;
        *got = std::min(n, b.size() - pos);
        std::copy_n(b.data() + pos, *got, buf);
        pos += *got;
        return 0;
    }
    uint32_t Write(int fd, const uint8_t* buf, std::size_t n, std::size_t* put) override {
        auto& [p, pos] = open.at(fd);
        *put = std::min(n, disk_left);
        disk_left -= *put;
        files[p].bytes.append(reinterpret_cast<const char*>(buf), *put);
        pos += *put;
        return *put < n ? write_error : 0;
    }
    void Close(int fd) override { ASSERT_EQ(open.erase(fd), 1u) << "closed twice"; }
    std::map<std::string, uint64_t> sizes;  // lengths of files too big to hold, by path
    uint32_t Length(int fd, uint64_t* len) override {
        const std::string& p = open.at(fd).first;
        *len = sizes.count(p) ? sizes[p] : files[p].bytes.size();
        return 0;
    }
    bool Exists(const std::string& p) override { return files.count(p) != 0; }
    uint32_t LastWriteDos(const std::string& p, uint16_t* d, uint16_t* t) override {
        if (!files.count(p)) return 2;
        *d = files[p].date;
        *t = files[p].time;
        return 0;
    }
    void StampDos(const std::string& p, uint16_t d, uint16_t t) override {
        files[p].date = d;
        files[p].time = t;
        stamped.push_back(p);
    }
    uint32_t MakeDir(const std::string& p) override { return p == "C:\\EXISTS" ? 183 : 0; }
    std::string CurrentDir() override { return "C:\\WORK"; }
    uint32_t Delete(const std::string& p) override {
        for (const auto& [fd, f] : open)
            if (f.first == p) return 32;  // open: a sharing violation, as on Windows
        return files.erase(p) ? 0 : 2;
    }

    std::vector<FindEntry> found;
    std::size_t found_pos = 0;
    bool FindFirst(const std::string& pattern, FindEntry* e) override {
        found = listings[pattern];
        found_pos = 0;
        if (found.empty()) return false;
        ++finds_open;
        *e = found[found_pos++];
        return true;
    }
    bool FindNext(FindEntry* e) override {
        if (found_pos >= found.size()) return false;
        *e = found[found_pos++];
        return true;
    }
    void FindClose() override { --finds_open; }
    bool Probe(const std::string& pattern, FindEntry* e) override {
        auto it = listings.find(pattern);
        if (it == listings.end() || it->second.empty()) return false;
        *e = it->second.front();
        return true;
    }
};

class Ui : public SlaveUi {
public:
    std::vector<std::string> lines;
    std::string Text(int id) override { return DefaultTextFor(id); }
    void AddLine(const std::string& l) override { lines.push_back(l); }
};

}  // namespace qv::slave::testing
