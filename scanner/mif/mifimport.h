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
//
// The file is held in memory and read through positions, so a search that
// looks ahead (a group's table, a table's rows) cannot disturb the main
// pass. Those look-aheads read the file again for every group and column;
// a budget of re-read bytes per file keeps a hostile file from taking
// quadratic time: once spent, no more tables are looked up or read.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace qv::scanner {

// Longest component, group, class and attribute name and value.
constexpr std::size_t kMifImportTextMax = 80;
// Recorded table lines per file.
constexpr std::size_t kMifTableListMax = 64;
// Line limit of the pre-scan's table section reading (with terminator).
constexpr std::size_t kMifPrescanLineSize = 100;
// Longest token kept by the main pass; the rest of a longer one is read
// and dropped.
constexpr std::size_t kMifTokenMax = 255;
// Bytes the look-aheads may read again, per file: this many times the
// file's size, and at least the minimum (enough for any real table).
constexpr std::size_t kMifRescanFactor = 16;
constexpr std::size_t kMifRescanMin = 4u * 1024 * 1024;
// Largest file read; the bytes after this are not looked at.
constexpr std::size_t kMifImportFileMax = 8u * 1024 * 1024;

using MifItemFn = std::function<void(std::string_view key, std::string_view value)>;

// Reads one file's text and hands each item to add. Returns false when the
// file is marked "// DONT_SCAN" (nothing is added).
bool ImportMifText(std::string_view text, const MifItemFn& add);

}  // namespace qv::scanner
