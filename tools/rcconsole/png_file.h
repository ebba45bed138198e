// Writing the console's picture of the remote screen as a PNG file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qv::rcc {

// Writes width x height pixels of top-down 8-bit RGB (3 bytes a pixel, rows
// without padding) to path as a PNG. The picture goes to a temporary file
// beside path first and is renamed over it, so that a reader never sees a
// half-written picture (view rewrites the file while others look at it).
// False, with *error in words, when the size does not fit the pixels or the
// file cannot be written.
bool WritePng(const std::string& path, std::size_t width, std::size_t height, const std::vector<uint8_t>& rgb,
              std::string* error);

}  // namespace qv::rcc
