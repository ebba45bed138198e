// A hardware sink for tests: records the items in order and answers labels
// from a small table holding the program's label texts.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "scanner/hardware/hwsink.h"

namespace qv::scanner::testing {

class RecordingSink : public HardwareSink {
public:
    RecordingSink() {
        labels_ = {
            {22, "5.25\" 360 KB"}, {23, "5.25\" 1.2 MB"}, {24, "3.5\" 720 KB"},
            {25, "3.5\" 1.44 MB"}, {27, "3.5\" 2.88 MB"}, {28, "Unknown"},
            {36, "Processor - ID ="}, {37, "Processor - Type ="}, {38, "Processor - Speed ="},
            {40, "Processor - Stepping ="}, {53, "Floppy Drive %d - Type ="},
            {54, "Coprocessor - Math ="}, {55, "Memory - Physical - Bytes Total ="},
            {56, "Internal"}, {73, "Unknown MHz"}, {83, "Floppy Drive - Count = "},
            {90, "Floppy Drive %d - Cylinders ="}, {92, "Floppy Drive - %d - Sectors ="},
            {145, "Unknown"}, {152, "Environ - %s ="},
            {154, "Memory - Physical - Bytes Available ="}, {155, "Memory - Page File - Bytes Total ="},
            {156, "Memory - Page File - Bytes Available ="}, {157, "Memory - Virtual - Bytes Total ="},
            {158, "Memory - Virtual - Bytes Available ="}, {160, "OS - NT Info - Service Pack ="},
            {161, "OS - NT Info - Install Date ="}, {196, "Processor Type"}, {197, "Family"},
            {198, "Model"}, {199, "Stepping"},
        };
    }
    void Item(std::string_view key, std::string_view value) override {
        items.emplace_back(std::string(key), std::string(value));
    }
    std::string Label(unsigned id) override {
        auto it = labels_.find(id);
        return it == labels_.end() ? std::string() : it->second;
    }
    std::vector<std::pair<std::string, std::string>> items;

private:
    std::map<unsigned, std::string> labels_;
};

using Items = std::vector<std::pair<std::string, std::string>>;

}  // namespace qv::scanner::testing
