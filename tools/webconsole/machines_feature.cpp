#include "tools/webconsole/machines_feature.h"

namespace qv::web {
namespace {

class MachinesFeature : public Feature {
public:
    bool OnMessage(const PagePtr&, const nlohmann::json&) override { return false; }
};

}  // namespace

std::unique_ptr<Feature> MakeMachinesFeature(MachineList&, const ConsoleSettings&) {
    return std::make_unique<MachinesFeature>();
}

}  // namespace qv::web
