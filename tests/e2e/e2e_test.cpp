// End-to-end: the real Tarnwick.dll in host programs run under the runner
// (tarnwick --no-inject), judged by the debug output they produce.
#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>
#include <stdio.h>
#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include "run_capture.h"

namespace {

// The host built as the tests are (DWARF 4), or another build of it that
// TARNWICK_E2E_HOST names (DWARF 5 with statement frontiers: plain -g).
std::wstring HostProgram()
{
    const wchar_t *name = _wgetenv(L"TARNWICK_E2E_HOST");
    return name && *name ? name : L"e2e_host.exe";
}

CapturedRun Host(const std::wstring &arguments)
{
    CapturedRun run = RunUnderRunner(HostProgram(), arguments);
    EXPECT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    return run;
}

size_t Count(const std::string &text, const std::string &piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        count++;
    return count;
}

// An address as the report prints it: all its digits, 8 on x86, 16 on x64.
const std::string Address = "0x[0-9A-F]{" + std::to_string(2 * sizeof(void *)) + "}";

// Addresses vary from run to run; the report's shape does not.
std::string MaskAddresses(const std::string &text)
{
    return std::regex_replace(text, std::regex(Address + "(?![0-9A-F])"), "0x########");
}

int HostValue(const std::string &out, const std::string &key)
{
    std::smatch match;
    if (!std::regex_search(out, match, std::regex("HOST: " + key + " (-?[0-9]+)\n")))
        return -1000;
    return std::stoi(match[1]);
}

const char Heading[] = "\nTarnwick: Memory leak dump\n";
const char LostHeading[] = "Tarnwick: Lost blocks (nothing in the program's memory points to them any more):\n";
const char ReachableHeading[] = "Tarnwick: Still reachable blocks (the program still holds a pointer to them):\n";

// The two sections of the first classifying report from `from` on.
struct Sections {
    std::string lost, reachable;
};

Sections SplitReport(const std::string &out, size_t from = 0)
{
    size_t lost = std::min(out.find(std::string(Heading) + LostHeading, from), out.size());
    size_t reachable = std::min(out.find(ReachableHeading, lost), out.size());
    return {out.substr(lost, reachable - lost), out.substr(reachable, out.find("\nTarnwick: leak report", reachable) - reachable)};
}

// The blocks of the groups of that size in one section.
int BlocksOfSize(const std::string &section, int size)
{
    std::regex group("Memory block " + std::to_string(size) + " bytes at " + Address + " \\(([0-9]+) times\\)\n");
    int blocks = 0;
    for (std::sregex_iterator it(section.begin(), section.end(), group), end; it != end; ++it)
        blocks += std::stoi((*it)[1]);
    return blocks;
}

}  // namespace

TEST(EndToEnd, ReportMatchesWhatTheHostLeaked)
{
    CapturedRun run = Host(L"leaks");
    EXPECT_EQ(20u, run.exitCode);
    const std::string &out = run.out;
    std::smatch lines;
    ASSERT_TRUE(std::regex_search(out, lines, std::regex("HOST: lines ([0-9]+) ([0-9]+) ([0-9]+)\n"))) << out;
    ASSERT_EQ(1u, Count(out, Heading)) << out;
    std::string report = MaskAddresses(out.substr(out.find(Heading)));

    // Three heap blocks of different sizes from one stack: one group of three,
    // shown with one of the sizes; the resized global block with its new size.
    std::string file = "e2e_host\\.cpp\\(";
    std::regex heapGroup("Memory block 10[012] bytes at 0x######## \\(3 times\\)\n[^\n]*" + file +
                         lines[1].str() + "\\) : 0x########\n");
    std::regex globalGroup("Memory block 200 bytes at 0x######## \\(1 times\\)\n[^\n]*" + file + lines[2].str() +
                           "\\) : 0x########\n");
    std::regex localGroup("Memory block 300 bytes at 0x######## \\(1 times\\)\n[^\n]*" + file + lines[3].str() +
                          "\\) : 0x########\n");
    EXPECT_TRUE(std::regex_search(report, heapGroup)) << report;
    EXPECT_TRUE(std::regex_search(report, globalGroup)) << report;
    EXPECT_TRUE(std::regex_search(report, localGroup)) << report;
    // The caller's caller follows: the scenario function, then main.
    EXPECT_NE(std::string::npos, report.find("e2e_host.cpp(")) << report;

    // Nothing that was freed, allocated before the start, or allocated by the
    // filtered thread.
    for (const char *size : {"5555", "6666", "7777", "4444"})
        EXPECT_EQ(std::string::npos, report.find(std::string("Memory block ") + size + " bytes")) << size;

    // The result counts exactly the blocks printed.
    std::regex group("Memory block [0-9]+ bytes at 0x######## \\(([0-9]+) times\\)\n");
    int printed = 0;
    for (std::sregex_iterator it(report.begin(), report.end(), group), end; it != end; ++it)
        printed += std::stoi((*it)[1]);
    EXPECT_EQ(5, printed) << report;
    EXPECT_EQ(printed, HostValue(out, "dump"));
    EXPECT_EQ(2u, Count(out, "\nTarnwick: leak report")) << "banner before and after the report";
}

