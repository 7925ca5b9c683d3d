// Starting the program held before its entry point, and loading
// Tarnwick.dll into it, applying the options there and starting the
// recording, each step a thread of the program's own, before its first
// thread runs.
#pragma once
#include "command_line.h"
#include <windows.h>
#include <string>

struct LibraryExports {
    DWORD setOptions = 0, start = 0;  // offsets from the DLL's base
    DWORD setReportOptions = 0;       // 0 for a library without it
};

// Finds the exports in the DLL file without running any of its code.
bool FindLibraryExports(const std::wstring &dllPath, LibraryExports &exports, std::string &why);

// Creates the program suspended, as it would run alone: its standard
// handles, current directory and environment are the launcher's. False with
// the system's error code.
bool StartHeld(const std::wstring &commandLine, PROCESS_INFORMATION &program, DWORD &error);

// Runs the loader's start-up of the held program (its DLLs loaded and
// initialised) on a thread of the program. False when the program ended
// there; its status in exitCode.
bool FinishLoading(HANDLE process, DWORD &exitCode);

// What loading the library into a held program came to.
enum class Injection { Loaded, OwnCopy, EndedInStartUp, Failed };

// On one thread of the held program, its first: the loader's start-up of
// the program (its DLLs loaded and initialised), then, unless the program
// has loaded a Tarnwick.dll itself (OwnCopy, that copy's path in ownCopy),
// loads dllPath, applies options (the report classifies unless --all) and
// calls TarnwickStart. EndedInStartUp: the program ended in its start-up,
// its status in exitCode. Failed: why says why.
Injection InjectLibrary(HANDLE process, const LaunchOptions &options, const std::wstring &dllPath,
                        const LibraryExports &exports, DWORD &exitCode, std::wstring &ownCopy, std::string &why);
