#include "common/dataformat.h"

#include <charconv>
#include <cstdio>

namespace qv {

std::string FixedC(double value, int width, int precision) {
    // to_chars never consults the locale.
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, precision);
    std::string text = ec == std::errc() ? std::string(buf, end) : std::string();
    if (width > 0 && text.size() < static_cast<std::size_t>(width))
        text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
    return text;
}

std::string DateTimeC(int year, int month, int day, int hour, int minute, int second) {
    // Integers only: no conversion here depends on the locale.
    int yy = year % 100;
    if (yy < 0) yy += 100;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%02d %02d:%02d:%02d", month, day, yy, hour, minute, second);
    return buf;
}

}  // namespace qv
