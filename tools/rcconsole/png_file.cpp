#include "tools/rcconsole/png_file.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace qv::rcc {

namespace {

// libpng reports errors by a long jump; its message is kept for the caller.
struct PngSink {
    std::vector<uint8_t>* out = nullptr;
    std::string message;
};

void OnPngError(png_structp png, png_const_charp msg) {
    if (auto* s = static_cast<PngSink*>(png_get_error_ptr(png))) s->message = msg;
    png_longjmp(png, 1);
}
void OnPngWarning(png_structp, png_const_charp) {}

void OnPngWrite(png_structp png, png_bytep data, png_size_t n) {
    auto* s = static_cast<PngSink*>(png_get_io_ptr(png));
    s->out->insert(s->out->end(), data, data + n);
}
void OnPngFlush(png_structp) {}

// The body of EncodePng that may jump: kept free of objects with
// destructors (the output vector lives with the caller).
bool Encode(const PngPicture& p, PngSink* sink) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, sink, OnPngError, OnPngWarning);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, sink, OnPngWrite, OnPngFlush);
    const auto width = static_cast<png_uint_32>(p.width), height = static_cast<png_uint_32>(p.height);
    std::size_t row_bytes = p.width * 3;
    if (p.palette_rgb) {
        row_bytes = p.width;
        png_set_IHDR(png, info, width, height, static_cast<int>(p.palette_bits), PNG_COLOR_TYPE_PALETTE,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_color colours[256];
        for (std::size_t i = 0; i < p.palette_size; ++i)
            colours[i] = {p.palette_rgb[3 * i], p.palette_rgb[3 * i + 1], p.palette_rgb[3 * i + 2]};
        png_set_PLTE(png, info, colours, static_cast<int>(p.palette_size));
        // Indices compress best unfiltered.
        png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    } else {
        png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    }
    png_write_info(png, info);
    if (p.palette_rgb && p.palette_bits < 8) png_set_packing(png);  // one index a byte in, packed in the file
    for (png_uint_32 y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(p.pixels + static_cast<std::size_t>(y) * row_bytes));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool EncodePng(const PngPicture& p, std::vector<uint8_t>* out, std::string* error) {
    // PNG limits each side to 2^31 - 1; the screens here are far smaller.
    constexpr std::size_t kMaxSide = 0x7FFFFFFF;
    const std::size_t pixel_bytes = p.palette_rgb ? 1 : 3;
    if (p.width == 0 || p.height == 0 || p.width > kMaxSide || p.height > kMaxSide || !p.pixels ||
        p.pixels_size / pixel_bytes / p.width < p.height) {
        *error = "no picture to write (" + std::to_string(p.width) + " x " + std::to_string(p.height) + ")";
        return false;
    }
    if (p.palette_rgb) {
        const unsigned b = p.palette_bits;
        if ((b != 1 && b != 2 && b != 4 && b != 8) || p.palette_size == 0 || p.palette_size > (1u << b)) {
            *error = "a palette of " + std::to_string(p.palette_size) + " colours does not fit " +
                     std::to_string(b) + " bits a pixel";
            return false;
        }
    }
    PngSink sink;
    sink.out = out;
    const std::size_t before = out->size();
    if (!Encode(p, &sink)) {
        out->resize(before);
        *error = sink.message.empty() ? std::string("out of memory") : sink.message;
        return false;
    }
    return true;
}

bool WritePng(const std::string& path, std::size_t width, std::size_t height, const std::vector<uint8_t>& rgb,
              std::string* error) {
    PngPicture picture;
    picture.width = width;
    picture.height = height;
    picture.pixels = rgb.data();
    picture.pixels_size = rgb.size();
    std::vector<uint8_t> png;
    if (!EncodePng(picture, &png, error)) return false;
    const std::string temp = path + ".part";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) {
        *error = temp + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(png.data(), 1, png.size(), f) == png.size() && std::fflush(f) == 0;
    const int write_errno = errno;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        *error = temp + ": " + std::strerror(write_errno);
        std::remove(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace qv::rcc