TEST(EndToEnd, NoReportForFreedBlocksOrBlocksFromBeforeTheStart)
{
    CapturedRun run = Host(L"no-leaks");
    EXPECT_EQ(0, HostValue(run.out, "dump")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find(std::string(Heading) + "No memory leak.\n\n")) << run.out;
}

TEST(EndToEnd, EveryMisuseMessage)
{
    CapturedRun run = Host(L"misuse");
    const std::string &out = run.out;
    EXPECT_EQ(0, HostValue(out, "dump before start"));
    EXPECT_EQ(0, HostValue(out, "dump while running"));
    EXPECT_EQ(0, HostValue(out, "first dump")) << "a new run starts with an empty table";
    EXPECT_EQ(0, HostValue(out, "second dump"));
    const std::string expected[] = {
        "Tarnwick: cannot call TarnwickDump while TarnwickStart not called.\nHOST: dump before start 0\n",
        "Tarnwick: cannot call TarnwickStop while not started.\n",
        "Tarnwick: cannot call TarnwickStart again while already started.\n",
        "Tarnwick: cannot call TarnwickSetOptions while still running.\n",
        "Tarnwick: cannot call TarnwickDump while still running.\nHOST: dump while running 0\n",
        "Tarnwick: cannot call TarnwickStop while not started.\n",
        "No memory leak.\n\n",
        "Tarnwick: cannot call TarnwickDump while TarnwickStart not called.\nHOST: second dump 0\n",
    };
    size_t at = 0;
    for (const std::string &piece : expected) {
        size_t found = out.find(piece, at);
        ASSERT_NE(std::string::npos, found) << "missing in order: " << piece << "\n" << out;
        at = found + piece.size();
    }
    EXPECT_EQ(2u, Count(out, "Tarnwick: cannot call TarnwickStop while not started.\n"));
    EXPECT_EQ(1u, Count(out, "Tarnwick: cannot call TarnwickStart again while already started.\n"));
}

TEST(EndToEnd, BreakOnLeakOnlyWhenLeaksWereFound)
{
    // Without a debugger the break ends the program, as it does alone, and
    // the crash report shows it inside TarnwickDump.
    CapturedRun leak = Host(L"break-leak");
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_BREAKPOINT), leak.exitCode);
    EXPECT_EQ(0u, leak.err.find("Tarnwick: the program died of exception 0x80000003 at ")) << leak.err;
    EXPECT_NE(std::string::npos, leak.err.find("recording.cpp(")) << leak.err;
    EXPECT_EQ(1u, Count(leak.out, "Memory block ")) << leak.out;

    CapturedRun none = Host(L"break-no-leak");
    EXPECT_EQ(0, HostValue(none.out, "dump")) << none.out;
    EXPECT_EQ(std::string::npos, none.err.find("died of exception")) << none.err;
}

TEST(EndToEnd, ExitWhileRecordingReportsOnceAndKeepsTheExitCode)
{
    struct Case {
        const wchar_t *how;
        DWORD exitCode;
    } cases[] = {{L"return", 20}, {L"ExitProcess", 21}, {L"exit", 22}, {L"TerminateProcess", 23}};
    for (const Case &c : cases) {
        CapturedRun run = Host(std::wstring(L"exit ") + c.how);
        SCOPED_TRACE(std::string(c.how, c.how + wcslen(c.how)));
        EXPECT_EQ(c.exitCode, run.exitCode);
        EXPECT_EQ(1u, Count(run.out, Heading)) << run.out;
        EXPECT_EQ(1u, Count(run.out, "Memory block 300 bytes at ")) << run.out;
        EXPECT_LT(run.out.find("HOST: exiting"), run.out.find(Heading));
        // Classified at exit: the dropped block lost, the one a global holds not.
        Sections report = SplitReport(run.out);
        EXPECT_EQ(1, BlocksOfSize(report.lost, 300)) << run.out;
        EXPECT_EQ(1, BlocksOfSize(report.reachable, 400)) << run.out;
    }
}

