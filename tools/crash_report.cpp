#include "crash_report.h"
#include <algorithm>

static const std::string CrashStart = "Tarnwick: the program died of exception ";

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
        size_t n = std::min(line_.size(), CrashStart.size());
        if (line_.compare(0, n, CrashStart, 0, n) != 0) {
            other += line_;
            passing_ = !complete;
            line_.clear();
        } else if (n == CrashStart.size()) {
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
