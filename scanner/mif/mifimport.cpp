// Import of custom MIF files: the reader (see mifimport.h).
#include "scanner/mif/mifimport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace qv::scanner {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::string Printf(const char* format, const std::string& a, const std::string& b, const std::string& c,
                   const std::string& d) {
    char buf[128];
    std::snprintf(buf, sizeof buf, format, a.c_str(), b.c_str(), c.c_str(), d.c_str());
    return buf;
}

class MifReader {
public:
    MifReader(std::string_view text, const MifItemFn& add)
        : d_(text), add_(add), budget_(std::max(kMifRescanMin, kMifRescanFactor * text.size())) {}

    // False when the file is to be skipped.
    bool PreScan();
    void MainPass();

private:
    enum class Await { kNone, kComponentName, kGroupName, kGroupClass, kAttributeName, kAttributeValue,
                       kAttributeId, kAfterId };

    bool ReadWord(std::size_t& pos, std::string& word) const;
    void ReadTableSection(std::size_t& pos);
    bool NextToken(std::string& token);
    void Token(const std::string& token);
    bool Found(std::string_view token, std::string& value);
    bool FindTable(std::string_view name, std::size_t& position);
    void EmitColumn();
    bool Spend() {
        if (budget_ == 0) return false;
        --budget_;
        return true;
    }
    void Scalar(const std::string& value);

    std::string_view d_;
    const MifItemFn& add_;
    bool short_keys_ = false;
    std::vector<std::size_t> tables_;
    std::size_t pos_ = 0;
    std::size_t budget_;

    std::string component_, group_, class_, attribute_;
    bool has_table_ = false;
    std::size_t table_ = 0;
    int ordinal_ = 0;
    long depth_ = 0;
    bool after_start_ = false;
    Await await_ = Await::kNone;
    bool keyword_seen_ = false;
};

bool MifReader::ReadWord(std::size_t& pos, std::string& word) const {
    word.clear();
    while (pos < d_.size() && IsSpace(d_[pos])) ++pos;
    if (pos >= d_.size()) return false;
    // Words longer than any keyword are kept one character too long, so
    // they never compare equal to one.
    constexpr std::size_t kWordKeep = 32;
    while (pos < d_.size() && !IsSpace(d_[pos])) {
        if (word.size() <= kWordKeep) word += d_[pos];
        ++pos;
    }
    return true;
}

void MifReader::ReadTableSection(std::size_t& pos) {
    while (pos < d_.size()) {
        const std::size_t line_start = pos;
        std::string line;
        while (pos < d_.size() && line.size() < kMifPrescanLineSize - 1) {
            const char c = d_[pos++];
            line += IsControl(c) ? ' ' : Upper(c);
            if (c == '\n') break;
        }
        if (line.find("END TABLE") != std::string::npos) return;
        if ((line.find("GROUPNAME") != std::string::npos || line.find("CLASS") != std::string::npos) &&
            tables_.size() < kMifTableListMax)
            tables_.push_back(line_start);
    }
}

bool MifReader::PreScan() {
    std::size_t pos = 0;
    std::string previous, word;
    while (ReadWord(pos, word)) {
        if (previous == "//" && word == "DONT_SCAN") return false;
        if (previous == "//" && word == "NO_MIF_HEADER") short_keys_ = true;
        if (SameText(previous, "Start") && SameText(word, "Table")) {
            ReadTableSection(pos);
            previous.clear();
            continue;
        }
        previous.swap(word);
    }
    return true;
}

bool MifReader::NextToken(std::string& token) {
    token.clear();
    bool quoted = false, comment = false;
    char previous = '\0';
    while (pos_ < d_.size()) {
        const char c = d_[pos_++];
        if (c == '\n') return true;
        if (comment) continue;
        if (c == '"' && previous != '\\') {
            if (token.size() < kMifTokenMax) token += c;
            if (quoted) return true;
            quoted = true;
            previous = c;
            continue;
        }
        if (!quoted) {
            if (c == ' ' || c == '=') {
                if (!token.empty()) return true;
                continue;
            }
            if (c == '/') {
                if (pos_ < d_.size() && d_[pos_] == '/') {
                    comment = true;
                    ++pos_;
                }
                continue;
            }
        }
        if (IsControl(c)) continue;
        if (token.size() < kMifTokenMax) token += c;
        previous = c;
    }
    return !token.empty();
}

// While a keyword's value is awaited: the keyword itself, then its value.
bool MifReader::Found(std::string_view token, std::string& value) {
    const char* keyword = await_ == Await::kGroupClass ? "Class" : await_ == Await::kAttributeValue ? "Value" : "Name";
    if (!keyword_seen_) {
        keyword_seen_ = SameText(token, keyword);
        return false;
    }
    keyword_seen_ = false;
    if (token[0] == '*') {
        value = "Dynamic";
    } else {
        std::string_view v = token;
        if (v.front() == '"') {
            v.remove_prefix(1);
            if (!v.empty() && v.back() == '"') v.remove_suffix(1);
        }
        value.assign(v.substr(0, kMifImportTextMax));
    }
    return true;
}

// The recorded table line whose first quoted text is `name`.
bool MifReader::FindTable(std::string_view name, std::size_t& position) {
    for (std::size_t start : tables_) {
        std::size_t p = start;
        while (p < d_.size() && d_[p] != '"' && Spend()) ++p;
        if (p >= d_.size() || budget_ == 0) continue;
        std::string text;
        ++p;
        while (p < d_.size() && d_[p] != '"' && Spend()) {
            if (text.size() <= kMifImportTextMax) text += d_[p];
            ++p;
        }
        if (p < d_.size() && SameText(text, name)) {
            position = start;
            return true;
        }
    }
    return false;
}

