// What the file transfer slave needs from the file system.
//
// The protocol logic (ft_session.cpp) is portable and talks to the machine
// only through this interface: fs_win.cpp implements it with low-level
// descriptor I/O in binary mode and the Win32 file-time calls, and the host
// tests implement it in memory. Every status is a Windows system error code
// (0 = success), which is what the console is told.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv::slave {

enum class DriveKind { kNoDrive, kRemovable, kFixed, kRemote, kOther };

enum : uint32_t {
    kAttrReadOnly = 0x01,
    kAttrHidden = 0x02,
    kAttrSystem = 0x04,
    kAttrDirectory = 0x10,
    kAttrArchive = 0x20,
    kAttrNormal = 0x80,
};

struct FindEntry {
    std::string name;
    uint32_t attrib = 0;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual DriveKind DriveType(char letter) = 0;
    virtual int CurrentDrive() = 0;            // 1 = A:
    virtual void ChangeDrive(int drive) = 0;   // 1 = A:; failure leaves the drive as it was

    virtual uint32_t OpenRead(const std::string& path, int* fd) = 0;
    virtual uint32_t OpenWrite(const std::string& path, int* fd) = 0;  // create or truncate
    virtual uint32_t Read(int fd, uint8_t* buf, std::size_t n, std::size_t* got) = 0;
    // Writes n bytes; *put is the count written. A short write may come back
    // with status 0 (no system error code).
    virtual uint32_t Write(int fd, const uint8_t* buf, std::size_t n, std::size_t* put) = 0;
    virtual void Close(int fd) = 0;
    virtual uint32_t Length(int fd, uint64_t* length) = 0;  // the whole length, never cut
    virtual bool Exists(const std::string& path) = 0;

    // Last-write time in local time as MS-DOS words.
    virtual uint32_t LastWriteDos(const std::string& path, uint16_t* date, uint16_t* time) = 0;
    // Sets the last-write time from local MS-DOS words; failures are ignored.
    virtual void StampDos(const std::string& path, uint16_t date, uint16_t time) = 0;

    virtual uint32_t MakeDir(const std::string& path) = 0;
    virtual std::string CurrentDir() = 0;
    virtual uint32_t Delete(const std::string& path) = 0;

    // The listing's directory search; one at a time. FindFirst opens it.
    virtual bool FindFirst(const std::string& pattern, FindEntry* entry) = 0;
    virtual bool FindNext(FindEntry* entry) = 0;
    virtual void FindClose() = 0;
    // A one-off search: the first entry matching the pattern, if any.
    virtual bool Probe(const std::string& pattern, FindEntry* entry) = 0;
};

// Status lines and texts of the slave's window.
class SlaveUi {
public:
    virtual ~SlaveUi() = default;
    virtual std::string Text(int id) = 0;
    virtual void AddLine(const std::string& line) = 0;
};

}  // namespace qv::slave
