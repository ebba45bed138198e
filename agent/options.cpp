#include "agent/options.h"

#include "common/text.h"

namespace qv::agent {

namespace {

bool IsSeparator(char c, bool option_separators) {
    if (c == ' ' || c == '\t' || c == '\n') return true;
    return option_separators && (c == '-' || c == '/' || c == '\\');
}

}  // namespace

std::vector<std::string> Tokenize(std::string_view text, bool option_separators) {
    std::vector<std::string> tokens;
    std::string cur;
    bool quoted = false;
    auto finish = [&] {
        if (!cur.empty()) tokens.push_back(std::move(cur));
        cur.clear();
    };
    for (const char c : text) {
        if (c == '\0') break;
        if (c == '"') {
            finish();
            quoted = !quoted;
        } else if (!quoted && IsSeparator(c, option_separators)) {
            finish();
        } else {
            cur.push_back(c);
            continue;
        }
        if (tokens.size() == static_cast<std::size_t>(kMaxTokens)) return tokens;
    }
    finish();
    return tokens;
}

OptionResult ApplyOptions(const std::vector<std::string>& tokens, Protocol* protocol) {
    OptionResult r;
    for (const std::string& t : tokens) {
        std::string_view o(t);
        if (!o.empty() && (o[0] == '/' || o[0] == '-')) o.remove_prefix(1);
        if (StartsWithNoCase(o, "IPX")) {
            *protocol = kProtocolIpx;
        } else if (StartsWithNoCase(o, "TCPIP") || StartsWithNoCase(o, "IP")) {
            *protocol = kProtocolTcpip;
        } else if (StartsWithNoCase(o, "L") || StartsWithNoCase(o, "N") || EqualNoCase(o, "S")) {
            // accepted; no further effect
        } else {
            r.bad.push_back(t);
        }
    }
    return r;
}

OptionResult ApplyCommandLine(std::string_view text, Protocol* protocol) {
    return ApplyOptions(Tokenize(text), protocol);
}

PreparedCommandLine PrepareCommandLine(std::string_view value, Protocol* protocol) {
    if (value.size() > kCommandLineBytes - 1) value = value.substr(0, kCommandLineBytes - 1);
    PreparedCommandLine p;
    const std::vector<std::string> tokens = Tokenize(value);
    p.options = ApplyOptions(tokens, protocol);
    for (const std::string& t : tokens) {
        if (!p.text.empty()) p.text.push_back(' ');
        bool needs_quotes = false;
        for (const char c : t) needs_quotes = needs_quotes || IsSeparator(c, true);
        if (needs_quotes) p.text += '"' + t + '"';
        else p.text += t;
    }
    if (p.text.size() > kCommandLineBytes - 1) p.text.resize(kCommandLineBytes - 1);
    return p;
}

}  // namespace qv::agent
