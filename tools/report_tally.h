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
    // The summary line, with its newline.
    std::string Summary() const;

private:
    void Line(const std::string &line);
    std::string line_;
    unsigned reports_ = 0, groups_ = 0;
    unsigned long blocks_ = 0;
};
