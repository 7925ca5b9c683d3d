// The launcher's report model on report text: read from pieces of debugger
// output, written back, classified, suppressed and counted.
#include "report_html.h"
#include "report_sarif.h"
#include "report_text.h"
#include "suppressions.h"
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <vector>

namespace {

const std::string Banner = "\nTarnwick: leak report of the memory leak detector; see its README for how to read it.\n";
const std::string Group1 = "Memory block 12 bytes at 0x007492E0 (3 times)\nZ:\\src\\zlib\\inflate.c(17) : 0x004015E8\n"
                           "uxtheme.dll!ThemeInit+0x10 : 0x7B6293E0\n0x0040138E\n\n\n";
// As the 64-bit library writes it: addresses in 16 digits.
const std::string Group2 = "Memory block 64 bytes at 0x0000000000980004 (1 times)\nZ:\\src\\PARSER.C(120) : "
                           "0x0000000140001707\nntdll.dll!RtlUserThreadStart+0x27 : 0x00006FFFFFC5CA07\n\n\n";

struct Read {
    std::string passed, written;  // what passed through; that and each report's text in order
    std::vector<Report> reports;
    std::vector<bool> used;  // per rule: it matched a group
};

// Feeds text in pieces of the given size; each report is written back as it ends.
Read ReadText(const std::string &text, size_t piece, const std::vector<std::string> &rules = {},
              bool showReachable = true, const std::vector<std::string> &allocFns = {})
{
    Read read;
    ReportReader reader;
    reader.passThrough = [&](const std::string &t) { read.passed += t, read.written += t; };
    reader.reportDone = [&](Report &report) {
        DropAllocatorFrames(report, allocFns), ApplySuppressions(report, rules, read.used);
        read.written += ReportText(report, showReachable);
        read.reports.push_back(report);
    };
    for (size_t at = 0; at < text.size(); at += piece)
        reader.Feed(text.data() + at, std::min(piece, text.size() - at));
    reader.Finish();
    return read;
}

}  // namespace

TEST(ReportModel, ReportsAreWrittenBackByteForByteAndOtherTextPassesInOrder)
{
    // Before the report: a group line that belongs to none, and a line that
    // starts like the heading; after it, a cut report whose open group goes on as text.
    const std::string before = "Memory block 8 bytes at 0x00000001 (9 times)\nTarnwick: Memory leak dum!\n" + Banner;
    const std::string report = "\nTarnwick: Memory leak dump\n" + Group1 + Group2;
    const std::string cut = "\nTarnwick: Memory leak dump\nNo memory leak.\n\n" + Banner + "\n" +
                            "\nTarnwick: Memory leak dump\n" + Group2 + Group1.substr(0, 60);
    const std::string text = before + report + Banner + "\n" + cut;
    for (size_t piece : {size_t(1), size_t(7), text.size()}) {
        Read read = ReadText(text, piece);
        EXPECT_EQ(text, read.written) << piece;
        ASSERT_EQ(3u, read.reports.size());
        EXPECT_EQ(before + "\n" + Banner + "\n\n" + Banner + "\n\n" + Group1.substr(0, 60), read.passed);
    }
    Read read = ReadText(text, 5);
    ASSERT_EQ(1u, read.reports[0].sections.size());
    const ReportGroup &group = read.reports[0].sections[0].groups[0];
    EXPECT_EQ(36u, group.Bytes());
    EXPECT_EQ("0x007492E0", group.address);
    std::string file;
    unsigned long line = 0;
    EXPECT_TRUE(group.frames[0].Source(file, line));
    EXPECT_EQ("Z:\\src\\zlib\\inflate.c", file);
    EXPECT_EQ(17u, line);
    EXPECT_EQ("uxtheme.dll!ThemeInit+0x10", group.frames[1].text);
    EXPECT_EQ("0x7B6293E0", group.frames[1].address);
    EXPECT_FALSE(group.frames[1].Source(file, line));
    EXPECT_EQ("0x0040138E", group.frames[2].text);
    EXPECT_EQ("", group.frames[2].address);
    EXPECT_EQ("tarnwick: 3 reports list 5 leaked blocks in 3 groups\n",
              SummaryLine(CountReports(read.reports)));
    // The page counts the bytes of unclassified groups as leaked; SARIF keeps a
    // bare frame's address.
    unsigned long long bytes = 0;
    for (const Report &r : read.reports)
        for (const ReportSection &section : r.sections)
            for (const ReportGroup &g : section.groups)
                bytes += g.Bytes();
    EXPECT_NE(std::string::npos, ReportPage(read.reports, false, "p").find(
                                     "\"leaked\":{\"blocks\":5,\"bytes\":" + std::to_string(bytes) + ",\"groups\":3}"));
    EXPECT_NE(std::string::npos, ReportSarif(read.reports, false).find(
                                     "{\"physicalLocation\":{\"address\":{\"absoluteAddress\":4199310}}"));  // 0x0040138E
    // A child's groups, and only they, name its process.
    read.reports[0].process = "C:\\c.exe (process id 9)";
    const std::string named = "\"process\":\"C:\\\\c.exe (process id 9)\"";
    for (std::string file : {ReportPage(read.reports, false, "p"), ReportSarif(read.reports, false)}) {
        size_t times = 0;
        for (size_t at = file.find(named); at != std::string::npos; at = file.find(named, at + 1))
            times++;
        EXPECT_EQ(read.reports[0].sections.at(0).groups.size(), times) << file;
    }
    // Blocks of different sizes: the sum the library tells a launcher, which
    // prints the usual line.
    Read mixed = ReadText("\nTarnwick: Memory leak dump\nMemory block 16 bytes at 0x00000010 (16 times, 2176 bytes in "
                          "all)\nZ:\\src\\a.c(3) : 0x00401000\n\n\n" + Banner, 3);
    ASSERT_EQ(1u, mixed.reports.size());
    EXPECT_EQ(2176u, mixed.reports[0].sections[0].groups[0].Bytes());
    EXPECT_NE(std::string::npos, mixed.written.find("\nMemory block 16 bytes at 0x00000010 (16 times)\nZ:")) << mixed.written;
    EXPECT_EQ("tarnwick: no leak report came (the program ended in a way that skips the exit dump)\n",
              SummaryLine(CountReports({})));
    // A report whose lines end in CR LF counts too.
    const std::string crlf = "\r\nTarnwick: Memory leak dump\r\nMemory block 8 bytes at 0x00000010 (2 times)\r\n"
                             "x.c(1) : 0x00401000\r\n\r\n\r\n";
    Read crlfRead = ReadText(crlf, 3);
    EXPECT_EQ(crlf, crlfRead.written);
    EXPECT_EQ("tarnwick: the report lists 2 leaked blocks in 1 groups\n", SummaryLine(CountReports(crlfRead.reports)));
}

