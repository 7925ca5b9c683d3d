// Runs a program (usually dbgrun with a host program) and collects what it
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
// build puts dbgrun and the host programs there too.
std::wstring ProgramDir();

// Quotes one argument so that the C runtime's parser gives it back unchanged.
std::wstring QuoteArgument(const std::wstring &argument);

// Runs commandLine as is; stdin is empty, stdout and stderr are captured.
CapturedRun RunCapture(const std::wstring &commandLine, DWORD timeoutMs = 120000);

// Runs `dbgrun.exe <dbgrunArgs>`, dbgrun taken from ProgramDir(). dbgrunArgs
// is appended verbatim (options, the host program and its arguments).
CapturedRun RunDbgrun(const std::wstring &dbgrunArgs, DWORD timeoutMs = 120000);

// Runs `dbgrun.exe <ProgramDir()host> <hostArgs>`.
CapturedRun RunUnderDbgrun(const std::wstring &host, const std::wstring &hostArgs, DWORD timeoutMs = 120000);
