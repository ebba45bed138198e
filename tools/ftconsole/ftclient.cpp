// The console side of the file transfer protocol; see ftclient.h.
#include "tools/ftconsole/ftclient.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace qv::ftc {
namespace {

using namespace qv::ft;

Result Status(const Reply& r) {
    Result res;
    res.status = r.status;
    res.ok = r.status == 0;
    return res;
}

}  // namespace

FtClient::Outcome FtClient::Send(const Request& req, std::size_t data_len, Reply* rep,
                                 const std::function<bool(const Reply&)>& want, Result* res) {
    using Clock = std::chrono::steady_clock;
    uint8_t out[kRequestMax];
    const std::size_t n = req.Encode(out, data_len);
    bool others = false;  // replies came, but none to this request
    for (int attempt = 0; attempt <= retries_; ++attempt) {
        if (attempt > 0) ++resends_;
        if (!link_.Send(out, n)) {
            res->error = "cannot send the request";
            return Outcome::kBroken;
        }
        // Replies that belong to no request (late ones, or a slave that
        // answers something else) are dropped without extending the wait.
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            uint8_t in[kReplyMax + 16];
            int got = link_.Recv(in, sizeof in, static_cast<int>(left));
            if (got < 0) {
                res->error = "the connection to the slave broke";
                return Outcome::kBroken;
            }
            if (got == 0) break;  // time-out: send again
            if (rep->Decode(in, static_cast<std::size_t>(got)) && want(*rep)) return Outcome::kReply;
            others = true;
        }
    }
    if (others) {
        res->error = "the slave sent only replies that do not belong to the request, " +
                     std::to_string(retries_ + 1) + " times; gave up";
        return Outcome::kNoReply;
    }
    res->error = "no reply from the slave";
    res->no_reply = true;
    return Outcome::kNoReply;
}

bool FtClient::Exchange(const Request& req, std::size_t data_len, Reply* rep,
                        const std::function<bool(const Reply&)>& want, Result* res) {
    return Send(req, data_len, rep, want, res) == Outcome::kReply;
}

Result FtClient::Simple(uint16_t command, const std::string& path, Reply* out) {
    Request req;
    req.command = command;
    req.SetPath(path);
    Reply rep;
    Result res;
    if (!Exchange(req, path.size() + 1, &rep, [&](const Reply& r) { return r.command == command; }, &res))
        return res;
    if (out) *out = rep;
    return Status(rep);
}

Result FtClient::Existence() {
    Reply rep;
    Result res = Simple(FT_EXISTENCE, "", &rep);
    if (res.ok && (rep.length != 8 || std::memcmp(rep.data.data(), kExistenceReply, 8) != 0)) {
        res.ok = false;
        res.error = "the peer is no file transfer slave";
    }
    return res;
}

Result FtClient::Drives(std::vector<int>* drives) {
    Reply rep;
    Result res = Simple(FT_DRIVE_INFO, "", &rep);
    drives->clear();
    if (res.ok)
        for (int i = 0; i < rep.length; ++i) drives->push_back(rep.data[static_cast<std::size_t>(i)]);
    return res;
}

Result FtClient::List(const std::string& pattern, bool files, std::vector<std::string>* names) {
    names->clear();
    Request req;
    req.command = FT_FILE_INFO;
    req.param1 = files ? 1 : 0;
    req.SetPath(pattern);
    Reply rep;
    Result res;
    uint16_t expect = 0;
    for (;;) {
        // The first block's sequence is not checked: on a network drive the
        // slave answers at once with its running listing counter.
        const uint16_t cmd = req.command;
        const bool first = cmd == FT_FILE_INFO;
        if (!Exchange(req, pattern.size() + 1, &rep,
                      [&](const Reply& r) { return r.command == cmd && (first || r.sequence == expect); }, &res))
            return res;
        if (rep.status != 0) return Status(rep);
        // Names, each with its zero, then one more zero.
        std::size_t pos = 0, taken = 0;
        while (pos < rep.length && rep.data[pos] != 0) {
            if (names->size() >= kListMaxNames) {
                res.error = "the listing has more than " + std::to_string(kListMaxNames) + " names; stopped";
                return res;
            }
            const uint8_t* start = rep.data.data() + pos;
            std::size_t len = strnlen(reinterpret_cast<const char*>(start), rep.length - pos);
            names->emplace_back(reinterpret_cast<const char*>(start), len);
            pos += len + 1;
            ++taken;
        }
        if (rep.last) return Status(rep);
        // A block is only cut when a name did not fit: one with no name
        // would start a listing that never ends.
        if (taken == 0) {
            res.error = "the slave sent an empty listing block that is not the last; stopped";
            return res;
        }
        req.command = FT_MORE_FILE_INFO;
        req.sequence = rep.sequence;
        expect = static_cast<uint16_t>(rep.sequence + 1);
    }
}

