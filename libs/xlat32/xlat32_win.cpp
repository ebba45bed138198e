// xlat32.dll: the localization library the three programs load at start-up.
//
// Design. The DLL is a thin Windows shell around xlat_core: at load time it
// reads which bytes of the system's ANSI code page open a double-byte
// character (IsDBCSLeadByte, the same test CharNextA and CharPrevA make) into
// a LeadBytes set, and every character routine walks texts with that set.
// Formatting goes to the C runtime (QVSPRINTF) or to wvsprintfA (QVWSPRINTF)
// through a scratch buffer, so neither ever writes more than
// kQvFormattedStringMax bytes into the caller's buffer.
//
// Finding a language resource library. A program's texts may be translated
// into a resource-only DLL that holds the same string table in another
// language. For program code C (e.g. "scnnt") and the user's three-letter
// language abbreviation L (GetLocaleInfoA LOCALE_SABBREVLANGNAME, e.g. "DEU")
// the library is the file "<C><L>.DLL" in the directory the program itself
// was loaded from (e.g. C:\QV\scnntDEU.DLL). It is loaded as a data file
// (LoadLibraryExA with LOAD_LIBRARY_AS_DATAFILE): none of its code runs, only
// its resources are used. It stays loaded until the process ends, as the
// program loads texts from it for its whole run.
//
// The environment variable XLAT32_LANG, when it holds exactly three ASCII
// letters, replaces the user's abbreviation: it lets a tester or a user pick a
// language without changing the machine's locale. Any other value is ignored;
// as the abbreviation must be three letters and the code a plain name, the
// file looked for is always inside the program's directory.
//
// "None" is NULL, which the programs recognise as a value below 32.

#define XLAT32_BUILD
#include "contracts/localization.h"

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "libs/xlat32/xlat_core.h"

namespace {

qv::xlat::LeadBytes g_lead;

void ReadLeadBytes() {
    qv::xlat::LeadBytes lead;
    for (unsigned b = 0x80; b <= 0xFF; ++b)
        if (IsDBCSLeadByte(static_cast<BYTE>(b))) lead.set(static_cast<unsigned char>(b));
    g_lead = lead;
}

// Bytes after the text written by a truncating formatter: make sure the text
// ends in a whole character and is terminated.
int FinishTruncated(char* buffer, std::size_t len) {
    len = qv::xlat::WholeCharLength(buffer, len, g_lead);
    buffer[len] = '\0';
    return static_cast<int>(len);
}

void Trace(const char* long_name, const char* what, const char* path) {
    char line[400];
    std::snprintf(line, sizeof line, "xlat32: %s: %s %s\n", long_name ? long_name : "?", what, path);
    OutputDebugStringA(line);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) ReadLeadBytes();
    return TRUE;
}

XLAT32_API char* __cdecl QVsetlocale(int category, const char* locale) {
    if (category < LC_ALL || category > LC_MAX) return nullptr;
    if (locale != nullptr && locale[std::strspn(locale, " ")] == '\0') locale = "";
    return std::setlocale(category, locale);
}

XLAT32_API void __cdecl QVlocaleconv(QVLCONV* conv) {
    if (conv == nullptr) return;
    const std::lconv* lc = std::localeconv();
    std::memset(conv, 0, sizeof *conv);
    auto copy = [](char* field, std::size_t cap, const char* text) {
        qv::CopyBounded(field, cap, text ? text : "");
    };
    copy(conv->decimal_point, sizeof conv->decimal_point, lc->decimal_point);
    copy(conv->thousands_sep, sizeof conv->thousands_sep, lc->thousands_sep);
    copy(conv->grouping, sizeof conv->grouping, lc->grouping);
    copy(conv->int_curr_symbol, sizeof conv->int_curr_symbol, lc->int_curr_symbol);
    copy(conv->currency_symbol, sizeof conv->currency_symbol, lc->currency_symbol);
    copy(conv->mon_decimal_point, sizeof conv->mon_decimal_point, lc->mon_decimal_point);
    copy(conv->mon_thousands_sep, sizeof conv->mon_thousands_sep, lc->mon_thousands_sep);
    copy(conv->positive_sign, sizeof conv->positive_sign, lc->positive_sign);
    copy(conv->negative_sign, sizeof conv->negative_sign, lc->negative_sign);
    conv->frac_digits = lc->frac_digits;
}

