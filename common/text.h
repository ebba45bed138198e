// Small text helpers shared by the programs' portable code.
//
// The programs keep texts in fixed-size fields (79-character values, 260-byte
// paths); these helpers copy into such fields without ever writing past them,
// and do the case-insensitive comparisons the file formats use. Case is
// folded for the ASCII letters only: bytes above 127 are left alone, so
// double-byte characters pass through unchanged and compare exactly.
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

// The upper-case letter of an ASCII lower-case letter; any other byte as it is.
inline char UpperChar(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when a and b are the same text without regard to ASCII case.
bool EqualNoCase(std::string_view a, std::string_view b);

// True when text begins with prefix, compared without regard to ASCII case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// ASCII upper-casing of a whole text.
std::string UpperAscii(std::string_view text);

// Windows-1252, the code page of the Windows programs' texts, and UTF-8.
bool ValidUtf8(std::string_view s);
// Every byte as its Windows-1252 character; the five bytes that code page
// leaves undefined become U+FFFD.
std::string Cp1252ToUtf8(std::string_view s);
// False when s is not valid UTF-8 or holds a character Windows-1252 lacks.
bool Utf8ToCp1252(std::string_view s, std::string* out);

}  // namespace qv
