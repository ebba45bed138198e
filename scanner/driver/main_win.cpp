// qviscnnt: the inventory scanner's entry point and main flow.
//
// The scanner runs once: it picks its language library, prints its banner,
// parses the command line into the run settings, learns its device identity,
// runs the hardware and software phases, delivers the items to the chosen
// destinations (flat inventory file, inventory server, MIF file) and exits
// with a code that tells the outcome. The order of the steps below is fixed;
// each phase is implemented by its own module and called at its place here.
//
// Console texts come from the language library chosen at start-up (or our own
// string table); item labels always come from our own string table, so that
// inventory keys are the same in every language. Files that cannot be opened
// are reported the way the C runtime's perror does ("name: system text").
#include <windows.h>

#include <conio.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "common/fileio.h"
#include "common/win/localize_win.h"
#include "scanner/driver/cmdline.h"
#include "scanner/driver/devicefile.h"
#include "scanner/driver/help.h"
#include "scanner/driver/settings.h"
#include "scanner/driver/strings.h"
#include "scanner/hardware/cpu_win.h"
#include "scanner/hardware/hwsink.h"
#include "scanner/hardware/sysinfo_win.h"
#include "scanner/hardware/sysres_win.h"
#include "scanner/mif/mif.h"
#include "scanner/mif/mif_path.h"
#include "scanner/mif/mifimport_win.h"
#include "scanner/netid/netid_win.h"
#include "scanner/records/inventory.h"
#include "scanner/records/replay.h"
#include "scanner/serverlink/serverlink.h"
#include "scanner/software/software_win.h"

namespace {

using namespace qv::scanner;

HINSTANCE g_texts;  // module whose string table holds the console texts

std::string Text(UINT id) {
    std::string text;
    qv::win::LoadText(g_texts, id, &text);
    return text;
}

// Prints a console text whose "%s" placeholders take the given arguments.
void PrintText(UINT id, const char* a = nullptr, const char* b = nullptr) {
    std::string format = Text(id);
    std::printf(format.c_str(), a ? a : "", b ? b : "");
    std::fflush(stdout);
}

// A message that the quiet option suppresses; the first "%s" is the program name.
void PrintMessage(UINT id, const char* arg = nullptr) {
    if (Settings().quiet) return;
    if (arg)
        PrintText(id, Settings().program_name.c_str(), arg);
    else
        PrintText(id, Settings().program_name.c_str());
}

// A message with two "%s" arguments of its own (no program name).
void PrintMessageArgs(UINT id, const std::string& a, const std::string& b) {
    if (Settings().quiet) return;
    PrintText(id, a.c_str(), b.c_str());
}

void CloseOpenFiles() {
    RunState& st = State();
    if (st.learning_file) {
        std::fclose(st.learning_file);
        st.learning_file = nullptr;
    }
    if (st.flat_file) {
        std::fclose(st.flat_file);
        st.flat_file = nullptr;
    }
}

// The first of A: to Z: whose type is "fixed"; C: when there is none.
int FindFirstFixedDrive() {
    for (int d = 0; d < 26; ++d) {
        char root[4] = {static_cast<char>('A' + d), ':', '\\', '\0'};
        if (GetDriveTypeA(root) == DRIVE_FIXED) return d;
    }
    return 2;
}

// Prints the first lines of the help file (all of them with paging when
// `full`). Returns false when the file cannot be opened (reported).
bool ShowHelpFile(bool full) {
    const std::string& path = Settings().help_file_path;
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        qv::ReportFileError(path, errno);
        return false;
    }
    char line[kHelpLineBytes];
    HelpPager pager;
    for (int n = 0; std::fgets(line, sizeof line, f); ++n) {
        if (!full && n == kUsageLines) break;
        if (full && pager.PauseBeforeLine()) {
            PrintText(kStrPressAnyKey);
            _getch();
            std::fputs("\n", stdout);
        }
        std::fputs(line, stdout);
    }
    std::fclose(f);
    std::fflush(stdout);
    return true;
}

