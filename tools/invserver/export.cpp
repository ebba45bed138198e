#include "tools/invserver/export.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "tools/invserver/glpi.h"

namespace qv::invserver {

namespace {

// Writes a whole file under a temporary name, flushed to disk, then renamed
// over the old one: a reader (GLPI's injector) sees the old or the new
// document, never half of one. False with errno set.
bool WriteFileAtomic(const std::string& path, const std::string& data) {
    const std::string tmp = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        done += static_cast<std::size_t>(n);
    }
    bool ok = done == data.size() && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        const int error = errno;
        ::unlink(tmp.c_str());
        errno = error;
    }
    return ok;
}

// What the document is made of: the device's ID (its name in the store when
// the scanner sent none), when the inventory arrived, and its flat file.
bool Source(Store& store, std::int64_t inventory, GlpiSource* source, std::string* err) {
    std::vector<DbRow> rows;
    if (!store.db().QueryRows("SELECT d.device_id, d.name, i.received FROM inventories i"
                              " JOIN devices d ON d.id = i.device WHERE i.id = ?",
                              {DbValue::Int(inventory)}, &rows)) {
        *err = "database " + store.db().where() + ": " + store.db().error();
        return false;
    }
    if (rows.empty()) {
        *err = "no inventory " + std::to_string(inventory);
        return false;
    }
    source->device_id = rows[0][0].AsText();
    if (source->device_id.empty()) source->device_id = rows[0][1].AsText();
    const std::time_t received = static_cast<std::time_t>(rows[0][2].AsInt());
    std::tm tm{};
    char when[32];
    if (received > 0 && gmtime_r(&received, &tm) && std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm))
        source->received = when;
    if (!store.RebuildFlat(inventory, &source->flat)) {
        *err = "cannot read inventory " + std::to_string(inventory) + ": " + store.db().error();
        return false;
    }
    return true;
}

}  // namespace

bool ExportInventory(Store& store, std::int64_t inventory, std::string* json, std::string* err) {
    GlpiSource source;
    if (!Source(store, inventory, &source, err)) return false;
    *json = GlpiInventoryJson(source);
    return true;
}

bool ExportToDir(Store& store, std::int64_t inventory, const std::string& dir, std::string* path,
                 std::string* err) {
    GlpiSource source;
    if (!Source(store, inventory, &source, err)) return false;
    *path = dir + "/" + GlpiFileName(source.device_id) + ".json";
    if (!WriteFileAtomic(*path, GlpiInventoryJson(source))) {
        *err = "cannot write " + *path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace qv::invserver
