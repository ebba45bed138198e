// System resources and drivers-and-services items: the portable half.
//
// The Win32 scanners (sysres_win.cpp, services_win.cpp) read the registry's
// hardware description, the keyboard, mouse and display queries and the
// service control manager; the functions here turn what they found into
// inventory items, System Resources attributes and Ports rows.
//
// The registry's "Configuration Data" values are parsed here too. They are
// binary records of a documented layout, but the bytes come from the
// registry as they are: a value may be shorter than its own descriptor count
// claims, so every read is checked against the value's real length and a
// lying count only yields the descriptors that are really there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/hardware/hwsink.h"

namespace qv::scanner {

enum SysresString : unsigned {
    kStrSystemModel = 30,
    kStrBiosDate = 32,
    kStrBusType = 33,
    kStrMouseButtons = 67,
    kStrLptAddress = 88,
    kStrComAddress = 89,
    kStrResolutionText = 117,
    kStrBitsPerPixelText = 118,
    kStrKilobytesText = 121,
    kStrServiceStatus = 162,
    kStrServiceStopped = 164,  // 164 to 170: the texts of the states 1 to 7
    kStrVideoChipType = 180,
    kStrVideoDacType = 181,
    kStrVideoMemory = 182,
    kStrVideoString = 183,
    kStrVideoResolution = 184,
    kStrVideoColors = 185,
};

// Registry texts of these scans are read into 256 bytes.
constexpr std::size_t kSysresTextMax = 255;
// The bus list is held in 256 bytes.
constexpr std::size_t kBusListMax = 255;
// Service labels and state texts are at most this long.
constexpr std::size_t kServiceTextMax = 255;

// Sizes of the full resource descriptor's parts.
constexpr std::size_t kResourceHeaderSize = 16;
constexpr std::size_t kPartialDescriptorSize = 16;
constexpr std::uint8_t kResourceTypePort = 1;

// The low 32 bits of the start address of every I/O port descriptor of a
// full resource descriptor, in order. Descriptors that the value's length
// does not hold are not read, whatever the count says.
std::vector<std::uint32_t> IoPortStarts(const std::uint8_t* data, std::size_t size);

// Adds a multifunction adapter's identifier to the bus list: an empty
// identifier is ignored, the first one starts the list, later ones are
// appended after ", " unless the list already contains them. An identifier
// that would take the list past kBusListMax is left out.
void AppendBus(std::string& list, std::string_view identifier);

// Fills the integer conversions of a string-table template (%d, %u, %i,
// %X and the like, with flags and width) with values in turn; "%%" gives
// "%". Other conversions are copied as they are, so a template is never
// used as a format string itself.
std::string FillNumbers(std::string_view tmpl, std::initializer_list<long> values);

void WriteBiosDate(HardwareSink& sink, std::string_view date);
void WriteSystemModel(HardwareSink& sink, std::string_view model);
// The bus item, when the list is not empty.
void WriteBusItem(HardwareSink& sink, const std::string& list);

enum class PortKind { kCom, kLpt };
// One serial or parallel controller (number = controller index + 1): a
// Ports row and an item for every I/O port descriptor of its configuration
// data.
void WritePortItems(HardwareSink& sink, PortKind kind, int number, const std::uint8_t* data,
                    std::size_t size);

// The built-in keyboard type text; "Unknown" for types without one.
const char* KeyboardTypeText(int type);
void WriteKeyboardItems(HardwareSink& sink, int type, int subtype, int function_keys, int code_page);

void WriteMouseItem(HardwareSink& sink, unsigned buttons);

// What the video scan found. Texts default to "Unknown" (the adapter
// string to empty).
struct VideoFacts {
    bool adapter_found = false;
    std::string adapter_string;
    std::string chip_type = "Unknown";
    std::string dac_type = "Unknown";
    bool memory_read = false;
    std::uint32_t memory_bytes = 0;
    bool mode_read = false;
    int width = 0, height = 0, bits_per_pixel = 0, planes = 0;
};
// The registry path below HKEY_LOCAL_MACHINE of an upper-cased video
// device value: the part that begins with "SYSTEM"; empty when there is none.
std::string VideoDeviceKey(std::string_view upper_value);
// "%4d KB" of the byte count in kilobytes.
std::string VideoMemoryText(HardwareSink& sink, std::uint32_t bytes);
// Colour count (2 to the power of the colour bits) or "%d Bits/Pixel" from
// 32 bits on.
std::string ColorsText(HardwareSink& sink, int planes, int bits_per_pixel);
// The four adapter items when an adapter was found, then resolution and
// colours.
void WriteVideoItems(HardwareSink& sink, const VideoFacts& v);

// String number of the text of a service state (1 to 7); 0 for others.
unsigned ServiceStateTextId(unsigned long state);
// One drivers-and-services item: the label is the formatted status template
// (its "%s" filled with the display name), cut to kServiceTextMax, then " =".
// A state without a text gives an empty value.
void WriteServiceItem(HardwareSink& sink, std::string_view status_template, std::string_view display_name,
                      unsigned long state);

}  // namespace qv::scanner
