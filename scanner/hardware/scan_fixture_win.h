// Test fixtures shared by the scanners' Wine tests: a sink that records the
// items a scanner writes (labels from the test program's own string table,
// which carries the scanner's strings), and a MIF model that lives for one
// test.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scanner/hardware/hwsink.h"
#include "scanner/mif/mif.h"

namespace qv::scanner::testing {

using Items = std::vector<std::pair<std::string, std::string>>;

class LabelSink : public HardwareSink {
public:
    void Item(std::string_view key, std::string_view value) override { items.emplace_back(key, value); }
    std::string Label(unsigned id) override { return ProgramSink().Label(id); }
    Items items;
};

class MifScope {
public:
    MifScope() { MifBuildSchema(); }
    ~MifScope() { MifFree(); }
    MifScope(const MifScope&) = delete;
    MifScope& operator=(const MifScope&) = delete;
    static bool Has(const std::string& text) { return MifRender().find(text) != std::string::npos; }
};

}  // namespace qv::scanner::testing
