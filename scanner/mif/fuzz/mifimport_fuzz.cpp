// Fuzz target for the custom MIF import's reader.
//
// The input is a MIF file's content. Whatever it holds, the reader must
// come back, and every item it yields must be one the flat file can carry:
// a key of at most 64 bytes ending in " =", a value of at most 80 bytes, and
// neither holding a control character (a line break would split the item).
#include "scanner/mif/mifimport.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

bool Printable(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    qv::scanner::ImportMifText(text, [](std::string_view key, std::string_view value) {
        if (key.size() < 2 || key.size() > 64 || key.substr(key.size() - 2) != " =") std::abort();
        if (value.size() > qv::scanner::kMifImportTextMax) std::abort();
        if (!Printable(key) || !Printable(value)) std::abort();
    });
    return 0;
}
