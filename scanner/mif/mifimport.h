// Import of custom MIF files: the reader.
//
// Other software on the machine may describe itself in MIF files of the MIF
// directory. The import turns the attribute values it finds there into
// ordinary inventory items, keyed "MIF-component-group-attribute". It is a
// tolerant, keyword-driven reader, not a MIF grammar: it follows the nesting
// of Start/End blocks, picks out component, group and attribute names,
// scalar values and the columns of tables, and ignores everything else. A
// malformed file yields whatever items these rules give and never an error.
//
// A file is read in two passes over its bytes:
//  - the pre-scan, word by word: "// DONT_SCAN" skips the whole file (the
//    scanner's own QVISCAN.MIF carries it), "// NO_MIF_HEADER" selects the
//    short keys (the attribute name alone), and every "Start Table" section
//    has the positions of its lines naming a group or class recorded;
//  - the main pass, token by token, with the block depth telling component
//    (1), group (2) and attribute (3) level. An attribute of a group that has
//    a table yields one item per table row (its column, by the attribute's
//    ordinal in the group); any other attribute yields its value.
// A table's rows are the texts between "{" and "}" from its recorded line
// on, their values separated by commas outside quotes; "end" read between
// two rows (outside quotes and comments) ends the table.
//
// The file is held in memory and read through positions, so a search that
// looks ahead (a group's table, a table's rows) cannot disturb the main
// pass. A table is read once, in one pass over its rows, into all its
// columns; its attributes then take their column from memory. The texts of
// the recorded table lines are read once per file as well.
//
// Limits against hostile files: the bytes read, a budget of bytes (a
// multiple of the file's size) for what the look-aheads read and the table
// items give out, the recorded table lines and the values of one table. A well-formed file stays far below all of
// them. When one of them stops the reading of something the file holds, the
// import is cut: the items read so far are kept and the result says so, so
// that the caller can report it.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace qv::scanner {

// Longest component, group, class and attribute name and value.
constexpr std::size_t kMifImportTextMax = 80;
// Recorded table lines per file.
constexpr std::size_t kMifTableListMax = 1024;
// Line limit of the pre-scan's table section reading (with terminator).
constexpr std::size_t kMifPrescanLineSize = 100;
// Longest token kept by the main pass; the rest of a longer one is read
// and dropped.
constexpr std::size_t kMifTokenMax = 255;
// Bytes the look-aheads may read and the table items may give out (keys
// and values), per file: this many times the file's size, and at least the
// minimum. A well-formed file reads each table once and gives out its
// values once, well within it.
constexpr std::size_t kMifRescanFactor = 16;
constexpr std::size_t kMifRescanMin = 4u * 1024 * 1024;
// Values of one table kept in memory (rows times columns).
constexpr std::size_t kMifTableValuesMax = 1u << 20;
// Largest file read; the bytes after this are not looked at.
constexpr std::size_t kMifImportFileMax = 8u * 1024 * 1024;

using MifItemFn = std::function<void(std::string_view key, std::string_view value)>;

enum class MifImportResult {
    kRead,     // every item the rules give was added
    kSkipped,  // marked "// DONT_SCAN": nothing added
    kCut,      // a limit stopped the reading: the items up to it were added
};

// Reads one file's text and hands each item to add.
MifImportResult ImportMifText(std::string_view text, const MifItemFn& add);

}  // namespace qv::scanner
