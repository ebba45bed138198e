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

// QVGETFORMATTEDSTRING writes at most this many bytes, terminator included.
constexpr int kQvFormattedStringMax = 1024;

XLAT32_API char* QVsetlocale(int category, const char* locale);
XLAT32_API void QVlocaleconv(QVLCONV* conv);
XLAT32_API HINSTANCE QVLoadLanguageLibrary(HINSTANCE program, const char* code, const char* long_name);

XLAT32_API int QVCharVal(const char* p);
XLAT32_API int QVCharType(unsigned long bytes);
XLAT32_API char* QVCharIncrement(const char* p);
XLAT32_API char* QVstrrev(const char* start, const char* p);
XLAT32_API int QVatoi(const char* s);
XLAT32_API char* QVitoa(int value, char* buffer);
XLAT32_API char* QVstrncpy(char* dst, const char* src, size_t count);
XLAT32_API int QVSPRINTF(char* buffer, const char* format, ...);
XLAT32_API int QVWSPRINTF(char* buffer, const char* format, ...);
XLAT32_API int QVGETFORMATTEDSTRING(HINSTANCE module, char* buffer, UINT id, ...);
