#include "report_html.h"
#include "json_text.h"
#include "source_lines.h"
#include "suppressions.h"

extern const char ReportPageTemplate[];  // generated from report_page.html at build time

enum { ContextLines = 3 };

static std::string Number(unsigned long long value)
{
    return std::to_string(value);
}

static std::string FrameJson(const ReportFrame &frame, SourceLines &sources)
{
    // A frame without a symbol is shown by its module and offset.
    const bool placed = !frame.place.empty();
    std::string json = "{\"text\":" + JsonString(AnsiToUtf8(placed ? frame.place : frame.text)) +
                       ",\"address\":" + JsonString(placed ? frame.Line() : frame.address);
    std::string file;
    unsigned long line, first = 0;
    if (frame.Source(file, line)) {
        json += ",\"line\":" + Number(line);
        std::vector<std::string> code = sources.Around(file, line, ContextLines, first);
        if (!code.empty()) {
            json += ",\"first\":" + Number(first) + ",\"code\":[";
            for (size_t i = 0; i < code.size(); i++)
                json += (i ? "," : "") + JsonString(code[i]);
            json += "]";
        }
    }
    return json + "}";
}

// How many of a group's outermost frames are the program's start-up, which
// the picture folds into one box: those outside the first frame (innermost
// first) that names the program's main function, or else from the first one
// in the C runtime's or the system's thread start-up on.
static size_t StartupFrames(const ReportGroup &group)
{
    static const char *const mains[] = {"*!main", "*!main+0x*", "*!wmain", "*!wmain+0x*", "*!WinMain", "*!WinMain+0x*",
                                        "*!wWinMain", "*!wWinMain+0x*"};
    // Wine's own start-up comes with source lines (dlls\ntdll\thread.c).
    static const char *const startup[] = {"*!BaseThreadInitThunk*", "*!RtlUserThreadStart*", "*CRTStartup*",
                                          "*crtexe.c(*)", "*crtexewin.c(*)", "*exe_common.inl(*)",
                                          "*dlls\\*\\thread.c(*)"};
    auto any = [](const char *const *patterns, size_t n, const std::string &text) {
        for (size_t i = 0; i < n; i++)
            if (WildcardMatch(patterns[i], text.c_str()))
                return true;
        return false;
    };
    for (size_t i = 0; i < group.frames.size(); i++) {
        const std::string &text = group.frames[i].text;
        if (any(mains, sizeof mains / sizeof *mains, text))
            return group.frames.size() - i - 1;
        if (any(startup, sizeof startup / sizeof *startup, text))
            return group.frames.size() - i;
    }
    return 0;
}

static std::string CountsJson(unsigned long long blocks, unsigned long long bytes, unsigned long long groups)
{
    return "{\"blocks\":" + Number(blocks) + ",\"bytes\":" + Number(bytes) + ",\"groups\":" + Number(groups) + "}";
}

std::string ReportPage(const std::vector<Report> &reports, bool showReachable, const std::string &program)
{
    ReportCounts counts = CountReports(reports);
    SourceLines sources;
    std::string groups;
    for (const Report &report : reports)
        for (const ReportSection &section : report.sections)
            for (const ReportGroup &group : section.groups) {
                if (!GroupShown(section, group, showReachable))
                    continue;
                groups += std::string(groups.empty() ? "" : ",\n") + "{\"class\":\"" + ClassName(section.leakClass) +
                          "\",\"size\":" + Number(group.size) + ",\"count\":" + Number(group.count) +
                          ",\"bytes\":" + Number(group.Bytes()) + ",\"startup\":" + Number(StartupFrames(group)) +
                          ",\"address\":\"" + group.address + "\"" +
                          (report.process.empty() ? "" : ",\"process\":" + JsonString(AnsiToUtf8(report.process))) +
                          ",\"frames\":[";
                for (size_t i = 0; i < group.frames.size(); i++)
                    groups += (i ? "," : "") + FrameJson(group.frames[i], sources);
                groups += "]}";
            }
    // Unclassified blocks count as lost in a classified run's totals.
    std::string data = "{\"program\":" + JsonString(program) + ",\"reports\":" + Number(counts.reports) +
                       ",\"classified\":" + (counts.classified ? "true" : "false") +
                       ",\"showReachable\":" + (showReachable ? "true" : "false") +
                       ",\"leaked\":" + CountsJson(counts.Leaked(), counts.bytes[0] + counts.bytes[1],
                                                   counts.groups[0] + counts.groups[1]) +
                       ",\"reachable\":" + CountsJson(counts.blocks[2], counts.bytes[2], counts.groups[2]) +
                       ",\"suppressed\":{\"blocks\":" + Number(counts.suppressedBlocks) +
                       ",\"groups\":" + Number(counts.suppressedGroups) + "},\"missing\":[";
    std::vector<std::string> missing = MissingLineInformation(reports);
    for (size_t i = 0; i < missing.size(); i++)
        data += (i ? "," : "") + JsonString(AnsiToUtf8(missing[i].substr(0, missing[i].size() - 1)));
    data += "],\n\"groups\":[\n" + groups + "]}";
    std::string page = ReportPageTemplate;
    const std::string slot = "\"@REPORT_DATA@\"";
    size_t at = page.find(slot);
    return at == std::string::npos ? page : page.replace(at, slot.size(), data);
}
