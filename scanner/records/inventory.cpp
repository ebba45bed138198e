#include "scanner/records/inventory.h"

namespace qv::scanner {

ItemStream& InventoryStream() {
    static ItemStream stream;
    return stream;
}

void SetInventoryFlatSink(FlatSink* sink) { InventoryStream().SetFlatSink(sink); }
void SetInventoryPacketSink(PacketSink* sink) { InventoryStream().SetPacketSink(sink); }
void SetInventorySendFailureHandler(std::function<void()> handler) {
    InventoryStream().SetSendFailureHandler(std::move(handler));
}
void SetInventoryCharLength(CharLengthFn fn) { InventoryStream().SetCharLength(fn); }
void ResetInventoryStream() { InventoryStream().Reset(); }

void AddInventoryItem(std::string_view key, std::string_view value) {
    InventoryStream().AddItem(key, value);
}

void AddInventoryRecord(const ContentsRecord& record) { InventoryStream().AddRecord(record); }

void AddInventoryText(std::FILE* file) {
    FileByteSource source(file);
    InventoryStream().AddText(source);
}

void AddInventoryText(ByteSource& source) { InventoryStream().AddText(source); }

int SendItemPacket(bool last) { return InventoryStream().SendPacket(last); }

}  // namespace qv::scanner