TEST(EndToEnd, NoReportWhenAnotherProcessOrARealHandleIsTerminated)
{
    CapturedRun self = Host(L"exit real-handle");
    EXPECT_EQ(24u, self.exitCode);
    EXPECT_EQ(0u, Count(self.out, Heading)) << self.out;

    CapturedRun other = Host(L"terminate-other");
    EXPECT_EQ(20u, other.exitCode);
    size_t terminated = other.out.find("HOST: child terminated\n");
    ASSERT_NE(std::string::npos, terminated) << other.out;
    EXPECT_EQ(std::string::npos, other.out.rfind(Heading, terminated)) << other.out;
    EXPECT_EQ(1u, Count(other.out, Heading)) << "only the host's own dump";
}

TEST(EndToEnd, EntriesArePatchedWhileRecordingAndRestoredAfter)
{
    CapturedRun run = Host(L"entries");
    for (const char *name : {"HeapAlloc", "HeapReAlloc", "HeapFree", "GlobalAlloc", "GlobalReAlloc", "GlobalFree",
                             "LocalAlloc", "LocalReAlloc", "LocalFree", "NtTerminateProcess", "malloc"})
        for (int runNumber = 1; runNumber <= 2; runNumber++) {
            std::string prefix = "HOST: run " + std::to_string(runNumber) + " " + name + " ";
            EXPECT_EQ(1u, Count(run.out, prefix + "patched\n")) << prefix;
            EXPECT_EQ(1u, Count(run.out, prefix + "restored\n")) << prefix;
        }
}

TEST(EndToEnd, ThreadTerminatedInsideAnAllocatorIsNotWaitedFor)
{
    CapturedRun run = Host(L"stuck-thread");
    EXPECT_EQ(20u, run.exitCode);
    EXPECT_EQ(std::string::npos, run.out.find("Tarnwick: an allocator call")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("HOST: stopped\n")) << run.out;
    EXPECT_NE(-1000, HostValue(run.out, "dump"));
}

// A live thread inside an allocator past the bound: the stop says so and
// returns; the dump, once the thread has left, holds its block too.
TEST(EndToEnd, LiveThreadInsideAnAllocatorKeepsItsRecordsUntilItLeaves)
{
    CapturedRun run = Host(L"busy-thread");
    EXPECT_EQ(20u, run.exitCode);
    size_t warning = run.out.find("Tarnwick: an allocator call has not returned for 2 seconds");
    ASSERT_NE(std::string::npos, warning) << run.out;
    EXPECT_LT(warning, run.out.find("HOST: stopped\n")) << run.out;
    EXPECT_EQ(2, HostValue(run.out, "dump")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("Memory block 64 bytes")) << run.out;
}

TEST(EndToEnd, ExitWithBusyThreadsReportsOnceWithoutWaiting)
{
    struct Case {
        const wchar_t *how;
        DWORD exitCode;
    } cases[] = {{L"return", 20}, {L"ExitProcess", 21}, {L"TerminateProcess", 23}};
    for (const Case &c : cases) {
        DWORD started = GetTickCount();
        CapturedRun run = Host(std::wstring(L"exit-busy ") + c.how);
        DWORD elapsed = GetTickCount() - started;
        EXPECT_EQ(c.exitCode, run.exitCode) << run.out;
        EXPECT_EQ(1u, Count(run.out, Heading)) << run.out;
        EXPECT_EQ(std::string::npos, run.out.find("Tarnwick: an allocator call")) << run.out;
        EXPECT_EQ(1, BlocksOfSize(SplitReport(run.out).lost, 300)) << run.out;
        printf("exit by %ls with four busy threads: %lu ms in all\n", c.how, static_cast<unsigned long>(elapsed));
    }
    // A thread holds the table's locks when ExitProcess comes.
    CapturedRun run = RunUnderRunner(HostProgram(), L"exit-locked", 30000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(21u, run.exitCode) << run.out;
    EXPECT_EQ(1u, Count(run.out, Heading)) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("Memory block 300 bytes")) << run.out;
}

