// The launcher's command line: its own options, then the program's command
// line, which is passed on exactly as written.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

struct LaunchOptions {
    bool help = false;
    bool version = false;
    bool inject = true;
    bool classify = true;        // false with --all: the report lists every block alive
    unsigned depth = 0;          // 0: the library's current depth
    unsigned minRepeat = 0;
    bool hasSymbolPath = false, hasSourceRoot = false;
    std::wstring symbolPath, sourceRoot;
    std::wstring outPath;        // empty: standard output
    std::wstring dllPath;        // empty: Tarnwick.dll beside the launcher
    std::vector<std::wstring> suppressFiles;  // --suppress, in order
    std::vector<std::wstring> allocFns;       // --alloc-fn patterns
    std::wstring htmlPath, sarifPath;         // empty: not written
    bool showReachable = false;
    bool children = true;        // false with --no-children: processes the program starts are only named
    DWORD attachProcess = 0, attachThread = 0;  // --attach: a held child, handed over by the other launcher
    bool hasLeakExitCode = false;
    DWORD leakExitCode = 0;
    std::wstring programLine;    // the program and its arguments, verbatim
    std::wstring program;        // the program's name, unquoted, for messages
};

// Whether the report needs the frames of the still reachable groups: to
// show them, or to match rules against them. Without, the library leaves
// them out and resolves no stack for them.
inline bool ReachableStacksNeeded(const LaunchOptions &options)
{
    return options.showReachable || !options.suppressFiles.empty() || !options.allocFns.empty();
}

extern const char UsageText[];

// Splits off one command-line token as the C runtime would, returning where
// the rest begins; the unquoted token goes to out when out is not null.
const wchar_t *NextToken(const wchar_t *p, std::wstring *out);

// Parses everything after the launcher's own name. False with a message
// (without the "tarnwick: " prefix) for bad usage.
bool ParseLaunchOptions(const wchar_t *arguments, LaunchOptions &options, std::string &error);
