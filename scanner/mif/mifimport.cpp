// Import of custom MIF files: the reader (see mifimport.h).
#include "scanner/mif/mifimport.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/text.h"

namespace qv::scanner {
namespace {

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

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
    // A limit stopped the reading of something the file holds.
    bool cut() const { return cut_; }

private:
    // A recorded table line and the first quoted text after it (read once).
    struct TableLine {
        std::size_t position;
        bool read = false, found = false;
        std::string text;
    };
    // A table read whole: the values of each row, trimmed and cut, one after
    // the other in `text`. A last row that the file's end (or a limit) broke
    // off holds only the values that were ended by a comma.
    struct Table {
        std::size_t position = SIZE_MAX;
        std::string text;
        std::vector<std::uint32_t> value_end;  // end of each value in text
        std::vector<std::uint32_t> row_first;  // index of each row's first value
        bool last_row_open = false;
    };

    enum class Await { kNone, kComponentName, kGroupName, kGroupClass, kAttributeName, kAttributeValue,
                       kAttributeId, kAfterId };

    bool ReadWord(std::size_t& pos, std::string& word) const;
    void ReadTableSection(std::size_t& pos);
    bool NextToken(std::string& token);
    void Token(const std::string& token);
    bool Found(std::string_view token, std::string& value);
    bool FindTable(std::string_view name, std::size_t& position);
    bool ReadQuotedText(TableLine& line);
    void ReadTable(std::size_t position);
    void AddValue(std::string& value);
    void EmitColumn();
    // Takes n bytes from the budget; false (the import is cut) when spent.
    bool Spend(std::size_t n = 1) {
        if (budget_ < n) {
            budget_ = 0;
            cut_ = true;
            return false;
        }
        budget_ -= n;
        return true;
    }
    void Scalar(const std::string& value);

    std::string_view d_;
    const MifItemFn& add_;
    bool short_keys_ = false;
    std::vector<TableLine> tables_;
    bool tables_overflow_ = false;
    Table table_read_;
    std::size_t pos_ = 0;
    std::size_t budget_;
    bool cut_ = false;

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
            line += IsControl(c) ? ' ' : UpperChar(c);
            if (c == '\n') break;
        }
        if (line.find("END TABLE") != std::string::npos) return;
        if (line.find("GROUPNAME") != std::string::npos || line.find("CLASS") != std::string::npos) {
            if (tables_.size() < kMifTableListMax)
                tables_.push_back({line_start});
            else
                tables_overflow_ = true;
        }
    }
}

