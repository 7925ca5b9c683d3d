// Runs a program (usually tarnwick.exe with a host program) and collects what it
// writes to standard output and standard error, byte for byte, with its exit
// code.
#pragma once
#include <windows.h>
#include <string>

struct CapturedRun {
    bool started = false;      // CreateProcessW succeeded
    bool timedOut = false;     // killed after the time limit
    DWORD exitCode = 0;
    std::string out;           // standard output, raw bytes
    std::string err;           // standard error, raw bytes
};

// The directory of the running test program, with a trailing backslash; the
// build puts tarnwick.exe and the host programs there too.
std::wstring ProgramDir();

// Quotes one argument so that the C runtime's parser gives it back unchanged.
std::wstring QuoteArgument(const std::wstring &argument);

// Runs commandLine as is; stdin is empty, stdout and stderr are captured.
CapturedRun RunCapture(const std::wstring &commandLine, DWORD timeoutMs = 120000);

// Runs `tarnwick.exe <tarnwickArgs>`, taken from ProgramDir(). tarnwickArgs
// is appended verbatim (options, the host program and its arguments).
CapturedRun RunTarnwick(const std::wstring &tarnwickArgs, DWORD timeoutMs = 120000);

// Runs `tarnwick.exe --no-inject <ProgramDir()host> <hostArgs>`: the debugger
// output of a host that uses the library itself.
CapturedRun RunUnderRunner(const std::wstring &host, const std::wstring &hostArgs, DWORD timeoutMs = 120000);
