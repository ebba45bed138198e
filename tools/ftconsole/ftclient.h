// The console's side of the file transfer protocol.
//
// FtClient drives a slave through single requests, each answered by one
// reply, over a PacketLink (a linkcore Client in the tool, an in-process
// slave in the tests). Every exchange waits for the reply that belongs to
// it (right command and sequence) and resends the same request when none
// comes in time, which the slave's sequence rules make safe: a repeated
// download acknowledgement or listing request gets the same block again, a
// repeated upload block is not written twice.
//
// The slave is not trusted: a reply that belongs to no request does not
// extend the wait for the right one, a listing stops after kListMaxNames
// names, and a download never takes in more than the size the slave
// announced for the file (kUnknownSizeCap when it announced none).
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
    std::string error;       // transport or protocol failure, when no usable reply came
    bool no_reply = false;   // the slave did not answer at all, after every resend
};

constexpr std::size_t kListMaxNames = 100000;
constexpr uint64_t kUnknownSizeCap = 0xFFFFFFFFu;  // the largest size a size reply can carry

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

    // Bytes done so far and the whole size (0 when not known).
    using Progress = std::function<void(uint64_t done, uint64_t total)>;
    // Takes the next bytes of a download; false when they could not be kept.
    using Sink = std::function<bool(const uint8_t* data, std::size_t len)>;
    // Gives up to cap bytes of an upload: the count, 0 at the end, -1 when
    // the data could not be read.
    using Source = std::function<long(uint8_t* buf, std::size_t cap)>;

    // Downloads a file block by block into sink; the file's MS-DOS stamp
    // goes to *date and *time. Asks for the size first and stops when the
    // slave sends more.
    Result Download(const std::string& path, const Sink& sink, uint16_t* date, uint16_t* time,
                    const Progress& progress = {});
    // Uploads what source gives (size: for the progress only), stamped with
    // the MS-DOS date and time given.
    Result Upload(const std::string& path, const Source& source, uint64_t size, uint16_t date, uint16_t time,
                  bool only_new, const Progress& progress = {});
    // The same for data held in memory.
    Result Get(const std::string& path, std::string* data, uint16_t* date, uint16_t* time,
               const Progress& progress = {});
    Result Put(const std::string& path, const std::string& data, uint16_t date, uint16_t time, bool only_new,
               const Progress& progress = {});

    int resends() const { return resends_; }

private:
    enum class Outcome { kReply, kNoReply, kBroken };
    // Sends req (with data_len data bytes) until a reply accepted by `want`
    // arrives; each attempt waits at most the time-out, whatever else comes.
    Outcome Send(const ft::Request& req, std::size_t data_len, ft::Reply* rep,
                 const std::function<bool(const ft::Reply&)>& want, Result* res);
    // Send, with a failure described in *res; true when the reply came.
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