XLAT32_API HINSTANCE __cdecl QVLoadLanguageLibrary(HINSTANCE program, const char* code, const char* long_name) {
    if (code == nullptr) return nullptr;
    char module_path[MAX_PATH];
    DWORD n = GetModuleFileNameA(program, module_path, sizeof module_path);
    if (n == 0 || n >= sizeof module_path) return nullptr;

    char abbrev[16] = "";
    DWORD env = GetEnvironmentVariableA("XLAT32_LANG", abbrev, sizeof abbrev);
    if (env == 0 || env >= sizeof abbrev || !qv::xlat::IsValidLanguageAbbrev(abbrev)) {
        if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, abbrev, sizeof abbrev) == 0)
            return nullptr;
    }
    char path[MAX_PATH];
    if (!qv::xlat::LanguageLibraryPath(module_path, code, abbrev, path, sizeof path)) return nullptr;
    HMODULE lib = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    Trace(long_name, lib ? "language library" : "no language library", path);
    return lib;
}

XLAT32_API int __cdecl QVCharVal(const char* p) { return p ? qv::xlat::CharVal(p, g_lead) : 0; }

XLAT32_API int __cdecl QVCharType(unsigned long bytes) {
    return qv::xlat::CharLength(static_cast<std::uint32_t>(bytes), g_lead);
}

XLAT32_API char* __cdecl QVCharIncrement(const char* p) {
    return p ? const_cast<char*>(qv::xlat::NextChar(p, g_lead)) : nullptr;
}

XLAT32_API char* __cdecl QVstrrev(const char* start, const char* p) {
    if (start == nullptr || p == nullptr) return const_cast<char*>(start);
    return const_cast<char*>(qv::xlat::PrevChar(start, p, g_lead));
}

XLAT32_API int __cdecl QVatoi(const char* s) { return s ? qv::xlat::Atoi(s) : 0; }

XLAT32_API char* __cdecl QVitoa(int value, char* buffer) {
    return buffer ? qv::xlat::Itoa(value, buffer) : nullptr;
}

XLAT32_API char* __cdecl QVstrncpy(char* dst, const char* src, size_t count) {
    if (dst == nullptr || src == nullptr) return dst;
    qv::xlat::Strncpy(dst, src, count, g_lead);
    return dst;
}

XLAT32_API int __cdecl QVSPRINTF(char* buffer, const char* format, ...) {
    if (buffer == nullptr) return 0;
    if (format == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    // Formatted into room of our own, so that the caller's buffer gets only
    // the text and its terminator: it may be smaller than the maximum.
    char scratch[kQvFormattedStringMax];
    scratch[0] = '\0';
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(scratch, sizeof scratch, format, ap);
    va_end(ap);
    scratch[sizeof scratch - 1] = '\0';  // some runtimes leave a cut text unterminated
    std::size_t len = std::strlen(scratch);
    std::memcpy(buffer, scratch, len + 1);
    if (n >= 0 && n < kQvFormattedStringMax) return n;
    if (len == 0) return 0;
    return FinishTruncated(buffer, len);
}

XLAT32_API int __cdecl QVWSPRINTF(char* buffer, const char* format, ...) {
    if (buffer == nullptr) return 0;
    buffer[0] = '\0';
    if (format == nullptr) return 0;
    // wvsprintfA writes up to 1024 characters and a terminator; format into
    // room of our own and hand over what fits.
    char scratch[2 * kQvFormattedStringMax];
    va_list ap;
    va_start(ap, format);
    int n = wvsprintfA(scratch, format, ap);
    va_end(ap);
    if (n < 0) return 0;
    scratch[sizeof scratch - 1] = '\0';
    std::size_t len = std::strlen(scratch);
    if (len < static_cast<std::size_t>(kQvFormattedStringMax)) {
        std::memcpy(buffer, scratch, len + 1);
        return static_cast<int>(len);
    }
    std::memcpy(buffer, scratch, kQvFormattedStringMax - 1);
    return FinishTruncated(buffer, kQvFormattedStringMax - 1);
}

XLAT32_API int __cdecl QVGETFORMATTEDSTRING(HINSTANCE module, char* buffer, UINT id, ...) {
    if (buffer == nullptr) return 0;
    buffer[0] = '\0';
    char tmpl[kQvFormattedStringMax];
    if (LoadStringA(module, id, tmpl, sizeof tmpl) <= 0) return 0;
    tmpl[sizeof tmpl - 1] = '\0';

    // One int per integer placeholder; a text with more placeholders than we
    // keep gets 0 for the rest.
    constexpr std::size_t kMaxValues = 32;
    int values[kMaxValues];
    std::size_t count = qv::xlat::CountNumberPlaceholders(tmpl);
    if (count > kMaxValues) count = kMaxValues;
    va_list ap;
    va_start(ap, id);
    for (std::size_t i = 0; i < count; ++i) values[i] = va_arg(ap, int);
    va_end(ap);
    return static_cast<int>(
        qv::xlat::FormatNumbers(tmpl, values, count, buffer, kQvFormattedStringMax, g_lead));
}
