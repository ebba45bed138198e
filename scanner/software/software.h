// What the software inventory modules share: the console they print to, the
// output their findings go to, their texts and labels, and a few text helpers.
//
// The software phase (database loading, the walk with its recognition, the
// learning prompts and the configuration file capture) is portable code. It
// never calls the system directly: the program hands it a SoftwareConsole
// (standard output, standard error, key presses and answer lines), a
// SoftwareOutput (inventory items, MIF table rows and contents blocks) and
// the texts of its string tables. Tests plug in recording fakes.
//
// Console texts and label templates come from string tables and are filled
// by FillTemplate, which knows only the handful of conversions the texts use
// (%s, %c, %d, %ld, %u, %lu, with an optional width) and never reads an
// argument that was not given, whatever the text holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "common/text.h"
#include "scanner/records/itemstream.h"

namespace qv::scanner {

constexpr std::size_t kSwPathMax = 259;       // longest path (260-byte fields)
constexpr std::size_t kSettingValueMax = 79;  // profile values are read into 80 bytes
constexpr std::size_t kAnswerMax = 79;        // operator answers (80-byte fields)

// Console texts of the language resource library used by the software phase.
enum SoftwareText : unsigned {
    kTxtChoice1 = 3,
    kTxtChoice2 = 4,
    kTxtChoice3 = 5,
    kTxtChoicePrompt = 6,
    kTxtScanningSoftware = 8,
    kTxtDone = 10,
    kTxtUnknownFile = 13,
    kTxtUnrecognizedVersion = 14,
    kTxtEnterVersionOrIgnore = 15,
    kTxtEnterDescription = 16,
    kTxtEnterVersion = 17,
    kTxtLearnNeedsWholeDatabase = 20,
    kTxtInsufficientMemory = 21,
    kTxtVersionMismatch = 64,
    kTxtNoTempFile = 66,
};

// Labels of the program's own string table.
enum SoftwareLabelId : unsigned {
    kLblLearnKnown = 18,
    kLblLearnUnknown = 19,
    kLblNumberOfFiles = 61,
    kLblSoftware = 62,
    kLblExists = 63,
    kLblCfg = 70,
    kLblBeginContents = 74,
    kLblEndContents = 75,
};

// The English texts, used by tests and whenever a string is missing.
std::string DefaultSoftwareText(unsigned id);

class SoftwareConsole {
public:
    virtual ~SoftwareConsole() = default;
    virtual void Out(std::string_view text) = 0;  // standard output
    virtual void Err(std::string_view text) = 0;  // standard error
    // One key press, echoed; -1 when no more input can come.
    virtual int ReadKey() = 0;
    // One line without its line break; false at the end of input.
    virtual bool ReadLine(std::string* line) = 0;
};

class SoftwareOutput {
public:
    virtual ~SoftwareOutput() = default;
    virtual void Item(std::string_view key, std::string_view value) = 0;
    virtual void Row(const char* group_class, std::string_view row) = 0;
    virtual void Record(const ContentsRecord& record) = 0;
    virtual void Text(ByteSource& source) = 0;
};

struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// The few system services of the software phase. StdPlatform gives them
// through the C runtime; the program adds the drive types and an atomic
// replace, tests fake the drives.
class SoftwarePlatform {
public:
    virtual ~SoftwarePlatform() = default;
    virtual bool IsFixedDrive(char letter) = 0;
    // Modification time (seconds since 1970) and size; false when missing.
    // The size is 64-bit: files of 2 GB and more are reported, not skipped.
    virtual bool FileStatus(const std::string& path, std::uint32_t* time, std::uint64_t* size) = 0;
    // The local time of `time`, and the date formatter's "%c" text of it.
    virtual bool LocalTimeOf(std::uint32_t time, LocalTime* local, std::string* text) = 0;
    virtual std::FILE* OpenLearningFile(const std::string& path) = 0;
    // Puts `from` in the place of `to`; `to` stays as it was on failure.
    virtual bool ReplaceFile(const std::string& from, const std::string& to) = 0;
};

class StdPlatform : public SoftwarePlatform {
public:
    bool FileStatus(const std::string& path, std::uint32_t* time, std::uint64_t* size) override;
    bool LocalTimeOf(std::uint32_t time, LocalTime* local, std::string* text) override;
    std::FILE* OpenLearningFile(const std::string& path) override;
    bool ReplaceFile(const std::string& from, const std::string& to) override;
};

// The run's item stream and MIF model (AddInventoryItem, MifAddTableRow, ...).
SoftwareOutput& InventoryOutput();

struct SoftwareEnv {
    SoftwareConsole* console = nullptr;
    SoftwareOutput* output = nullptr;
    std::function<std::string(unsigned id)> text;   // console texts
    std::function<std::string(unsigned id)> label;  // labels of our own table
    bool quiet = false;
    bool verbose = false;
    CharLengthFn char_length = SingleByteCharLength;

    std::string Text(unsigned id) const;
    std::string Label(unsigned id) const;
    // A message that quiet suppresses, to standard error.
    void Message(std::string_view text) const;
    // The file error report: name, ": ", the system's text for errno, "\n".
    void FileError(std::string_view name, int error) const;
};

// One argument of FillTemplate: a text or a number.
struct TemplateArg {
    TemplateArg(std::string_view s) : text(s), is_text(true) {}
    TemplateArg(const char* s) : text(s ? s : ""), is_text(true) {}
    TemplateArg(const std::string& s) : text(s), is_text(true) {}
    TemplateArg(long n) : number(n) {}
    TemplateArg(int n) : number(n) {}
    TemplateArg(unsigned long n) : number(static_cast<long long>(n)) {}
    TemplateArg(unsigned n) : number(n) {}
    TemplateArg(long long n) : number(n) {}
    TemplateArg(unsigned long long n) : number(static_cast<long long>(n)) {}
    TemplateArg(char c) : number(static_cast<unsigned char>(c)) {}
    std::string_view text;
    long long number = 0;
    bool is_text = false;
};

// Fills the conversions of a string-table template in order; a conversion
// without a matching argument, or of another kind, is left out.
std::string FillTemplate(std::string_view tmpl, std::initializer_list<TemplateArg> args);

// Every backslash doubled, unless the text's length plus twice its number of
// backslashes exceeds 1024 (then the text is returned unchanged).
std::string DoubleBackslashes(std::string_view text);

}  // namespace qv::scanner
