// The inventory server's files (layout in storage.h).
#include "tools/invserver/storage.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/invserver/escape.h"

namespace qv::invserver {

static bool MakeDir(const std::string& path) {
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool ReadWholeFile(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return true;
}

bool WriteFileAtomic(const std::string& path, const std::string& data) {
    std::string tmp = path + ".tmp." + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

Storage::Storage(std::string root) : root_(std::move(root)) {}

bool Storage::Init() { return MakeDir(root_); }

std::string Storage::KeyForNumber(std::uint64_t number) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "dev-%04X%08X", static_cast<unsigned>((number >> 32) & 0xFFFF),
                  static_cast<unsigned>(number & 0xFFFFFFFFu));
    return buf;
}

std::uint64_t Storage::AssignNumber() {
    std::string text;
    std::uint64_t next = 1;
    if (ReadWholeFile(root_ + "/next-number", &text)) {
        next = std::strtoull(text.c_str(), nullptr, 10);
        if (next == 0) next = 1;
    }
    // Never hand out a number whose folder exists already.
    struct stat st;
    while (::stat(DevicePath(KeyForNumber(next)).c_str(), &st) == 0) ++next;
    // The folder is the number's claim: made here (not found), and the next
    // number written, or the number is not handed out at all.
    const std::string folder = DevicePath(KeyForNumber(next));
    if (::mkdir(folder.c_str(), 0755) != 0) return 0;
    if (!WriteFileAtomic(root_ + "/next-number", std::to_string(next + 1) + "\n")) {
        const int error = errno;
        ::rmdir(folder.c_str());
        errno = error;
        return 0;
    }
    return next;
}

std::string Storage::KeyForId(const std::string& id) const {
    if (id.size() >= 12) {
        std::string digits = id.substr(id.size() - 12);
        bool hex = true;
        for (char c : digits) hex = hex && ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
        struct stat st;
        if (hex && ::stat(DevicePath("dev-" + digits).c_str(), &st) == 0) return "dev-" + digits;
    }
    std::string key = "id-";
    for (unsigned char c : id)
        key += (std::isalnum(c) || c == '-' || c == '_' || c == '.') && c < 128 ? static_cast<char>(c) : '_';
    if (key == "id-") key += "_";
    return key;
}

std::vector<Storage::IndexLine> Storage::ReadIndex(const std::string& key) const {
    std::vector<IndexLine> out;
    std::ifstream in(DevicePath(key) + "/config.index");
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::size_t start = 0;
        for (;;) {
            std::size_t tab = line.find('\t', start);
            f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        if (f.size() != 5) continue;
        out.push_back({static_cast<std::uint32_t>(std::strtoul(f[0].c_str(), nullptr, 10)),
                       static_cast<std::uint32_t>(std::strtoul(f[1].c_str(), nullptr, 10)), f[2], f[3],
                       f[4]});
    }
    return out;
}

std::vector<serverlink::ConfigEntry> Storage::ConfigFiles(const std::string& key) const {
    std::vector<serverlink::ConfigEntry> out;
    for (const IndexLine& l : ReadIndex(key)) out.push_back({l.directory, l.name, l.time, l.size});
    return out;
}

long Storage::LastFileCount(const std::string& key) const {
    std::string flat;
    if (!ReadWholeFile(DevicePath(key) + "/inventory.txt", &flat)) return -1;
    static const std::string label = "Number of Files =";
    std::size_t at = flat.find(label);
    if (at == std::string::npos || (at != 0 && flat[at - 1] != '\n')) return -1;
    return std::strtol(flat.c_str() + at + label.size(), nullptr, 10);
}

static bool SafeText(const std::string& s) {
    for (char c : s)
        if (c == '\t' || c == '\n' || c == '\r') return false;
    return true;
}

bool Storage::StoreInventory(const std::string& key, const std::string& device_id,
                             const StreamDecoder& stream) {
    std::string dir = DevicePath(key);
    if (!MakeDir(dir) || !MakeDir(dir + "/config")) return false;

    // Captured files: newer captures replace older ones of the same path;
    // files not sent this time (unchanged) are kept.
    std::vector<IndexLine> index = ReadIndex(key);
    for (const CapturedFile& f : stream.files()) {
        if (!SafeText(f.directory) || !SafeText(f.name)) continue;
        IndexLine* slot = nullptr;
        for (IndexLine& l : index)
            if (l.directory == f.directory && l.name == f.name) slot = &l;
        if (!slot) {
            index.push_back({0, 0, f.directory, f.name, std::to_string(index.size()) + ".dat"});
            slot = &index.back();
        }
        if (!WriteFileAtomic(dir + "/config/" + slot->data, f.contents)) return false;
        slot->time = f.time;
        slot->size = f.size;
    }
    std::string text;
    for (const IndexLine& l : index)
        text += std::to_string(l.time) + "\t" + std::to_string(l.size) + "\t" + l.directory + "\t" +
                l.name + "\t" + l.data + "\n";
    if (!WriteFileAtomic(dir + "/config.index", text)) return false;
    if (!WriteFileAtomic(dir + "/inventory.txt", stream.flat())) return false;
    char when[64];
    std::time_t now = std::time(nullptr);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::gmtime(&now));
    // The ID is the peer's text: escaped, it stays one line.
    return WriteFileAtomic(dir + "/device.txt", "Device ID = " + FileText(device_id) + "\nLast inventory = " +
                                                   when + " UTC\nItems = " +
                                                   std::to_string(stream.items()) + "\n");
}

}  // namespace qv::invserver
