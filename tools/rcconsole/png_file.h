// The console's picture of the remote screen as PNG: in memory (for the web
// console's page) or written to a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qv::rcc {

// A picture to encode: width x height pixels in top-down rows without
// padding. Without a palette a pixel is 3 bytes (red, green, blue); with one
// a pixel is 1 byte, an index into palette_rgb (3 bytes an entry, at most
// 256 entries), stored in the file with palette_bits bits (1, 2, 4 or 8,
// enough for the palette's size).
struct PngPicture {
    std::size_t width = 0, height = 0;
    const uint8_t* pixels = nullptr;
    std::size_t pixels_size = 0;
    const uint8_t* palette_rgb = nullptr;
    std::size_t palette_size = 0;
    unsigned palette_bits = 8;
};

// Appends the PNG of the picture to *out. False, with *error in words, when
// the sizes do not fit the pixels or the palette (nothing usable is
// appended then).
bool EncodePng(const PngPicture& picture, std::vector<uint8_t>* out, std::string* error);

// Writes width x height pixels of top-down 8-bit RGB (3 bytes a pixel, rows
// without padding) to path as a PNG. The picture goes to a temporary file
// beside path first and is renamed over it, so that a reader never sees a
// half-written picture (view rewrites the file while others look at it).
// False, with *error in words, when the size does not fit the pixels or the
// file cannot be written.
bool WritePng(const std::string& path, std::size_t width, std::size_t height, const std::vector<uint8_t>& rgb,
              std::string* error);

}  // namespace qv::rcc