[[noreturn]] void Usage() {
    ShowHelpFile(false);
    std::exit(1);
}

std::string LoadLabel(UINT id) {
    char buf[256];
    int n = LoadItemLabel(id, buf, sizeof buf);
    return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

bool FileExists(const std::string& path) {
    DWORD attr = GetFileAttributesA(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

// Reads QVISCAN.CFG when it exists: the device ID and the remembered server.
void ReadDeviceFile() {
    const std::string& path = Settings().device_file_path;
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    std::FILE* f = std::fopen(path.c_str(), "r+");
    if (!f) {
        qv::ReportFileError(path, errno);
        return;
    }
    std::string text;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
    ApplyDeviceFileText(text, LoadLabel(kLabelDeviceId), State());
}

// Rewrites QVISCAN.CFG with this run's device ID and server, hidden.
void WriteDeviceFile() {
    const std::string& path = Settings().device_file_path;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        qv::ReportFileError(path, errno);
        return;
    }
    std::string text = FormatDeviceFile(LoadLabel(kLabelDeviceId), State().device_id,
                                        Settings().server_name, State().remembered_server,
                                        State().device_file_other_lines);
    std::fputs(text.c_str(), f);
    std::fclose(f);
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN);
}

std::string ComputerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return {};
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    RunSettings& s = Settings();
    RunState& st = State();

    // 1. Localization start-up; every console text comes from g_texts.
    HINSTANCE self = GetModuleHandleA(nullptr);
    g_texts = qv::win::LocalizeStartup(self, "scnnt", "qviscnnt.exe").texts;

    // 2. Banner.
    PrintText(kStrBanner1);
    PrintText(kStrBanner2);

    // 3. Defaults that depend on the machine.
    s.first_fixed_drive = FindFirstFixedDrive();
    s.device_file_path = std::string(1, static_cast<char>('A' + s.first_fixed_drive)) + ":\\QVISCAN.CFG";

    // 4. Paths from the program's own file name.
    char module_path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, module_path, sizeof module_path);
    SetProgramPaths(module_path, s);

    // 5. Command line.
    std::vector<std::string> args(argv + 1, argv + argc);
    ParseResult parsed = ParseCommandLine(args, s, [&](int id, const std::string& arg) {
        PrintText(static_cast<UINT>(id), s.program_name.c_str(), arg.c_str());
    });
    if (parsed == kParseUsage) Usage();
    if (parsed != kParseAccepted) return 1;

    // 6. Full help.
    if (s.help_wanted) {
        ShowHelpFile(true);
        return 1;
    }

    // 7. At least one destination.
    if (s.server_name.empty() && s.flat_file_name.empty() && s.learning_value.empty() &&
        s.mif_file_name.empty())
        Usage();

    // 8. Open files are closed on every exit path.
    std::atexit(CloseOpenFiles);

    // 9. Learning mode neither writes a flat file nor talks to the server.
    if (s.learning()) {
        s.flat_file_name.clear();
        s.server_name.clear();
    }

    // 10. The flat inventory file (binary: the item stream writes CR LF itself).
    if (!s.flat_file_name.empty()) {
        st.flat_file = std::fopen(s.flat_file_name.c_str(), "wb");
        if (!st.flat_file) {
            qv::ReportFileError(s.flat_file_name, errno);
            return 1;
        }
    }
    static FileFlatSink flat_sink(st.flat_file);
    SetInventoryFlatSink(st.flat_file ? &flat_sink : nullptr);
    SetInventoryCharLength([](unsigned long bytes) { return QVCharType(bytes); });
    SetInventorySendFailureHandler([] { std::exit(1); });

    // 11. The MIF directory, and the MIF model when MIF output is wanted.
    const MifLocation mif = ResolveMifPath(s.database_path, s.first_fixed_drive, s.mif_wanted());

    // 12. The item packet starts empty, its counter at 0.
    ResetInventoryStream();

    // 13. The configuration file lists, before the server fills in what it holds.
    ReadConfigFileListsFromDatabase(s.database_path);

    // 14. The server link, when a server name and a transport are set.
    ServerLinkOpen([](unsigned id) { return Text(id); });

    // 15. The network addresses, then the device-identity file.
    DetermineNetworkAddresses(ServerLinkIpxInUse(), ServerLinkLocalIpxAddress());
    ReadDeviceFile();

    // 16. A local device ID when no server will assign one.
    if (st.device_id.empty() && s.server_name.empty())
        st.device_id = MakeLocalDeviceId(ComputerName(), static_cast<std::uint32_t>(std::time(nullptr)));

    // 17. The device request and the server's reply (1 expected file without a server).
    if (!s.replay()) ServerExchange();

    // 18. The device ID is known now, or the run cannot go on.
    if (st.device_id.empty()) {
        PrintMessage(kMsgNoDeviceId);
        return 1;
    }
    WriteDeviceFile();

    // 19. Replay mode.
    if (s.replay()) {
        ReplayOptions replay;
        replay.begin_label = LoadLabel(kLabelBeginContents);
        replay.end_label = LoadLabel(kLabelEndContents);
        replay.invalid_data = [](std::string_view file, std::string_view text) {
            PrintMessageArgs(kMsgInvalidData, std::string(file), std::string(text));
        };
        int replayed = ReplayInventoryFile(s.template_file.c_str(), replay);
        // The last packets are delivered before the run ends, as in a scan;
        // a packet that never gets through fails the replay like a last
        // packet that cannot be sent. After such a send the link does not
        // wait any more.
        bool delivered = ServerLinkFinish();
        if (replayed == kReplayOk && !delivered) return kReplaySendFailed;
        return replayed;
    }

    // 20. Hardware phase.
    if (!s.learning()) {
        if (s.verbose) PrintText(kStrScanningHardware);
        HardwareSink& hw = ProgramSink();
        ScanIdentity(hw, st.device_id, s.device_file_path);
        ScanProcessor(hw);
        ScanBiosDate(hw);
        ScanSystemModel(hw);
        ScanPortsAndBus(hw);
        ScanVideo(hw);
        ScanMouse(hw);
        ScanKeyboard(hw);
        ScanMemory(hw);
        ScanFloppyDrives(hw);
        ScanFixedDrives(hw);
        ScanLogicalDrives(hw);
        ScanOperatingSystem(hw);
        ScanEnvironment(hw);
        ScanUser(hw);
        ScanConnections();
        ScanIpxLan(hw);
        std::fputs("\n", stdout);
    }

    // 21. Progress bar step.
    st.files_per_mark = static_cast<std::uint16_t>(st.expected_file_count / 50);

    // 22. The software phase, when files are expected and the database exists.
    if ((s.force_software || st.expected_file_count != 0) && FileExists(s.database_path)) {
        if (!s.learning()) {
            AddInventoryItem(LoadLabel(kLabelSoftware), "");
            ScanDriversAndServices(ProgramSink());
        }
        int result = RunSoftwarePhase([](unsigned id) { return Text(id); });
        if (result != 0) return result;
        // A MIF file whose import was cut short is named on the console too.
        if (!s.learning())
            ImportCustomMifs(mif.directory, [](const std::string& path) {
                if (Settings().verbose) PrintText(kStrMifImportCut, path.c_str());
            });
    }

    // 23. The last packet, the outstanding acknowledgements, the link's end.
    // A packet the server never acknowledged fails the run, after the other
    // destinations have been written.
    bool delivered = true;
    if (!s.server_name.empty()) {
        if (SendItemPacket(true) != 0) return 1;
        delivered = ServerLinkFinish();
    }

    // 24. The software phase needs the applications database.
    if (!FileExists(s.database_path)) PrintMessageArgs(kMsgNoDatabase, s.database_path, "");

    // 25. The MIF file; a file that cannot be created is not reported.
    if (s.mif_wanted()) {
        MifWrite(mif.output_path.c_str());
        MifFree();
    }

    // 26. Done.
    return delivered ? 0 : 1;
}
