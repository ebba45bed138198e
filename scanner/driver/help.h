// Usage and paged help.
//
// The usage is the first six lines of the help file; the full help is the
// whole file, paged for a 25-line console: the two banner lines are already
// on screen, so the first page holds 22 help lines and every later page 24,
// each page ended by "Press any key to continue ..." and one key press.
#pragma once

namespace qv::scanner {

constexpr int kUsageLines = 6;
constexpr int kHelpLineBytes = 128;   // each help line is read with this limit
constexpr int kScreenLines = 25;

class HelpPager {
public:
    // Call before printing each help line; true means: show the prompt, wait
    // for a key, print a line break, then print the line.
    bool PauseBeforeLine() {
        bool pause = counter_ >= kScreenLines;
        if (pause) counter_ = 1;
        ++counter_;
        return pause;
    }

private:
    int counter_ = 3;  // the banner lines already on screen
};

}  // namespace qv::scanner
