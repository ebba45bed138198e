#include "common/win/localize_win.h"

#include <cstdint>

#include "libs/xlat32/xlat_core.h"

namespace qv::win {

bool IsLanguageLibrary(HINSTANCE answer, Refuse32 refuse_32) {
    auto value = reinterpret_cast<std::uintptr_t>(answer);
    return refuse_32 == Refuse32::yes ? value > 32 : value >= 32;
}

Localization LocalizeStartup(HINSTANCE self, const char* code, const char* long_name,
                             Refuse32 refuse_32, LanguageLoader loader) {
    Localization loc;
    QVsetlocale(0, " ");
    QVlocaleconv(&loc.conv);
    HINSTANCE lib = loader ? loader(self, code, long_name) : nullptr;
    loc.language_library = IsLanguageLibrary(lib, refuse_32);
    loc.texts = loc.language_library ? lib : self;
    return loc;
}

bool LoadText(HINSTANCE module, UINT id, std::string* out) {
    out->clear();
    // Texts live in blocks of 16: block id / 16 + 1 holds text id % 16.
    HRSRC res = FindResourceA(module, MAKEINTRESOURCEA((id >> 4) + 1), MAKEINTRESOURCEA(6) /* RT_STRING */);
    if (res == nullptr) return false;
    HGLOBAL mem = LoadResource(module, res);
    DWORD size = SizeofResource(module, res);
    const auto* block = static_cast<const unsigned char*>(mem ? LockResource(mem) : nullptr);
    if (block == nullptr) return false;
    std::size_t offset = 0, units = 0;
    if (!qv::xlat::FindInStringBlock(block, size, id & 15, &offset, &units)) return false;
    // Resource data is aligned, and every text starts at an even offset.
    const auto* text = reinterpret_cast<const wchar_t*>(block + offset);
    int n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    out->resize(static_cast<std::size_t>(n));
    WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), out->data(), n, nullptr, nullptr);
    return true;
}

}  // namespace qv::win
