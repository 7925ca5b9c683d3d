#include "crash_report.h"
#include <algorithm>

static const std::string CrashStart = "Tarnwick: the program died of exception ";
// A line of its own, for standard error too: a process the program started.
static const std::string ChildLine = "Tarnwick: the program started ";

// Whether line begins as prefix does, as far as either goes.
static bool Begins(const std::string &line, const std::string &prefix)
{
    size_t n = std::min(line.size(), prefix.size());
    return line.compare(0, n, prefix, 0, n) == 0;
}

void CrashSplitter::Feed(const std::string &text)
{
    std::string other;
    for (size_t at = 0; at < text.size();) {
        size_t newline = text.find('\n', at);
        size_t end = newline == std::string::npos ? text.size() : newline + 1;
        bool complete = newline != std::string::npos;
        std::string piece = text.substr(at, end - at);
        at = end;
        if (passing_) {
            other += piece;
            passing_ = !complete;
            continue;
        }
        line_ += piece;
        if (inCrash_) {
            if (complete) {
                crashText(line_);
                inCrash_ = line_ != "\n" && line_ != "\r\n";
                line_.clear();
            }
            continue;
        }
        bool crash = Begins(line_, CrashStart), child = Begins(line_, ChildLine);
        if (!crash && !child) {
            other += line_;
            passing_ = !complete;
            line_.clear();
        } else if (child && line_.size() >= ChildLine.size()) {
            if (complete) {
                childText(line_);
                line_.clear();
            }
        } else if (crash && line_.size() >= CrashStart.size()) {
            inCrash_ = crashed = true;
            if (complete) {
                crashText(line_);
                line_.clear();
            }
        }  // else: may yet be the start of a crash report
    }
    if (!other.empty())
        otherText(other);
}

void CrashSplitter::Finish()
{
    if (!line_.empty())
        (inCrash_ ? crashText : otherText)(line_);
    line_.clear();
}
