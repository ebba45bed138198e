// Small text helpers shared by the programs' portable code.
//
// The programs keep texts in fixed-size fields (79-character values, 260-byte
// paths); these helpers copy into such fields without ever writing past them,
// and do the case-insensitive prefix tests the file formats use.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

// Copies at most cap-1 bytes of src into dst and terminates it. Returns true
// when the whole of src fitted.
bool CopyBounded(char* dst, std::size_t cap, std::string_view src);

// Removes one trailing line break ("\n", "\r\n" or a lone "\r") from line.
// A line without a line break is left as it is.
void StripLineBreak(std::string& line);

// True when text begins with prefix, compared without regard to ASCII case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// ASCII upper-casing of a whole text (bytes above 127 are left alone, so
// double-byte characters pass through unchanged).
std::string UpperAscii(std::string_view text);

}  // namespace qv
