#include "scanner/records/replay.h"

#include "common/fileio.h"
#include "common/text.h"
#include "scanner/records/inventory.h"

#include <cerrno>
#include <cstdio>

namespace qv::scanner {

static_assert(kReplayItemKeep > kItemMax + 2, "an item line keeps all a packet can take of it");

namespace {

// Reads bytes with the text-mode translation of the Windows C runtime.
class TextReader {
public:
    explicit TextReader(ByteSource& in) : in_(in) {}

    // Like fgets with room for `max` characters: reads up to and including a
    // line feed, or `max` characters. False when nothing was left to read.
    bool ReadLine(std::size_t max, std::string& line) {
        line.clear();
        while (line.size() < max) {
            int c = Get();
            if (c < 0) break;
            line += static_cast<char>(c);
            if (c == '\n') break;
        }
        return !line.empty();
    }

    // Reads a whole line, however long, keeping its first `keep` characters
    // (and its line feed); the rest is read past. `first_eq` receives the
    // position of the first "=" in the whole line (npos when there is none).
    bool ReadWholeLine(std::size_t keep, std::string& line, std::size_t* first_eq) {
        line.clear();
        std::size_t length = 0;
        if (first_eq) *first_eq = std::string::npos;
        for (;;) {
            int c = Get();
            if (c < 0) break;
            if (c == '\n') {
                line += '\n';
                break;
            }
            if (c == '=' && first_eq && *first_eq == std::string::npos) *first_eq = length;
            if (length < keep) line += static_cast<char>(c);
            ++length;
        }
        return length > 0 || !line.empty();
    }

private:
    int Raw() {
        if (pos_ == len_) {
            if (end_) return -1;
            len_ = in_.Read(buf_, sizeof buf_);
            pos_ = 0;
            if (len_ == 0) {
                end_ = true;
                return -1;
            }
        }
        return buf_[pos_++];
    }

    int Get() {
        if (stopped_) return -1;
        int c = Raw();
        if (c < 0 || c == kEofMark) {
            stopped_ = true;
            return -1;
        }
        if (c == '\r') {
            int next = Raw();
            if (next == '\n') return '\n';
            if (next >= 0) --pos_;  // not a pair: keep the CR, read the byte again
        }
        return c;
    }

    ByteSource& in_;
    std::uint8_t buf_[4096];
    std::size_t pos_ = 0, len_ = 0;
    bool end_ = false, stopped_ = false;
};

void DefaultInvalidData(std::string_view file, std::string_view text) {
    std::printf("Invalid data in file %.*s:\n%.*s\n", static_cast<int>(file.size()), file.data(),
                static_cast<int>(text.size()), text.data());
}

}  // namespace

int ReplayInventory(ByteSource& in, std::string_view file_name, const ReplayOptions& options,
                    ItemStream& stream) {
    const std::string_view begin =
        options.begin_label.empty() ? kBeginContentsLabel : std::string_view(options.begin_label);
    const std::string_view end =
        options.end_label.empty() ? kEndContentsLabel : std::string_view(options.end_label);
    auto invalid = [&](std::string_view text) {
        if (options.invalid_data) options.invalid_data(file_name, text);
        else DefaultInvalidData(file_name, text);
    };

    TextReader reader(in);
    std::string line;
    std::size_t eq = std::string::npos;
    while (reader.ReadWholeLine(kReplayItemKeep, line, &eq)) {
        if (!StartsWithNoCase(line, begin)) {
            StripLineBreak(line);
            std::string_view text(line);
            // A key that is empty (up to a zero byte) would pack an empty
            // field, whose zero pair ends the packet early.
            if (eq == std::string::npos || text.empty() || text[0] == '\0') {
                invalid(line);
                return kReplayInvalidData;
            }
            // A key beyond the kept characters is longer than a packet
            // holds: the stream cuts it, and the value is cut off with it.
            std::string_view key = text.substr(0, eq + 1);
            std::string_view value = eq + 2 <= text.size() ? text.substr(eq + 2) : std::string_view();
            stream.AddItem(key, value);
            continue;
        }

        stream.AddItem(begin, {});
        std::string fields[4];  // name, directory, time, size
        for (std::string& f : fields) {
            if (!reader.ReadWholeLine(kReplayRecordMax, f, nullptr)) {
                invalid(kEndOfFileInContents);
                return kReplayInvalidData;
            }
            StripLineBreak(f);
            if (f.empty() || f[0] == '\0') {  // an empty field would end the packet
                invalid(f);
                return kReplayInvalidData;
            }
        }
        ContentsRecord record;
        SetContentsRecord(record, fields[3], fields[2], fields[0], fields[1], stream.char_length());
        stream.AddRecord(record);

        // Text lines are packed piece by piece, so a line of any length goes
        // through; only the piece that starts a line can be the end marker.
        bool line_start = true;
        while (reader.ReadLine(kReplayLineMax, line)) {
            if (line_start && StartsWithNoCase(line, end)) {
                stream.EndText(end);
                stream.AddItem(end, {});
                break;
            }
            stream.PackTextLine(line);
            line_start = line.back() == '\n';
        }
    }
    return stream.SendPacket(true) == 0 ? kReplayOk : kReplaySendFailed;
}

int ReplayInventoryFile(const char* path, const ReplayOptions& options, ItemStream& stream) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) {
        int error = errno;
        if (options.file_error) options.file_error(path, error);
        else ReportFileError(path, error);
        return kReplayCannotOpen;
    }
    FileByteSource source(file);
    int rc = ReplayInventory(source, path, options, stream);
    std::fclose(file);
    return rc;
}

int ReplayInventoryFile(const char* path, const ReplayOptions& options) {
    return ReplayInventoryFile(path, options, InventoryStream());
}

}  // namespace qv::scanner
