// The machines.* and agent.* requests of the page: the machine list, agent
// information, consent, remote execute, reboot and the end of a session.
#pragma once

#include <memory>

#include "tools/webconsole/machines.h"
#include "tools/webconsole/web_server.h"

namespace qv::web {

std::unique_ptr<Feature> MakeMachinesFeature(MachineList& list, const ConsoleSettings& settings);

}  // namespace qv::web
