// Replay of a flat inventory file: its items are sent to the server again.
//
// The file is read as a text file the way the Windows C runtime reads one:
// CR LF becomes LF, and a byte 26 ends the file. Each line is one item
// "key value", the key ending at the first "="; a line beginning with the
// "_BeginContents" label starts a contents block: four record lines (name,
// directory, time, size), then text lines up to the "_EndContents" line.
// Text lines are packed only (LF as CR LF); items and the record go through
// the stream as in a scan, so the packets equal those of the run that wrote
// the file.
//
// Lines of any length are read whole, as the scanner writes them: an item
// keeps what a packet can hold of it (the stream cuts longer items as in the
// scan), a record line what its area holds, and text lines are packed in
// pieces. Nothing of a line is taken for the next one.
//
// Data that would pack an empty field (a blank item line or record line, or
// one that begins with a zero byte) is invalid: the zero pair of an empty
// field ends a packet early and would lose everything after it.
//
// Only a line break is removed from a line: a last line without one keeps its
// last character.
//
// Results: 0 replayed and the last packet accepted; 20 the file cannot be
// opened; 40 a line without "=", a field that would be empty, or a contents
// block cut short inside its record; -1 the last packet was not delivered.
#pragma once

#include "scanner/records/itemstream.h"

#include <functional>
#include <string>
#include <string_view>

namespace qv::scanner {

constexpr int kReplayOk = 0;
constexpr int kReplayCannotOpen = 20;
constexpr int kReplayInvalidData = 40;
constexpr int kReplaySendFailed = -1;

constexpr std::size_t kReplayLineMax = 511;    // characters per piece of contents text
constexpr std::size_t kReplayRecordMax = 200;  // characters kept of a record line
// Characters kept of an item line: more than a packet holds of one item.
constexpr std::size_t kReplayItemKeep = 1024;

// Text of message 69 for a contents block that ends inside its record.
inline constexpr std::string_view kEndOfFileInContents = "End of file during configuration file.";

struct ReplayOptions {
    // The contents block markers as loaded from the program's string table;
    // empty texts fall back to the built-in labels.
    std::string begin_label = std::string(kBeginContentsLabel);
    std::string end_label = std::string(kEndContentsLabel);
    // Message 69 ("Invalid data in file %s:\n%s\n") with the file name and the
    // offending text. The program passes a printer that honours quiet mode.
    // Default: the English text on standard output.
    std::function<void(std::string_view file, std::string_view text)> invalid_data;
    // The file error report for a file that cannot be opened ("name: system
    // text"). Default: the C runtime's text for the error on standard error.
    std::function<void(std::string_view path, int error)> file_error;
};

// Replays the file on the given stream (the run's stream in the program).
int ReplayInventoryFile(const char* path, const ReplayOptions& options, ItemStream& stream);
// Replays on the run's stream (InventoryStream()).
int ReplayInventoryFile(const char* path, const ReplayOptions& options = {});

// The replay of already opened content; `file_name` is used in messages.
int ReplayInventory(ByteSource& in, std::string_view file_name, const ReplayOptions& options,
                    ItemStream& stream);

}  // namespace qv::scanner
