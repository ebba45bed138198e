// Fuzz target for the slave's request decoder and command handling.
//
// The input is a run of requests as they would arrive from a console: each
// one is a 2-byte little-endian length (taken modulo 600, so that packets
// longer than the 504-byte request buffer are tried too) followed by that
// many bytes. Every request goes through FtSession::Receive and Handle
// against a small in-memory file system that aborts on any misuse of a
// descriptor or search. Every reply must encode to 14 + length bytes with
// a length of at most 496, decode again unchanged, a listing block must
// end with its terminating zero, a size must be 4 bytes, and no block of an
// upload or download that already failed may be answered with status 0.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "slave/ft_protocol.h"
#include "slave/ft_session.h"

namespace {

using namespace qv::slave;
using namespace qv::ft;

[[noreturn]] void Fail() { std::abort(); }

class FuzzFs final : public FileSystem {
public:
    FuzzFs() {
        files_["C:\\A.TXT"] = std::string(1000, 'a');
        files_["C:\\E.BIN"] = std::string(496, 'e');
        files_["C:\\Z"] = "";
        files_["C:\\HUGE"] = "";  // its length says 5 GiB
    }
    DriveKind DriveType(char l) override {
        switch (l) {
        case 'A': return DriveKind::kRemovable;
        case 'C': return DriveKind::kFixed;
        case 'N': return DriveKind::kRemote;
        default: return DriveKind::kNoDrive;
        }
    }
    int CurrentDrive() override { return drive_; }
    void ChangeDrive(int d) override {
        if (d == 1 || d == 3) drive_ = d;
    }
    uint32_t OpenRead(const std::string& p, int* fd) override {
        if (!files_.count(p)) return 2;
        return Open(p, fd);
    }
    uint32_t OpenWrite(const std::string& p, int* fd) override {
        if (p.size() > 300) return 206;
        files_[p].clear();
        return Open(p, fd);
    }
    uint32_t Read(int fd, uint8_t* buf, std::size_t n, std::size_t* got) override {
        auto it = open_.find(fd);
        if (it == open_.end()) Fail();
        const std::string& b = files_[it->second.first];
        std::size_t& pos = it->second.second;
        *got = pos < b.size() ? std::min(n, b.size() - pos) : 0;
        std::memcpy(buf, b.data() + pos, *got);
        pos += *got;
        return 0;
    }
    uint32_t Write(int fd, const uint8_t* buf, std::size_t n, std::size_t* put) override {
        auto it = open_.find(fd);
        if (it == open_.end() || n > kBlockSize) Fail();
        std::string& b = files_[it->second.first];
        // The disk fills up after 4000 bytes in one file: short writes too.
        *put = b.size() >= 4000 ? 0 : std::min(n, 4000 - b.size());
        b.append(reinterpret_cast<const char*>(buf), *put);
        return *put < n && n % 2 ? 112 : 0;
    }
    void Close(int fd) override {
        if (open_.erase(fd) != 1) Fail();
    }
    uint32_t Length(int fd, uint64_t* len) override {
        auto it = open_.find(fd);
        if (it == open_.end()) Fail();
        *len = it->second.first == "C:\\HUGE" ? 0x140000000ull : files_[it->second.first].size();
        return 0;
    }
    bool Exists(const std::string& p) override { return files_.count(p) != 0; }
    uint32_t LastWriteDos(const std::string& p, uint16_t* d, uint16_t* t) override {
        if (!files_.count(p)) return 2;
        *d = 0x2521;
        *t = 0x6000;
        return 0;
    }
    void StampDos(const std::string&, uint16_t, uint16_t) override {}  // a missing file: ignored, as on Windows
    uint32_t MakeDir(const std::string& p) override { return p.empty() ? 3 : 0; }
    std::string CurrentDir() override { return std::string(300, 'D'); }  // longer than a reply holds
    uint32_t Delete(const std::string& p) override {
        // Windows refuses to delete a file that is open (sharing violation).
        for (const auto& [fd, f] : open_)
            if (f.first == p) return 32;
        return files_.erase(p) ? 0 : 2;
    }
    bool FindFirst(const std::string& pattern, FindEntry* e) override {
        if (searching_) Fail();  // one search at a time, closed before a new one
        if (pattern.empty() || pattern[0] != 'C') return false;
        // Names of every length from 1 to 300, files and directories mixed.
        next_ = 0;
        searching_ = true;
        return FindNext(e);
    }
    bool FindNext(FindEntry* e) override {
        if (!searching_) Fail();
        if (next_ >= 300) return false;
        ++next_;
        e->name = std::string(static_cast<std::size_t>(next_), static_cast<char>('A' + next_ % 26));
        e->attrib = next_ % 3 == 0 ? kAttrDirectory : next_ % 5 == 0 ? kAttrHidden : kAttrArchive;
        return true;
    }
    void FindClose() override {
        if (!searching_) Fail();
        searching_ = false;
    }
    bool Probe(const std::string& pattern, FindEntry* e) override {
        if (pattern.empty() || pattern[0] != 'C') return false;
        e->name = "X";
        e->attrib = kAttrDirectory;
        return true;
    }

private:
    uint32_t Open(const std::string& p, int* fd) {
        *fd = next_fd_++;
        open_[*fd] = {p, 0};
        return 0;
    }
    std::map<std::string, std::string> files_;
    std::map<int, std::pair<std::string, std::size_t>> open_;
    int next_fd_ = 3;
    int drive_ = 3;
    bool searching_ = false;
    int next_ = 0;
};

class NullUi final : public SlaveUi {
public:
    std::string Text(int) override { return "t"; }
    void AddLine(const std::string& l) override {
        if (l.size() > 2000) Fail();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzFs fs;
    NullUi ui;
    FtSession s(fs, ui);
    size_t i = 0;
    bool upload_failed = false, download_failed = false;
    while (i + 2 <= size) {
        size_t n = (data[i] | (static_cast<size_t>(data[i + 1]) << 8)) % 600;
        i += 2;
        if (n > size - i) n = size - i;
        s.Receive(data + i, n);
        i += n;
        FtSession::Outcome o = s.Handle();
        const Reply& r = s.reply();
        if (r.length > kBlockSize) Fail();
        uint8_t out[kReplyMax];
        const size_t len = s.EncodeReply(out);
        if (len != kReplyHeader + r.length) Fail();
        Reply back;
        if (!back.Decode(out, len) || back.command != r.command || back.sequence != r.sequence ||
            back.length != r.length || std::memcmp(back.data.data(), r.data.data(), r.length) != 0)
            Fail();
        const bool listing = r.command == FT_FILE_INFO || r.command == FT_MORE_FILE_INFO;
        if (o.reply && listing && r.status == 0 && (r.length == 0 || r.data[r.length - 1] != 0)) Fail();
        const uint16_t cmd = s.request().command;
        if (cmd == FT_FILE_SIZE && r.status == 0 && r.length != 4) Fail();
        // Once a transfer failed, no later block of it is answered as good
        // until a new file is created or a new download starts.
        if (cmd == FT_CREATE_FILE || cmd == FT_CREATE_NEW_FILE) {
            if (r.status == 0) upload_failed = false;
        } else if (cmd == FT_WRITE_BLOCK) {
            if (upload_failed && r.status == 0) Fail();
            upload_failed = r.status != 0;
        } else if (cmd == FT_SEND_FILE) {
            download_failed = r.status != 0;
        } else if (cmd == FT_SEND_NEXT_BLOCK) {
            if (download_failed && r.status == 0) Fail();
            download_failed = r.status != 0;
        }
        if (o.terminate) break;
    }
    s.CloseOpenFile();
    return 0;
}
