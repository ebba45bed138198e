// The inventory item stream: one item at a time to the flat inventory file
// and into the 542-byte item packet for the inventory server.
//
// Nothing is kept beyond the current packet. Each item is written to the flat
// file at once (one text line) and appended to the packet; when the next item
// would not fit, the packet is handed to the PacketSink and a new one begins.
//
// Packet layout, in order of appending:
//   item            key bytes, value bytes, 0     (the key's "=" separates them)
//   contents record size 0 time 0 name 0 directory 0
//   contents text   the file's bytes, unterminated; a text cut at the end of a
//                   packet gets a 0 there and continues in the next packet
//   end of packet   one more 0, so the payload ends in two zero bytes
// The receiver finds the payload's length as the first pair of zero bytes
// plus 2. Every fitting test therefore reserves two bytes: the item's own
// terminating zero and the packet's end zero, so an append can never take the
// place of the end zero.
//
// The buffer is cleared after every send. The receiver (and the link's
// checksum) measure a packet by its first pair of zeros, so any payload that
// ends in a single zero - a contents text that stops right at the end of the
// data - must be followed by zeros, never by bytes of an earlier packet.
//
// Limits of the format, and what happens beyond them:
//   - an item whose key and value exceed 540 bytes cannot be packed; the value
//     (and, if the key alone is too long, the key) is cut so that the item
//     fills one packet. The cut never splits a double-byte character. The flat
//     file still gets the whole line.
//   - zero bytes inside keys, values or contents text would end the payload
//     early; keys and values end at their first zero byte, and zero bytes of a
//     contents text are packed (and written) as blanks, like byte 26.
//   - contents record fields live in fixed areas (35, 35, 13, 128 bytes);
//     SetContentsRecord cuts longer texts to the area less its terminator,
//     and packing never reads past an area even when it is not terminated.
//
// Flat file output is written as exact bytes through a FlatSink: the text
// mode of the file is done here (each line ends in CR LF; in contents text CR
// bytes are dropped and LF becomes CR LF), so the sink opens its file binary.
#pragma once

#include "scanner/records/packetsink.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace qv::scanner {

// The contents block markers are kBeginContentsLabel and kEndContentsLabel
// (strings 74 and 75 of the program's own string table; the same in every
// language); an item holds at most kItemMax bytes of key plus value.

// Byte of value 26: the end-of-file mark of text files.
constexpr std::uint8_t kEofMark = 26;

// Writes the flat inventory file's bytes exactly as given.
class FlatSink {
public:
    virtual ~FlatSink() = default;
    virtual void Write(const char* data, std::size_t size) = 0;
};

// Flat sink on an open C file; the file must be opened in binary mode.
class FileFlatSink : public FlatSink {
public:
    explicit FileFlatSink(std::FILE* file) : file_(file) {}
    void Write(const char* data, std::size_t size) override;
private:
    std::FILE* file_;
};

// Flat sink that collects the bytes in memory.
class StringFlatSink : public FlatSink {
public:
    void Write(const char* data, std::size_t size) override { text.append(data, size); }
    std::string text;
};

// A source of bytes read in order. Read returns 0 at the end.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::size_t Read(std::uint8_t* buffer, std::size_t size) = 0;
};

// Reads an open C file from its current position (binary mode expected).
class FileByteSource : public ByteSource {
public:
    explicit FileByteSource(std::FILE* file) : file_(file) {}
    std::size_t Read(std::uint8_t* buffer, std::size_t size) override;
private:
    std::FILE* file_;
};

