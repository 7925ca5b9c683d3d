#include "report_tally.h"
#include <stdio.h>
#include <string.h>

void ReportTally::Feed(const char *text, size_t length)
{
    const char *end = text + length;
    while (const char *newline = static_cast<const char *>(memchr(text, '\n', end - text))) {
        line_.append(text, newline);
        if (!line_.empty() && line_.back() == '\r')
            line_.pop_back();
        Line(line_);
        line_.clear();
        text = newline + 1;
    }
    line_.append(text, end);
}

// The heading opens every report; each group line gives its block count.
void ReportTally::Line(const std::string &line)
{
    if (line == "Tarnwick: Memory leak dump") {
        reports_++;
        return;
    }
    if (line.compare(0, 13, "Memory block ") != 0)
        return;  // a frame line, most of a report
    unsigned long size, count;
    char address[9], close[2];
    if (sscanf(line.c_str(), "Memory block %lu bytes at 0x%8[0-9A-F] (%lu times%1[)]", &size, address, &count,
               close) == 4 &&
        reports_) {
        groups_++;
        blocks_ += count;
    }
}

std::string ReportTally::Summary() const
{
    char text[200];
    if (!reports_)
        return "tarnwick: no leak report came (the program ended in a way that skips the exit dump)\n";
    if (reports_ == 1)
        snprintf(text, sizeof text, "tarnwick: the report lists %lu leaked blocks in %u groups\n", blocks_, groups_);
    else
        snprintf(text, sizeof text, "tarnwick: %u reports list %lu leaked blocks in %u groups\n", reports_, blocks_,
                 groups_);
    return text;
}
