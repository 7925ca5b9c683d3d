// tarnwick.exe --no-inject, the runner for programs that load the library
// themselves, run as a real process with pipes on its standard handles,
// around dbg_host, which writes to the report channel as the library does.
#include "build_kind.h"
#include "host_strings.h"
#include "run_capture.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <regex>
#include <string>
#include <vector>

namespace {

const wchar_t Host[] = L"dbg_host.exe";

std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());  // ASCII only
}

std::string ExpectedStrings()
{
    std::string all;
    for (const std::wstring &text : HostStrings())
        all += Narrow(text);
    return all;
}

// Points at the first differing byte, which a plain EXPECT_EQ on 100 KB hides.
void ExpectSameBytes(const std::string &expected, const std::string &actual)
{
    size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i])
        i++;
    EXPECT_EQ(expected.size(), actual.size());
    EXPECT_EQ(i, expected.size()) << "first difference at byte " << i << ": expected \""
                                  << expected.substr(i, 40) << "\", got \"" << actual.substr(i, 40) << "\"";
}

std::string ReadFileBytes(const std::wstring &path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    char buffer[4096];
    DWORD got;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

std::wstring TempPath(const wchar_t *name)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring path = std::wstring(dir) + name;
    DeleteFileW(path.c_str());
    return path;
}

std::wstring HostPath() { return QuoteArgument(ProgramDir() + Host); }

CapturedRun Runner(const std::wstring &args) { return RunTarnwick(L"--no-inject " + args); }

}  // namespace

// The channel's text arrives byte for byte, in order, long writes and
// reads cut anywhere included. The channel is the program's alone: a process
// that it starts has another. The program's own debug strings go where they
// go without the launcher: not to its output.
TEST(Runner, PassesTheChannelByteForByteInOrder)
{
    const std::string expected = ExpectedStrings();
    ASSERT_GT(expected.size(), 44000u);  // the long strings are in the list
    const std::wstring path = TempPath(L"runner channel test.txt");  // a space: the name must be quoted
    CapturedRun run = Runner(L"--out " + QuoteArgument(path) + L" " + HostPath() + L" channel 1");
    ASSERT_TRUE(run.started);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("", run.err);
    EXPECT_EQ("announced\nnot announced\n", run.out);
    ExpectSameBytes(expected, ReadFileBytes(path));
    EXPECT_EQ("not announced\n", RunCapture(HostPath() + L" channel 0").out);
    // The file is replaced, not appended to.
    run = Runner(L"--out " + QuoteArgument(path) + L" -- " + HostPath() + L" strings 0");
    EXPECT_EQ("", ReadFileBytes(path));
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", run.err);
    DeleteFileW(path.c_str());
}

TEST(Runner, PassesTheExitCode)
{
    for (DWORD code : {0u, 1u, 7u, 0xC0DEu, 0x12345678u}) {
        CapturedRun run = RunUnderRunner(Host, L"exit " + std::to_wstring(code));
        ASSERT_TRUE(run.started);
        EXPECT_EQ(code, run.exitCode);
        EXPECT_EQ("", run.out);
        EXPECT_EQ("", run.err);
    }
    // An exit code after output, from returning from main.
    CapturedRun run = RunUnderRunner(Host, L"strings 0xC0DE");
    EXPECT_EQ(0xC0DEu, run.exitCode);
}