// Blocks released through ntdll directly, through kernelbase's own calls,
// through every family and with their heap: none is reported; the three left
// alive are, one of them at an address a destroyed heap's block had, and two
// on the process heap, which a call to destroy it leaves.
TEST(EndToEnd, EveryReleaseIsSeen)
{
    CapturedRun run = Host(L"releases");
    EXPECT_EQ(20u, run.exitCode);
    EXPECT_EQ(3, HostValue(run.out, "dump")) << run.out;
    EXPECT_EQ(1, HostValue(run.out, "reused")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("Memory block 2222 bytes at")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("Memory block 1111 bytes at")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("Memory block 300 bytes at")) << run.out;
}

namespace {

// Runs a host under a minimal debugger and counts the exceptions it raises,
// first-chance included (breakpoints aside).
int FirstChanceExceptions(const std::wstring &arguments, std::string *out)
{
    std::wstring commandLine = L"\"" + ProgramDir() + HostProgram() + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr,
                        &startup, &process))
        return -1;
    int exceptions = 0;
    for (bool done = false; !done;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, 60000))
            break;
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case EXCEPTION_DEBUG_EVENT:
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                exceptions++;
                status = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        case OUTPUT_DEBUG_STRING_EVENT: {
            std::string text(event.u.DebugString.nDebugStringLength, '\0');
            SIZE_T read = 0;
            ReadProcessMemory(process.hProcess, event.u.DebugString.lpDebugStringData, &text[0], text.size(), &read);
            *out += text.c_str();
            break;
        }
        case CREATE_PROCESS_DEBUG_EVENT:
            CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            done = true;
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exceptions;
}

}  // namespace

TEST(EndToEnd, FrameChainThroughDataRaisesNoExceptionUnderADebugger)
{
    std::string out;
    EXPECT_EQ(0, FirstChanceExceptions(L"broken-frames", &out)) << out;
    // The host leaks two such blocks (from one stack on x86, two on x64).
    std::regex group("\nMemory block 77 bytes at " + Address + " \\(([0-9]+) times\\)\n");
    int blocks = 0;
    for (std::sregex_iterator it(out.begin(), out.end(), group), end; it != end; ++it)
        blocks += std::stoi((*it)[1]);
    EXPECT_EQ(2, blocks) << out;
}

// Allocating threads never pause while another thread starts, stops and
// dumps hundreds of times: no crash, no hang, no corrupted block, and every
// report shows exactly the leaks of its cycle.
TEST(EndToEnd, StressStartStopDumpWhileThreadsAllocate)
{
    CapturedRun run = RunCapture(QuoteArgument(ProgramDir() + HostProgram()) + L" stress 200", 120000);
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(20u, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find("HOST: stress cycles 200 exact 200 corrupt 0 ")) << run.out;
}

TEST(EndToEnd, UnloadingWhileRecordingRestoresTheEntries)
{
    CapturedRun run = RunUnderRunner(L"unload_host.exe", L"");
    ASSERT_TRUE(run.started);
    EXPECT_EQ(0u, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find("entries changed after unload: 0")) << run.out;
}

TEST(EndToEnd, DepthSetBetweenStopAndDumpDoesNotChangeTheRecords)
{
    CapturedRun run = Host(L"depth-change");
    EXPECT_EQ(1, HostValue(run.out, "dump")) << run.out;
    std::string report = MaskAddresses(run.out.substr(run.out.find(Heading)));
    // Three frames were recorded per block, so three lines follow the entry.
    std::regex group("Memory block 33 bytes at 0x######## \\(1 times\\)\n([^\n]+\n){3}\n\n");
    EXPECT_TRUE(std::regex_search(report, group)) << report;

    // Depth 4096 under 10,000 calls: the one group holds the allocating line,
    // then the recursion's line 4095 times, and nothing else.
    std::smatch lines;
    ASSERT_TRUE(std::regex_search(run.out, lines, std::regex("HOST: lines ([0-9]+) ([0-9]+)\n"))) << run.out;
    std::string deep = run.out.substr(run.out.find(lines[0]));
    EXPECT_EQ(1u, Count(deep, "Memory block ")) << deep.substr(0, 2000);
    std::string deepGroup = deep.substr(deep.find("Memory block 44 bytes at "));
    deepGroup = deepGroup.substr(0, deepGroup.find("\n\n"));
    EXPECT_EQ(4096u, Count(deepGroup, "\n"));
    EXPECT_EQ(1u, Count(deepGroup, "e2e_host.cpp(" + lines[1].str() + ")"));
    EXPECT_EQ(4095u, Count(deepGroup, "e2e_host.cpp(" + lines[2].str() + ")"));
    EXPECT_EQ(1, HostValue(run.out.substr(run.out.find(lines[0])), "dump"));
}

