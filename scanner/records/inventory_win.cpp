// Item labels from the program's own string table.
//
// Labels are loaded from the module of the running program rather than the
// language library, so the keys the server sees never depend on the language.
#include "scanner/records/inventory.h"

#include <windows.h>

namespace qv::scanner {

int LoadItemLabel(unsigned id, char* buffer, int size) {
    if (!buffer || size <= 0) return 0;
    int n = LoadStringA(GetModuleHandleA(nullptr), id, buffer, size);
    if (n <= 0) {
        buffer[0] = '\0';
        return 0;
    }
    return n;
}

}  // namespace qv::scanner
