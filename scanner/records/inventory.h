// The scanner's inventory item operations on the one stream of the run.
//
// Every scanner reports through these functions; they act on a process-wide
// ItemStream (see itemstream.h for what is written and packed). The program
// connects the destinations at start-up: the flat file sink when a flat
// inventory file is wanted, the packet sink when a server name is set, and a
// failure handler for a packet that the link could not deliver while the
// stream was making room (the program exits with code 1 there).
//
// All functions are called on the main thread only.
#pragma once

#include "scanner/records/itemstream.h"

#include <cstdio>
#include <functional>
#include <string_view>

namespace qv::scanner {

// The run's stream (for the setters below and for tests).
ItemStream& InventoryStream();

void SetInventoryFlatSink(FlatSink* sink);
void SetInventoryPacketSink(PacketSink* sink);
void SetInventorySendFailureHandler(std::function<void()> handler);
void SetInventoryCharLength(CharLengthFn fn);
// Packet counter to 0, packet empty (before the first scanner runs).
void ResetInventoryStream();

void AddInventoryItem(std::string_view key, std::string_view value);
void AddInventoryRecord(const ContentsRecord& record);
// Copies the rest of an open file (binary mode) as contents text.
void AddInventoryText(std::FILE* file);
void AddInventoryText(ByteSource& source);
// Sends the current packet; 0 when the link accepted it, -1 when it gave up.
int SendItemPacket(bool last);

// Loads string `id` of the program's own string table (not the language
// library), so that item labels are the same in every language. Returns the
// length loaded; the buffer holds an empty text when the string is missing.
// Windows only.
int LoadItemLabel(unsigned id, char* buffer, int size);

}  // namespace qv::scanner
