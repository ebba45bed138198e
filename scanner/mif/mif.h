// The in-memory MIF component and its writer.
//
// When MIF output is wanted the scanner describes the machine as one DMI
// component: a list of groups, each with attributes and perhaps one table.
// The component is built at start-up (MifBuildSchema), filled by the
// hardware and software scanners while they run, written once at the end of
// the run (MifWrite) and released (MifFree).
//
// The component is a single process-wide object. When MIF output is off it
// simply does not exist, and every operation below returns at once without
// effect; that is what lets the scanners call them unconditionally. Groups are
// always named by their class text, matched without regard to case, and
// attributes by their name within the group; a class or name that matches
// nothing makes the call a no-op, so values for a misspelled group are
// dropped silently rather than failing the scan.
//
// Optional texts are passed as nullptr ("none"). Every text is copied into
// the model. Values are stored and written exactly as given: the scanners
// that supply them double their backslashes where needed.
#pragma once

#include <cstdint>
#include <string>

namespace qv::scanner {

// Creates the component (empty, counters 0, scan flag 0), replacing any
// component that exists.
void MifCreateComponent(const char* name, const char* description);
// True while a component exists.
bool MifActive();
void MifSetScanFlag(int flag);
void MifAddGroup(const char* name, const char* cls, const char* description);
void MifAddAttribute(const char* cls, const char* name, const char* access,
                     const char* type, const char* value);
void MifSetAttribute(const char* cls, const char* name, const char* access,
                     const char* type, const char* value);
void MifSetGroupId(const char* cls, std::uint16_t id);
void MifSetGroupKey(const char* cls, const char* key);
void MifAddTable(const char* cls, const char* table_name);
void MifAddTableRow(const char* cls, const char* row);
// Writes the component to path (truncating it). Returns false when there is
// no component or the file cannot be created; the caller reports nothing.
bool MifWrite(const char* path);
void MifFree();

// The whole file as MifWrite writes it, with CR LF line ends. Empty when
// no component exists.
std::string MifRender();

// Builds the scanner's fixed component: its name, description, scan flag 0
// and the fifteen groups with their predefined attributes, tables and keys.
void MifBuildSchema();

// Group classes the scanners fill.
inline constexpr const char* kMifClassComponentId = "DMTF|ComponentID|1.0";
inline constexpr const char* kMifClassConnections = "Corvane|Connections|1.0";
inline constexpr const char* kMifClassProcessor = "Corvane|Processor|1.0";
inline constexpr const char* kMifClassCoprocessor = "Corvane|Coprocessor|1.0";
inline constexpr const char* kMifClassSystemResources = "Corvane|System Resources|1.0";
inline constexpr const char* kMifClassPorts = "Corvane|Ports|1.0";
inline constexpr const char* kMifClassMemory = "Corvane|NT Memory|1.0";
inline constexpr const char* kMifClassMassStorage = "Corvane|Mass Storage|1.0";
inline constexpr const char* kMifClassLogicalDrive = "Corvane|Logical Drive|1.0";
inline constexpr const char* kMifClassOperatingSystem = "Corvane|NT Operating System|1.0";
inline constexpr const char* kMifClassIpxLan = "Corvane|IPX LAN|1.0";
inline constexpr const char* kMifClassEnvironment = "Corvane|Environment|1.0";
inline constexpr const char* kMifClassDrivers = "Corvane|NT Drivers and Services|1.0";
inline constexpr const char* kMifClassConfigFiles = "Corvane|Config Files|1.0";
inline constexpr const char* kMifClassSoftware = "Corvane|Software|1.0";

// The MIF file's name inside the MIF directory, and the directory used when
// the applications database names none.
inline constexpr const char* kMifFileName = "QVISCAN.MIF";
inline constexpr const char* kMifDefaultDirectory = "C:\\DMI\\DOS\\MIFS";
// Longest MifPath value read from the applications database.
inline constexpr std::size_t kMifPathMax = 79;

// The MIF directory from the database's MifPath value: a value that begins
// with a backslash gets the first fixed drive's letter and ":" in front.
// first_fixed_drive is 0 for A:, 2 for C:.
std::string MifDirectoryFromSetting(const std::string& value, int first_fixed_drive);

}  // namespace qv::scanner
