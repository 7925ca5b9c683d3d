// The leak report as the launcher holds it: read once from the debugger
// output into reports -> sections -> groups -> frames, so that suppressions
// can filter it and the text, HTML and SARIF writers can each write it out.
#pragma once
#include <stddef.h>
#include <functional>
#include <string>
#include <vector>

enum class LeakClass { None, Lost, Reachable };

struct ReportFrame {
    std::string text;     // the frame line less its " : 0x..." address
    std::string address;  // "0x0040165B", or empty for a bare-address line
    // What the library tells a launcher beside a line without a source line:
    // "module+0xOFFSET" for a frame without a symbol, and for a module
    // without line information "PATH|PDB|GUID|AGE" (the last three empty
    // when its image names no PDB).
    std::string place, missing;
    std::string Line() const { return address.empty() ? text : text + " : " + address; }
    // The line as the page and the SARIF file show it: a frame without a
    // symbol by its module and offset, which stay the same from run to run.
    std::string Shown() const { return place.empty() ? Line() : place + " : " + Line(); }
    // "file(line)" frames: the file and the line; false for the other forms.
    bool Source(std::string &file, unsigned long &line) const;
};

struct ReportGroup {
    unsigned long size = 0, count = 0;
    unsigned long long bytes = 0;  // the sizes of its blocks, summed, where the library told them
    std::string address;  // of the block shown, "0x007492E0"
    std::vector<ReportFrame> frames;  // innermost first
    bool suppressed = false;
    bool belowMinRepeat = false;  // fewer blocks than --min-repeat asks for: left out
    // The group's bytes: the sum the library told, else the block shown,
    // count times (all its blocks have that size).
    unsigned long long Bytes() const { return bytes ? bytes : static_cast<unsigned long long>(size) * count; }
};

struct ReportSection {
    LeakClass leakClass = LeakClass::None;
    std::vector<ReportGroup> groups;
};

struct Report {
    std::vector<ReportSection> sections;  // one unclassified section, or one per class heading
    bool noLeakLine = false;               // "No memory leak." closed a classified report
    bool crlf = false;                     // its lines end in CR LF (relayed through a text-mode stream)
    std::string process;                   // a child's "PATH (process id N)"; empty for the program's own
    bool Classified() const;
};

extern const char LostHeading[];
extern const char ReachableHeading[];
const char *ClassName(LeakClass leakClass);  // "", "lost", "reachable"

// Splits the debugger output into what passes through and the reports in
// it. A report runs from its heading line to the first line that does not
// fit the report's form (the library's closing line); text after the last
// complete group or line of the form goes on as it came.
class ReportReader {
public:
    std::function<void(const std::string &)> passThrough;
    std::function<void(Report &)> reportDone;
    void Feed(const char *text, size_t length);
    void Finish();  // the output ended: an open report ends here
private:
    enum State { Outside, Boundary, Frames, FirstBlank, AfterNone, AfterNoLeak };
    void Take(const char *text, size_t length, std::string &out);
    void Piece(const char *text, size_t size, bool lineEnds, std::string &out);
    void ReportLine(std::string &out);
    void EndReport(std::string &out);
    State state_ = Outside;
    bool diverged_ = false;  // the current outside line is not the heading: passed on as it comes
    std::string line_;       // the current line
    std::string pending_;    // report text since the last complete element
    Report report_;
    ReportGroup group_;
};

// What the launcher shows of a group: not suppressed nor below --min-repeat, and reachable ones
// only when asked for.
bool GroupShown(const ReportSection &section, const ReportGroup &group, bool showReachable);

struct ReportCounts {
    unsigned reports = 0;
    unsigned long long blocks[3] = {}, groups[3] = {}, bytes[3] = {};  // by LeakClass, suppressed ones left out
    unsigned long long suppressedBlocks = 0, suppressedGroups = 0;
    unsigned long long belowMinRepeatBlocks = 0, belowMinRepeatGroups = 0;
    bool classified = false;
    // Blocks that count for --leak-exit-code: lost ones, or all when unclassified.
    unsigned long long Leaked() const { return blocks[0] + blocks[1]; }
};
ReportCounts CountReports(const std::vector<Report> &reports);

// Each module that has frames in the reports but no line information,
// once, as a sentence that names what was looked for and where to point
// the symbol path; with its newline.
std::vector<std::string> MissingLineInformation(const std::vector<Report> &reports);