// One block or group of each kind, told apart by size: lost, or still
// reachable through a global, another block, a pointer into the middle, TLS
// (a low and an expansion slot), a waiting thread's local variable or a heap
// block from before the start.
TEST(EndToEnd, LostAndStillReachableBlocksAreToldApart)
{
    CapturedRun run = Host(L"reach");
    const std::string &out = run.out;
    // Refused: no record, one too small, one while recording; the run is
    // reported as by default.
    const std::string refusals[] = {
        "Tarnwick: TarnwickSetReportOptions called with a null pointer; options unchanged.\n",
        "Tarnwick: TarnwickSetReportOptions needs size to be at least sizeof(TarnwickReportOptions), 8; options "
        "unchanged.\n",
        "Tarnwick: cannot call TarnwickSetReportOptions while still running.\n",
        std::string(Heading) + "No memory leak.\n\n",
        "HOST: unclassified dump 0\n",
    };
    size_t at = 0;
    for (const std::string &piece : refusals) {
        at = out.find(piece, at);
        ASSERT_NE(std::string::npos, at) << "missing in order: " << piece << "\n" << out;
    }
    EXPECT_EQ(1u, Count(out, "needs size to be at least")) << "a record of 8 bytes is taken";
    std::smatch host;
    ASSERT_TRUE(std::regex_search(out, host, std::regex("HOST: map node ([0-9]+) slot ([0-9]+)\n"))) << out;
    EXPECT_EQ(sizeof(void *) == 8 ? 1 : -1000, HostValue(out, "distant")) << "x64: a heap above 4 GB beside";
    EXPECT_LE(64, std::stoi(host[2])) << "an expansion slot";
    Sections report = SplitReport(out, at);
    struct Row {
        int size, lost, reachable;
    } rows[] = {
        {1001, 3, 0},  // a list nothing points to: its head and the nodes behind it
        {1006, 2, 0},  // a cycle nothing outside points to
        {1011, 1, 0},  // its pointer overwritten
        {1012, 1, 1},  // one stack, one block of each kind: a group in each section
        {1002, 0, 1},  // a std::map behind a global pointer...
        {std::stoi(host[1]), 0, 5},  // ...and every node in it
        {1003, 0, 1},  // behind a global pointer
        {1004, 0, 1},  // only behind the block of 1003 bytes
        {1005, 0, 1},  // a pointer into its middle
        {1007, 0, 1},  // a TLS slot
        {1008, 0, 1},  // an expansion TLS slot
        {1009, 0, 1},  // a local variable of a thread blocked in a wait
        {1010, 0, 1},  // a heap block allocated before the start
        {1019, 0, 1},  // the same on the process heap
        {1013, 0, 1},  // only in a register of a spinning thread
        {0, 0, 1},     // zero bytes, behind a global pointer
        {1014, 0, 1},  // movable, behind its handle
        {5, 0, 1},     // movable, a pointer into its data
        {1016, 0, 1},  // a fiber-local storage slot
        {1017, 0, 1},  // x64: above 4 GB beside the others, differing above bit 31 only
    };
    int lost = 0;
    for (const Row &row : rows) {
        EXPECT_EQ(row.lost, BlocksOfSize(report.lost, row.size)) << row.size << "\n" << out;
        EXPECT_EQ(row.reachable, BlocksOfSize(report.reachable, row.size)) << row.size << "\n" << out;
        lost += row.lost;
    }
    EXPECT_EQ(lost, HostValue(out, "dump")) << "the result counts the lost blocks";
    EXPECT_EQ(5u, Count(report.lost, "Memory block ")) << "no other lost group\n" << report.lost;
    // Asked for: the lost groups with their stacks, the reachable ones without.
    EXPECT_LE(5u, Count(report.lost, "e2e_host.cpp(")) << report.lost;
    EXPECT_EQ(0u, Count(report.reachable, " : 0x")) << report.reachable;
}

