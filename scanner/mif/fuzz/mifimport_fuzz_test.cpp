// Runs the MIF import fuzz target over a few thousand inputs mutated from
// the committed corpus (and over token soup), so that every build exercises
// the reader under the sanitizers even without libFuzzer.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::string> Corpus() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(QV_MIF_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        files.push_back(text.str());
    }
    return files;
}

void Feed(const std::string& input) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

TEST(MifImportFuzz, MutatedCorpusFiles) {
    const std::vector<std::string> corpus = Corpus();
    ASSERT_GE(corpus.size(), 4u);
    for (const std::string& file : corpus) Feed(file);

    std::mt19937 rng(20240611);
    const std::string pieces[] = {"\"", "{", "}", ",", "//", "/", "\\", "\n", "\r\n", " = ", "*", "\0",
                                  "Start ", "End ", "Table", "Group", "Attribute", "Component", "Name",
                                  "Class", "Value", "ID = 1", "enum", "// DONT_SCAN", "// NO_MIF_HEADER",
                                  "GROUPNAME", "END TABLE", "end"};
    const auto started = std::chrono::steady_clock::now();
    for (int iter = 0; iter < 4000; ++iter) {
        std::string input = corpus[rng() % corpus.size()];
        const int edits = 1 + rng() % 10;
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = input.empty() ? 0 : rng() % input.size();
            switch (rng() % 6) {
            case 0: if (!input.empty()) input[at] = static_cast<char>(rng()); break;
            case 1: input.insert(at, pieces[rng() % (sizeof pieces / sizeof pieces[0])]); break;
            case 2: input.erase(at, rng() % 40); break;
            case 3: input.resize(at); break;
            case 4: input.insert(at, input.substr(rng() % (input.size() + 1), rng() % 200)); break;
            case 5: input.insert(at, std::string(rng() % 300, static_cast<char>("{\"a ,}/\n"[rng() % 8]))); break;
            }
        }
        Feed(input);
    }
    // Nothing quadratic: a few thousand small files take well under a minute.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
}

TEST(MifImportFuzz, TokenSoupAndManyAttributesOverABigTable) {
    std::mt19937 rng(11);
    const char* const words[] = {"Start", "End", "Group", "Attribute", "Component", "Table", "Name", "Class",
                                 "Value", "=", "\"x\"", "{", "}", ",", "1", "//", "\n", "\"", "*", "END TABLE"};
    for (int iter = 0; iter < 500; ++iter) {
        std::string input;
        const int n = rng() % 400;
        for (int i = 0; i < n; ++i) input += std::string(words[rng() % 20]) + (rng() % 3 ? " " : "");
        Feed(input);
    }
    // Thousands of table attributes over thousands of rows stay within the
    // budget instead of taking quadratic time and giving out millions of items.
    std::string big = "Start Table\nClass = \"t\"\n";
    for (int i = 0; i < 2000; ++i) big += "{\"row\",\"value\"}\n";
    big += "End Table\nStart Component\nName = \"c\"\nStart Group\nName = \"g\"\nClass = \"t\"\n";
    for (int i = 0; i < 1000; ++i) big += "Start Attribute\nName = \"a\"\nID = 1\nEnd Attribute\n";
    const auto started = std::chrono::steady_clock::now();
    Feed(big);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

}  // namespace
