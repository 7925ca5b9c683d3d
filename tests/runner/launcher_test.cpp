// tarnwick.exe as the launcher: the library loaded into programs that know
// nothing of it (the example, dbg_host, Wine's own programs), its report
// judged for form and agreement with the summary line; the error paths.
#include "build_kind.h"
#include "command_line.h"
#include "run_capture.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <map>
#include <regex>
#include <string>

namespace {

std::string ReadBytes(const std::wstring &path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    char buffer[4096];
    DWORD got;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got)
        bytes.append(buffer, got);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return bytes;
}

std::wstring TempDir()
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    return dir;
}

const std::wstring ReportFile = TempDir() + L"tarnwick launcher report.txt";

std::wstring WriteRules(const wchar_t *name, const char *rules)
{
    std::wstring path = TempDir() + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written;
    WriteFile(file, rules, static_cast<DWORD>(strlen(rules)), &written, nullptr);
    CloseHandle(file);
    return QuoteArgument(path);
}

// Runs commandLine directly and under the launcher with --out, each after
// setUp (when given); both must exit alike and write the same standard
// output. Returns the launched run, its report in out.
CapturedRun CompareWithLaunched(const std::wstring &commandLine, const std::wstring &setUp = L"")
{
    if (!setUp.empty())
        RunCapture(setUp);
    CapturedRun direct = RunCapture(commandLine);
    EXPECT_TRUE(direct.started);
    DeleteFileW(ReportFile.c_str());
    if (!setUp.empty())
        RunCapture(setUp);
    CapturedRun launched = RunTarnwick(L"--show-reachable --out " + QuoteArgument(ReportFile) + L" " + commandLine);
    EXPECT_FALSE(launched.timedOut) << launched.err;
    EXPECT_EQ(direct.exitCode, launched.exitCode) << launched.err;
    EXPECT_EQ(direct.out, launched.out);
    launched.out = ReadBytes(ReportFile);
    return launched;
}

const char LostHeading[] = "Tarnwick: Lost blocks (nothing in the program's memory points to them any more):\n";
const char ReachableHeading[] = "Tarnwick: Still reachable blocks (the program still holds a pointer to them):\n";

// A well-formed report: the announcement, one heading, groups each with at
// least one frame line, and a summary line that agrees with the groups.
void ExpectWellFormedReport(const CapturedRun &run)
{
    const std::string &report = run.out;
    EXPECT_EQ(0u, report.find("Tarnwick: memory leak detector loaded;")) << report;
    std::regex heading("\nTarnwick: Memory leak dump\n");
    EXPECT_EQ(1, std::distance(std::sregex_iterator(report.begin(), report.end(), heading), std::sregex_iterator()))
        << report;
    std::regex group("Memory block [0-9]+ bytes at " ANY_ADDRESS " \\(([0-9]+) times\\)\n"
                     "((?:[^\n]*" ANY_ADDRESS "\n)+)\n\n");
    // Blocks and groups in the lost section and in the reachable one.
    size_t reachableAt = report.find(ReachableHeading);
    ASSERT_NE(std::string::npos, report.find(std::string("\nTarnwick: Memory leak dump\n") + LostHeading)) << report;
    ASSERT_NE(std::string::npos, reachableAt) << report;
    unsigned long blocks[2] = {}, groups[2] = {};
    for (std::sregex_iterator it(report.begin(), report.end(), group), end; it != end; ++it) {
        groups[size_t(it->position()) > reachableAt]++;
        blocks[size_t(it->position()) > reachableAt] += std::stoul((*it)[1]);
    }
    EXPECT_EQ("tarnwick: the report lists " + std::to_string(blocks[0]) + " lost blocks in " +
                  std::to_string(groups[0]) + " groups and " + std::to_string(blocks[1]) +
                  " still reachable blocks in " + std::to_string(groups[1]) + " groups\n",
              run.err);
}

}  // namespace