// Leaks through msvcrt (new, new[], malloc, calloc, a moving realloc, strdup,
// _aligned_malloc, three containers, its own new and new[]) and ucrtbase
// (malloc, _strdup) are reported, each at the program's line with the
// caller's caller next; so is a new handler's block, at the handler's line.
// What was freed, what the runtimes allocate for themselves and what combase
// allocates through ucrtbase are not.
TEST(EndToEnd, RuntimeAllocationsAreTheCallers)
{
    CapturedRun run = Host(L"runtime");
    const std::string &out = run.out;
    std::smatch found;
    ASSERT_TRUE(std::regex_search(out, found, std::regex("HOST: runtime lines((?: [0-9]+){15})\n"))) << out;
    EXPECT_NE(std::string::npos, out.find("HOST: moved 1 com 1 thrown 1\n")) << out;
    std::string report = MaskAddresses(out.substr(out.find(Heading)));
    EXPECT_EQ(17, HostValue(out, "dump")) << report;
    EXPECT_EQ(15u, Count(report, "Memory block ")) << report;
    const std::string group = "Memory block ([0-9]+) bytes at 0x######## \\(1 times\\)\n[^\n]*e2e_runtime\\.cpp\\(";
    const std::string caller = "\\) : 0x########\n[^\n]*e2e_host\\.cpp\\(";  // main's call of the scenario
    std::istringstream lines(found[1].str());
    int line, leak = 0;
    for (; lines >> line; leak++) {
        std::smatch match;
        if (leak >= 7 && leak <= 9)
            continue;  // string, vector, map: their own code calls new
        EXPECT_TRUE(std::regex_search(report, match,
                                      std::regex(group + std::to_string(line) + (leak == 14 ? "\\) : " : caller))))
            << leak << report;
        if (leak == 4) {  // the moving realloc: the stack of its malloc, the new size
            EXPECT_EQ("3000000", match[1].str());
        }
    }
    // The map's three nodes, made in its code (inlined or not) on one line of the program.
    EXPECT_TRUE(std::regex_search(report, std::regex("\\(3 times\\)\n([^\n]*\n)?[^\n]*e2e_runtime\\.cpp\\(")))
        << report;
}

// A leak made in a callback from msvcrt's qsort, under functions without
// frame pointers on x64: the report follows the program's calls through the
// system DLL up to main, and on x64 nothing past the thread's start routine.
TEST(EndToEnd, StackThroughASystemCallbackAndFramelessCode)
{
    CapturedRun run = Host(L"callback");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(run.out, found, std::regex("HOST: callback lines (\\d+) (\\d+) (\\d+) (\\d+)\n")))
        << run.out;
    EXPECT_EQ(1, HostValue(run.out, "dump")) << run.out;
    auto line = [&](const std::string &number) { return "[^\n]*e2e_host\\.cpp\\(" + number + "\\) : [^\n]*\n"; };
    std::string stack = "Memory block 888 bytes at [^\n]*\n" + line(found[1]) + "([^\n]*msvcrt[^\n]*\n)+" +
                        line(found[2]) + line(found[3]) + line(found[3]) + line(found[4]) + line("\\d+");
#if defined(_WIN64)
    // The C runtime's start-up (its lines where the runtime carries them),
    // kernel32's thread start, then the group's end.
    stack += "(0x[0-9A-F]+\n|[^\n]*crtexe\\.c\\([0-9]+\\)[^\n]*\n)*[^\n]*kernel32[^\n]*\n\n";
#endif
    EXPECT_TRUE(std::regex_search(run.out, std::regex(stack))) << run.out;
}

// A PDB that is neither beside its program nor where the program records
// it: dbghelp's default search finds it through _NT_SYMBOL_PATH, as Windows
// tools do, and the launcher's --symbol-path leads there too. Found, it also
// names what the COFF symbol table names in a mingw program: the program's
// main, so that its start-up is not recorded, and the operator new it links
// in, so that a new block's stack starts at the program's call.
// The GUID and age of a program's PDB as dbghelp reads them from the PDB.
static std::string PdbSignature(const std::wstring &image, const std::wstring &symbols)
{
    HANDLE session = reinterpret_cast<HANDLE>(0x7A);
    IMAGEHLP_MODULEW64 info = {};
    info.SizeOfStruct = sizeof info;
    if (!SymInitializeW(session, symbols.c_str(), FALSE))
        return "no dbghelp";
    DWORD64 base = SymLoadModuleExW(session, nullptr, image.c_str(), nullptr, 0x400000, 0, nullptr, 0);
    bool read = base && SymGetModuleInfoW64(session, base, &info);
    SymCleanup(session);
    const GUID &g = info.PdbSig70;
    char text[80];
    snprintf(text, sizeof text, "GUID {%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}, age %lu",
             static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
             g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7], static_cast<unsigned long>(info.PdbAge));
    return read ? text : "no PDB read";
}

