// Texts, template filling and the inventory output of the software phase.
#include "scanner/software/software.h"

#include <cstdio>
#include <ctime>
#include <sys/stat.h>

#include "common/dataformat.h"
#include "common/fileio.h"
#include "scanner/mif/mif.h"
#include "scanner/records/inventory.h"

namespace qv::scanner {

std::string DefaultSoftwareText(unsigned id) {
    switch (id) {
    case kTxtChoice1: return "Would you like to:    1. Add to [Applications] section";
    case kTxtChoice2: return "                      2. Add to [Ignore] section";
    case kTxtChoice3: return "                      3. Ignore this file";
    case kTxtChoicePrompt: return "              Choice: ";
    case kTxtScanningSoftware: return "Scanning Software:  ";
    case kTxtDone: return "Done\n";
    case kTxtUnknownFile: return "\n\n\nFile %s in Directory %s; size %ld bytes\n";
    case kTxtUnrecognizedVersion: return "  Unrecognized Version of Software '%s'\n";
    case kTxtEnterVersionOrIgnore: return "  Enter Software Version (or ENTER to Ignore): ";
    case kTxtEnterDescription: return "\n\nEnter Description of Application: ";
    case kTxtEnterVersion: return "Enter Software Version: ";
    case kLblLearnKnown: return "<I>,%s,%ld,%s,<Version>\n";
    case kLblLearnUnknown: return "<I>,%s,%ld,<Description>,<Version>\n";
    case kTxtLearnNeedsWholeDatabase:
        return "Insufficient memory for query with this size applications file\n";
    case kTxtInsufficientMemory: return "Insufficient memory\n";
    case kLblNumberOfFiles: return "Number of Files = ";
    case kLblSoftware: return "_SOFTWARE =";
    case kLblExists: return "Exists";
    case kTxtVersionMismatch: return "\nQVISCAN Version %d.%d cannot run with QVAPPL.INI Version %d.%d\n";
    case kTxtNoTempFile: return "Can't create temporary file";
    case kLblCfg: return "Cfg - ";
    case kLblBeginContents: return std::string(kBeginContentsLabel);
    case kLblEndContents: return std::string(kEndContentsLabel);
    default: return {};
    }
}

std::string SoftwareEnv::Text(unsigned id) const {
    std::string t = text ? text(id) : std::string();
    return t.empty() ? DefaultSoftwareText(id) : t;
}

std::string SoftwareEnv::Label(unsigned id) const {
    std::string t = label ? label(id) : std::string();
    return t.empty() ? DefaultSoftwareText(id) : t;
}

void SoftwareEnv::Message(std::string_view t) const {
    if (!quiet && console) console->Err(t);
}

void SoftwareEnv::FileError(std::string_view name, int error) const {
    if (console) console->Err(FileErrorText(name, error));
}

std::string FillTemplate(std::string_view tmpl, std::initializer_list<TemplateArg> args) {
    std::string out;
    auto next = args.begin();
    for (std::size_t i = 0; i < tmpl.size(); ++i) {
        char c = tmpl[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 1 < tmpl.size() && tmpl[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        // %[-][0][width][l]conv
        std::size_t j = i + 1;
        bool left = false, zero = false;
        while (j < tmpl.size() && (tmpl[j] == '-' || tmpl[j] == '0')) {
            if (tmpl[j] == '-') left = true; else zero = true;
            ++j;
        }
        int width = 0;
        while (j < tmpl.size() && tmpl[j] >= '0' && tmpl[j] <= '9' && width < 100)
            width = width * 10 + (tmpl[j++] - '0');
        while (j < tmpl.size() && tmpl[j] == 'l') ++j;
        if (j >= tmpl.size()) break;
        char conv = tmpl[j];
        i = j;
        std::string piece;
        bool have = next != args.end();
        if (conv == 's') {
            if (have && next->is_text) piece.assign(next->text);
        } else if (conv == 'd' || conv == 'i' || conv == 'u' || conv == 'c') {
            if (have && !next->is_text) {
                if (conv == 'c') {
                    piece.assign(1, static_cast<char>(next->number));
                } else {
                    long long n = next->number;
                    if (conv == 'u') n &= 0xFFFFFFFFll;
                    piece = std::to_string(n);
                }
            }
        } else {
            continue;  // unknown conversion: left out, no argument taken
        }
        if (have) ++next;
        if (static_cast<int>(piece.size()) < width) {
            std::size_t pad = static_cast<std::size_t>(width) - piece.size();
            if (left) piece.append(pad, ' ');
            else if (zero && conv != 's' && conv != 'c') {
                std::size_t at = (!piece.empty() && piece[0] == '-') ? 1 : 0;
                piece.insert(at, pad, '0');
            } else piece.insert(0, pad, ' ');
        }
        out += piece;
    }
    return out;
}

std::string DoubleBackslashes(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) count += (c == '\\');
    if (text.size() + 2 * count > 1024) return std::string(text);
    std::string out;
    out.reserve(text.size() + count);
    for (char c : text) {
        out += c;
        if (c == '\\') out += '\\';
    }
    return out;
}

bool StdPlatform::FileStatus(const std::string& path, std::uint32_t* time, std::uint64_t* size) {
#ifdef _WIN32
    // The plain stat of the Windows C runtime has a 32-bit size and fails
    // for files of 2 GB and more.
    struct _stat64 st;
    if (::_stat64(path.c_str(), &st) != 0) return false;
#else
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
#endif
    *time = static_cast<std::uint32_t>(st.st_mtime);
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool StdPlatform::LocalTimeOf(std::uint32_t time, LocalTime* local, std::string* text) {
    std::time_t t = static_cast<std::time_t>(time);
    std::tm* tm = std::localtime(&t);
    if (!tm) return false;
    local->year = tm->tm_year + 1900;
    local->month = tm->tm_mon + 1;
    local->day = tm->tm_mday;
    local->hour = tm->tm_hour;
    local->minute = tm->tm_min;
    local->second = tm->tm_sec;
    // "%c" in the "C" conventions, whatever the user's locale.
    *text = DateTimeC(local->year, local->month, local->day, local->hour, local->minute, local->second);
    return true;
}

std::FILE* StdPlatform::OpenLearningFile(const std::string& path) { return std::fopen(path.c_str(), "a"); }

bool StdPlatform::ReplaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

namespace {

class StreamOutput : public SoftwareOutput {
public:
    void Item(std::string_view key, std::string_view value) override { AddInventoryItem(key, value); }
    void Row(const char* group_class, std::string_view row) override {
        std::string text(row);
        MifAddTableRow(group_class, text.c_str());
    }
    void Record(const ContentsRecord& record) override { AddInventoryRecord(record); }
    void Text(ByteSource& source) override { AddInventoryText(source); }
};

}  // namespace

SoftwareOutput& InventoryOutput() {
    static StreamOutput output;
    return output;
}

}  // namespace qv::scanner