TEST(Launcher, ReportsTheLeaksOfTheUnmodifiedExample)
{
    const std::wstring example = QuoteArgument(ProgramDir() + L"word_list.exe");
    CapturedRun run = CompareWithLaunched(example);
    EXPECT_EQ("  fig (3)\r\n  plum (4)\r\n  pear (4)\r\n  apple (5)\r\n4 words\r\n", RunCapture(example).out);
    ExpectWellFormedReport(run);
    // Nothing of the C runtime's start-up: three nodes from new, four texts
    // from malloc, the vector from new and its buffer from its own code, all
    // lost once main has returned.
    EXPECT_EQ("tarnwick: the report lists 9 lost blocks in 4 groups and 0 still reachable blocks in 0 groups\n",
              run.err);
    // A node holds two pointers; a vector three.
    const std::string pointers[] = {std::to_string(2 * sizeof(void *)), std::to_string(3 * sizeof(void *))};
    std::regex nodes("Memory block " + pointers[0] + " bytes at " ADDRESS
                     " \\(3 times\\)\n[^\n]*word_list\\.cpp\\(18\\) : " ADDRESS "\n[^\n]*word_list\\.cpp\\(30\\) : ");
    std::regex texts("Memory block [4-6] bytes at " ADDRESS " \\(4 times\\)\n[^\n]*word_list\\.cpp\\(19\\) : ");
    std::regex vector("Memory block " + pointers[1] + " bytes at " ADDRESS
                      " \\(1 times\\)\n[^\n]*word_list\\.cpp\\(40\\) : ");
    EXPECT_TRUE(std::regex_search(run.out, nodes)) << run.out;
    EXPECT_TRUE(std::regex_search(run.out, texts)) << run.out;
    EXPECT_TRUE(std::regex_search(run.out, vector)) << run.out;
#if !defined(_WIN64)
    // Start-up code without debug information is named from export tables
    // (Wine's 64-bit kernel32 has line information).
    EXPECT_NE(std::string::npos, run.out.find("kernel32.dll!BaseThreadInitThunk+0x")) << run.out;
#endif

    // Without --out the same report goes to standard output, around the
    // program's own output.
    CapturedRun plain = RunTarnwick(L"--show-reachable " + example);
    const std::string programOut = RunCapture(example).out;
    size_t at = plain.out.find(programOut);
    ASSERT_NE(std::string::npos, at) << plain.out;
    std::string relayed = plain.out.substr(0, at) + plain.out.substr(at + programOut.size());
    std::regex address(ADDRESS);
    EXPECT_EQ(std::regex_replace(run.out, address, "0x#"), std::regex_replace(relayed, address, "0x#"));
}

// A program of the other kind (64-bit from the 32-bit launcher, 32-bit from
// the 64-bit one) goes to the launcher beside this one, which runs it with
// its own library: output, exit code and report as from that launcher. A
// launcher alone refuses it with a clear message.
TEST(Launcher, HandsTheOtherKindToItsLauncher)
{
    const std::wstring other = QuoteArgument(ProgramDir() + OTHER_DIR L"word_list.exe");
    CapturedRun run = CompareWithLaunched(other);
    ExpectWellFormedReport(run);
    EXPECT_EQ(0u, run.err.find("tarnwick: the report lists 9 lost blocks in 4 groups")) << run.err;
    EXPECT_TRUE(std::regex_search(run.out, std::regex(" bytes at " OTHER_ADDRESS " \\(3 times\\)"))) << run.out;

    const std::wstring alone = TempDir() + L"tarnwick alone";
    CreateDirectoryW(alone.c_str(), nullptr);
    CopyFileW((ProgramDir() + L"tarnwick.exe").c_str(), (alone + L"\\tarnwick.exe").c_str(), FALSE);
    CapturedRun refused = RunCapture(QuoteArgument(alone + L"\\tarnwick.exe") + L" " + other);
    EXPECT_EQ(124u, refused.exitCode);
    EXPECT_NE(std::string::npos, refused.err.find(" is a " OTHER_KIND " program; its launcher is not found at "))
        << refused.err;
    DeleteFileW((alone + L"\\tarnwick.exe").c_str());
    RemoveDirectoryW(alone.c_str());
}

