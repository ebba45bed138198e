#include "common/fileio.h"

#include <cstring>
#include <cstdio>

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

}  // namespace qv
