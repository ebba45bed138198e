// String-table IDs of the scanner's entry and main flow.
#pragma once

namespace qv::scanner {

// Console texts (language library or our own table).
constexpr unsigned kStrBanner1 = 1;
constexpr unsigned kStrBanner2 = 2;
constexpr unsigned kStrScanningHardware = 7;
constexpr unsigned kMsgInvalidData = 69;
constexpr unsigned kStrPressAnyKey = 72;
constexpr unsigned kMsgNoDatabase = 79;
constexpr unsigned kMsgNoDeviceId = 84;

// Item labels (always our own table).
constexpr unsigned kLabelSoftware = 62;
constexpr unsigned kLabelBeginContents = 74;
constexpr unsigned kLabelEndContents = 75;
constexpr unsigned kLabelDeviceId = 85;

}  // namespace qv::scanner
