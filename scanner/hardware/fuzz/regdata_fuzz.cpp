// Fuzz target for the parsers of registry data the hardware scan reads: the
// full resource descriptors of "Configuration Data" values, the processor
// "Identifier" and vendor texts, the multifunction adapters' bus list, the
// video device value and numbers, the keyboard and timing numbers, and the
// string-table templates of the items.
//
// Input: a byte giving the length of the configuration data that follows,
// those bytes, then zero-separated texts: the processor identifier, the
// vendor, three adapter identifiers, the video device value, a template
// with numbers, a service status template and display name. A descriptor
// count that lies yields only the descriptors the value holds, every item
// has a label, and the bus list and service labels stay within their
// buffers.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "scanner/hardware/cpu.h"
#include "scanner/hardware/sysres.h"
#include "scanner/hardware/test_sink.h"

namespace {

using namespace qv::scanner;

[[noreturn]] void Fail() { std::abort(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::size_t config = data[0];
    if (config > size - 1) config = size - 1;
    // Exactly the value's bytes, so that a read past them is caught.
    std::vector<std::uint8_t> value(data + 1, data + 1 + config);
    std::vector<std::string> f(1);
    for (std::size_t i = 1 + config; i < size; ++i) {
        if (data[i] == 0) f.emplace_back();
        else f.back() += static_cast<char>(data[i]);
    }
    f.resize(9);

    const std::vector<std::uint32_t> starts = IoPortStarts(value.data(), value.size());
    if (!starts.empty() && kResourceHeaderSize + starts.size() * kPartialDescriptorSize > value.size()) Fail();
    testing::RecordingSink sink;
    WritePortItems(sink, data[0] & 1 ? PortKind::kCom : PortKind::kLpt, 1 + (data[0] >> 5), value.data(),
                   value.size());
    if (sink.items.size() != starts.size()) Fail();

    ProcessorFacts facts;
    facts.identifier_read = true;
    facts.identifier = f[0].substr(0, 255);
    const ProcessorFields fields = ParseIdentifier(facts.identifier, sink);
    SteppingText(fields);
    ProcessorIdText(fields);
    const std::uint16_t number = IdentifierNumber(facts.identifier);
    const bool maker = IsMakerVendor(f[1]);
    for (std::uint32_t type : {386u, 486u, 586u, 4000u})
        ChooseProcessorType(type, maker, fields.family < 0 ? 0u : static_cast<unsigned>(fields.family) % 8, number,
                            [] { return true; });
    Rule486(number, maker);
    WriteProcessorItems(sink, facts);

    std::string bus;
    for (int i = 2; i < 5; ++i) AppendBus(bus, f[i]);
    if (bus.size() > kBusListMax) Fail();
    WriteBusItem(sink, bus);

    // The registry's numbers of the video, keyboard and timing queries, from
    // the configuration data's bytes.
    auto word = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 4 && at + k < value.size(); ++k) v |= static_cast<std::uint32_t>(value[at + k]) << (8 * k);
        return v;
    };
    VideoFacts video;
    video.adapter_found = word(0) & 1;
    video.adapter_string = f[5];
    video.chip_type = f[6];
    video.memory_read = word(0) & 2;
    video.memory_bytes = word(4);
    video.mode_read = word(0) & 4;
    video.width = static_cast<int>(word(8));
    video.height = static_cast<int>(word(12));
    video.bits_per_pixel = static_cast<int>(word(16));
    video.planes = static_cast<int>(word(20));
    WriteVideoItems(sink, video);
    WriteKeyboardItems(sink, static_cast<int>(word(24)), static_cast<int>(word(28)), static_cast<int>(word(32)),
                       static_cast<int>(word(36)));
    WriteMouseItem(sink, word(40));
    WriteBiosDate(sink, f[1]);
    WriteSystemModel(sink, f[2]);
    SpeedReading(word(44), word(48), word(52) | static_cast<std::uint64_t>(word(56)) << 32);
    TableCycles(SpeedFamilyIndex(word(60), word(64)));

    VideoDeviceKey(f[5]);
    FillNumbers(f[6], {static_cast<long>(number), -1L, 2147483647L});
    WriteServiceItem(sink, f[7], f[8], data[0] % 9);

    for (const auto& item : sink.items)
        if (item.first.size() > kServiceTextMax + 2) Fail();
    return 0;
}