void MifReader::Scalar(const std::string& value) {
    const std::string key = short_keys_ ? Printf("%.37s =", attribute_, "", "", "")
                                        : Printf("MIF-%.10s-%.11s-%.11s =", component_, group_, attribute_, "");
    add_(key, value);
}

// The current attribute's column of the current table, row by row.
void MifReader::EmitColumn() {
    std::size_t p = table_;
    for (int row = 1;; ++row) {
        // 1. The next "{", unless "end" comes first.
        bool quoted = false, comment = false, open = false;
        char previous = '\0';
        std::string last3;
        while (p < d_.size() && Spend()) {
            const char c = d_[p++];
            if (comment) {
                comment = c != '\n';
                continue;
            }
            if (c == '"' && previous != '\\') quoted = !quoted;
            previous = c;
            if (quoted || c == '"') continue;
            if (c == '/' && p < d_.size() && d_[p] == '/') {
                comment = true;
                ++p;
                continue;
            }
            if (c == '{') {
                open = true;
                break;
            }
            last3 += Lower(c);
            if (last3.size() > 3) last3.erase(0, 1);
            if (last3 == "end") return;
        }
        if (!open) return;

        // 2. and 3. Skip ordinal - 1 values, then read one; a row with fewer
        // values gives an empty one instead of running into the next row.
        std::string value;
        bool row_end = false;
        quoted = comment = false;
        previous = '\0';
        for (int field = 1; field <= ordinal_ && !row_end; ++field) {
            const bool wanted = field == ordinal_;
            for (;;) {
                if (p >= d_.size() || !Spend()) return;
                const char c = d_[p++];
                if (comment) {
                    comment = c != '\n';
                    continue;
                }
                if (c == '"' && previous != '\\') quoted = !quoted;
                previous = c;
                if (!quoted) {
                    if (c == ',') break;
                    if (c == '}') {
                        row_end = true;
                        break;
                    }
                    if (c == '/' && p < d_.size() && d_[p] == '/') {
                        comment = true;
                        ++p;
                        continue;
                    }
                    if (c == ' ') continue;
                }
                if (wanted && !IsControl(c) && value.size() < kMifTokenMax) value += c;
            }
        }

        // 4. Trim the leading quotes, blanks and control characters and the last quote.
        std::size_t lead = 0;
        while (lead < value.size() && (value[lead] == '"' || value[lead] == ' ' || IsControl(value[lead]))) ++lead;
        value.erase(0, lead);
        const std::size_t last_quote = value.rfind('"');
        if (last_quote != std::string::npos) value.erase(last_quote, 1);
        if (value.size() > kMifImportTextMax) value.resize(kMifImportTextMax);

        // 5. The row's item.
        const std::string r = std::to_string(row);
        const std::string key = short_keys_ ? Printf("%.35s%s =", attribute_, r, "", "")
                                            : Printf("MIF-%.10s-%.11s-%.10s%s =", component_, group_, attribute_, r);
        add_(key, value);
    }
}

void MifReader::Token(const std::string& token) {
    std::string value;
    switch (await_) {
    case Await::kNone:
        break;
    case Await::kAttributeId:
        if (std::strtol(token.c_str(), nullptr, 10) > 0) await_ = Await::kAfterId;
        return;
    case Await::kAfterId:
        // This token is the column's cue, and is looked at as usual too.
        await_ = Await::kNone;
        EmitColumn();
        break;
    default:
        if (!Found(token, value)) return;
        switch (await_) {
        case Await::kComponentName:
            component_ = value;
            await_ = Await::kNone;
            break;
        case Await::kGroupName:
            group_ = value;
            ordinal_ = 0;
            has_table_ = FindTable(group_, table_);
            await_ = has_table_ ? Await::kNone : Await::kGroupClass;
            break;
        case Await::kGroupClass:
            class_ = value;
            has_table_ = FindTable(class_, table_);
            await_ = Await::kNone;
            break;
        case Await::kAttributeName:
            attribute_ = value;
            ++ordinal_;
            await_ = has_table_ ? Await::kAttributeId : Await::kAttributeValue;
            break;
        case Await::kAttributeValue:
            Scalar(value);
            await_ = Await::kNone;
            break;
        default:
            break;
        }
        return;
    }

    if (SameText(token, "Start")) {
        ++depth_;
        after_start_ = true;
        return;
    }
    if (SameText(token, "End")) {
        --depth_;
        after_start_ = false;
        return;
    }
    if (!after_start_ && depth_ != 2 && depth_ != 3) return;
    auto wait_for = [this](Await what) {
        await_ = what;
        keyword_seen_ = false;
    };
    if (depth_ == 1) {
        if (after_start_ && SameText(token, "enum"))
            after_start_ = false;
        else if (SameText(token, "Component"))
            wait_for(Await::kComponentName);
    } else if (depth_ == 2) {
        if (SameText(token, "Group")) wait_for(Await::kGroupName);
    } else if (depth_ == 3) {
        if (SameText(token, "Attribute")) wait_for(Await::kAttributeName);
    }
}

void MifReader::MainPass() {
    pos_ = 0;
    std::string token;
    while (pos_ < d_.size()) {
        if (NextToken(token) && !token.empty()) Token(token);
    }
}

}  // namespace

bool ImportMifText(std::string_view text, const MifItemFn& add) {
    if (text.size() > kMifImportFileMax) text = text.substr(0, kMifImportFileMax);
    MifReader reader(text, add);
    if (!reader.PreScan()) return false;
    reader.MainPass();
    return true;
}

}  // namespace qv::scanner
