// The program under the debug API: starting it, and handling its debug
// events one at a time (debugger output relayed, breakpoints continued, the
// first thread held at the program's entry point for the injection, a fatal
// exception described).
#pragma once
#include "report_model.h"
#include <windows.h>
#include <stdio.h>
#include <map>
#include <string>

struct DebugSession {
    PROCESS_INFORMATION child = {};
    FILE *out = stdout;               // where the debugger output goes
    ReportReader reader;              // takes the debugger output; the reports in it are written from their model
    bool holdAtEntry = false;         // suspend the first thread at the program's entry point
    bool relayWhole = true;           // announce that the report is relayed as a whole
    uintptr_t entryPoint = 0;         // where a breakpoint waits for it, or 0
    BYTE entryByte = 0;               // the code byte under that breakpoint
    HANDLE heldThread = nullptr;      // that thread, suspended, until the injection is done
    bool loaderDone = false;          // the loader's initial breakpoint was seen
    bool recording = false;           // TarnwickStart ran in the program
    bool redirected = false;          // a dying thread was sent to end the process with a report
    DWORD crashCode = 0;              // the exception it died of
    bool exited = false;
    DWORD exitCode = 0;
    HANDLE imageFile = nullptr;       // the program's image file, for start-up diagnosis
    HANDLE relayEvent = nullptr;      // tells the library that its report is relayed whole
    std::map<DWORD, HANDLE> threads;  // the program's threads by id
};

// Starts commandLine under the debugger; false with the system's error code.
bool StartUnderDebugger(DebugSession &session, const std::wstring &commandLine, DWORD &error);

// Waits up to timeoutMs for one debug event, handles and continues it.
// False on time-out or when the debugger lost the program (then exited is set).
bool PumpEvent(DebugSession &session, DEBUG_EVENT &event, DWORD timeoutMs = INFINITE);

// Ends the program and handles its remaining events until it is gone.
void EndProgram(DebugSession &session, DWORD exitCode);