bool MifReader::PreScan() {
    std::size_t pos = 0;
    std::string previous, word;
    while (ReadWord(pos, word)) {
        if (previous == "//" && word == "DONT_SCAN") return false;
        if (previous == "//" && word == "NO_MIF_HEADER") short_keys_ = true;
        if (EqualNoCase(previous, "Start") && EqualNoCase(word, "Table")) {
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
        keyword_seen_ = EqualNoCase(token, keyword);
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

// The first quoted text after a recorded line, kept to the length of the
// names it is compared with.
bool MifReader::ReadQuotedText(TableLine& line) {
    if (line.read) return line.found;
    line.read = true;
    std::size_t p = line.position;
    while (p < d_.size() && d_[p] != '"' && Spend()) ++p;
    if (p >= d_.size() || d_[p] != '"') return false;
    ++p;
    while (p < d_.size() && d_[p] != '"' && Spend()) {
        if (line.text.size() < kMifImportTextMax) line.text += d_[p];
        ++p;
    }
    line.found = p < d_.size() && d_[p] == '"';
    return line.found;
}

// The recorded table line whose first quoted text is `name`. Both are cut to
// the same length, so names longer than that still find their table.
bool MifReader::FindTable(std::string_view name, std::size_t& position) {
    for (TableLine& line : tables_) {
        if (ReadQuotedText(line) && EqualNoCase(line.text, name.substr(0, kMifImportTextMax))) {
            position = line.position;
            return true;
        }
    }
    // The table may be among the lines the list had no room for.
    if (tables_overflow_) cut_ = true;
    return false;
}

void MifReader::Scalar(const std::string& value) {
    const std::string key = short_keys_ ? Printf("%.37s =", attribute_, "", "", "")
                                        : Printf("MIF-%.10s-%.11s-%.11s =", component_, group_, attribute_, "");
    add_(key, value);
}

// Trims a table value (leading quotes, blanks and control characters, and
// the last quote), cuts it and appends it to the table read.
void MifReader::AddValue(std::string& value) {
    std::size_t lead = 0;
    while (lead < value.size() && (value[lead] == '"' || value[lead] == ' ' || IsControl(value[lead]))) ++lead;
    value.erase(0, lead);
    const std::size_t last_quote = value.rfind('"');
    if (last_quote != std::string::npos) value.erase(last_quote, 1);
    if (value.size() > kMifImportTextMax) value.resize(kMifImportTextMax);
    table_read_.text += value;
    table_read_.value_end.push_back(static_cast<std::uint32_t>(table_read_.text.size()));
    value.clear();
}

// Reads a table's text one character at a time, telling a "//" comment (to
// the end of its line, skipped whole), a character inside quotes (the
// quotes themselves included) and a plain one apart. The search for a row's
// "{" and the reading of the row's values see the text the same way.
class TableLexer {
public:
    enum Kind { kSkip, kQuoted, kPlain };
    Kind Next(std::string_view d, std::size_t* p, char* out) {
        const char c = d[(*p)++];
        *out = c;
        if (comment_) {
            comment_ = c != '\n';
            return kSkip;
        }
        if (c == '"' && previous_ != '\\') quoted_ = !quoted_;
        previous_ = c;
        if (quoted_ || c == '"') return kQuoted;
        if (c == '/' && *p < d.size() && d[*p] == '/') {
            comment_ = true;
            ++*p;
            return kSkip;
        }
        return kPlain;
    }

private:
    bool quoted_ = false, comment_ = false;
    char previous_ = '\0';
};

// Reads the table at a recorded position, all rows and columns, in one pass.
void MifReader::ReadTable(std::size_t position) {
    Table& t = table_read_;
    t = Table{};
    t.position = position;
    std::size_t p = position;
    for (;;) {
        // The next "{", unless "end" comes first.
        TableLexer lex;
        bool open = false;
        std::string last3;
        while (p < d_.size() && Spend()) {
            char c;
            if (lex.Next(d_, &p, &c) != TableLexer::kPlain) continue;
            if (c == '{') {
                open = true;
                break;
            }
            last3 += UpperChar(c);
            if (last3.size() > 3) last3.erase(0, 1);
            if (last3 == "END") return;
        }
        if (!open) return;
        if (t.value_end.size() >= kMifTableValuesMax) {
            cut_ = true;
            return;
        }

        // The row's values, up to its "}": each ends at a comma outside
        // quotes; comments, control characters and blanks outside quotes
        // are dropped.
        t.row_first.push_back(static_cast<std::uint32_t>(t.value_end.size()));
        std::string value;
        TableLexer row;
        for (;;) {
            if (p >= d_.size() || !Spend() || t.value_end.size() >= kMifTableValuesMax) {
                if (t.value_end.size() >= kMifTableValuesMax) cut_ = true;
                t.last_row_open = true;
                return;
            }
            char c;
            const TableLexer::Kind kind = row.Next(d_, &p, &c);
            if (kind == TableLexer::kSkip) continue;
            if (kind == TableLexer::kPlain) {
                if (c == ',') {
                    AddValue(value);
                    continue;
                }
                if (c == '}') {
                    AddValue(value);
                    break;
                }
                if (c == ' ') continue;
            }
            if (!IsControl(c) && value.size() < kMifTokenMax) value += c;
        }
    }
}

// The current attribute's column of the current table, row by row. A row
// with fewer values gives an empty one; a row broken off before the column
// ends the column.
void MifReader::EmitColumn() {
    if (table_read_.position != table_) ReadTable(table_);
    const Table& t = table_read_;
    const std::size_t column = static_cast<std::size_t>(ordinal_ - 1);
    for (std::size_t row = 0; row < t.row_first.size(); ++row) {
        const std::size_t first = t.row_first[row];
        const std::size_t end = row + 1 < t.row_first.size() ? t.row_first[row + 1] : t.value_end.size();
        std::string_view value;
        if (column < end - first) {
            const std::size_t at = first + column;
            const std::size_t from = at == 0 ? 0 : t.value_end[at - 1];
            value = std::string_view(t.text).substr(from, t.value_end[at] - from);
        } else if (row + 1 == t.row_first.size() && t.last_row_open) {
            return;
        }
        const std::string r = std::to_string(row + 1);
        const std::string key = short_keys_ ? Printf("%.35s%s =", attribute_, r, "", "")
                                            : Printf("MIF-%.10s-%.11s-%.10s%s =", component_, group_, attribute_, r);
        // What the items give out counts too: many attributes over a long
        // table must not turn a small file into a flood of items.
        if (!Spend(key.size() + value.size())) return;
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

    if (EqualNoCase(token, "Start")) {
        ++depth_;
        after_start_ = true;
        return;
    }
    if (EqualNoCase(token, "End")) {
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
        if (after_start_ && EqualNoCase(token, "enum"))
            after_start_ = false;
        else if (EqualNoCase(token, "Component"))
            wait_for(Await::kComponentName);
    } else if (depth_ == 2) {
        if (EqualNoCase(token, "Group")) wait_for(Await::kGroupName);
    } else if (depth_ == 3) {
        if (EqualNoCase(token, "Attribute")) wait_for(Await::kAttributeName);
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

MifImportResult ImportMifText(std::string_view text, const MifItemFn& add) {
    const bool too_long = text.size() > kMifImportFileMax;
    if (too_long) text = text.substr(0, kMifImportFileMax);
    MifReader reader(text, add);
    if (!reader.PreScan()) return MifImportResult::kSkipped;
    reader.MainPass();
    return too_long || reader.cut() ? MifImportResult::kCut : MifImportResult::kRead;
}

}  // namespace qv::scanner