TEST(Launcher, OptionsReachTheLibrary)
{
    const std::wstring example = QuoteArgument(ProgramDir() + L"word_list.exe");
    // Two frames per group.
    CapturedRun run = RunTarnwick(L"--depth 2 --show-reachable " + example);
    std::regex group("\\(([0-9]+) times\\)\n[^\n]+\n[^\n]+\n\n\n");
    EXPECT_EQ(4, std::distance(std::sregex_iterator(run.out.begin(), run.out.end(), group), std::sregex_iterator()))
        << run.out;
    // Only groups of three blocks or more; the others are counted.
    run = RunTarnwick(L"--min-repeat 3 " + example);
    EXPECT_EQ("tarnwick: the report lists 7 lost blocks in 2 groups and 0 still reachable blocks in 0 groups; "
              "2 blocks in 2 groups left out by --min-repeat\n",
              run.err);
    // One list, as the library writes it by default.
    run = RunTarnwick(L"--all " + example);
    EXPECT_EQ("tarnwick: the report lists 9 leaked blocks in 4 groups\n", run.err);
    EXPECT_EQ(std::string::npos, run.out.find(LostHeading)) << run.out;
    // The largest depth is accepted as given.
    LaunchOptions parsed;
    std::string error;
    EXPECT_TRUE(ParseLaunchOptions(L"--depth 4096 word_list.exe", parsed, error)) << error;
    EXPECT_EQ(4096u, parsed.depth);
    // A source root without a symbol path arrives: one too long is refused.
    run = RunTarnwick(L"--source-root " + std::wstring(300, L'r') + L" " + example);
    EXPECT_NE(std::string::npos, run.out.find("Tarnwick: sourceRoot is longer than 259 characters;")) << run.out;
}

TEST(Launcher, OptimisedProgramShowsTheLinesOfTheCalls)
{
    CapturedRun run = RunTarnwick(QuoteArgument(ProgramDir() + L"word_list_optimised.exe"));
    std::regex nodes("\\(3 times\\)\n[^\n]*word_list\\.cpp\\(18\\) : " ADDRESS "\n[^\n]*word_list\\.cpp\\(30\\) : "
                     ADDRESS "\n[^\n]*word_list\\.cpp\\(48\\) : ");
    std::regex texts("\\(4 times\\)\n[^\n]*word_list\\.cpp\\(19\\) : ");
    EXPECT_TRUE(std::regex_search(run.out, nodes)) << run.out;
    EXPECT_TRUE(std::regex_search(run.out, texts)) << run.out;
}

// Programs with a known answer (gen_sites.py): however the program ends,
// every site's dropped blocks are lost, in a group of their own whose first
// frame is the site's line, and nothing else is reported.
TEST(Launcher, GeneratedSitesEachLostAtTheirOwnLine)
{
    for (int seed = 1; seed <= 3; seed++) {
        const std::wstring name = L"gen_sites_" + std::to_wstring(seed);
        const std::wstring program = QuoteArgument(ProgramDir() + name + L".exe");
        std::map<int, std::string> sites;  // line: size, allocator and blocks
        const std::string oracle = RunCapture(program + L" oracle").out;
        std::regex site("SITE ([0-9]+) ([0-9]+ [a-z]+ [0-9]+)\r?\n");
        for (std::sregex_iterator it(oracle.begin(), oracle.end(), site), end; it != end; ++it)
            sites[std::stoi((*it)[1])] = (*it)[2];
        ASSERT_EQ(22u, sites.size()) << oracle;
        for (const wchar_t *how : {L"return", L"exit", L"ExitProcess"}) {
            CapturedRun run = RunTarnwick(L"--show-reachable " + program + L" " + how);
            const size_t reachable = run.out.find(ReachableHeading);
            std::regex group("Memory block ([0-9]+) bytes at " ADDRESS " \\(([0-9]+) times\\)\n[^\n]*" +
                             std::string(name.begin(), name.end()) + "\\.cpp\\(([0-9]+)\\) : ");
            std::string wrong;
            std::map<int, int> seen;
            for (std::sregex_iterator it(run.out.begin(), run.out.end(), group), end; it != end; ++it) {
                auto expected = sites.find(std::stoi((*it)[3]));
                int size = 0, blocks = 0;
                char kind[16] = "";
                if (expected != sites.end())
                    sscanf(expected->second.c_str(), "%d %15s %d", &size, kind, &blocks);
                bool right = size_t(it->position()) < reachable && std::stoi((*it)[2]) == blocks &&
                             (std::stoi((*it)[1]) == size ||
                              (!strcmp(kind, "aligned") && unsigned(std::stoi((*it)[1]) - size) < 64u));
                if (!right || seen[std::stoi((*it)[3])]++)
                    wrong += it->str() + "\n";
            }
            EXPECT_EQ("", wrong) << run.out;
            EXPECT_EQ("tarnwick: the report lists 3021 lost blocks in 22 groups and 0 still reachable blocks in 0 groups\n",
                      run.err) << "seed " << seed << ", " << std::string(how, how + wcslen(how)) << "\n" << run.out;
        }
    }
}

