// The library's crash report in the channel's text: the line "Tarnwick: the
// program died of exception ..." and the frame lines after it, up to an
// empty line, which the launcher shows on standard error; and its line
// "Tarnwick: the program started ..." for each process the program starts.
// The rest goes on.
#pragma once
#include <functional>
#include <string>

class CrashSplitter {
public:
    std::function<void(const std::string &)> crashText;  // the crash report's lines
    std::function<void(const std::string &)> childText;  // each "the program started" line, whole
    std::function<void(const std::string &)> otherText;  // everything else, in order
    bool crashed = false;                                 // a crash report came
    void Feed(const std::string &text);
    void Finish();  // the text ended: a line held back goes on
private:
    std::string line_;      // the crash report's current line, or one that may start it
    bool inCrash_ = false;
    bool passing_ = false;  // the rest of a line that is not the crash report's
};
