// The MIF directory and output path (see mif_path.h).
//
// The directory chain is created component by component from the front,
// with absolute (or cwd-relative) prefixes rather than by changing the
// current directory into each one; the result is the same and the caller's
// current directory is never disturbed.
#include "scanner/mif/mif_path.h"

#include <windows.h>

#include "common/text.h"
#include "scanner/mif/mif.h"

namespace qv::scanner {

bool CreateDirectoryChain(const std::string& path) {
    if (path.empty()) return false;
    std::size_t pos = 0;
    if (path.size() >= 2 && path[1] == ':') pos = 2;    // drive letter
    while (pos < path.size() && path[pos] == '\\') ++pos;  // the root
    while (pos <= path.size()) {
        std::size_t end = path.find('\\', pos);
        if (end == std::string::npos) end = path.size();
        if (end > pos) {
            const std::string prefix = path.substr(0, end);
            if (!::CreateDirectoryA(prefix.c_str(), nullptr) &&
                ::GetLastError() != ERROR_ALREADY_EXISTS) {
                DWORD attr = ::GetFileAttributesA(prefix.c_str());
                if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY))
                    return false;
            }
        }
        pos = end + 1;
    }
    DWORD attr = ::GetFileAttributesA(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

MifLocation ResolveMifPath(const std::string& database_path, int first_fixed_drive,
                           bool mif_wanted) {
    MifLocation loc;
    char value[kMifPathMax + 1] = {};
    ::GetPrivateProfileStringA("Corvane Inventory", "MifPath", kMifDefaultDirectory, value,
                               sizeof value, database_path.c_str());
    loc.directory = MifDirectoryFromSetting(value, first_fixed_drive);
    if (!mif_wanted) return loc;

    std::string dir = loc.directory;
    dir.erase(0, dir.find_first_not_of(' ') == std::string::npos ? dir.size()
                                                                  : dir.find_first_not_of(' '));
    dir = UpperAscii(dir);
    // A directory that cannot be made is not reported: creating the file
    // fails later and the run still ends normally.
    CreateDirectoryChain(dir);
    loc.output_path = dir + "\\" + kMifFileName;
    MifBuildSchema();
    return loc;
}

}  // namespace qv::scanner