static std::string FileText(const std::wstring &path)
{
    std::string text;
    if (FILE *file = _wfopen(path.c_str(), L"rb")) {
        char buffer[4096];
        for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;)
            text.append(buffer, got);
        fclose(file);
    }
    return text;
}

TEST(EndToEnd, PdbIsFoundThroughTheSymbolPath)
{
    if (HostProgram() != L"e2e_host.exe")
        GTEST_SKIP() << "no e2e host involved";
    const std::wstring symbols = ProgramDir() + L"pdb_symbols";
    const std::wstring program = L"--show-reachable " + QuoteArgument(ProgramDir() + L"pdb_program.exe");
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring page = std::wstring(temp) + L"pdb_program.html", sarif = std::wstring(temp) + L"pdb.sarif";
    CapturedRun alone =
        RunTarnwick(L"--html " + QuoteArgument(page) + L" --sarif " + QuoteArgument(sarif) + L" " + program);
    // Without its PDB the launcher names the program, the PDB it looked for
    // and the symbol path, in the page and the SARIF file too; there frames
    // without a symbol are shown by module and offset, the text keeps the
    // bare address.
    const std::string missing = "no line information for pdb_program.exe (", pdb = "pdb_program.pdb (recorded as ",
                      signature = PdbSignature(ProgramDir() + L"pdb_program.exe", symbols);
    const std::string pageText = FileText(page), sarifText = FileText(sarif);
    DeleteFileW(page.c_str());
    DeleteFileW(sarif.c_str());
    const std::string *const told[] = {&alone.err, &pageText, &sarifText};
    for (const std::string *text : told)
        for (const std::string &part : {missing, pdb, signature, std::string("--symbol-path or in _NT_SYMBOL_PATH")})
            EXPECT_EQ(1u, Count(*text, part)) << part << " in " << *text;
    for (const std::string *text : {&pageText, &sarifText})
        EXPECT_NE(std::string::npos, text->find("\"pdb_program.exe+0x")) << *text;
    EXPECT_EQ(std::string::npos, alone.out.find("pdb_program.exe+0x")) << alone.out;
    SetEnvironmentVariableW(L"_NT_SYMBOL_PATH", symbols.c_str());
    CapturedRun throughEnvironment = RunTarnwick(program);
    SetEnvironmentVariableW(L"_NT_SYMBOL_PATH", nullptr);
    CapturedRun throughOption = RunTarnwick(L"--symbol-path " + QuoteArgument(symbols) + L" " + program);
    // The same source built by GCC, linked without its COFF symbol table:
    // main and its own operator new[] are found through its DWARF.
    CapturedRun dwarfOnly = RunTarnwick(L"--show-reachable " + QuoteArgument(ProgramDir() + L"dwarf_program.exe"));
    EXPECT_EQ(std::string::npos, alone.out.find("pdb_program.cpp(")) << alone.out;
    for (const CapturedRun *run : {&throughEnvironment, &throughOption, &dwarfOnly}) {
        std::smatch lines;
        ASSERT_TRUE(std::regex_search(run->out, lines, std::regex("HOST: lines ([0-9]+) ([0-9]+)\n"))) << run->out;
        const std::string report = MaskAddresses(run->out.substr(run->out.find(Heading)));
        const std::string at = "[^\n]*\\\\pdb_program\\.cpp\\(";
        EXPECT_TRUE(std::regex_search(report, std::regex("Memory block 40 bytes at 0x######## \\(3 times\\)\n" + at +
                                                         lines[1].str() + "\\) : ")))
            << report;
        EXPECT_TRUE(std::regex_search(report, std::regex("Memory block 44 bytes at 0x######## \\(2 times\\)\n" + at +
                                                         lines[2].str() + "\\) : ")))
            << report;
        EXPECT_EQ(2u, Count(report, "Memory block ")) << report;  // no block of the start-up
        EXPECT_EQ(std::string::npos, run->err.find(missing)) << run->err;
    }
}
