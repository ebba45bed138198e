// The file transfer slave's command handling; see ft_session.h.
#include "slave/ft_session.h"

#include <algorithm>
#include <cstring>

#include "common/text.h"
#include "slave/texts.h"

namespace qv::slave {
namespace {

using namespace qv::ft;

constexpr uint32_t kErrorInvalidHandle = 6;      // ERROR_INVALID_HANDLE
constexpr uint32_t kErrorInvalidParameter = 87;  // ERROR_INVALID_PARAMETER

bool IsLetter(char c) { return UpperChar(c) >= 'A' && UpperChar(c) <= 'Z'; }

// Entries a listing of the given kind takes, and the name it shows.
bool Taken(const FindEntry& e, bool files, std::string* shown) {
    if (e.name == "." || e.name == "..") return false;
    if (files) {
        const uint32_t allowed = kAttrReadOnly | kAttrSystem | kAttrArchive | kAttrNormal;
        if (e.attrib & ~allowed) return false;
        *shown = e.name;
    } else {
        if (!(e.attrib & kAttrDirectory)) return false;
        *shown = e.name + "\\";
    }
    return true;
}

}  // namespace

void FtSession::Line(int id) { ui_.AddLine(ui_.Text(id)); }
void FtSession::LineWithPath(int id) { ui_.AddLine(path_ok_ ? ui_.Text(id) + " " + path_ : ui_.Text(id)); }
void FtSession::LineWithNumber(int id, int n) { ui_.AddLine(ui_.Text(id) + ": " + std::to_string(n)); }

void FtSession::Receive(const uint8_t* packet, std::size_t len) {
    request_.Decode(packet, len);
    received_data_ = len > kRequestHeader ? std::min(len, kRequestMax) - kRequestHeader : 0;
    // Only the bytes of this packet count: what an earlier, longer request
    // left behind in the data area must never lengthen a short path.
    const uint8_t* begin = request_.data.data();
    const uint8_t* end = begin + received_data_;
    const uint8_t* zero = std::find(begin, end, 0);
    path_ok_ = zero != end;
    path_.assign(begin, path_ok_ ? zero : begin);
}

// A request without a zero byte in the data it carried has no path: it is
// refused before anything is done with it.
bool FtSession::PathGiven(uint16_t command) {
    if (!path_ok_) Refuse(command, kStatusBadPath);
    return path_ok_;
}

void FtSession::Refuse(uint16_t command, uint16_t status) {
    reply_.command = command;
    reply_.sequence = 0;
    reply_.last = 1;
    reply_.length = 0;
    reply_.status = status;
}

void FtSession::CloseOpenFile() {
    if (fd_ > 0) fs_.Close(fd_);
    fd_ = -1;
    writing_ = false;
}

FtSession::Outcome FtSession::Handle() {
    Outcome out;
    out.reply = true;
    const uint16_t previous_status = reply_.status;
    reply_.status = kStatusOk;
    const uint16_t cmd = request_.command;
    switch (cmd) {
    case FT_NONE:
        out.reply = false;
        reply_.status = previous_status;  // no reply: the last one stays as it was
        break;
    case FT_SERVER_INFO:
    case FT_VOLUME_INFO:
    case FT_SECONDARY_VOLUME_INFO:
        Line(cmd == FT_SERVER_INFO ? kTextServerInfo : cmd == FT_VOLUME_INFO ? kTextVolumeInfo
                                                                            : kTextSecondaryVolumeInfo);
        CloseOpenFile();
        // The previous reply goes out again as it was: a failure stays a
        // failure, so a console that asks again never takes a refused
        // command (or a listing block that was never made) for done.
        reply_.status = previous_status;
        break;
    case FT_DRIVE_INFO:
        Line(kTextDriveInfo);
        CloseOpenFile();
        DriveList();
        break;
    case FT_FILE_INFO:
        Line(kTextFileInfo);
        CloseOpenFile();
        Listing(true);
        break;
    case FT_MORE_FILE_INFO:
        Line(kTextMoreFileInfo);
        LineWithNumber(kTextSequenceNumber, request_.sequence);
        CloseOpenFile();
        Listing(false);
        break;
    case FT_EXISTENCE:
        Line(kTextExistence);
        CloseOpenFile();
        reply_.command = FT_EXISTENCE;
        reply_.sequence = 0;
        reply_.last = 1;
        std::memcpy(reply_.data.data(), kExistenceReply, sizeof kExistenceReply);
        reply_.length = sizeof kExistenceReply;
        out.contact = true;
        break;
    case FT_SEND_FILE:
        LineWithPath(kTextSendingFile);
        CloseOpenFile();
        download_error_ = 0;
        if (PathGiven(cmd)) SendFile();
        else download_error_ = kStatusBadPath;
        break;
    case FT_SEND_NEXT_BLOCK:
        if (request_.sequence == reply_.sequence) {
            ++reply_.sequence;
            SendBlock();
        }
        reply_.command = FT_SEND_NEXT_BLOCK;  // a resend goes out unchanged but for this
        // Once the download failed, every later block (a resend of the
        // failed one included) answers that failure, never a good end.
        if (download_error_ != 0) {
            reply_.status = static_cast<uint16_t>(download_error_);
            reply_.length = 0;
            reply_.last = 1;
        }
        break;
    case FT_CREATE_NEW_FILE:
        LineWithPath(kTextCreatingFile);
        if (PathGiven(cmd)) CreateFile(true);
        break;
    case FT_CREATE_FILE:
        CloseOpenFile();
        if (PathGiven(cmd)) CreateFile(false);
        break;
    case FT_WRITE_BLOCK:
        WriteBlock();
        break;
    case FT_CREATE_DIRECTORY:
        LineWithPath(kTextCreatingDirectory);
        CloseOpenFile();
        if (!PathGiven(cmd)) break;
        reply_.command = FT_CREATE_DIRECTORY;
        reply_.sequence = 0;
        reply_.length = 0;
        reply_.status = static_cast<uint16_t>(fs_.MakeDir(path_));
        break;
    case FT_CURRENT_DIRECTORY: {
        CloseOpenFile();
        std::string cwd = fs_.CurrentDir();
        if (cwd.size() > kCurrentDirMax - 1) cwd.resize(kCurrentDirMax - 1);
        reply_.command = FT_CURRENT_DIRECTORY;
        reply_.sequence = 0;
        std::memcpy(reply_.data.data(), cwd.c_str(), cwd.size() + 1);
        reply_.length = static_cast<uint16_t>(cwd.size() + 1);
        break;
    }
    case FT_VERIFY_DIRECTORY: {
        LineWithPath(kTextVerifyDirectory);
        if (!PathGiven(cmd)) break;
        reply_.command = FT_VERIFY_DIRECTORY;
        reply_.sequence = 0;
        reply_.length = 0;
        FindEntry e;
        bool is_dir = fs_.Probe(path_, &e) && (e.attrib & kAttrDirectory);
        reply_.status = is_dir ? kStatusOk : kStatusNotFound;
        break;
    }
    case FT_VERIFY_DRIVE:
        LineWithPath(kTextVerifyDrive);
        if (PathGiven(cmd)) VerifyDrive();
        break;
    case FT_VERIFY_VOLUME:
        LineWithPath(kTextVerifyVolume);
        if (!PathGiven(cmd)) break;
        reply_.command = FT_VERIFY_VOLUME;
        reply_.sequence = 0;
        reply_.length = 0;
        break;
    case FT_FILE_SIZE: {
        LineWithPath(kTextFileSize);
        CloseOpenFile();
        if (!PathGiven(cmd)) break;
        reply_.command = FT_FILE_SIZE;
        reply_.sequence = 0;
        reply_.last = 1;
        reply_.length = 0;
        int fd = -1;
        uint32_t st = fs_.OpenRead(path_, &fd);
        if (st != 0) {
            reply_.status = static_cast<uint16_t>(st);
            break;
        }
        fd_ = fd;  // stays open until the next command that closes files
        uint64_t len = 0;
        st = fs_.Length(fd, &len);
        if (st == 0 && len > UINT32_MAX) st = kStatusFileTooLarge;  // never a size cut to 32 bits
        if (st != 0) {
            reply_.status = static_cast<uint16_t>(st);
            break;
        }
        for (int i = 0; i < 4; ++i) reply_.data[static_cast<std::size_t>(i)] = static_cast<uint8_t>(len >> (8 * i));
        reply_.length = 4;
        break;
    }
    case FT_DELETE_FILE: {
        LineWithPath(kTextDeletingFile);
        if (!PathGiven(cmd)) break;
        reply_.command = FT_DELETE_FILE;
        reply_.sequence = 0;
        reply_.last = 1;
        reply_.length = 0;
        // The failure is answered, not only shown: a console must never
        // report a file removed that is still there.
        const uint32_t st = fs_.Delete(path_);
        if (st != 0) {
            LineWithPath(kTextErrorDeleting);
            reply_.status = static_cast<uint16_t>(st);
        }
        break;
    }
    case FT_TERMINATE:
        Line(kTextTerminate);
        CloseOpenFile();
        reply_.command = FT_TERMINATE;
        reply_.sequence = 0;
        reply_.last = 1;
        reply_.length = 0;
        out.terminate = true;
        break;
    default:
        LineWithNumber(kTextUnknownCommand, cmd);
        out.reply = false;
        reply_.status = previous_status;
        break;
    }
    return out;
}

void FtSession::DriveList() {
    reply_.command = FT_DRIVE_INFO;
    reply_.sequence = 0;
    reply_.last = 1;
    const int remembered = fs_.CurrentDrive();
    uint16_t n = 0;
    for (int d = 0; d < 26; ++d) {
        const char letter = static_cast<char>('A' + d);
        DriveKind kind = fs_.DriveType(letter);
        bool listed = false;
        if (kind == DriveKind::kRemovable) {
            listed = true;  // never touched: an empty floppy drive must not be probed
        } else if (kind != DriveKind::kRemote) {
            fs_.ChangeDrive(d + 1);
            listed = fs_.CurrentDrive() == d + 1;
        }
        if (listed) reply_.data[n++] = static_cast<uint8_t>(d);
    }
    fs_.ChangeDrive(remembered);
    reply_.length = n;
}

void FtSession::Listing(bool first) {
    const uint16_t command = first ? FT_FILE_INFO : FT_MORE_FILE_INFO;
    if (first) {
        listing_counter_ = 0;
        if (search_open_) fs_.FindClose();
        search_open_ = have_entry_ = false;
        listing_path_.clear();
        listing_refused_ = !PathGiven(command);
        if (listing_refused_) return;
        listing_path_ = path_;
    } else if (listing_refused_) {
        Refuse(command, kStatusBadPath);  // a later block of a refused listing
        return;
    }
    const std::string& path = listing_path_;  // later blocks go on with the first block's path
    if (!path.empty() && IsLetter(path[0]) && fs_.DriveType(UpperChar(path[0])) == DriveKind::kRemote) {
        // Network drives are never listed: an empty listing at once.
        reply_.command = command;
        reply_.data[0] = 0;
        reply_.data[1] = 0;
        reply_.length = 2;
        reply_.last = 1;
        reply_.sequence = listing_counter_++;
        return;
    }
    if (first) {
        entry_ = FindEntry{};
        have_entry_ = fs_.FindFirst(path, &entry_);
        search_open_ = have_entry_;
    } else if (request_.sequence != static_cast<uint16_t>(listing_counter_ - 1)) {
        return;  // not the block we sent last: that reply goes out again unchanged
    }
    reply_.command = command;
    const bool files = request_.param1 != 0;
    std::size_t used = 0;
    reply_.last = 1;
    while (have_entry_) {
        std::string shown;
        if (Taken(entry_, files, &shown)) {
            if (shown.size() + used < kBlockSize - 1) {
                std::memcpy(reply_.data.data() + used, shown.c_str(), shown.size() + 1);
                used += shown.size() + 1;
            } else if (used > 0) {
                reply_.last = 0;  // the entry opens the next block
                break;
            }
            // (a name that fits no block at all is passed over)
        }
        have_entry_ = fs_.FindNext(&entry_);
    }
    if (!have_entry_ && search_open_) {
        fs_.FindClose();
        search_open_ = false;
    }
    reply_.data[used] = 0;
    reply_.length = static_cast<uint16_t>(used + 1);
    reply_.sequence = listing_counter_++;
}

void FtSession::SendFile() {
    reply_.command = FT_SEND_FILE;
    reply_.sequence = 0;
    reply_.last = 1;
    reply_.length = 0;
    const std::string& path = path_;
    int fd = -1;
    uint32_t st = fs_.OpenRead(path, &fd);
    if (st == 0) {
        st = fs_.LastWriteDos(path, &reply_.file_date, &reply_.file_time);
        if (st != 0) fs_.Close(fd);
    }
    if (st != 0) {
        reply_.status = static_cast<uint16_t>(st);
        download_error_ = st;
        return;
    }
    fd_ = fd;
    SendBlock();
}

// Reads the next block of the download into the reply.
void FtSession::SendBlock() {
    reply_.length = 0;
    reply_.last = 1;
    if (download_error_ != 0) return;  // answered by the caller
    if (fd_ <= 0 || writing_) {
        reply_.status = kErrorInvalidHandle;  // no download in progress
        download_error_ = kErrorInvalidHandle;
        return;
    }
    std::size_t got = 0;
    uint32_t st = fs_.Read(fd_, reply_.data.data(), kBlockSize, &got);
    if (st != 0) {
        reply_.status = static_cast<uint16_t>(st);  // the file stays open
        download_error_ = st;
        return;
    }
    reply_.length = static_cast<uint16_t>(got);
    if (got == kBlockSize) {
        reply_.last = 0;
    } else {
        Line(kTextClosingFile);
        CloseOpenFile();
    }
}

void FtSession::CreateFile(bool only_new) {
    reply_.command = only_new ? FT_CREATE_NEW_FILE : FT_CREATE_FILE;
    reply_.sequence = 0;
    reply_.last = 1;
    reply_.length = 0;
    const std::string& path = path_;
    if (only_new) {
        if (fs_.Exists(path)) {
            reply_.status = kStatusFileExists;
            return;
        }
        CloseOpenFile();
    }
    upload_error_ = kErrorInvalidHandle;  // until the file is made: no upload to write to
    if (path.size() + 1 > kPathMax) {
        reply_.status = static_cast<uint16_t>(206);  // ERROR_FILENAME_EXCED_RANGE
        return;
    }
    int fd = -1;
    uint32_t st = fs_.OpenWrite(path, &fd);
    if (st != 0) {
        reply_.status = static_cast<uint16_t>(st);
        return;
    }
    fd_ = fd;
    writing_ = true;
    upload_error_ = 0;
    saved_path_ = path;
    saved_time_ = request_.param1;
    saved_date_ = request_.param2;
}

void FtSession::WriteBlock() {
    reply_.command = FT_WRITE_BLOCK;
    reply_.length = 0;
    const bool repeat = request_.sequence == reply_.sequence;
    reply_.sequence = request_.sequence;
    if (upload_error_ != 0) {
        // The upload failed earlier (or there is none): every block, a
        // resend and the closing block included, answers that failure.
        reply_.status = static_cast<uint16_t>(upload_error_);
        return;
    }
    if (repeat) return;  // written already
    const std::size_t n = request_.param1;
    if (n == 0) {
        if (fd_ > 0 && writing_) {
            Line(kTextClosingFile);
            CloseOpenFile();
            fs_.StampDos(saved_path_, saved_date_, saved_time_);
        } else {
            FailUpload(kErrorInvalidHandle);  // nothing was being written: no file to close
        }
        return;
    }
    if (fd_ <= 0 || !writing_) {
        FailUpload(kErrorInvalidHandle);  // no file created for this upload
        return;
    }
    if (n > kBlockSize || n > received_data_) {  // more than the packet carried
        FailUpload(kErrorInvalidParameter);
        return;
    }
    std::size_t put = 0;
    uint32_t st = fs_.Write(fd_, request_.data.data(), n, &put);
    if (put < n || st != 0) FailUpload(st != 0 ? st : static_cast<uint32_t>(kStatusShortWrite));
}

// Ends the upload with a failure that every later block answers.
void FtSession::FailUpload(uint32_t status) {
    if (writing_) CloseOpenFile();
    upload_error_ = status;
    reply_.status = static_cast<uint16_t>(status);
}

void FtSession::VerifyDrive() {
    reply_.command = FT_VERIFY_DRIVE;
    reply_.sequence = 0;
    reply_.length = 0;
    const std::string& path = path_;
    std::string pattern = path.substr(0, path.find(':')) + ":\\*.*";
    if (!pattern.empty() && IsLetter(pattern[0]) && fs_.DriveType(UpperChar(pattern[0])) == DriveKind::kRemovable) {
        FindEntry e;
        if (!fs_.Probe(pattern, &e)) reply_.status = kStatusNotFound;
    }
}

}  // namespace qv::slave
