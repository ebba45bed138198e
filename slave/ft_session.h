// The slave's side of the file transfer protocol: one request in, at most
// one reply out.
//
// FtSession owns the request and reply buffers for the whole run (a reply
// field a command does not set keeps its previous value, which the console
// relies on when it asks for FT_SERVER_INFO and gets the previous reply
// again, its status included) and the transfer state: the one open file, the listing counter and
// search, and the upload's saved path and time stamp. Handle() carries out
// one request through the FileSystem and says whether a reply is to be sent;
// the receive loop around it (slave_win.cpp) owns the transport.
//
// Sequence rules, in short: a download block is acknowledged by
// FT_SEND_NEXT_BLOCK carrying its sequence, anything else resends it; an
// upload block whose sequence equals the last reply's is a repeat and is not
// written again; FT_MORE_FILE_INFO must carry the last listing sequence.
//
// A path counts only when its zero byte is among the data bytes of the
// request just received; a request without one is refused with status 161
// and nothing is done with it. A delete that fails answers its error code,
// and a size of 4 GiB or more answers status 223 instead of a cut value.
//
// A block of an upload that fails (a write error, a block larger than its
// packet, no file to write to) ends the upload: the file is closed, and
// every later block of it, a resend and the closing block included, answers
// the same error until a new file is created. A download whose open or read
// failed answers that error to every later block until a new download. So
// the console can never take a broken transfer for a good one.
#pragma once

#include <cstdint>
#include <string>

#include "slave/ft_protocol.h"
#include "slave/slave_fs.h"

namespace qv::slave {

class FtSession {
public:
    FtSession(FileSystem& fs, SlaveUi& ui) : fs_(fs), ui_(ui) {}

    struct Outcome {
        bool reply = false;      // a reply is pending
        bool terminate = false;  // FT_TERMINATE: send the reply at once and stop
        bool contact = false;    // FT_EXISTENCE: the console reached us
    };

    // Carries out the request held in request() (see Receive).
    Outcome Handle();
    // Stores a received packet into the request buffer.
    void Receive(const uint8_t* packet, std::size_t len);

    const ft::Request& request() const { return request_; }
    const ft::Reply& reply() const { return reply_; }
    // The reply as it goes on the wire; returns 14 + length.
    std::size_t EncodeReply(uint8_t* out) const { return reply_.Encode(out); }

    // Closes any open file (also used at shutdown).
    void CloseOpenFile();
    bool file_open() const { return fd_ > 0; }

private:
    void Line(int id);
    void LineWithPath(int id);
    void LineWithNumber(int id, int n);

    void DriveList();
    void Listing(bool first);
    void SendFile();
    void SendBlock();
    void CreateFile(bool only_new);
    void WriteBlock();
    void VerifyDrive();
    bool PathGiven(uint16_t command);
    void Refuse(uint16_t command, uint16_t status);
    void FailUpload(uint32_t status);

    FileSystem& fs_;
    SlaveUi& ui_;
    ft::Request request_;
    ft::Reply reply_;
    std::size_t received_data_ = 0;  // data bytes the last packet carried
    std::string path_;               // its zero-terminated path, when path_ok_
    bool path_ok_ = false;

    int fd_ = -1;
    bool writing_ = false;           // fd_ is an upload
    uint32_t upload_error_ = 0;      // non-zero once a block failed (or none was open), until a new file
    uint32_t download_error_ = 0;    // non-zero once the download failed, until a new one
    std::string saved_path_;
    uint16_t saved_date_ = 0, saved_time_ = 0;

    uint16_t listing_counter_ = 0;
    std::string listing_path_;  // the path of the listing's first block
    bool listing_refused_ = false;
    bool search_open_ = false;
    bool have_entry_ = false;
    FindEntry entry_;
};

}  // namespace qv::slave
