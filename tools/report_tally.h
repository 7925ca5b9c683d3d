// Counts what the leak reports in the relayed debugger output list, for the
// launcher's summary line and its leak exit code.
#pragma once
#include <stddef.h>
#include <string>

class ReportTally {
public:
    // Takes the next piece of output; lines may span pieces.
    void Feed(const char *text, size_t length);
    unsigned Reports() const { return reports_; }
    unsigned Groups() const { return groups_; }
    unsigned long Blocks() const { return blocks_; }
    // Of those, in the reachable sections of classifying reports.
    unsigned long ReachableBlocks() const { return reachableBlocks_; }
    // Blocks of an unclassified report and lost blocks of a classifying one.
    unsigned long LeakedBlocks() const { return blocks_ - reachableBlocks_; }
    // The summary line, with its newline.
    std::string Summary() const;

private:
    void Line(const std::string &line);
    std::string line_;
    enum Section { Unclassified, Lost, Reachable } section_ = Unclassified;
    unsigned reports_ = 0, groups_ = 0, reachableGroups_ = 0;
    unsigned long blocks_ = 0, reachableBlocks_ = 0;
    bool classified_ = false;
};
