#include "tools/rcconsole/png_file.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace qv::rcc {

namespace {

// libpng reports errors by a long jump; its message is kept for the caller.
struct PngErrors {
    std::string message;
};

void OnPngError(png_structp png, png_const_charp msg) {
    if (auto* e = static_cast<PngErrors*>(png_get_error_ptr(png))) e->message = msg;
    png_longjmp(png, 1);
}
void OnPngWarning(png_structp, png_const_charp) {}

// The body of WritePng that may jump: kept free of objects with destructors.
bool Encode(std::FILE* f, png_uint_32 width, png_uint_32 height, const uint8_t* rgb, PngErrors* errors) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, errors, OnPngError, OnPngWarning);
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
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (png_uint_32 y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(rgb + static_cast<std::size_t>(y) * width * 3));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool WritePng(const std::string& path, std::size_t width, std::size_t height, const std::vector<uint8_t>& rgb,
              std::string* error) {
    // PNG limits each side to 2^31 - 1; the screens here are far smaller.
    constexpr std::size_t kMaxSide = 0x7FFFFFFF;
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide || rgb.size() / 3 / width < height) {
        *error = "no picture to write (" + std::to_string(width) + " x " + std::to_string(height) + ")";
        return false;
    }
    const std::string temp = path + ".part";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) {
        *error = temp + ": " + std::strerror(errno);
        return false;
    }
    PngErrors errors;
    const bool encoded =
        Encode(f, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), rgb.data(), &errors);
    const bool flushed = std::fflush(f) == 0 && !std::ferror(f);
    const int write_errno = errno;
    const bool closed = std::fclose(f) == 0;
    if (!encoded || !flushed || !closed) {
        *error = temp + ": " + (!errors.message.empty() ? errors.message : std::string(std::strerror(write_errno)));
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