TEST(ReportModel, SuppressionRules)
{
    const std::string report = "\nTarnwick: Memory leak dump\n" + Group1 + Group2 + Banner;
    struct Case {
        const char *rule;
        bool first, second;
    } cases[] = {
        {"*\\zlib\\*", true, false},         {"*uxtheme.dll!*", true, false},
        {"*parser.c(120)", false, true},     {"ntdll.dll!*", false, true},
        {"*parser.c(12)", false, false},     {"  NTDLL.DLL!*+0x27\r", false, true},
        {"z:\\*\\*.c(1*)", true, true},      {"nothing*matches", false, false},
        {"0x0040138E", true, false},         {"*: 0x*", false, false},
        {"*parser.c(120)*", false, true},    {"*\\inflate.c(17)**", true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rule);
        std::vector<std::string> rules;
        std::string error;
        ASSERT_TRUE(ParseSuppressions(std::string("# accepted leaks\n\n") + c.rule + "\n", "rules.txt", rules, error));
        ASSERT_EQ(1u, rules.size());
        Read read = ReadText(report, 3, rules);
        const ReportSection &section = read.reports[0].sections[0];
        EXPECT_EQ(c.first, section.groups[0].suppressed);
        EXPECT_EQ(c.second, section.groups[1].suppressed);
        EXPECT_EQ(c.first || c.second, read.used[0]);
        EXPECT_EQ(c.first ? std::string::npos : 0u, read.written.find("\nTarnwick: Memory leak dump\n" + Group1));
        unsigned long blocks = (c.first ? 0 : 3) + (c.second ? 0 : 1);
        std::string suppressed = c.first && c.second ? "; 4 blocks in 2 groups suppressed"
                                 : c.first           ? "; 3 blocks in 1 groups suppressed"
                                 : c.second          ? "; 1 blocks in 1 groups suppressed"
                                                     : "";
        EXPECT_EQ("tarnwick: the report lists " + std::to_string(blocks) + " leaked blocks in " +
                      std::to_string(!c.first + !c.second) + " groups" + suppressed + "\n",
                  SummaryLine(CountReports(read.reports)));
        // With every group left out, the report says so as the library would.
        EXPECT_EQ(c.first && c.second, read.written.find("No memory leak.\n\n") != std::string::npos);
    }
    std::vector<std::string> rules;
    std::string error;
    EXPECT_FALSE(ParseSuppressions("ok*\n#\n bad\x01rule\n", "rules.txt", rules, error));
    EXPECT_EQ("rules.txt(3): a rule cannot hold a control character", error);
    EXPECT_FALSE(ParseSuppressions("\n" + std::string(LongestFrameText + 1, 'a'), "long.txt", rules, error));
    EXPECT_EQ("long.txt(2): a rule cannot be longer than a frame line (2278 characters)", error);
    EXPECT_TRUE(ParseSuppressions(std::string(LongestFrameText, 'a'), "long.txt", rules, error));
    // A UTF-8 byte-order mark before the first rule is no part of it.
    rules.clear();
    EXPECT_TRUE(ParseSuppressions("\xEF\xBB\xBF*\\zlib\\*\r\n", "bom.txt", rules, error));
    EXPECT_EQ(std::vector<std::string>{"*\\zlib\\*"}, rules);
}

