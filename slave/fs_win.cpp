// FileSystem on Windows; see fs_win.h.
//
// Statuses are Windows system error codes: the C runtime keeps the code of
// the Win32 call that failed in _doserrno, which is cleared before each call.
// Descriptors handed to the protocol logic are the runtime's descriptor + 1,
// because the logic treats only values above 0 as open and a window program
// may well get descriptor 0 for its first file.
#include "slave/fs_win.h"

#include <windows.h>

#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "common/win/handles.h"

namespace qv::slave {
namespace {

// Sets the system error mode for the duration of one access, then back to 0.
class ErrorModeScope {
public:
    explicit ErrorModeScope(UINT mode = SEM_FAILCRITICALERRORS) { ::SetErrorMode(mode); }
    ~ErrorModeScope() { ::SetErrorMode(0); }
    ErrorModeScope(const ErrorModeScope&) = delete;
    ErrorModeScope& operator=(const ErrorModeScope&) = delete;
};
constexpr UINT kWriteErrorMode = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;

// The system error code of the failed runtime call. When the runtime
// refused the call itself (no system call failed, so _doserrno is 0), its
// errno is told as the system code of the same meaning, so that the console
// never hears of a failure that did not happen (a missing file for a full
// descriptor table, say).
uint32_t DosError(uint32_t fallback) {
    unsigned long e = _doserrno;
    if (e != 0) return static_cast<uint32_t>(e);
    switch (errno) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EMFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    default: return fallback;
    }
}

class WinFs final : public FileSystem {
public:
    DriveKind DriveType(char letter) override {
        const char root[] = {letter, ':', '\\', 0};
        ErrorModeScope mode;
        switch (::GetDriveTypeA(root)) {
        case DRIVE_REMOVABLE: return DriveKind::kRemovable;
        case DRIVE_FIXED: return DriveKind::kFixed;
        case DRIVE_REMOTE: return DriveKind::kRemote;
        case DRIVE_NO_ROOT_DIR: return DriveKind::kNoDrive;
        default: return DriveKind::kOther;
        }
    }
    int CurrentDrive() override { return _getdrive(); }
    void ChangeDrive(int drive) override {
        ErrorModeScope mode;
        _chdrive(drive);
    }

    uint32_t OpenRead(const std::string& path, int* fd) override {
        ErrorModeScope mode;
        _doserrno = 0;
        errno = 0;
        int d = _open(path.c_str(), _O_RDONLY | _O_BINARY);
        if (d < 0) return DosError(ERROR_FILE_NOT_FOUND);
        *fd = d + 1;
        return 0;
    }
    uint32_t OpenWrite(const std::string& path, int* fd) override {
        ErrorModeScope mode(kWriteErrorMode);
        _doserrno = 0;
        errno = 0;
        int d = _open(path.c_str(), _O_RDWR | _O_BINARY | _O_CREAT | _O_TRUNC, _S_IREAD | _S_IWRITE);
        if (d < 0) return DosError(ERROR_ACCESS_DENIED);
        *fd = d + 1;
        return 0;
    }
    uint32_t Read(int fd, uint8_t* buf, std::size_t n, std::size_t* got) override {
        ErrorModeScope mode;
        _doserrno = 0;
        errno = 0;
        int r = _read(fd - 1, buf, static_cast<unsigned>(n));
        if (r < 0) return DosError(ERROR_READ_FAULT);
        *got = static_cast<std::size_t>(r);
        return 0;
    }
    uint32_t Write(int fd, const uint8_t* buf, std::size_t n, std::size_t* put) override {
        ErrorModeScope mode(kWriteErrorMode);
        _doserrno = 0;
        errno = 0;
        int w = _write(fd - 1, buf, static_cast<unsigned>(n));
        *put = w > 0 ? static_cast<std::size_t>(w) : 0;
        if (w < 0) return DosError(ERROR_WRITE_FAULT);
        return static_cast<std::size_t>(w) < n ? static_cast<uint32_t>(_doserrno) : 0;
    }
    void Close(int fd) override { _close(fd - 1); }
    // The runtime's _filelength is a 32-bit call (wrong or failing beyond
    // 2 GiB); the system's own call gives the whole length and a true error.
    uint32_t Length(int fd, uint64_t* length) override {
        const intptr_t os = _get_osfhandle(fd - 1);
        if (os == -1) return ERROR_INVALID_HANDLE;
        LARGE_INTEGER size;
        if (!::GetFileSizeEx(reinterpret_cast<HANDLE>(os), &size)) return ::GetLastError();
        *length = static_cast<uint64_t>(size.QuadPart);
        return 0;
    }
    bool Exists(const std::string& path) override {
        ErrorModeScope mode;
        return _access(path.c_str(), 0) == 0;
    }

    uint32_t LastWriteDos(const std::string& path, uint16_t* date, uint16_t* time) override {
        ErrorModeScope mode;
        win::FileHandle h(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!h) return ::GetLastError();
        FILETIME utc, local;
        WORD d = 0, t = 0;
        if (!::GetFileTime(h.get(), nullptr, nullptr, &utc) || !::FileTimeToLocalFileTime(&utc, &local) ||
            !::FileTimeToDosDateTime(&local, &d, &t))
            return ::GetLastError();
        *date = d;
        *time = t;
        return 0;
    }
    void StampDos(const std::string& path, uint16_t date, uint16_t time) override {
        ErrorModeScope mode(kWriteErrorMode);
        win::FileHandle h(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!h) return;
        FILETIME local, utc;
        if (::DosDateTimeToFileTime(date, time, &local) && ::LocalFileTimeToFileTime(&local, &utc))
            ::SetFileTime(h.get(), nullptr, nullptr, &utc);
    }

    uint32_t MakeDir(const std::string& path) override {
        ErrorModeScope mode(kWriteErrorMode);
        _doserrno = 0;
        errno = 0;
        return _mkdir(path.c_str()) == 0 ? 0 : DosError(ERROR_PATH_NOT_FOUND);
    }
    std::string CurrentDir() override {
        ErrorModeScope mode;
        char buf[MAX_PATH + 1];
        return _getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
    }
    uint32_t Delete(const std::string& path) override {
        ErrorModeScope mode(kWriteErrorMode);
        _doserrno = 0;
        errno = 0;
        return _unlink(path.c_str()) == 0 ? 0 : DosError(ERROR_FILE_NOT_FOUND);
    }

    bool FindFirst(const std::string& pattern, FindEntry* entry) override {
        FindClose();
        ErrorModeScope mode;
        _finddata_t fd;
        search_ = _findfirst(pattern.c_str(), &fd);
        if (search_ == -1) return false;
        Fill(fd, entry);
        return true;
    }
    bool FindNext(FindEntry* entry) override {
        if (search_ == -1) return false;
        ErrorModeScope mode;
        _finddata_t fd;
        if (_findnext(search_, &fd) != 0) return false;
        Fill(fd, entry);
        return true;
    }
    void FindClose() override {
        if (search_ != -1) _findclose(search_);
        search_ = -1;
    }
    bool Probe(const std::string& pattern, FindEntry* entry) override {
        ErrorModeScope mode;
        _finddata_t fd;
        intptr_t h = _findfirst(pattern.c_str(), &fd);
        if (h == -1) return false;
        Fill(fd, entry);
        _findclose(h);
        return true;
    }

private:
    static void Fill(const _finddata_t& fd, FindEntry* entry) {
        entry->name = fd.name;
        entry->attrib = fd.attrib;
    }
    intptr_t search_ = -1;
};

}  // namespace

FileSystem& WindowsFileSystem() {
    static WinFs fs;
    return fs;
}

}  // namespace qv::slave
