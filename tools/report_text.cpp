#include "report_text.h"

static void AppendGroup(std::string &text, const ReportGroup &group)
{
    text += "Memory block ";
    text += std::to_string(group.size);
    text += " bytes at ";
    text += group.address;
    text += " (";
    text += std::to_string(group.count);
    text += " times)\n";
    for (const ReportFrame &frame : group.frames) {
        text += frame.text;
        if (!frame.address.empty()) {
            text += " : ";
            text += frame.address;
        }
        text += '\n';
    }
    text += "\n\n";
}

std::string ReportText(const Report &report, bool showReachable)
{
    std::string text = "Tarnwick: Memory leak dump\n";
    bool any = false;
    for (const ReportSection &section : report.sections) {
        if (section.leakClass != LeakClass::None)
            text += std::string(section.leakClass == LeakClass::Lost ? LostHeading : ReachableHeading) + "\n";
        unsigned long long hiddenBlocks = 0, hiddenGroups = 0;
        size_t start = text.size();
        for (const ReportGroup &group : section.groups) {
            if (GroupShown(section, group, showReachable)) {
                AppendGroup(text, group);
            } else if (!group.suppressed && !group.belowMinRepeat) {
                hiddenBlocks += group.count;
                hiddenGroups++;
            }
        }
        bool shown = text.size() > start;
        any = any || shown;
        if (hiddenGroups)
            text += "Tarnwick: " + std::to_string(hiddenBlocks) + " still reachable blocks in " +
                    std::to_string(hiddenGroups) + " groups (shown with --show-reachable)\n\n";
        else if (!shown && section.leakClass != LeakClass::None)
            text += "None.\n\n";
    }
    if (report.Classified() ? report.noLeakLine : !any)
        text += "No memory leak.\n\n";
    if (!report.crlf)
        return text;
    std::string crlf;
    for (char c : text)
        crlf += c == '\n' ? "\r\n" : std::string(1, c);
    return crlf;
}

std::string SummaryLine(const ReportCounts &counts)
{
    if (!counts.reports)
        return "tarnwick: no leak report came (the program ended in a way that skips the exit dump)\n";
    std::string line = counts.reports == 1 ? "tarnwick: the report lists "
                                           : "tarnwick: " + std::to_string(counts.reports) + " reports list ";
    auto blocksInGroups = [](unsigned long long blocks, unsigned long long groups, const char *what) {
        return std::to_string(blocks) + what + " blocks in " + std::to_string(groups) + " groups";
    };
    if (counts.classified)
        line += blocksInGroups(counts.Leaked(), counts.groups[0] + counts.groups[1], " lost") + " and " +
                blocksInGroups(counts.blocks[2], counts.groups[2], " still reachable");
    else
        line += blocksInGroups(counts.Leaked(), counts.groups[0] + counts.groups[1], " leaked");
    if (counts.suppressedGroups)
        line += "; " + blocksInGroups(counts.suppressedBlocks, counts.suppressedGroups, "") + " suppressed";
    if (counts.belowMinRepeatGroups)
        line += "; " + blocksInGroups(counts.belowMinRepeatBlocks, counts.belowMinRepeatGroups, "") +
                " left out by --min-repeat";
    return line + "\n";
}
