#include "common/fileio.h"

#include <cstring>
#include <limits>

#ifndef _WIN32
#include <sys/types.h>
#endif

namespace qv {

std::string FileErrorText(std::string_view name, int error) {
    std::string line(name);
    line += ": ";
    line += std::strerror(error);
    line += '\n';
    return line;
}

void ReportFileError(std::string_view name, int error) {
    const std::string line = FileErrorText(name, error);
    std::fflush(stdout);
    std::fputs(line.c_str(), stderr);
}

bool SeekFile(std::FILE* file, std::uint64_t offset) {
#ifdef _WIN32
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<__int64>::max())) return false;
    return ::_fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
    return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

}  // namespace qv