TEST(Runner, HelpAndVersionSucceed)
{
    CapturedRun version = RunTarnwick(L"--version");
    EXPECT_EQ(0u, version.exitCode);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("tarnwick [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.out;
    for (const wchar_t *option : {L"--help", L"-h"}) {
        CapturedRun run = RunTarnwick(option);
        EXPECT_EQ(0u, run.exitCode) << option;
        EXPECT_EQ(0u, run.out.find("usage: tarnwick [OPTIONS] [--] PROGRAM [ARGUMENTS...]\n")) << run.out;
        EXPECT_NE(std::string::npos, run.out.find("--out FILE"));
        EXPECT_EQ("", run.err);
    }
}

TEST(Runner, ArgumentsReachTheProgramUnchanged)
{
    const std::vector<std::wstring> args = {
        L"plain", L"two words", L"", L"tab\there", L"quote\"inside", L"back\\slash", L"ends with\\",
        L"--out", L"x.txt", L"--help", L"--",
    };
    std::wstring tail;
    for (const std::wstring &arg : args)
        tail += L" " + QuoteArgument(arg);
    std::string expected;
    for (const std::wstring &arg : args)
        expected += "[" + Narrow(arg) + "]\n";

    CapturedRun run = Runner(HostPath() + L" args" + tail);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("", run.err);
    // The raw command line ends with exactly what followed the program name.
    const std::string raw = "raw:" + Narrow(HostPath() + L" args" + tail) + "\n";
    EXPECT_EQ(0u, run.out.find(raw)) << run.out;
    EXPECT_EQ(expected, run.out.substr(std::min(raw.size(), run.out.size())));

    // After "--" even an option-like program argument list is the program's.
    run = Runner(L"-- " + HostPath() + L" args --help");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_NE(std::string::npos, run.out.find("\n[--help]\n")) << run.out;
}

TEST(Runner, ProgramOutputPassesThrough)
{
    CapturedRun run = RunUnderRunner(Host, L"stdio");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("to stderr\n", run.err);
    EXPECT_EQ("to stdout\n", run.out);
}

TEST(Runner, ProgramThatCannotStart)
{
    const std::wstring missing = ProgramDir() + L"no_such_program.exe";
    CapturedRun run = Runner(QuoteArgument(missing) + L" a b");
    EXPECT_EQ(126u, run.exitCode);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(0u, run.err.find("tarnwick: cannot start ")) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("no_such_program.exe: program not found\n")) << run.err;
    EXPECT_EQ('\n', run.err.empty() ? 0 : run.err.back());
}

TEST(Runner, BadUsage)
{
    struct Case {
        std::wstring args;
        const char *message;
    };
    const Case cases[] = {
        {L"", "tarnwick: no program given\nusage: tarnwick"},
        {L"--", "tarnwick: no program given\nusage: tarnwick"},
        {L"--out", "tarnwick: --out needs a value\nusage: tarnwick"},
        {L"--out \"\" " + HostPath() + L" exit 0", "tarnwick: --out needs a value\n"},
        {L"--bogus " + HostPath() + L" exit 0", "tarnwick: unknown option --bogus\n"},
        {L"--depth 0 " + HostPath() + L" exit 0", "tarnwick: --depth takes a number from 1 to 4096, not \"0\"\n"},
        {L"--min-repeat x " + HostPath() + L" exit 0", "tarnwick: --min-repeat takes a number, not \"x\"\n"},
        {L"--leak-exit-code " + HostPath(), "tarnwick: --leak-exit-code takes a number, not \""},
        {L"--out C:\\no\\such\\dir\\f.txt " + HostPath() + L" exit 0", "tarnwick: cannot open C:\\no\\such\\dir\\f.txt"},
    };
    for (const Case &c : cases) {
        CapturedRun run = Runner(c.args);
        EXPECT_EQ(125u, run.exitCode) << Narrow(c.args);
        EXPECT_EQ("", run.out) << Narrow(c.args);
        EXPECT_EQ(0u, run.err.find(c.message)) << Narrow(c.args) << ": " << run.err;
    }
}

// Without a debugger a breakpoint ends the program, and a crash too, as
// they do alone; without the library nothing describes them.
TEST(Runner, BreakAndCrashEndTheProgramAsAlone)
{
    for (const wchar_t *mode : {L"break", L"crash"}) {
        CapturedRun alone = RunCapture(HostPath() + L" " + mode);
        CapturedRun run = RunUnderRunner(Host, mode);
        ASSERT_FALSE(run.timedOut);
        EXPECT_EQ(alone.exitCode, run.exitCode);
        EXPECT_EQ(static_cast<DWORD>(!wcscmp(mode, L"crash") ? EXCEPTION_ACCESS_VIOLATION : EXCEPTION_BREAKPOINT),
                  run.exitCode);
        EXPECT_EQ("", run.out);
        EXPECT_EQ("", run.err);
    }
}
