#include "report_model.h"
#include <stdio.h>
#include <stdlib.h>
#include <ctype.h>
#include <string.h>
#include <set>

static const char Heading[] = "Tarnwick: Memory leak dump\n";
const char LostHeading[] = "Tarnwick: Lost blocks (nothing in the program's memory points to them any more):";
const char ReachableHeading[] = "Tarnwick: Still reachable blocks (the program still holds a pointer to them):";

const char *ClassName(LeakClass leakClass)
{
    return leakClass == LeakClass::Lost ? "lost" : leakClass == LeakClass::Reachable ? "reachable" : "";
}

bool Report::Classified() const
{
    return !sections.empty() && sections[0].leakClass != LeakClass::None;
}

bool ReportFrame::Source(std::string &file, unsigned long &line) const
{
    size_t open = text.rfind('(');
    if (open == std::string::npos || open == 0 || text.back() != ')' || open + 2 >= text.size())
        return false;
    line = 0;
    for (size_t i = open + 1; i + 1 < text.size(); i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        line = line * 10 + (text[i] - '0');
    }
    file = text.substr(0, open);
    return true;
}

// An address as the library prints it: 8 hexadecimal digits, 16 from x64.
static bool AddressDigits(const std::string &digits)
{
    return (digits.size() == 8 || digits.size() == 16) &&
           digits.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// A group line exactly as the library writes it; anything else is not one.
// To a launcher, a group of blocks of different sizes also tells their sum:
// "(K times, B bytes in all)".
static bool ParseGroupLine(const std::string &line, ReportGroup &group)
{
    if (line.compare(0, 13, "Memory block ") != 0)
        return false;
    char address[17], close[2];
    group.bytes = 0;
    int fields = sscanf(line.c_str(), "Memory block %lu bytes at 0x%16[0-9A-F] (%lu times, %llu bytes in all%1[)]",
                        &group.size, address, &group.count, &group.bytes, close);
    if (fields == 3)
        fields = sscanf(line.c_str(), "Memory block %lu bytes at 0x%16[0-9A-F] (%lu times%1[)]", &group.size,
                        address, &group.count, close) + 1;
    if (fields != 5 || !AddressDigits(address))
        return false;
    group.address = std::string("0x") + address;
    char canonical[140];
    if (group.bytes)
        snprintf(canonical, sizeof canonical, "Memory block %lu bytes at %s (%lu times, %llu bytes in all)",
                 group.size, group.address.c_str(), group.count, group.bytes);
    else
        snprintf(canonical, sizeof canonical, "Memory block %lu bytes at %s (%lu times)", group.size,
                 group.address.c_str(), group.count);
    return line == canonical;
}

// A place as "module+0xOFFSET", its digits in upper case.
static std::string Place(const std::string &told)
{
    std::string place = told;
    size_t plus = place.rfind("+0x");
    for (size_t i = plus == std::string::npos ? place.size() : plus + 3; i < place.size(); i++)
        place[i] = static_cast<char>(toupper(static_cast<unsigned char>(place[i])));
    return place;
}

static ReportFrame ParseFrame(std::string line)
{
    ReportFrame frame;
    // The fields the library tells a launcher follow the line, each led by a tab.
    for (size_t tab; (tab = line.rfind('\t')) != std::string::npos; line.erase(tab)) {
        const std::string field = line.substr(tab + 1);
        if (field.compare(0, 3, "at ") == 0)
            frame.place = Place(field.substr(3));
        else if (field.compare(0, 8, "missing ") == 0)
            frame.missing = field.substr(8);
    }
    size_t at = line.rfind(" : 0x");
    if (at != std::string::npos && AddressDigits(line.substr(at + 5))) {
        frame.text = line.substr(0, at);
        frame.address = line.substr(at + 3);
    } else {
        frame.text = line;
    }
    return frame;
}

void ReportReader::Feed(const char *text, size_t length)
{
    std::string out;
    Take(text, length, out);
    if (!out.empty() && passThrough)
        passThrough(out);
}

// Takes the text a line at a time (the last piece may end without a newline).
void ReportReader::Take(const char *text, size_t length, std::string &out)
{
    while (length) {
        const char *newline = static_cast<const char *>(memchr(text, '\n', length));
        size_t size = newline ? newline - text + 1 : length;
        Piece(text, size, newline != nullptr, out);
        text += size;
        length -= size;
    }
}

void ReportReader::Piece(const char *text, size_t size, bool lineEnds, std::string &out)
{
    if (state_ != Outside) {
        line_.append(text, size);
        if (lineEnds)
            ReportLine(out);
        return;
    }
    if (diverged_) {
        out.append(text, size);
        diverged_ = !lineEnds;
        return;
    }
    // A line that may yet be the heading is held back until it is known.
    line_.append(text, size);
    bool crlf = line_.size() == sizeof Heading && line_.compare(0, sizeof Heading - 2, Heading, sizeof Heading - 2) == 0 &&
                line_.compare(sizeof Heading - 2, 2, "\r\n") == 0;
    if (line_ == Heading || crlf) {
        state_ = Boundary;
        report_ = Report();
        report_.crlf = crlf;
        pending_.clear();
        line_.clear();
    } else if (lineEnds || line_.size() >= sizeof Heading || line_.compare(0, line_.size(), Heading, line_.size())) {
        out += line_;
        diverged_ = !lineEnds;
        line_.clear();
    }
}

// One complete line inside a report (line_, with its newline).
void ReportReader::ReportLine(std::string &out)
{
    pending_ += line_;
    line_.pop_back();
    if (report_.crlf && !line_.empty() && line_.back() == '\r')
        line_.pop_back();
    const std::string &line = line_;
    bool complete = false, fits = true;
    switch (state_) {
    case Boundary:
        if (ParseGroupLine(line, group_)) {
            group_.frames.clear();
            group_.suppressed = false;
            state_ = Frames;
        } else if (line == LostHeading || line == ReachableHeading) {
            report_.sections.emplace_back();
            report_.sections.back().leakClass = line == LostHeading ? LeakClass::Lost : LeakClass::Reachable;
            complete = true;
        } else if (line == "None.") {
            state_ = AfterNone;
        } else if (line == "No memory leak.") {
            state_ = AfterNoLeak;
        } else {
            fits = false;
        }
        break;
    case Frames:
        if (line.empty())
            state_ = FirstBlank;
        else
            group_.frames.push_back(ParseFrame(line));
        break;
    case FirstBlank:
        if ((fits = line.empty())) {
            if (report_.sections.empty())
                report_.sections.emplace_back();
            report_.sections.back().groups.push_back(std::move(group_));
            complete = true;
        }
        break;
    default:  // AfterNone, AfterNoLeak
        if ((fits = line.empty())) {
            report_.noLeakLine = report_.noLeakLine || state_ == AfterNoLeak;
            complete = true;
        }
        break;
    }
    line_.clear();
    if (!fits) {
        EndReport(out);
    } else if (complete) {
        pending_.clear();
        state_ = Boundary;
    }
}

// The report ends before the element in pending_, which goes on as text.
void ReportReader::EndReport(std::string &out)
{
    if (!out.empty() && passThrough)
        passThrough(out);
    out.clear();
    state_ = Outside;
    diverged_ = false;
    if (reportDone)
        reportDone(report_);
    std::string rest;
    rest.swap(pending_);
    Take(rest.data(), rest.size(), out);
}

void ReportReader::Finish()
{
    std::string out;
    if (state_ != Outside) {
        pending_ += line_;
        line_.clear();
        EndReport(out);
    }
    out += line_;
    line_.clear();
    if (!out.empty() && passThrough)
        passThrough(out);
}

bool GroupShown(const ReportSection &section, const ReportGroup &group, bool showReachable)
{
    return !group.suppressed && !group.belowMinRepeat && (showReachable || section.leakClass != LeakClass::Reachable);
}

ReportCounts CountReports(const std::vector<Report> &reports)
{
    ReportCounts counts;
    counts.reports = static_cast<unsigned>(reports.size());
    for (const Report &report : reports) {
        counts.classified = counts.classified || report.Classified();
        for (const ReportSection &section : report.sections)
            for (const ReportGroup &group : section.groups) {
                if (group.suppressed) {
                    counts.suppressedBlocks += group.count;
                    counts.suppressedGroups++;
                    continue;
                }
                if (group.belowMinRepeat) {
                    counts.belowMinRepeatBlocks += group.count;
                    counts.belowMinRepeatGroups++;
                    continue;
                }
                int c = static_cast<int>(section.leakClass);
                counts.blocks[c] += group.count;
                counts.groups[c]++;
                counts.bytes[c] += group.Bytes();
            }
    }
    return counts;
}

std::vector<std::string> MissingLineInformation(const std::vector<Report> &reports)
{
    std::vector<std::string> sentences;
    std::set<std::string> named;
    for (const Report &report : reports)
        for (const ReportSection &section : report.sections)
            for (const ReportGroup &group : section.groups)
                for (const ReportFrame &frame : group.frames) {
                    if (frame.missing.empty() || !named.insert(frame.missing).second)
                        continue;
                    std::string field[4];
                    size_t start = 0;
                    for (int i = 0; i < 4; i++) {
                        size_t bar = i < 3 ? frame.missing.find('|', start) : std::string::npos;
                        field[i] = frame.missing.substr(start, bar == std::string::npos ? bar : bar - start);
                        start = bar == std::string::npos ? frame.missing.size() : bar + 1;
                    }
                    const std::string &path = field[0], &pdb = field[1];
                    std::string module = path.substr(path.find_last_of("\\/") + 1);
                    std::string sentence = "no line information for " + module + " (" + path + "): ";
                    if (pdb.empty()) {
                        sentence += "its image names no PDB; build it with debug information (-g, or a PDB) "
                                    "to see its lines. Its frames without a symbol are shown as module+offset "
                                    "in the page and the SARIF file.";
                    } else {
                        std::string key;  // the folder name a symbol store files it under
                        for (char c : field[2])
                            if (isxdigit(static_cast<unsigned char>(c)))
                                key += c;
                        char age[16];
                        snprintf(age, sizeof age, "%lX", strtoul(field[3].c_str(), nullptr, 10));
                        std::string name = pdb.substr(pdb.find_last_of("\\/") + 1);
                        sentence += "its PDB was not found: " + name + " (recorded as " + pdb + "), GUID " +
                                    field[2] + ", age " + field[3] + " (symbol store key " + key + age +
                                    "). Give the folder that holds it with --symbol-path or in _NT_SYMBOL_PATH.";
                    }
                    sentences.push_back(sentence + "\n");
                }
    return sentences;
}
