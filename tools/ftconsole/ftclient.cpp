// The console side of the file transfer protocol; see ftclient.h.
#include "tools/ftconsole/ftclient.h"

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

bool FtClient::Exchange(const Request& req, std::size_t data_len, Reply* rep,
                        const std::function<bool(const Reply&)>& want, Result* res) {
    uint8_t out[kRequestMax];
    const std::size_t n = req.Encode(out, data_len);
    for (int attempt = 0; attempt <= retries_; ++attempt) {
        if (attempt > 0) ++resends_;
        if (!link_.Send(out, n)) {
            res->error = "cannot send the request";
            return false;
        }
        for (;;) {
            uint8_t in[kReplyMax + 16];
            int got = link_.Recv(in, sizeof in, timeout_ms_);
            if (got < 0) {
                res->error = "the connection to the slave broke";
                return false;
            }
            if (got == 0) break;  // time-out: send again
            if (!rep->Decode(in, static_cast<std::size_t>(got))) continue;
            if (want(*rep)) return true;
            // a late reply to an earlier attempt: wait on
        }
    }
    res->error = "no reply from the slave";
    return false;
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
        std::size_t pos = 0;
        while (pos < rep.length && rep.data[pos] != 0) {
            const uint8_t* start = rep.data.data() + pos;
            std::size_t len = strnlen(reinterpret_cast<const char*>(start), rep.length - pos);
            names->emplace_back(reinterpret_cast<const char*>(start), len);
            pos += len + 1;
        }
        if (rep.last) return Status(rep);
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
    uint8_t out[kRequestMax];
    const std::size_t n = req.Encode(out, 1);
    Result res;
    for (int attempt = 0; attempt <= retries_; ++attempt) {
        if (attempt > 0) ++resends_;
        if (!link_.Send(out, n)) break;
        for (;;) {
            uint8_t in[kReplyMax + 16];
            Reply rep;
            int got = link_.Recv(in, sizeof in, timeout_ms_);
            if (got < 0) {
                res.ok = true;
                return res;
            }
            if (got == 0) break;
            if (rep.Decode(in, static_cast<std::size_t>(got)) && rep.command == FT_TERMINATE) return Status(rep);
        }
    }
    res.error = "no reply from the slave";
    return res;
}

Result FtClient::Get(const std::string& path, std::string* data, uint16_t* date, uint16_t* time,
                     const Progress& progress) {
    data->clear();
    Request req;
    req.command = FT_SEND_FILE;
    req.SetPath(path);
    Reply rep;
    Result res;
    if (!Exchange(req, path.size() + 1, &rep, [](const Reply& r) { return r.command == FT_SEND_FILE; }, &res))
        return res;
    *date = rep.file_date;
    *time = rep.file_time;
    for (;;) {
        if (rep.status != 0) return Status(rep);
        data->append(reinterpret_cast<const char*>(rep.data.data()), rep.length);
        if (progress) progress(data->size());
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

Result FtClient::Put(const std::string& path, const std::string& data, uint16_t date, uint16_t time, bool only_new,
                     const Progress& progress) {
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
    std::size_t pos = 0;
    uint32_t k = 0;
    for (;;) {
        const std::size_t n = std::min(kBlockSize, data.size() - pos);
        Request blk;
        blk.command = FT_WRITE_BLOCK;
        blk.sequence = static_cast<uint16_t>(k % 65535 + 1);  // never 0, each differs from the one before
        blk.param1 = static_cast<uint16_t>(n);
        std::memcpy(blk.data.data(), data.data() + pos, n);
        const uint16_t seq = blk.sequence;
        if (!Exchange(blk, n, &rep, [&](const Reply& r) { return r.command == FT_WRITE_BLOCK && r.sequence == seq; },
                      &res))
            return res;
        if (rep.status != 0) return Status(rep);
        pos += n;
        ++k;
        if (progress) progress(pos);
        if (n == 0) return Status(rep);
    }
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
        {267, "The directory name is invalid."},
    };
    for (const auto& t : kTexts)
        if (t.code == code) return t.text;
    return "System error " + std::to_string(code) + ".";
}

}  // namespace qv::ftc
