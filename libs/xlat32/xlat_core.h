// The Windows-free heart of the localization library.
//
// Everything here works on ANSI texts that may hold double-byte characters.
// Which bytes open a double-byte character depends on the code page, so every
// routine that walks a text takes a LeadBytes set; the DLL fills one from the
// system's ANSI code page at load time, and the tests fill one for a chosen
// code page (932 in most cases). A lead byte directly followed by the
// terminator is treated as a single-byte character, so no walk ever steps over
// the end of a text.
//
// The number formatter behind the string-table formatter accepts only integer
// conversions: string-table texts come from language libraries that we do not
// control, and the callers pass plain numbers, so a "%s" in a translated text
// must not turn a number into a pointer. Anything else is copied literally.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qv::xlat {

class LeadBytes {
public:
    constexpr LeadBytes() = default;
    constexpr bool is_lead(unsigned char b) const { return (bits_[b >> 5] >> (b & 31)) & 1u; }
    constexpr void set(unsigned char b) { bits_[b >> 5] |= 1u << (b & 31); }
    constexpr void set_range(unsigned char lo, unsigned char hi) {
        for (unsigned b = lo; b <= hi; ++b) set(static_cast<unsigned char>(b));
    }
    constexpr bool empty() const {
        for (auto w : bits_)
            if (w) return false;
        return true;
    }

private:
    std::uint32_t bits_[8] = {};
};

// The lead bytes of code page 932 (Japanese Shift-JIS), for tests and as an
// example of a double-byte set.
LeadBytes ShiftJisLeadBytes();

// Character code at p: the byte (0..255), or lead * 256 + trail for a
// double-byte character. 0 at the terminator.
int CharVal(const char* p, const LeadBytes& lead);
// Length of the character whose first bytes are packed into `bytes` (first
// byte in the low 8 bits): 2 for a lead byte followed by a non-zero byte,
// otherwise 1.
int CharLength(std::uint32_t bytes, const LeadBytes& lead);
// The next character's position; p itself at the terminator.
const char* NextChar(const char* p, const LeadBytes& lead);
// The position of the character before p, walking from start; start when p is
// at or before start.
const char* PrevChar(const char* start, const char* p, const LeadBytes& lead);

// Decimal value of s: leading blanks and tabs skipped, an optional sign, then
// digits; 0 without digits. Values beyond the int range saturate.
int Atoi(const char* s);
// Decimal text of value into buffer (kItoaBufferMin bytes at least).
constexpr std::size_t kItoaBufferMin = 12;
char* Itoa(int value, char* buffer);
// Copies whole characters of src into dst, at most count bytes, and fills the
// rest of the count with zero bytes (so a caller that terminates dst[count]
// gets a whole-character text). Never reads past src's terminator.
void Strncpy(char* dst, const char* src, std::size_t count, const LeadBytes& lead);
// Length of the longest prefix of s[0..len) that does not end in the middle of
// a double-byte character.
std::size_t WholeCharLength(const char* s, std::size_t len, const LeadBytes& lead);

// Number of integer placeholders (conversions that take a value) in tmpl.
std::size_t CountNumberPlaceholders(const char* tmpl);
// Fills the integer placeholders of tmpl with values in order (a placeholder
// beyond the values gets 0) into out[0..cap), always terminated when cap > 0,
// never cutting a double-byte character. Supported: %% and %[flags][width]
// [.precision][h|l]{d,i,u,x,X,o,c}; other conversions are copied literally.
// Returns the length written.
std::size_t FormatNumbers(const char* tmpl, const int* values, std::size_t nvalues, char* out,
                          std::size_t cap, const LeadBytes& lead);

// A string-table block holds 16 texts, each a 16-bit little-endian length in
// UTF-16 units followed by that many units. Finds text `index` (0..15) of the
// block: sets *offset (bytes from the block start) and *units. False when the
// block is cut short or the text is absent (length 0, as resource compilers
// write for IDs the table does not define).
bool FindInStringBlock(const unsigned char* block, std::size_t size, unsigned index,
                       std::size_t* offset, std::size_t* units);

// Language library lookup. A program code is a plain file-name part: 1 to 8
// characters, letters, digits, '_' or '-'. A language abbreviation is exactly
// three ASCII letters (as Windows reports it, e.g. "ENU").
bool IsValidProgramCode(std::string_view code);
bool IsValidLanguageAbbrev(std::string_view abbrev);
// Path of the language library: the directory of module_path (everything up to
// and including its last '\' or '/'), the code, the abbreviation in upper case
// and ".DLL". False (out empty) when an input is invalid or the path does not
// fit in cap bytes with its terminator.
bool LanguageLibraryPath(std::string_view module_path, std::string_view code,
                         std::string_view abbrev, char* out, std::size_t cap);

}  // namespace qv::xlat
