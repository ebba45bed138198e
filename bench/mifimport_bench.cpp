// mifimport_bench: how long the custom MIF import takes over a large table.
//
// Builds a MIF file of one group with a table of ROWS rows by COLUMNS
// columns (by default 5000 by 20, about 2.4 MB, the size of real-world
// inventory tables), imports it several times and prints the file size, the
// items it yields (ROWS x COLUMNS when the table comes in whole), whether
// the import was cut, and the best and median time.
//
//   mifimport_bench [--rows=N] [--columns=N] [--runs=N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "scanner/mif/mifimport.h"

namespace {

std::string TableFile(int rows, int columns) {
    std::string t = "Start Component\nName = \"Inventory Agent\"\nStart Group\nName = \"Installed Software\"\n"
                    "Class = \"Vendor|Installed Software|1.0\"\nKey = 1\n";
    for (int c = 1; c <= columns; ++c)
        t += "  Start Attribute\n    Name = \"Column " + std::to_string(c) + "\"\n    ID = " + std::to_string(c) +
             "\n    Type = String(64)\n  End Attribute\n";
    t += "End Group\nStart Table\n  Name = \"Software Table\"\n  Class = \"Vendor|Installed Software|1.0\"\n  ID = 2\n";
    for (int r = 1; r <= rows; ++r) {
        t += "  {";
        for (int c = 1; c <= columns; ++c) {
            char value[48];
            std::snprintf(value, sizeof value, "\"Row %05d, column %02d.\"", r, c);
            t += (c > 1 ? "," : "");
            t += value;
        }
        t += "}\n";
    }
    return t + "End Table\nEnd Component\n";
}

long Arg(int argc, char** argv, const char* name, long fallback) {
    const std::size_t n = std::strlen(name);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], name, n) == 0 && argv[i][n] == '=') return std::strtol(argv[i] + n + 1, nullptr, 10);
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const int rows = static_cast<int>(Arg(argc, argv, "--rows", 5000));
    const int columns = static_cast<int>(Arg(argc, argv, "--columns", 20));
    const int runs = static_cast<int>(std::max(1L, Arg(argc, argv, "--runs", 5)));
    const std::string text = TableFile(rows, columns);
    std::vector<double> ms;
    std::size_t items = 0;
    bool cut = false;
    for (int run = 0; run < runs; ++run) {
        std::size_t count = 0;
        const auto start = std::chrono::steady_clock::now();
        const auto result = qv::scanner::ImportMifText(text, [&count](std::string_view, std::string_view) { ++count; });
        const auto end = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        items = count;
        cut = result == qv::scanner::MifImportResult::kCut;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("MIF import: %d rows x %d columns, %zu bytes: %zu of %zu values%s; best %.1f ms, median %.1f ms "
                "(%d runs)\n",
                rows, columns, text.size(), items, static_cast<std::size_t>(rows) * columns, cut ? " (CUT)" : "",
                ms.front(), ms[ms.size() / 2], runs);
    return items == static_cast<std::size_t>(rows) * columns && !cut ? 0 : 1;
}
