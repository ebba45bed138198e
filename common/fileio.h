// File helpers shared by the programs' portable code: the report for a file
// that cannot be used.
#pragma once

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

}  // namespace qv