// Reads bytes held in memory (the memory must outlive the source).
class MemoryByteSource : public ByteSource {
public:
    explicit MemoryByteSource(std::string_view bytes) : bytes_(bytes) {}
    std::size_t Read(std::uint8_t* buffer, std::size_t size) override;
private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

// Length in bytes of the character that begins with the given bytes (the
// first byte in the low 8 bits, the next ones above it; missing bytes are 0):
// 1, or 2 for the lead byte of a double-byte character. The Windows program
// plugs in the localization library's routine; the default says 1.
using CharLengthFn = int (*)(unsigned long bytes);
int SingleByteCharLength(unsigned long bytes);

// The header of a contents block: texts in fixed, zero-terminated areas.
struct ContentsRecord {
    static constexpr std::size_t kSizeArea = 35;
    static constexpr std::size_t kTimeArea = 35;
    static constexpr std::size_t kNameArea = 13;
    static constexpr std::size_t kDirectoryArea = 128;
    char size[kSizeArea] = {};       // file size in bytes, decimal
    char time[kTimeArea] = {};       // last-write time, seconds since 1970, decimal
    char name[kNameArea] = {};       // file name without directory (8.3)
    char directory[kDirectoryArea] = {};  // directory with its final backslash
};

// Fills a record; texts longer than their areas are cut to fit (never
// splitting a double-byte character). Returns true when nothing was cut.
bool SetContentsRecord(ContentsRecord& record, std::string_view size, std::string_view time,
                       std::string_view name, std::string_view directory,
                       CharLengthFn char_length = SingleByteCharLength);

class ItemStream {
public:
    ItemStream();

    // Empties the packet and sets the packet counter to 0 (start of a run).
    void Reset();

    // Destinations; null turns that output off. With no packet sink nothing is
    // packed (no server name set).
    void SetFlatSink(FlatSink* sink) { flat_ = sink; }
    void SetPacketSink(PacketSink* sink) { packets_ = sink; }
    // Called when a send that a full packet forced fails. The program exits
    // there; if the handler returns, the stream goes on with an empty packet.
    void SetSendFailureHandler(std::function<void()> handler) { on_failure_ = std::move(handler); }
    void SetCharLength(CharLengthFn fn) { char_length_ = fn ? fn : SingleByteCharLength; }
    // When set, a contents text that does not end with a line break gets one
    // in the flat file (only), so that "_EndContents" starts its own line.
    void SetFlatTextLineBreak(bool on) { flat_text_break_ = on; }

    // One item: flat line "key value" (or "key" for an empty value), packed as
    // key, value, zero.
    void AddItem(std::string_view key, std::string_view value);
    // A contents record: flat lines name, directory, time, size; packed as
    // size, time, name, directory, each zero-terminated.
    void AddRecord(const ContentsRecord& record);
    // The rest of a file's text, then the end-of-text test for the marker
    // item that the caller adds next (end_label).
    void AddText(ByteSource& source, std::string_view end_label = kEndContentsLabel);

    // Replay helpers. PackTextLine packs one line of contents text (LF as
    // CR LF) without writing the flat file; EndText ends a contents text before
    // the marker item end_label is added.
    void PackTextLine(std::string_view line);
    void EndText(std::string_view end_label = kEndContentsLabel);

    // Ends the packet and hands it to the packet sink with the next number.
    // Returns 0 when accepted (or when there is no packet sink), -1 when the
    // link gave up on it.
    int SendPacket(bool last);

    std::size_t used() const { return used_; }
    unsigned packet_count() const { return counter_; }
    const std::uint8_t* buffer() const { return buf_; }
    bool packing() const { return packets_ != nullptr; }
    CharLengthFn char_length() const { return char_length_; }

private:
    int CharLength(const std::uint8_t* p, std::size_t avail) const;
    std::size_t FitLength(std::string_view text, std::size_t max) const;
    void Append(const void* data, std::size_t size);
    void AppendByte(std::uint8_t b) { Append(&b, 1); }
    // Sends the packet when `need` more bytes plus the two reserved ones do not
    // fit; `terminate` appends a zero first (a text cut at the boundary).
    void MakeRoom(std::size_t need, bool terminate);
    void WriteFlatLine(std::string_view text, std::string_view more = {});

    std::uint8_t buf_[kItemPacketSize];
    std::size_t used_ = 0;
    unsigned counter_ = 0;
    FlatSink* flat_ = nullptr;
    PacketSink* packets_ = nullptr;
    std::function<void()> on_failure_;
    CharLengthFn char_length_ = SingleByteCharLength;
    bool flat_text_break_ = false;
};

}  // namespace qv::scanner
