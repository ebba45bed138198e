// The files.* requests of the page: file transfer with the slave.
#pragma once

#include <memory>

#include "tools/webconsole/machines.h"
#include "tools/webconsole/web_server.h"

namespace qv::web {

std::unique_ptr<Feature> MakeFilesFeature(MachineList& list, const ConsoleSettings& settings);

}  // namespace qv::web
