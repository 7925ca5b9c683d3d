#include "report_tally.h"
#include <stdio.h>

void ReportTally::Feed(const char *text, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        if (text[i] != '\n') {
            line_ += text[i];
            continue;
        }
        if (!line_.empty() && line_.back() == '\r')
            line_.pop_back();
        Line(line_);
        line_.clear();
    }
}

// The heading opens every report, the two section headings divide a
// classifying one; each group line gives its block count.
void ReportTally::Line(const std::string &line)
{
    if (line == "Tarnwick: Memory leak dump") {
        reports_++;
        section_ = Unclassified;
        return;
    }
    if (reports_ && line == "Tarnwick: Lost blocks (nothing in the program's memory points to them any more):") {
        section_ = Lost;
        classified_ = true;
        return;
    }
    if (reports_ && line == "Tarnwick: Still reachable blocks (the program still holds a pointer to them):") {
        section_ = Reachable;
        return;
    }
    unsigned long size, count;
    char address[9], close[2];
    if (sscanf(line.c_str(), "Memory block %lu bytes at 0x%8[0-9A-F] (%lu times%1[)]", &size, address, &count,
               close) == 4 &&
        reports_) {
        groups_++;
        blocks_ += count;
        if (section_ == Reachable) {
            reachableGroups_++;
            reachableBlocks_ += count;
        }
    }
}

std::string ReportTally::Summary() const
{
    char text[200];
    if (!reports_)
        return "tarnwick: no leak report came (the program ended in a way that skips the exit dump)\n";
    // Blocks outside the reachable sections are lost or, in an unclassified
    // report, simply alive.
    if (classified_ && reports_ == 1)
        snprintf(text, sizeof text,
                 "tarnwick: the report lists %lu lost blocks in %u groups and %lu still reachable blocks in %u "
                 "groups\n",
                 LeakedBlocks(), groups_ - reachableGroups_, reachableBlocks_, reachableGroups_);
    else if (classified_)
        snprintf(text, sizeof text,
                 "tarnwick: %u reports list %lu lost blocks in %u groups and %lu still reachable blocks in %u "
                 "groups\n",
                 reports_, LeakedBlocks(), groups_ - reachableGroups_, reachableBlocks_, reachableGroups_);
    else if (reports_ == 1)
        snprintf(text, sizeof text, "tarnwick: the report lists %lu leaked blocks in %u groups\n", blocks_, groups_);
    else
        snprintf(text, sizeof text, "tarnwick: %u reports list %lu leaked blocks in %u groups\n", reports_, blocks_,
                 groups_);
    return text;
}
