// Processes that the program starts, watched as the program is. The
// library in a watched process creates each child suspended and names it on
// its report channel ("held for the launcher"); the launcher loads the
// library into a child of its own kind with the same options, or hands one
// of the other kind to the other launcher (tarnwick.exe --attach), which
// loads it there and relays the child's channel on its standard output.
// Either way the child is then resumed, and what the library writes in it
// is kept until it ends: then it is written, headed with the child's path
// and process id, as the program's own output is.
#pragma once
#include "command_line.h"
#include "crash_report.h"
#include "injection.h"
#include "report_channel.h"
#include "report_output.h"
#include <windows.h>
#include <string>
#include <vector>

struct WatchedChild;

struct ChildWatch {
    const LaunchOptions *options = nullptr;
    std::wstring dllPath;
    LibraryExports exports;
    ReportOutput *output = nullptr;
    CRITICAL_SECTION lock;                   // over the output and what follows
    std::vector<WatchedChild *> children;    // in the order they were held
    std::vector<std::string> processes;      // labels of the processes with the library loaded, in the order they ended
};

void BeginChildWatch(ChildWatch &watch, const LaunchOptions &options, const std::wstring &dllPath,
                     const LibraryExports &exports, ReportOutput &output);

// A line "Tarnwick: the program started ..." from the process parentId.
// True when the launcher took the child over and resumes it (the answer 'w'
// to the library); else the line is shown on standard error.
bool TakeChildLine(ChildWatch &watch, const std::string &line, DWORD parentId);

// Once the program has ended: waits for every watched child to end (saying
// so for one that still runs) and for its output to be written.
void FinishChildWatch(ChildWatch &watch);

// "PATH (process id N)" of a process.
std::string ProcessLabel(HANDLE process, DWORD id);

// --attach: loads the library into the held process of this launcher's kind
// and relays its channel to standard output as it comes; returns when it
// has ended.
int AttachHeld(const LaunchOptions &options, const std::wstring &dllPath, const LibraryExports &exports);
