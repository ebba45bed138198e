// Text forms shared by the hardware scanners.
//
// MIF escaping comes in two forms: a copy that doubles every backslash, and
// an in-place form on a fixed 1024-byte buffer that leaves the text alone
// when the doubled text might not fit. The other helpers produce the value
// texts of drive and system items: volume serial numbers, sizes in
// megabytes, floppy media texts, and the pieces of environment entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv::scanner {

// Size of the work buffer of the in-place MIF escaping (and of the
// environment scan's entry buffer).
constexpr std::size_t kMifEscapeBufferSize = 1024;
// Longest environment value put into an item.
constexpr std::size_t kEnvironmentValueMax = 255;

// Copy form: every "\" doubled.
std::string MifEscape(std::string_view text);

// In-place form on a zero-terminated text in a buffer of `size` bytes: every
// "\" doubled, unless the text's length plus twice the number of
// backslashes exceeds size, in which case the text is left as it is.
// Returns true when the text was escaped (or had nothing to escape).
bool MifEscapeInPlace(char* buffer, std::size_t size);

// True when text holds something other than blanks.
bool NotBlank(std::string_view text);

// The MIF attribute name of an item label: the label cut at its last "="
// together with the blank before it ("Memory - X =" gives "Memory - X").
std::string AttributeNameFromLabel(std::string_view label);

// Volume serial number as "HIGH-LOW", each half in upper-case hexadecimal
// without leading zeros: 0x00A10003 gives "A1-3".
std::string SerialNumberText(std::uint32_t serial);

// A byte count in megabytes, "%8.1f MB". Counts are 64-bit so that drives
// of 4 GB and more are reported correctly.
std::string SizeText(std::uint64_t bytes);

// String number of the media text for a floppy drive's MEDIA_TYPE; 0 for
// removable and fixed media, which are not floppy drives.
unsigned FloppyMediaTextId(int media_type);

// The media text as it goes into a MIF row: its first double quote (the
// inch mark) replaced by a blank.
std::string FloppyRowMediaText(std::string_view media_text);

// Splits an environment entry "NAME=VALUE" into name and value. The value
// ends at a second "=". Entries beginning with "=" and entries whose name or
// value is empty give false.
bool SplitEnvironmentEntry(std::string_view entry, std::string& name, std::string& value);

// The service pack number from a CSDVersion value: the text after its first
// 13 characters ("Service Pack 3" gives "3"); "0" when the value could not
// be read; empty for a shorter value.
std::string ServicePackText(bool readable, std::string_view csd_version);

// printf-style formatting into a std::string (for the templates the items use).
std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace qv::scanner