// A C++ program linked -static that sets up its C++ runtime (iostreams, a
// locale, an exception) and loads dbghelp to name its own stack: only its own
// two blocks are reported, at their lines.
TEST(Launcher, OnlyTheProgramsOwnBlocks)
{
    const std::wstring program = QuoteArgument(ProgramDir() + L"own_leaks.exe");
    CapturedRun run = RunTarnwick(L"--show-reachable " + program);
    std::smatch lines;
    ASSERT_TRUE(std::regex_search(run.out, lines, std::regex("LEAKS ([0-9]+) ([0-9]+)\r?\n"))) << run.out;
    EXPECT_EQ("tarnwick: the report lists 2 lost blocks in 2 groups and 0 still reachable blocks in 0 groups\n",
              run.err) << run.out;
    for (const std::string &size : {std::string("28"), std::string("33")}) {
        std::regex group("Memory block " + size + " bytes at " ADDRESS " \\(1 times\\)\n[^\n]*own_leaks\\.cpp\\(" +
                         lines[size == "28" ? 1 : 2].str() + "\\) : ");
        EXPECT_TRUE(std::regex_search(run.out, group)) << size << "\n" << run.out;
    }
}

TEST(Launcher, LeakExitCodeOnlyWhenTheReportListsLeaks)
{
    const std::wstring example = QuoteArgument(ProgramDir() + L"word_list.exe");
    EXPECT_EQ(9u, RunTarnwick(L"--leak-exit-code 9 " + example).exitCode);
    // No group reaches the threshold: the program's own exit code.
    CapturedRun none = RunTarnwick(L"--leak-exit-code 9 --min-repeat 1000 -- " +
                                   QuoteArgument(ProgramDir() + L"dbg_host.exe") + L" exit 3");
    EXPECT_EQ(3u, none.exitCode);
    EXPECT_EQ("tarnwick: the report lists 0 lost blocks in 0 groups and 0 still reachable blocks in 0 groups\n",
              none.err);
    // Every group suppressed, by the rules of two files together (the list's
    // groups pass through line 30, the vector's through 49): the program's own
    // exit code, and the report says no leak. A rule that matches no group is
    // named.
    CapturedRun all = RunTarnwick(L"--all --leak-exit-code 9 --suppress " +
                                  WriteRules(L"tarnwick list rules.txt", "# the list\r\n*WORD_LIST.cpp(30)*\r\n*none*\r\n") +
                                  L" --suppress " + WriteRules(L"tarnwick vector rules.txt", "*word_list.cpp(49)") +
                                  L" " + example);
    EXPECT_EQ(0u, all.exitCode);
    EXPECT_EQ("tarnwick: the report lists 0 leaked blocks in 0 groups; 9 blocks in 4 groups suppressed\n"
              "tarnwick: the suppression rule \"*none*\" matched no group\n",
              all.err);
    EXPECT_NE(std::string::npos, all.out.find("\nTarnwick: Memory leak dump\nNo memory leak.\n\n")) << all.out;
}

// A crash, a breakpoint and a stack overflow are reported from inside the
// program with the faulting thread's stack, then its leak report; the
// program ends with the exception code, even with --leak-exit-code.
TEST(Launcher, DyingProgramIsDescribedAndStillReported)
{
    struct Case {
        const wchar_t *mode;
        DWORD code;
    };
    const Case cases[] = {
        {L"crash", EXCEPTION_ACCESS_VIOLATION},
        {L"break", EXCEPTION_BREAKPOINT},
        {L"overflow", EXCEPTION_STACK_OVERFLOW},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.mode, c.mode + wcslen(c.mode)));
        CapturedRun run = RunTarnwick(L"--all --leak-exit-code 9 " + QuoteArgument(ProgramDir() + L"dbg_host.exe") +
                                      L" " + c.mode);
        ASSERT_FALSE(run.timedOut);
        EXPECT_EQ(c.code, run.exitCode);
        char code[16];
        snprintf(code, sizeof code, "0x%08lX", c.code);
        // The exception's own line, then its callers down to the thread's start.
        ASSERT_TRUE(std::regex_search(run.err, std::regex(std::string("^Tarnwick: the program died of exception ") +
                                                                 code + " at " ADDRESS "; its call stack:\n"
                                                                 "(?:[^\n]+\n)*[^\n]*dbg_host\\.cpp\\([0-9]+\\) : "
                                                                 ADDRESS "\n(?:[^\n]+\n)+\n")))
            << run.err;
        // The stack overflow's thousands of frames: the innermost and the outermost.
        EXPECT_EQ(c.code == EXCEPTION_STACK_OVERFLOW, run.err.find(" frames left out ...\n") != std::string::npos)
            << run.err;
        EXPECT_NE(std::string::npos, run.out.find("\nTarnwick: Memory leak dump\n")) << run.out;
        EXPECT_NE(std::string::npos, run.err.find("\ntarnwick: the report lists 1 leaked blocks in 1 groups\n"))
            << run.err;
    }
}

