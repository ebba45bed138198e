// The program's hardware sink: items go to the run's item stream, labels
// come from the program's own string table.
#include "scanner/hardware/hwsink.h"

#include "scanner/records/inventory.h"

namespace qv::scanner {
namespace {

// Item labels and processor names fit well within this.
constexpr int kLabelBufferSize = 256;

class StreamSink : public HardwareSink {
public:
    void Item(std::string_view key, std::string_view value) override { AddInventoryItem(key, value); }
    std::string Label(unsigned id) override {
        char buf[kLabelBufferSize];
        int n = LoadItemLabel(id, buf, sizeof buf);
        return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
};

}  // namespace

HardwareSink& ProgramSink() {
    static StreamSink sink;
    return sink;
}

}  // namespace qv::scanner
