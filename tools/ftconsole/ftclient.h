// The console's side of the file transfer protocol.
//
// FtClient drives a slave through single requests, each answered by one
// reply, over a PacketLink (a linkcore Client in the tool, an in-process
// slave in the tests). Every exchange waits for the reply that belongs to
// it (right command and sequence) and resends the same request when none
// comes in time, which the slave's sequence rules make safe: a repeated
// download acknowledgement or listing request gets the same block again, a
// repeated upload block is not written twice.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "slave/ft_protocol.h"

namespace qv::ftc {

class PacketLink {
public:
    virtual ~PacketLink() = default;
    virtual bool Send(const uint8_t* data, std::size_t len) = 0;
    // >0 length, 0 time-out, -1 broken.
    virtual int Recv(uint8_t* buf, std::size_t cap, int timeout_ms) = 0;
};

struct Result {
    bool ok = false;         // a reply came and its status was 0
    uint16_t status = 0;     // the slave's status (a Windows system error code)
    std::string error;       // transport failure, when no reply came
};

struct DirEntry {
    std::string name;  // directories end in "\"
    bool directory = false;
};

class FtClient {
public:
    explicit FtClient(PacketLink& link, int timeout_ms = 2000, int retries = 5)
        : link_(link), timeout_ms_(timeout_ms), retries_(retries) {}

    Result Existence();
    Result Drives(std::vector<int>* drives);
    Result List(const std::string& pattern, bool files, std::vector<std::string>* names);
    Result CurrentDirectory(std::string* dir);
    Result MakeDirectory(const std::string& path);
    Result Delete(const std::string& path);
    Result Size(const std::string& path, uint32_t* size);
    Result VerifyDirectory(const std::string& path);
    Result VerifyDrive(const std::string& path);
    Result Terminate();

    using Progress = std::function<void(uint64_t done)>;
    // Downloads into *data with the file's MS-DOS stamp.
    Result Get(const std::string& path, std::string* data, uint16_t* date, uint16_t* time,
               const Progress& progress = {});
    // Uploads data, stamped with the MS-DOS date and time given.
    Result Put(const std::string& path, const std::string& data, uint16_t date, uint16_t time, bool only_new,
               const Progress& progress = {});

    int resends() const { return resends_; }

private:
    // Sends req (with data_len data bytes) until a reply accepted by `want`
    // arrives; false when none came after all retries or the link broke.
    bool Exchange(const ft::Request& req, std::size_t data_len, ft::Reply* rep,
                  const std::function<bool(const ft::Reply&)>& want, Result* res);
    Result Simple(uint16_t command, const std::string& path, ft::Reply* rep = nullptr);

    PacketLink& link_;
    int timeout_ms_;
    int retries_;
    int resends_ = 0;
};

// The Windows system error text for a status code, e.g. 2 -> "The system
// cannot find the file specified."
std::string SystemErrorText(uint32_t code);

}  // namespace qv::ftc