// Without a debugger the program is as it is alone: a 64-bit C++ program
// built -O0 throws and catches, and IsDebuggerPresent says 0. A program that
// loads Tarnwick.dll itself keeps its one copy.
TEST(Launcher, ProgramRunsAsAlone)
{
    const std::wstring host = QuoteArgument(ProgramDir() + L"dbg_host.exe");
    for (const std::wstring &dir : {std::wstring(), std::wstring(OTHER_DIR)}) {
        const std::wstring program = QuoteArgument(ProgramDir() + dir + L"dbg_host.exe") + L" throw 2000";
        CapturedRun run = CompareWithLaunched(program);
        EXPECT_EQ(4u, run.exitCode);
        ExpectWellFormedReport(run);
        // Without --show-reachable the library leaves out the reachable
        // groups' frames: counted alike, and sent when a rule needs them.
        std::smatch kept;
        ASSERT_TRUE(std::regex_search(run.err, kept, std::regex(" ([1-9][0-9]*) still reachable blocks in ([0-9]+) ")));
        EXPECT_EQ(run.err, RunTarnwick(program).err);
        const std::wstring rules = WriteRules(L"tarnwick kept rules.txt", "*dbg_host.cpp*");
        EXPECT_EQ("tarnwick: the report lists 0 lost blocks in 0 groups and 0 still reachable blocks in 0 groups; " +
                      kept[1].str() + " blocks in " + kept[2].str() + " groups suppressed\n",
                  RunTarnwick(L"--suppress " + rules + L" " + program).err);
    }
    EXPECT_EQ("caught 2000, sum 1999000\n", RunCapture(host + L" throw 2000").out);
    CapturedRun debugger = RunTarnwick(host + L" debugger");
    EXPECT_NE(std::string::npos, debugger.out.find("IsDebuggerPresent 0\n")) << debugger.out;
    // The processes the program starts are watched too: of its own kind, of
    // the other (through CreateProcessA), and through a cmd /c of the other
    // kind, which starts one of its parent's kind: each one's report follows,
    // headed, when it ends; a line per process and one for all; the
    // program's exit code kept. With --no-children, or one created suspended,
    // the child is only named.
    const std::wstring spawn = host + L" spawn 3 ";
    const std::wstring words = ProgramDir() + L"word_list.exe", other = ProgramDir() + OTHER_DIR L"word_list.exe";
    for (const std::wstring &how :
         {L"w " + QuoteArgument(words), L"a " + QuoteArgument(other), L"w " OTHER_CMD L" /c " + QuoteArgument(words)}) {
        CapturedRun run = CompareWithLaunched(spawn + how);
        EXPECT_EQ(3u, run.exitCode);
        std::regex child("\nTarnwick: the report of [^\n]*word_list\\.exe \\(process id ([0-9]+)\\), started by "
                         "process [0-9]+:\n[\\s\\S]*\\(3 times\\)\n[^\n]*word_list\\.cpp\\(18\\) : ");
        std::smatch id;
        ASSERT_TRUE(std::regex_search(run.out, id, child)) << run.out;
        EXPECT_NE(std::string::npos, run.err.find("word_list.exe (process id " + id[1].str() + "): the report lists 9 "
                                                  "lost blocks in 4 groups and 0 still reachable blocks in 0 groups\n"))
            << run.err;
        EXPECT_TRUE(std::regex_search(run.err, std::regex("^tarnwick: [^\n]*dbg_host\\.exe \\(process id [0-9]+\\): "
                                                          "the report lists 1 lost blocks in 1 groups [\\s\\S]*\n"
                                                          "tarnwick: [23] reports list 10 lost blocks in 5 groups")))
            << run.err;
    }
    // Two threads naming children at once, each message to its own answer:
    // every watched child reports, every suspended one is named.
    auto count = [](const std::string &text, const char *pattern) {
        const std::regex piece(pattern);
        return int(std::distance(std::sregex_iterator(text.begin(), text.end(), piece), std::sregex_iterator()));
    };
    CapturedRun both = RunTarnwick(spawn + L"both " + QuoteArgument(words));
    EXPECT_EQ(3, count(both.out, "\nTarnwick: the report of ")) << both.out;
    EXPECT_EQ(3, count(both.err, "lost blocks in 4 groups and 0 still reachable")) << both.err;
    EXPECT_EQ(3, count(both.err, "which runs without the detector: the program created it suspended.")) << both.err;
    const std::pair<std::wstring, std::string> named[] = {{L"--no-children " + spawn + L"w ", "\\."},
                                                          {spawn + L"held ", ": the program created it suspended\\."}};
    for (const auto &c : named) {
        CapturedRun run = RunTarnwick(c.first + QuoteArgument(words));
        EXPECT_EQ(3u, run.exitCode);
        EXPECT_TRUE(std::regex_match(run.err, std::regex("Tarnwick: the program started .*word_list\\.exe \\(process "
                                                         "id [0-9]+\\), which runs without the detector" + c.second +
                                                         "\ntarnwick: the report lists 1 lost blocks in 1 groups[^\n]*\n")))
            << run.err;
        EXPECT_EQ(std::string::npos, run.out.find("Tarnwick: the report of")) << run.out;
    }

    const std::wstring leaky = QuoteArgument(ProgramDir() + L"leaky.exe");
    // The program's own line comes where it comes among the channel's.
    auto withoutOwnLine = [](std::string out) {
        const std::string line = "TarnwickDump reported 6 leaked blocks\r\n";
        size_t at = out.find(line);
        return at == std::string::npos ? out : out.erase(at, line.size());
    };
    CapturedRun own = RunTarnwick(leaky);
    EXPECT_NE(std::string::npos, own.out.find("\nMemory block 1000 bytes at ")) << own.out;
    EXPECT_EQ(withoutOwnLine(RunTarnwick(L"--no-inject " + leaky).out), withoutOwnLine(own.out));
    const std::string loaded = "detector loaded";
    EXPECT_EQ(own.out.find(loaded), own.out.rfind(loaded)) << own.out;
    EXPECT_TRUE(std::regex_match(own.err, std::regex("tarnwick: .*leaky\\.exe loads its own Tarnwick\\.dll \\(.*"
                                                     "Tarnwick\\.dll\\); it is left to that copy\n")))
        << own.err;
}

