// tarnwick: runs a program with Tarnwick.dll loaded and recording from before
// its entry point, and relays the library's debugger output (the leak report
// at exit). With --no-inject it only relays what a program writes there.
#include "command_line.h"
#include "debug_session.h"
#include "injection.h"
#include "json_text.h"
#include "launcher_choice.h"
#include "report_output.h"
#include "report_text.h"
#include "start_failure.h"
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

enum {
    ExitInjectionFailed = 123,
    ExitLibraryUnusable = 124,
    ExitUsage = 125,
    ExitCannotStart = 126,
};

// The full path, so that the program loads this file and no other.
static std::wstring FullPath(const std::wstring &path)
{
    wchar_t full[MAX_PATH];
    DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return length && length < MAX_PATH ? std::wstring(full, length) : path;
}

int wmain()
{
    // Exact bytes on both streams: no CR added before LF.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    LaunchOptions options;
    std::string error;
    if (!ParseLaunchOptions(NextToken(GetCommandLineW(), nullptr), options, error)) {
        fprintf(stderr, "tarnwick: %s\n%s", error.c_str(), UsageText);
        return ExitUsage;
    }
    if (options.help) {
        fputs(UsageText, stdout);
        return 0;
    }
    const char *kind;
    if (BelongsToOtherLauncher(options.program, kind))
        return RunOtherLauncher(options.program, kind, NextToken(GetCommandLineW(), nullptr), ExitLibraryUnusable);

    std::wstring dllPath;
    LibraryExports exports;
    if (options.inject) {
        dllPath = FullPath(options.dllPath.empty() ? LauncherDirectory() + L"Tarnwick.dll" : options.dllPath);
        if (GetFileAttributesW(dllPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
            fprintf(stderr, "tarnwick: Tarnwick.dll not found at %ls\n", dllPath.c_str());
            return ExitLibraryUnusable;
        }
        if (!FindLibraryExports(dllPath, exports, error)) {
            fprintf(stderr, "tarnwick: %ls %s\n", dllPath.c_str(), error.c_str());
            return ExitLibraryUnusable;
        }
    }

    ReportOutput output;
    output.showReachable = options.showReachable;
    if (!ReadSuppressionFiles(options.suppressFiles, output.rules, error)) {
        fprintf(stderr, "tarnwick: %s\n", error.c_str());
        return ExitUsage;
    }
    // The page and the SARIF file are written at the end: a path that cannot
    // be written is found out before the program runs.
    for (const std::wstring *path : {&options.htmlPath, &options.sarifPath})
        if (!path->empty() && !WriteWholeFile(*path, "")) {
            fprintf(stderr, "tarnwick: cannot open %ls for writing\n", path->c_str());
            return ExitUsage;
        }

    DebugSession session;
    if (!options.outPath.empty()) {
        session.out = _wfopen(options.outPath.c_str(), L"wb");
        if (!session.out) {
            fprintf(stderr, "tarnwick: cannot open %ls for writing\n", options.outPath.c_str());
            return ExitUsage;
        }
    }
    output.out = session.out;
    ConnectReportOutput(session.reader, output);
    session.holdAtEntry = options.inject;
    session.relayWhole = !options.piecewise;
    DWORD createError;
    if (!StartUnderDebugger(session, options.programLine, createError)) {
        fprintf(stderr, "tarnwick: cannot start %ls: %s\n", options.program.c_str(),
                DescribeCreateError(createError).c_str());
        return ExitCannotStart;
    }

    int result = -1;
    DEBUG_EVENT event;
    while (!session.exited) {
        // After sending a dying thread into the exit, wait a bounded time
        // for the report: the program's state is not to be trusted.
        if (!PumpEvent(session, event, session.redirected ? 20000 : INFINITE) && !session.exited) {
            fputs("tarnwick: the program did not end after its exception; stopping it\n", stderr);
            EndProgram(session, session.crashCode);
        }
        if (!session.heldThread)
            continue;
        if (!InjectLibrary(session, options, dllPath, exports, error)) {
            fprintf(stderr, "tarnwick: cannot load Tarnwick.dll into %ls: %s; the program was stopped\n",
                    options.program.c_str(), error.c_str());
            EndProgram(session, ExitInjectionFailed);
            result = ExitInjectionFailed;
        }
        ResumeThread(session.heldThread);
        session.heldThread = nullptr;
    }

    session.reader.Finish();
    if (session.out != stdout)
        fclose(session.out);
    if (!WriteReportFiles(output, options.htmlPath, options.sarifPath, WideToUtf8(options.programLine))) {
        fputs("tarnwick: cannot write the page or the SARIF file\n", stderr);
        result = result < 0 ? ExitUsage : result;
    }
    if (!session.loaderDone && result < 0) {
        fprintf(stderr, "tarnwick: cannot start %ls: %s\n", options.program.c_str(),
                DescribeStartupEnd(session.exitCode, session.imageFile).c_str());
        result = ExitCannotStart;
    }
    if (session.imageFile)
        CloseHandle(session.imageFile);
    if (result >= 0)
        return result;
    ReportCounts counts = CountReports(output.reports);
    if (options.inject)
        fputs(SummaryLine(counts).c_str(), stderr);
    if (options.hasLeakExitCode && counts.Leaked() > 0)
        return static_cast<int>(options.leakExitCode);
    return static_cast<int>(session.exitCode);
}
