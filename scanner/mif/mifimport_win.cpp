// Import of custom MIF files: the directory walk and the file reading.
//
// The directory text is upper-cased and given a trailing backslash, then
// every match of "*.mif" is read whole into memory (binary, so the reader
// sees the bytes as they are) and handed to the portable reader, whose
// items go to the run's item stream. A file whose import was cut short is
// never passed over in silence: an item names it, for whoever reads the
// inventory, and the caller is told, for the console.
#include "scanner/mif/mifimport_win.h"

#include <windows.h>

#include "common/win/handles.h"
#include "scanner/mif/mifimport.h"
#include "scanner/records/inventory.h"

namespace qv::scanner {
namespace {

bool EndsWithBackslash(const std::string& text) {
    if (text.empty()) return false;
    const char* last = ::CharPrevA(text.c_str(), text.c_str() + text.size());
    return *last == '\\' && last + 1 == text.c_str() + text.size();
}

}  // namespace

void ImportMifFile(const std::string& path, const MifCutFn& on_cut) {
    qv::win::FileHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    // One block past the limit at most, so that the reader sees the file is
    // longer than what it reads.
    std::string text;
    char block[64 * 1024];
    DWORD got = 0;
    while (text.size() <= kMifImportFileMax && ::ReadFile(file.get(), block, sizeof block, &got, nullptr) && got > 0)
        text.append(block, got);
    const MifImportResult result =
        ImportMifText(text, [](std::string_view key, std::string_view value) { AddInventoryItem(key, value); });
    if (result != MifImportResult::kCut) return;
    char label[128];
    const int n = LoadItemLabel(kLabelMifImportCut, label, sizeof label);
    AddInventoryItem(std::string_view(label, n > 0 ? static_cast<std::size_t>(n) : 0), path);
    if (on_cut) on_cut(path);
}

void ImportCustomMifs(const std::string& directory, const MifCutFn& on_cut) {
    if (directory.empty()) return;
    const DWORD attributes = ::GetFileAttributesA(directory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    std::string dir = directory;
    ::CharUpperBuffA(dir.data(), static_cast<DWORD>(dir.size()));
    if (!EndsWithBackslash(dir)) dir += '\\';

    WIN32_FIND_DATAA found;
    qv::win::FindHandle find(::FindFirstFileA((dir + "*.mif").c_str(), &found));
    if (!find) return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ImportMifFile(dir + found.cFileName, on_cut);
    } while (::FindNextFileA(find.get(), &found));
}

}  // namespace qv::scanner
