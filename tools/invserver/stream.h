// Turning the scanner's item packets back into its flat inventory file.
//
// A data packet's payload is a run of zero-terminated texts ended by one more
// zero byte. An ordinary item is its key (ending in "=") immediately followed
// by its value. A contents block is the item "_BeginContents", then four
// record fields (size, time, name, directory), then the captured file's raw
// bytes, which are not terminated: the "_EndContents" item follows them
// directly, and where the text is cut at a packet's end the part in that
// packet is ended by a zero byte. The decoder keeps its state across packets,
// so packets must be fed in packet-number order.
//
// The output is the flat inventory file exactly as the scanner writes it in
// text mode: "key value" or "key" lines, the record as four lines (name,
// directory, time, size), the contents copied without carriage returns, and
// every line break written as CR LF, and a line break before "_EndContents"
// when the captured text does not end with one. A stored inventory can
// therefore be compared byte for byte with the scanner's own file, or replayed by it.
// Only the item and record lines differ where a peer put control characters
// into them: those are written as \xNN (escape.h), so that no item can split
// into lines of its own (a forged "Number of Files =" line, say).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qv::invserver {

struct CapturedFile {
    std::string directory;
    std::string name;
    std::uint32_t time = 0;
    std::uint32_t size = 0;
    std::string contents;          // as sent (carriage returns kept)
    std::string time_text, size_text;  // the record's fields as sent
    bool closed = true;            // "_EndContents" came (false: the stream ended inside the text)
};

// One piece of the stream, in order: an item as sent (key and value run
// together, or a marker), or a contents block (its record, text and end).
struct StreamEntry {
    std::string item;              // the item; empty for a contents block
    std::size_t file = 0;          // a contents block: its index in files()
    bool contents = false;
};

// The flat file's lines of one item as sent ("key value", "key" or the
// marker), and of a contents block (record lines, text, "_EndContents" when
// closed): the one rendering the decoder and the store's rebuild share.
void AppendItemLines(std::string* flat, const std::string& item);
void AppendContentsLines(std::string* flat, const CapturedFile& file);
// Splits an item as sent at its first "=": false (key = item) when it has none.
bool SplitItem(const std::string& item, std::string* key, std::string* value);

class StreamDecoder {
public:
    // `remember`: the keys whose first value Value() tells (the server needs
    // only the device ID). Only those are looked for, so no item is compared
    // with the items before it, however many there are.
    StreamDecoder() : StreamDecoder(std::vector<std::string>{"Device ID ="}) {}
    explicit StreamDecoder(std::vector<std::string> remember);
    // Feeds one payload (the datagram after its 4 header bytes).
    void Feed(const std::uint8_t* payload, std::size_t len);

    // The flat inventory file of what came so far.
    std::string flat() const;
    // Captured files whose text ended ("_EndContents" came).
    const std::vector<CapturedFile>& files() const { return files_; }
    // Everything that came, in order; a contents block whose index is
    // files().size() is the one still open (unclosed()).
    const std::vector<StreamEntry>& entries() const { return entries_; }
    const CapturedFile* unclosed() const { return state_ == State::Text ? &current_ : nullptr; }
    std::size_t items() const { return items_; }
    // Value of the first item with this key, one of those to remember, or "".
    std::string Value(const std::string& key) const;
    // Bytes of decoded data held (the flat file, captured texts, first values).
    std::size_t held() const { return extra_; }

private:
    enum class State { Items, Record, Text };
    void Text(const std::string& s);

    State state_ = State::Items;
    int record_field_ = 0;
    std::string record_[4];
    CapturedFile current_;
    std::vector<CapturedFile> files_;
    std::vector<StreamEntry> entries_;
    struct Remembered {
        std::string key, value;
        bool seen = false;
    };
    std::vector<Remembered> remembered_;
    std::size_t items_ = 0;
    std::size_t extra_ = 0;        // bytes held
};

}  // namespace qv::invserver
