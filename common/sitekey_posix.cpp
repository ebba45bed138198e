#include "common/sitekey_posix.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qv::sitekey {

namespace {

std::string ErrnoText(int e) { return std::strerror(e); }

}  // namespace

bool PosixKeyFileAccess::Read(const std::string& path, std::size_t max_bytes, std::string* data,
                              std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = ErrnoText(errno);
        return false;
    }
    data->assign(max_bytes + 1, '\0');
    std::size_t got = 0;
    while (got < data->size()) {
        const ssize_t n = ::read(fd, data->data() + got, data->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = ErrnoText(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    data->resize(got);
    return true;
}

bool PosixKeyFileAccess::OpenToOthers(const std::string& path, std::string* who, std::string* error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        *error = ErrnoText(errno);
        return false;
    }
    const bool group = (st.st_mode & (S_IRGRP | S_IWGRP)) != 0;
    const bool other = (st.st_mode & (S_IROTH | S_IWOTH)) != 0;
    if (!group && !other) return false;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *who = std::string(group && other ? "group and others" : group ? "group" : "others") + ", mode " + mode +
           "; chmod 600 " + path;
    return true;
}

bool WriteNewKeyFile(const std::string& path, std::string* error) {
    Key key{};
    std::size_t got = 0;
    while (got < key.size()) {
        const ssize_t n = ::getrandom(key.data() + got, key.size() - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = "no random bytes from the system: " + ErrnoText(errno);
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    // O_EXCL with O_CREAT also refuses a symbolic link, dangling or not.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int e = errno;
        *error = e == EEXIST ? "it already exists; a key file is never overwritten" : ErrnoText(e);
        return false;
    }
    // The umask may only take bits away; set the mode outright all the same.
    const std::string text = Format(key);
    bool ok = ::fchmod(fd, 0600) == 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              ::fsync(fd) == 0;
    int e = errno;
    if (::close(fd) != 0 && ok) {
        e = errno;
        ok = false;
    }
    if (!ok) {
        *error = ErrnoText(e);
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

}  // namespace qv::sitekey