Result FtClient::CurrentDirectory(std::string* dir) {
    Reply rep;
    Result res = Simple(FT_CURRENT_DIRECTORY, "", &rep);
    if (res.ok)
        *dir = std::string(reinterpret_cast<const char*>(rep.data.data()),
                           strnlen(reinterpret_cast<const char*>(rep.data.data()), rep.length));
    return res;
}

Result FtClient::MakeDirectory(const std::string& path) { return Simple(FT_CREATE_DIRECTORY, path); }
Result FtClient::Delete(const std::string& path) { return Simple(FT_DELETE_FILE, path); }
Result FtClient::VerifyDirectory(const std::string& path) { return Simple(FT_VERIFY_DIRECTORY, path); }
Result FtClient::VerifyDrive(const std::string& path) { return Simple(FT_VERIFY_DRIVE, path); }

Result FtClient::Size(const std::string& path, uint32_t* size) {
    Reply rep;
    Result res = Simple(FT_FILE_SIZE, path, &rep);
    if (res.ok) {
        if (rep.length != 4) {
            res.ok = false;
            res.error = "malformed size reply";
            return res;
        }
        *size = rep.data[0] | rep.data[1] << 8 | rep.data[2] << 16 | static_cast<uint32_t>(rep.data[3]) << 24;
    }
    return res;
}

Result FtClient::Terminate() {
    // The slave answers at once and closes its endpoint. A request with no
    // answer is sent again; a connection the slave closed counts as done.
    Request req;
    req.command = FT_TERMINATE;
    Reply rep;
    Result res;
    switch (Send(req, 1, &rep, [](const Reply& r) { return r.command == FT_TERMINATE; }, &res)) {
    case Outcome::kReply: return Status(rep);
    case Outcome::kBroken: return Result{true, 0, "", false};
    case Outcome::kNoReply: break;
    }
    return res;
}

Result FtClient::Download(const std::string& path, const Sink& sink, uint16_t* date, uint16_t* time,
                          const Progress& progress) {
    // The size bounds what may come: a slave that sends more is stopped.
    uint32_t size = 0;
    Result sized = Size(path, &size);
    if (!sized.ok && !sized.error.empty()) return sized;
    const bool announced = sized.ok;
    const uint64_t limit = announced ? size : kUnknownSizeCap;

    Request req;
    req.command = FT_SEND_FILE;
    req.SetPath(path);
    Reply rep;
    Result res;
    if (!Exchange(req, path.size() + 1, &rep, [](const Reply& r) { return r.command == FT_SEND_FILE; }, &res))
        return res;
    *date = rep.file_date;
    *time = rep.file_time;
    uint64_t done = 0;
    for (;;) {
        if (rep.status != 0) return Status(rep);
        if (done + rep.length > limit) {
            res.error = announced ? "the slave sent more than the " + std::to_string(size) +
                                        " bytes it announced for the file; stopped"
                                  : "the download passed " + std::to_string(limit) + " bytes; stopped";
            return res;
        }
        if (!rep.last && rep.length != kBlockSize) {
            res.error = "the slave sent a short block that is not the last; stopped";
            return res;
        }
        if (rep.length && !sink(rep.data.data(), rep.length)) {
            res.error = "the local file could not be written";
            return res;
        }
        done += rep.length;
        if (progress) progress(done, announced ? size : 0);
        if (rep.last) return Status(rep);
        // Acknowledge this block; the next one carries the next sequence.
        Request ack;
        ack.command = FT_SEND_NEXT_BLOCK;
        ack.sequence = rep.sequence;
        const uint16_t next = static_cast<uint16_t>(rep.sequence + 1);
        if (!Exchange(ack, 0, &rep,
                      [&](const Reply& r) { return r.command == FT_SEND_NEXT_BLOCK && r.sequence == next; }, &res))
            return res;
    }
}

