// Limits and labels of the inventory data that the scanner writes and sends
// and the inventory server decodes and stores. Both sides take them from
// here, so the two can never disagree about them.
#pragma once

#include <cstddef>
#include <string_view>

namespace qv {

// Longest device ID; a longer one is cut to this length.
inline constexpr std::size_t kDeviceIdMax = 79;

// Size of one item packet: key and value texts, each ending in a zero byte,
// and one more zero byte after the last item.
inline constexpr std::size_t kItemPacketSize = 542;

// Longest key plus value that fits one packet (two bytes stay reserved for
// the zero bytes that end an item and the packet).
inline constexpr std::size_t kItemMax = kItemPacketSize - 2;

// Labels of the items that open and close a captured file's text.
inline constexpr std::string_view kBeginContentsLabel = "_BeginContents";
inline constexpr std::string_view kEndContentsLabel = "_EndContents";

}  // namespace qv
