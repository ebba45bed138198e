// The localization library xlat32: what the three programs call.
//
// At start-up each program calls QVsetlocale(0, " "), QVlocaleconv(&conv) and
// QVLoadLanguageLibrary(its module, its code, its long name). A result below
// 32 means "no language library": the program then loads every console and
// window text from its own string table. The scanner also uses the character,
// number and formatting routines, which are double-byte aware.
#pragma once

#include <windows.h>

#ifdef XLAT32_BUILD
#define XLAT32_API extern "C" __declspec(dllexport)
#else
#define XLAT32_API extern "C" __declspec(dllimport)
#endif

// The locale-conventions record the library fills (a copy of the C
// runtime's conventions for the chosen locale, texts cut to their fields).
struct QVLCONV {
    char decimal_point[4];
    char thousands_sep[4];
    char grouping[8];
    char int_curr_symbol[8];
    char currency_symbol[8];
    char mon_decimal_point[4];
    char mon_thousands_sep[4];
    char positive_sign[4];
    char negative_sign[4];
    char frac_digits;
};

// QVGETFORMATTEDSTRING, QVSPRINTF and QVWSPRINTF write at most this many
// bytes, terminator included.
constexpr int kQvFormattedStringMax = 1024;
// Smallest buffer QVitoa may be given ("-2147483648" and its terminator).
constexpr int kQvItoaBufferMin = 12;

// Every routine uses the C calling convention and is exported under its plain
// name. Texts are zero-terminated ANSI in the system's ANSI code page.

// category 0 is "all"; a locale text of blanks only means the user's default.
XLAT32_API char* __cdecl QVsetlocale(int category, const char* locale);
XLAT32_API void __cdecl QVlocaleconv(QVLCONV* conv);
// The language resource library for this program, loaded as a data file, or
// NULL (a value below 32) when there is none; see libs/xlat32/README.md.
XLAT32_API HINSTANCE __cdecl QVLoadLanguageLibrary(HINSTANCE program, const char* code, const char* long_name);

XLAT32_API int __cdecl QVCharVal(const char* p);
XLAT32_API int __cdecl QVCharType(unsigned long bytes);
XLAT32_API char* __cdecl QVCharIncrement(const char* p);
XLAT32_API char* __cdecl QVstrrev(const char* start, const char* p);
XLAT32_API int __cdecl QVatoi(const char* s);
// buffer holds at least kQvItoaBufferMin bytes.
XLAT32_API char* __cdecl QVitoa(int value, char* buffer);
XLAT32_API char* __cdecl QVstrncpy(char* dst, const char* src, size_t count);
// Both formatters write at most kQvFormattedStringMax bytes, terminator
// included, and return the length of the text written.
XLAT32_API int __cdecl QVSPRINTF(char* buffer, const char* format, ...);
XLAT32_API int __cdecl QVWSPRINTF(char* buffer, const char* format, ...);
// Fills the integer placeholders (%d, %u, %x, ... with flags, width and
// precision) of string `id` of module with the int arguments that follow;
// any other conversion in the text is copied as it is. A missing string
// gives an empty buffer and 0.
XLAT32_API int __cdecl QVGETFORMATTEDSTRING(HINSTANCE module, char* buffer, UINT id, ...);