Result FtClient::Upload(const std::string& path, const Source& source, uint64_t size, uint16_t date, uint16_t time,
                        bool only_new, const Progress& progress) {
    Request req;
    req.command = only_new ? FT_CREATE_NEW_FILE : FT_CREATE_FILE;
    req.param1 = time;
    req.param2 = date;
    req.SetPath(path);
    Reply rep;
    Result res;
    const uint16_t create = req.command;
    if (!Exchange(req, path.size() + 1, &rep, [&](const Reply& r) { return r.command == create; }, &res)) return res;
    if (rep.status != 0) return Status(rep);
    uint64_t done = 0;
    uint32_t k = 0;
    for (;;) {
        Request blk;
        blk.command = FT_WRITE_BLOCK;
        const long got = source(blk.data.data(), kBlockSize);
        if (got < 0 || static_cast<std::size_t>(got) > kBlockSize) {
            res.error = "the local file could not be read; the remote file is incomplete";
            return res;
        }
        const std::size_t n = static_cast<std::size_t>(got);
        blk.sequence = static_cast<uint16_t>(k % 65535 + 1);  // never 0, each differs from the one before
        blk.param1 = static_cast<uint16_t>(n);
        const uint16_t seq = blk.sequence;
        if (!Exchange(blk, n, &rep, [&](const Reply& r) { return r.command == FT_WRITE_BLOCK && r.sequence == seq; },
                      &res))
            return res;
        if (rep.status != 0) return Status(rep);
        done += n;
        ++k;
        if (progress) progress(done, size);
        if (n == 0) return Status(rep);
    }
}

Result FtClient::Get(const std::string& path, std::string* data, uint16_t* date, uint16_t* time,
                     const Progress& progress) {
    data->clear();
    return Download(
        path, [&](const uint8_t* d, std::size_t n) { return data->append(reinterpret_cast<const char*>(d), n), true; },
        date, time, progress);
}

Result FtClient::Put(const std::string& path, const std::string& data, uint16_t date, uint16_t time, bool only_new,
                     const Progress& progress) {
    std::size_t pos = 0;
    return Upload(
        path,
        [&](uint8_t* buf, std::size_t cap) {
            const std::size_t n = std::min(cap, data.size() - pos);
            std::memcpy(buf, data.data() + pos, n);
            pos += n;
            return static_cast<long>(n);
        },
        data.size(), date, time, only_new, progress);
}

std::string SystemErrorText(uint32_t code) {
    static const struct {
        uint32_t code;
        const char* text;
    } kTexts[] = {
        {1, "Incorrect function."},
        {2, "The system cannot find the file specified."},
        {3, "The system cannot find the path specified."},
        {4, "The system cannot open the file."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {8, "Not enough memory resources are available to process this command."},
        {15, "The system cannot find the drive specified."},
        {16, "The directory cannot be removed."},
        {19, "The media is write protected."},
        {21, "The device is not ready."},
        {29, "The system cannot write to the specified device."},
        {30, "The system cannot read from the specified device."},
        {32, "The process cannot access the file because it is being used by another process."},
        {39, "The disk is full."},
        {80, "The file exists."},
        {82, "The directory or file cannot be created."},
        {87, "The parameter is incorrect."},
        {112, "There is not enough space on the disk."},
        {123, "The filename, directory name, or volume label syntax is incorrect."},
        {145, "The directory is not empty."},
        {161, "The specified path is invalid."},
        {183, "Cannot create a file when that file already exists."},
        {206, "The filename or extension is too long."},
        {223, "The file size exceeds the limit allowed and cannot be saved."},
        {267, "The directory name is invalid."},
    };
    for (const auto& t : kTexts)
        if (t.code == code) return t.text;
    return "System error " + std::to_string(code) + ".";
}

}  // namespace qv::ftc
