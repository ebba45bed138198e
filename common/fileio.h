// File helpers shared by the programs' portable code: the report for a file
// that cannot be used, and seeking to offsets past 2 GB.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace qv {

// The report for a file that cannot be opened, read or written, in the form
// of the C runtime's perror: the file name, a colon, a blank and the system's
// text for `error` (an errno value), then a line break.
std::string FileErrorText(std::string_view name, int error);

// Writes FileErrorText to standard error. Standard output is flushed first,
// so the report follows whatever the program printed before it.
void ReportFileError(std::string_view name, int error);

// Moves `file` to byte `offset` from its start, with 64-bit offsets on every
// platform (a plain fseek takes a long, which is 32 bits on Windows). False
// when the seek fails or the offset is out of the platform's range.
bool SeekFile(std::FILE* file, std::uint64_t offset);

}  // namespace qv
