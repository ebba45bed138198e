#include "tools/webconsole/files_feature.h"

namespace qv::web {
namespace {

// Takes no request yet.
class FilesFeature : public Feature {
public:
    bool OnMessage(const PagePtr&, const nlohmann::json&) override { return false; }
};

}  // namespace

std::unique_ptr<Feature> MakeFilesFeature(MachineList&, const ConsoleSettings&) {
    return std::make_unique<FilesFeature>();
}

}  // namespace qv::web
