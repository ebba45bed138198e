// Where the hardware scanners put what they find.
//
// A scanner reports each finding as an inventory item (a label ending in
// " =" and a value) and takes its labels from the program's own string
// table. Both go through this small interface so that the code turning
// query results into items is portable and can be tested with a recording
// sink; the program's sink forwards to the run's item stream. MIF attributes
// and rows go straight to the process-wide MIF model (scanner/mif/mif.h),
// which does nothing when MIF output is off.
#pragma once

#include <string>
#include <string_view>

namespace qv::scanner {

class HardwareSink {
public:
    virtual ~HardwareSink() = default;
    // Adds one inventory item.
    virtual void Item(std::string_view key, std::string_view value) = 0;
    // String `id` of the program's own string table; empty when missing.
    virtual std::string Label(unsigned id) = 0;
};

// The program's sink: the run's item stream and string table.
HardwareSink& ProgramSink();

}  // namespace qv::scanner
