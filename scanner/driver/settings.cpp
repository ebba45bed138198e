#include "scanner/driver/settings.h"

namespace qv::scanner {

RunSettings& Settings() {
    static RunSettings settings;
    return settings;
}

RunState& State() {
    static RunState state;
    return state;
}

}  // namespace qv::scanner
