#include "tools/webconsole/view_feature.h"

namespace qv::web {
namespace {

// Takes no request yet.
class ViewFeature : public Feature {
public:
    bool OnMessage(const PagePtr&, const nlohmann::json&) override { return false; }
};

}  // namespace

std::unique_ptr<Feature> MakeViewFeature(MachineList&, const ConsoleSettings&) {
    return std::make_unique<ViewFeature>();
}

}  // namespace qv::web
