// The view.* requests of the page: live remote control in the page's canvas.
#pragma once

#include <memory>

#include "tools/webconsole/machines.h"
#include "tools/webconsole/web_server.h"

namespace qv::web {

std::unique_ptr<Feature> MakeViewFeature(MachineList& list, const ConsoleSettings& settings);

}  // namespace qv::web