// Wine's own programs, with real work; their reports are judged for form
// only, as their leak counts depend on which releases the library sees.
TEST(Launcher, WineProgramsRunUnchanged)
{
    const std::wstring tree = TempDir() + L"tarnwick xcopy";
    CreateDirectoryW(tree.c_str(), nullptr);
    CreateDirectoryW((tree + L"\\src").c_str(), nullptr);
    CreateDirectoryW((tree + L"\\src\\sub").c_str(), nullptr);
    for (const wchar_t *name : {L"\\src\\a.txt", L"\\src\\b.txt", L"\\src\\sub\\c.txt"}) {
        HANDLE file = CreateFileW((tree + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written;
        WriteFile(file, "data\n", 5, &written, nullptr);
        CloseHandle(file);
    }
    const std::wstring key = L"HKCU\\Software\\TarnwickLauncherTest";
    const std::wstring addKey = L"reg.exe add " + key + L" /v name /d value /f";
    const std::wstring commands[][2] = {
        {L"cmd.exe /c \"for /L %i in (1,1,20) do @echo line %i\"", L""},
        {L"cmd.exe /c exit 7", L""},
        // Into a fresh directory each time.
        {L"xcopy.exe /E /I /Q " + QuoteArgument(tree + L"\\src") + L" " + QuoteArgument(tree + L"\\copy1"),
         L"cmd.exe /c rd /s /q " + QuoteArgument(tree + L"\\copy1")},
        {addKey, L""},
        {L"reg.exe query " + key + L" /v name", L""},
        {L"reg.exe delete " + key + L" /f", addKey},
        {L"reg.exe query " + key, L""},  // fails now: exit code 1 both ways
    };
    for (const auto &command : commands) {
        SCOPED_TRACE(std::string(command[0].begin(), command[0].end()));
        CapturedRun run = CompareWithLaunched(command[0], command[1]);
        EXPECT_FALSE(run.timedOut);
        ExpectWellFormedReport(run);
    }
    RunCapture(L"cmd.exe /c rd /s /q " + QuoteArgument(tree));
}

// Output that cannot be written in full is an error that names the file.
TEST(Launcher, FullDeviceIsAnError)
{
    const std::wstring example = QuoteArgument(ProgramDir() + L"word_list.exe");
    for (const wchar_t *option : {L"--out", L"--html", L"--sarif"}) {
        SCOPED_TRACE(std::string(option, option + wcslen(option)));
        CapturedRun run = RunTarnwick(std::wstring(option) + L" Z:\\dev\\full " + example);
        EXPECT_EQ(125u, run.exitCode);
        EXPECT_NE(std::string::npos, run.err.find("tarnwick: cannot write all of ")) << run.err;
        EXPECT_NE(std::string::npos, run.err.find("Z:\\dev\\full\n")) << run.err;
    }
}

TEST(Launcher, ErrorPaths)
{
    const std::wstring dir = ProgramDir();
    // needs_dll.exe alone in a directory: its DLL is missing.
    const std::wstring lonely = TempDir() + L"tarnwick lonely";
    CreateDirectoryW(lonely.c_str(), nullptr);
    CopyFileW((dir + L"needs_dll.exe").c_str(), (lonely + L"\\needs_dll.exe").c_str(), FALSE);
    const std::wstring host = QuoteArgument(dir + L"dbg_host.exe") + L" stdio";
    struct Case {
        std::wstring args;
        DWORD exitCode;
        std::string message;
    };
    const Case cases[] = {
        {QuoteArgument(dir + L"no_such.exe"), 126, "tarnwick: cannot start " + std::string(dir.begin(), dir.end()) +
                                                        "no_such.exe: program not found\n"},
        {QuoteArgument(lonely + L"\\needs_dll.exe"), 126,
         "a DLL it needs was not found: refusing.dll (0xC0000135)\n"},
        {QuoteArgument(dir + L"needs_dll.exe"), 126, "it ended during start-up with status 0xC0000142\n"},
        {L"--dll " + QuoteArgument(dir + L"none.dll") + L" " + host, 124, "tarnwick: Tarnwick.dll not found at "},
        {L"--dll " + QuoteArgument(dir + L"dbg_host.exe") + L" " + host, 124,
         "does not export TarnwickSetOptions and TarnwickStart\n"},
        {L"--dll " + QuoteArgument(dir + OTHER_DIR L"Tarnwick.dll") + L" " + host, 124,
         "Tarnwick.dll is not a " KIND " DLL, as the program is (error 193)\n"},
        {L"--dll " + QuoteArgument(dir + L"refusing.dll") + L" " + host, 123,
         "LoadLibraryW failed in the program; the program was stopped\n"},
        {L"--depth 5000 " + host, 125, "tarnwick: --depth takes a number from 1 to 4096, not \"5000\"\n"},
        {L"--suppress " + WriteRules(L"tarnwick bad rules.txt", "ntdll.dll!*\nbad\trule\n") + L" " + host, 125,
         "tarnwick bad rules.txt(2): a rule cannot hold a control character\n"},
        {L"--html " + QuoteArgument(TempDir() + L"no such dir\\page.html") + L" " + host, 125, "for writing\n"},
        {L"--depth 5x " + host, 125, "tarnwick: --depth takes a number from 1 to 4096, not \"5x\"\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.args.begin(), c.args.end()));
        CapturedRun run = RunTarnwick(c.args);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(c.exitCode, run.exitCode);
        EXPECT_NE(std::string::npos, run.err.find(c.message)) << run.err;
        EXPECT_EQ('\n', run.err.empty() ? 0 : run.err.back());
        // Stopped before its entry point: nothing of the program ran.
        EXPECT_EQ(std::string::npos, run.out.find("to stdout")) << run.out;
        EXPECT_EQ(std::string::npos, run.out.find("main ran")) << run.out;
    }
    // The runner mode explains a start that fails in the loader the same way.
    CapturedRun run = RunTarnwick(L"--no-inject " + QuoteArgument(lonely + L"\\needs_dll.exe"));
    EXPECT_EQ(126u, run.exitCode);
    EXPECT_NE(std::string::npos, run.err.find("refusing.dll")) << run.err;
    DeleteFileW((lonely + L"\\needs_dll.exe").c_str());
    RemoveDirectoryW(lonely.c_str());
}
