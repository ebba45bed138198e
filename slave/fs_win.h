// The slave's file system on Windows: low-level descriptor I/O in binary
// mode, directory searches and drive changes through the C runtime, time
// stamps through the Win32 file calls, with the system error mode set
// around every access so that an empty floppy drive fails quietly.
#pragma once

#include "slave/slave_fs.h"

namespace qv::slave {

FileSystem& WindowsFileSystem();

}  // namespace qv::slave