TEST(ReportModel, ClassifiedReportsHideReachableGroupsUnlessAsked)
{
    const std::string lost = std::string(LostHeading) + "\n", reachable = std::string(ReachableHeading) + "\n";
    const std::string report = "\nTarnwick: Memory leak dump\n" + lost + Group2 + reachable + Group1 + Group2;
    Read full = ReadText(report + Banner, 4);
    EXPECT_EQ(report + Banner, full.written);
    EXPECT_EQ("tarnwick: the report lists 1 lost blocks in 1 groups and 4 still reachable blocks in 2 groups\n",
              SummaryLine(CountReports(full.reports)));
    EXPECT_EQ(1u, CountReports(full.reports).Leaked());

    // Without --show-reachable, one line counts them; suppressed ones are left out of it.
    Read brief = ReadText(report + Banner, 9, {"*uxtheme*"}, false);
    EXPECT_EQ("\nTarnwick: Memory leak dump\n" + lost + Group2 + reachable +
                  "Tarnwick: 1 still reachable blocks in 1 groups (shown with --show-reachable)\n\n" + Banner,
              brief.written);
    // A section left without groups says "None.", as the library does for an empty one.
    const std::string empty = "\nTarnwick: Memory leak dump\n" + lost + "None.\n\n" + reachable + "None.\n\n" +
                              "No memory leak.\n\n" + Banner;
    EXPECT_EQ(empty, ReadText(empty, 2).written);
    Read none = ReadText("\nTarnwick: Memory leak dump\n" + lost + Group2 + reachable + Group1 + Banner, 1,
                         {"*ntdll*"}, false);
    EXPECT_EQ("\nTarnwick: Memory leak dump\n" + lost + "None.\n\n" + reachable +
                  "Tarnwick: 3 still reachable blocks in 1 groups (shown with --show-reachable)\n\n" + Banner,
              none.written);
    EXPECT_EQ(0u, CountReports(ReadText(report, 3, {"*parser*"}).reports).Leaked());
}

TEST(ReportModel, AllocatorFramesAreDroppedAndTheSameStacksMergedInTheFirst)
{
    const std::string head = "Tarnwick: Memory leak dump\nMemory block 24 bytes at 0x00100000 (";
    const std::string text = "\n" + head + "2 times)\nrt!xmalloc\na.c(5)\na.c(9)\n\n\nMemory block 8 bytes at "
                             "0x00200000 (3 times)\nrt!xcalloc\nrt!xmalloc\na.c(5)\na.c(9)\n\n\nMemory block 4 bytes "
                             "at 0x00300000 (1 times)\nrt!xmalloc\n\n\n" + Banner;  // the last keeps its one frame
    const std::tuple<std::vector<std::string>, const char *, int, int> cases[] = {
        {{}, "2 times)\nrt!xmalloc\n", 3, 48}, {{"rt!xmalloc*"}, "2 times)\na.c(5)\n", 3, 48},
        {{"a.c(5)"}, "2 times)\nrt", 3, 48}, {{"RT!X*"}, "5 times)\na.c(5)\na.c(9)\n\n", 2, 72},
        {{"*calloc", "*malloc"}, "5 times)\na.c(5)", 2, 72},
        {{"*"}, "5 times)\na.c(9)\n\n\nMemory block 4 bytes at 0x00300000 (1 times)\nrt!xmalloc\n\n", 2, 72}};
    for (const auto &c : cases) {
        Read read = ReadText(text, 5, {}, true, std::get<0>(c));
        EXPECT_EQ(1u, read.written.find(head + std::get<1>(c))) << read.written;
        EXPECT_EQ("tarnwick: the report lists 6 leaked blocks in " + std::to_string(std::get<2>(c)) + " groups\n",
                  SummaryLine(CountReports(read.reports)));
        EXPECT_EQ(std::get<3>(c), read.reports[0].sections[0].groups[0].Bytes());
    }
}

TEST(ReportModel, ThePictureFoldsTheStartUpOutsideMain)
{
    for (const auto &c : std::vector<std::pair<std::string, std::string>>{
             {"a.c(5)\na.exe!main+0x2\ncrtexe.c(267)\nkernel32.dll!BaseThreadInitThunk+0x1\n0x7BC5D228\n", "3"},
             {"a.exe!worker+0x5\nkernel32.dll!BaseThreadInitThunk+0x1\nntdll.dll!RtlUserThreadStart+0x2\n", "2"},
             {"a.c(5)\nZ:\\src\\thread.c(61)\na.exe!mainly+0x5\na.exe!domain+0x5\nZ:\\w\\dlls\\ntdll\\thread.c(6)\n",
              "1"},
             {"a.c(5)\nZ:\\m\\crtexe.c(157)\na.exe!__tmainCRTStartup+0x1\n", "2"}}) {
        const std::string group = "Memory block 4 bytes at 0x00300000 (1 times)\n" + c.first + "\n\n";
        std::string page = ReportPage(ReadText("\nTarnwick: Memory leak dump\n" + group, 64).reports, false, "p");
        EXPECT_NE(std::string::npos, page.find("\"startup\":" + c.second + ",")) << c.first;
    }
}
