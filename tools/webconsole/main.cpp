// webconsole: the operators' web console (see PAGE_PROTOCOL.md).
#include <iostream>

#include "tools/webconsole/files_feature.h"
#include "tools/webconsole/machines_feature.h"
#include "tools/webconsole/view_feature.h"
#include "tools/webconsole/web_server.h"

int main() {
    using namespace qv::web;
    ConsoleSettings settings;
    MachineList list(settings);
    auto machines = MakeMachinesFeature(list, settings);
    auto view = MakeViewFeature(list, settings);
    auto files = MakeFilesFeature(list, settings);
    ServerOptions opt;
    WebServer server(opt, {machines.get(), view.get(), files.get()});
    std::string error;
    if (!server.Start(&error)) {
        std::cerr << "webconsole: " << error << "\n";
        return 2;
    }
    return 0;
}
