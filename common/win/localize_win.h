// Localization start-up shared by the three programs, and string-table access.
//
// Every program runs the same three steps before it loads any text: set the
// user's locale, read its conventions, and ask xlat32 for a language resource
// library. The answer decides which module all console and window texts come
// from: the language library when there is one, otherwise the program's own
// module. By the library's old convention a handle below 32 means "none"; the
// agent and the slave also refuse exactly 32, so they ask for that here.
//
// LoadText reads one text of a string table straight from its resource block
// and converts it to the ANSI code page, so that a text of any length is
// read whole, and a missing ID is told apart from an empty text.
#pragma once

#include <windows.h>

#include <string>

#include "contracts/localization.h"

namespace qv::win {

using LanguageLoader = HINSTANCE(__cdecl*)(HINSTANCE program, const char* code, const char* long_name);

enum class Refuse32 { no, yes };

struct Localization {
    HINSTANCE texts = nullptr;      // module to load every text from
    bool language_library = false;  // texts is a language library, not the program
    QVLCONV conv{};                 // the locale's conventions
};

// True when the loader's answer is a usable language library.
bool IsLanguageLibrary(HINSTANCE answer, Refuse32 refuse_32);

// The start-up: QVsetlocale(0, " "), QVlocaleconv, then the loader (xlat32's
// QVLoadLanguageLibrary unless a test passes another) with self, code and
// long_name.
Localization LocalizeStartup(HINSTANCE self, const char* code, const char* long_name,
                             Refuse32 refuse_32 = Refuse32::no,
                             LanguageLoader loader = &QVLoadLanguageLibrary);

// Text `id` of module's string table into *out. False, with *out empty, when
// the table has no such text (or the module no string table).
bool LoadText(HINSTANCE module, UINT id, std::string* out);

}  // namespace qv::win
