// tarnwick: runs a program with Tarnwick.dll loaded and recording from before
// its entry point, as a process of its own without a debugger, and relays
// what the library writes to its report channel (the leak report at exit,
// a crash report). With --no-inject it loads nothing and relays the channel
// for a program that loads the library itself.
#include "child_processes.h"
#include "command_line.h"
#include "crash_report.h"
#include "injection.h"
#include "json_text.h"
#include "launcher_choice.h"
#include "report_channel.h"
#include "report_output.h"
#include "report_text.h"
#include "start_failure.h"
#include "tarnwick.h"
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

// The program's image file, for the diagnosis of a failed start.
static HANDLE OpenImageFile(HANDLE process)
{
    wchar_t path[MAX_PATH];
    DWORD length = MAX_PATH;
    if (!QueryFullProcessImageNameW(process, 0, path, &length))
        return nullptr;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
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
    if (options.version) {
        fputs("tarnwick " TARNWICK_VERSION_STRING "\n", stdout);
        return 0;
    }
    const char *kind;
    if (!options.attachProcess && BelongsToOtherLauncher(options.program, kind))
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
    if (options.attachProcess)
        return AttachHeld(options, dllPath, exports);

    ReportOutput output;
    output.showReachable = options.showReachable;
    output.minRepeat = options.minRepeat;
    if (!ReadSuppressionFiles(options.suppressFiles, output.rules, error)) {
        fprintf(stderr, "tarnwick: %s\n", error.c_str());
        return ExitUsage;
    }
    for (const std::wstring &pattern : options.allocFns)
        output.allocFns.push_back(WideToAnsi(pattern));
    // The page and the SARIF file are written at the end: a path that cannot
    // be written is found out before the program runs.
    for (const std::wstring *path : {&options.htmlPath, &options.sarifPath})
        if (!path->empty() && !WriteWholeFile(*path, "")) {
            fprintf(stderr, "tarnwick: cannot open %ls for writing\n", path->c_str());
            return ExitUsage;
        }
    if (!options.outPath.empty()) {
        output.out = _wfopen(options.outPath.c_str(), L"wb");
        if (!output.out) {
            fprintf(stderr, "tarnwick: cannot open %ls for writing\n", options.outPath.c_str());
            return ExitUsage;
        }
    }

    ReportReader reader;
    ConnectReportOutput(reader, output);
    ChildWatch watch;
    BeginChildWatch(watch, options, dllPath, exports, output);
    // The program's output goes on as it comes; its children's, as each ends.
    CrashSplitter crash;
    crash.crashText = [&watch](const std::string &text) {
        EnterCriticalSection(&watch.lock);
        fwrite(text.data(), 1, text.size(), stderr);
        fflush(stderr);
        LeaveCriticalSection(&watch.lock);
    };
    crash.otherText = [&reader, &watch](const std::string &text) {
        EnterCriticalSection(&watch.lock);
        reader.Feed(text.data(), text.size());
        LeaveCriticalSection(&watch.lock);
    };
    PROCESS_INFORMATION program;
    char answer = 0;
    crash.childText = [&](const std::string &text) {
        answer = TakeChildLine(watch, text, program.dwProcessId) ? 'w' : 0;
    };
    ReportChannel channel;
    channel.take = [&crash, &answer](const std::string &text) {
        answer = 0;
        crash.Feed(text);
        return answer;
    };

    DWORD createError;
    if (!StartHeld(options.programLine, program, createError)) {
        fprintf(stderr, "tarnwick: cannot start %ls: %s\n", options.program.c_str(),
                DescribeCreateError(createError).c_str());
        return ExitCannotStart;
    }
    // Ctrl+C reaches the program and the launcher: the launcher outlives it.
    SetConsoleCtrlHandler(nullptr, TRUE);
    int result = -1;
    DWORD exitCode = 0;
    if (!OpenReportChannel(channel, program.dwProcessId, createError)) {
        fprintf(stderr, "tarnwick: cannot create the report channel (error %lu); the program was stopped\n",
                createError);
        TerminateProcess(program.hProcess, ExitInjectionFailed);
        result = ExitInjectionFailed;
    } else {
        std::wstring own;
        Injection injection = options.inject ? InjectLibrary(program.hProcess, options, dllPath, exports, exitCode,
                                                             own, error)
                              : FinishLoading(program.hProcess, exitCode) ? Injection::Loaded
                                                                          : Injection::EndedInStartUp;
        if (injection == Injection::EndedInStartUp) {
            HANDLE image = OpenImageFile(program.hProcess);
            fprintf(stderr, "tarnwick: cannot start %ls: %s\n", options.program.c_str(),
                    DescribeStartupEnd(exitCode, image).c_str());
            if (image)
                CloseHandle(image);
            result = ExitCannotStart;
        } else if (injection == Injection::OwnCopy) {
            fprintf(stderr, "tarnwick: %ls loads its own Tarnwick.dll (%ls); it is left to that copy\n",
                    options.program.c_str(), own.c_str());
            options.inject = false;
        } else if (injection == Injection::Failed) {
            fprintf(stderr, "tarnwick: cannot load Tarnwick.dll into %ls: %s; the program was stopped\n",
                    options.program.c_str(), error.c_str());
            TerminateProcess(program.hProcess, ExitInjectionFailed);
            result = ExitInjectionFailed;
        }
    }
    if (result < 0)
        ResumeThread(program.hThread);
    WaitForSingleObject(program.hProcess, INFINITE);
    GetExitCodeProcess(program.hProcess, &exitCode);
    const std::string programLabel = ProcessLabel(program.hProcess, program.dwProcessId);
    CloseHandle(program.hThread);
    CloseHandle(program.hProcess);
    CloseReportChannel(channel);
    crash.Finish();
    reader.Finish();
    FinishChildWatch(watch);

    bool outWritten = !ferror(output.out) && fflush(output.out) == 0;
    if (output.out != stdout)
        outWritten = fclose(output.out) == 0 && outWritten;
    if (!outWritten) {
        fprintf(stderr, "tarnwick: cannot write all of the report to %ls\n",
                options.outPath.empty() ? L"standard output" : options.outPath.c_str());
        result = result < 0 ? ExitUsage : result;
    }
    if (!WriteReportFiles(output, options.htmlPath, options.sarifPath, WideToUtf8(options.programLine), error)) {
        fprintf(stderr, "tarnwick: cannot write all of %s\n", error.c_str());
        result = result < 0 ? ExitUsage : result;
    }
    if (result >= 0)
        return result;
    ReportCounts counts = CountReports(output.reports);
    // With children watched, a line for each process, then the one for all.
    for (size_t i = 0; options.inject && !watch.processes.empty() && i <= watch.processes.size(); i++) {
        const std::string process = i ? watch.processes[i - 1] : "";
        std::vector<Report> own;
        for (const Report &report : output.reports)
            if (report.process == process)
                own.push_back(report);
        std::string line = SummaryLine(CountReports(own));
        fprintf(stderr, "tarnwick: %s:%s", (i ? process : programLabel).c_str(), line.c_str() + 9);
    }
    if (options.inject)
        fputs(SummaryLine(counts).c_str(), stderr);
    for (const std::string &missing : MissingLineInformation(output.reports))
        fprintf(stderr, "tarnwick: %s", missing.c_str());
    output.ruleUsed.resize(output.rules.size());
    for (size_t i = 0; i < output.rules.size(); i++)
        if (!output.ruleUsed[i] && counts.reports)
            fprintf(stderr, "tarnwick: the suppression rule \"%s\" matched no group\n", output.rules[i].c_str());
    // A crash keeps its exception code: it says more than the leaks.
    if (options.hasLeakExitCode && counts.Leaked() > 0 && !crash.crashed)
        return static_cast<int>(options.leakExitCode);
    return static_cast<int>(exitCode);
}
