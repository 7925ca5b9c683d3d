#include "report_text.h"

static std::string GroupText(const ReportGroup &group)
{
    std::string text = "Memory block " + std::to_string(group.size) + " bytes at " + group.address + " (" +
                       std::to_string(group.count) + " times)\n";
    for (const ReportFrame &frame : group.frames)
        text += frame.Line() + "\n";
    return text + "\n\n";
}

std::string ReportText(const Report &report, bool showReachable)
{
    std::string text = "Tarnwick: Memory leak dump\n";
    bool any = false;
    for (const ReportSection &section : report.sections) {
        if (section.leakClass != LeakClass::None)
            text += std::string(section.leakClass == LeakClass::Lost ? LostHeading : ReachableHeading) + "\n";
        unsigned long long hiddenBlocks = 0, hiddenGroups = 0;
        std::string groups;
        for (const ReportGroup &group : section.groups) {
            if (GroupShown(section, group, showReachable)) {
                groups += GroupText(group);
            } else if (!group.suppressed) {
                hiddenBlocks += group.count;
                hiddenGroups++;
            }
        }
        any = any || !groups.empty();
        if (hiddenGroups)
            groups = "Tarnwick: " + std::to_string(hiddenBlocks) + " still reachable blocks in " +
                     std::to_string(hiddenGroups) + " groups (shown with --show-reachable)\n\n";
        if (groups.empty() && section.leakClass != LeakClass::None)
            groups = "None.\n\n";
        text += groups;
    }
    if (report.Classified() ? report.noLeakLine : !any)
        text += "No memory leak.\n\n";
    return text;
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
    return line + "\n";
}
