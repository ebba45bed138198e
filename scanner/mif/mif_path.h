// Where the MIF file goes: the MIF directory and the output path.
//
// The directory comes from the "MifPath" value of the applications
// database's settings section (a Windows profile file); when the file or the
// value is absent the default directory is used. When MIF output is wanted
// the directory chain is created if needed and the component's schema is
// built, so the scanners can fill it.
#pragma once

#include <string>

namespace qv::scanner {

struct MifLocation {
    std::string directory;    // the MIF directory, also searched for custom MIF files
    std::string output_path;  // directory + "\QVISCAN.MIF"; empty when MIF output is off
};

// Reads MifPath from database_path, applies the first-fixed-drive prefix
// and, when mif_wanted, creates the directory chain, forms the output path
// and builds the MIF schema. The process's current directory is the same
// afterwards as before.
MifLocation ResolveMifPath(const std::string& database_path, int first_fixed_drive,
                           bool mif_wanted);

// Creates every directory of path that does not exist yet, from the root
// down. An existing directory is no error. Returns true when path is a
// directory afterwards.
bool CreateDirectoryChain(const std::string& path);

}  // namespace qv::scanner
