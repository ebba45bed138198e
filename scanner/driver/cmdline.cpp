// Parsing the scanner's options into the run settings.
//
// The grammar is small but full of special cases that users rely on: the
// option letter may stand alone or behind "/" or "-"; "M" and "MU", "N",
// "NF", "NTI" and "NTT", "V" and "VL" share their first letter; values follow
// an "=" except for the two transport forms; every text value is stored
// upper-cased. The first transport form wins and later ones are ignored.
// Values that would not fit their fields (a host text over 31 characters, a
// path over 259) are refused as usage errors rather than cut, so a run never
// works on a silently different name.
#include "scanner/driver/cmdline.h"

#include <cstdlib>

#include "common/text.h"

namespace qv::scanner {

namespace {

constexpr const char kMifFileName[] = "QVISCAN.MIF";
constexpr std::size_t kIpxShortForm = 21;  // NNNNNNNN:NNNNNNNNNNNN
constexpr std::size_t kIpxLongForm = 26;   // ... plus ":SSSS"

// The text after "=" when the option's value begins with one; no value
// (nullptr-like false) when there is no "=".
bool ValueAfterEquals(const std::string& rest, std::string& value) {
    if (rest.empty() || rest[0] != '=') return false;
    value = UpperAscii(rest.substr(1));
    return true;
}

// A decimal number as the C runtime's atoi reads it (leading blanks, sign,
// digits; 0 when there is none), clamped instead of overflowing.
long DecimalValue(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (v < 100000000) v = v * 10 + (text[i] - '0');
    }
    return negative ? -v : v;
}

bool PathFits(const std::string& path) {
    return path.size() <= kPathMax;
}

}  // namespace

void SetProgramPaths(const std::string& module_path, RunSettings& s) {
    std::size_t slash = module_path.find_last_of("\\/:");
    std::string dir = slash == std::string::npos ? std::string() : module_path.substr(0, slash + 1);
    std::string file = slash == std::string::npos ? module_path : module_path.substr(slash + 1);
    std::size_t dot = file.find_last_of('.');
    s.program_dir = dir;
    s.program_name = dot == std::string::npos ? file : file.substr(0, dot);
    s.database_path = dir + "QVAPPL.INI";
    s.help_file_path = dir + "QVISCNNT.HLP";
}

ParseResult ParseCommandLine(const std::vector<std::string>& args, RunSettings& s,
                             const ParserMessage& message) {
    for (const std::string& arg : args) {
        std::size_t pos = 0;
        if (!arg.empty() && (arg[0] == '/' || arg[0] == '-')) pos = 1;
        if (pos >= arg.size()) return kParseUsage;
        char letter = UpperChar(arg[pos]);
        if (letter < '?' || letter > 'Z') return kParseUsage;
        std::string rest = arg.substr(pos + 1);
        std::string value;

        switch (letter) {
        case '?':
        case 'H':
            s.help_wanted = true;
            break;
        case 'A':
            if (ValueAfterEquals(rest, value)) {
                long v = DecimalValue(value);
                s.retransmit_seconds = v < kMinRetransmitSeconds ? kMinRetransmitSeconds : static_cast<int>(v);
            }
            break;
        case 'D':
            if (!ValueAfterEquals(rest, value) || value.empty()) return kParseUsage;
            if (value.back() != '\\') value += '\\';
            if (!PathFits(value)) return kParseUsage;
            s.scan_root = value;
            break;
        case 'F':
            s.force_software = true;
            break;
        case 'I':
            if (!ValueAfterEquals(rest, value) || value.empty()) return kParseUsage;
            if (!(value.compare(0, 2, "\\\\") == 0 || (value.size() > 1 && value[1] == ':')))
                value = s.program_dir + value;
            if (!PathFits(value)) return kParseUsage;
            s.database_path = value;
            break;
        case 'K':
            s.extra_drive = 0;
            if (ValueAfterEquals(rest, value) && !value.empty() && value[0] >= 'A' && value[0] <= 'Z')
                s.extra_drive = value[0];
            break;
        case 'M':
            if (!rest.empty() && UpperChar(rest[0]) == 'U')
                s.quiet = true;
            else
                s.mif_file_name = kMifFileName;
            break;
        case 'N': {
            char second = rest.empty() ? '\0' : UpperChar(rest[0]);
            if (second == 'F') break;
            if (second != 'T') {
                s.no_subdirectories = true;
                break;
            }
            char third = rest.size() > 1 ? UpperChar(rest[1]) : '\0';
            if (third != 'I' && third != 'T') break;  // "NT" and any other letter: ignored
            if (s.transport != Transport::None) break;  // the first transport form wins
            value = UpperAscii(rest.substr(2));
            if (third == 'I') {
                if (value.size() != kIpxShortForm && value.size() != kIpxLongForm) return kParseUsage;
                s.transport = Transport::Ipx;
            } else {
                if (value.empty() || value.size() > kServerAddressMax) return kParseUsage;
                s.transport = Transport::Ip;
            }
            s.server_address = value;
            break;
        }
        case 'O':
            if (!ValueAfterEquals(rest, value) || value.empty() || !PathFits(value)) return kParseUsage;
            s.flat_file_name = value;
            break;
        case 'Q':
            if (ValueAfterEquals(rest, value) && !value.empty()) {
                if (!PathFits(value)) return kParseUsage;
                s.learning_value = value;
            } else {
                // One character assigned as such: GCC 12 warns falsely
                // (-Wrestrict) about assigning a literal here.
                s.learning_value.assign(1, ':');
            }
            break;
        case 'S':
            if (!ValueAfterEquals(rest, value) || value.empty()) return kParseUsage;
            if (value.size() > kServerNameMax) {
                if (!s.quiet && message) message(kMsgServerNameTooLong, value);
                return kParseNameTooLong;
            }
            s.server_name = value;
            break;
        case 'T':
            if (!ValueAfterEquals(rest, value) || value.empty() || !PathFits(value)) return kParseUsage;
            s.template_file = value;
            break;
        case 'V':
            if (!rest.empty() && UpperChar(rest[0]) == 'L') break;
            s.verbose = true;
            break;
        case 'Z':
            if (ValueAfterEquals(rest, value)) {
                long v = DecimalValue(value);
                s.reply_rounds = v < kMinReplyRounds ? kMinReplyRounds : static_cast<int>(v);
            }
            break;
        default:  // 'W' and the unused letters: accepted without effect
            break;
        }
    }

    if (s.transport != Transport::None && s.server_name.empty()) {
        if (!s.quiet && message) message(kMsgServerNameInvalid, s.server_name);
        return kParseNoServerName;
    }
    if (!s.server_name.empty() && s.transport == Transport::None) return kParseUsage;
    if (s.learning() && s.mif_wanted()) return kParseUsage;
    return kParseAccepted;
}

}  // namespace qv::scanner
