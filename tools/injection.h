// Loading Tarnwick.dll into the program held at the loader's breakpoint,
// applying the options there and starting the recording, each step a thread
// of the program's own.
#pragma once
#include "command_line.h"
#include "debug_session.h"
#include <string>

struct LibraryExports {
    DWORD setOptions = 0, start = 0;  // offsets from the DLL's base
    DWORD setReportOptions = 0;       // 0 for a library without it
};

// Finds the exports in the DLL file without running any of its code.
bool FindLibraryExports(const std::wstring &dllPath, LibraryExports &exports, std::string &why);

// Loads dllPath into the program, applies options (the report classifies
// unless --all) and calls TarnwickStart.
bool InjectLibrary(DebugSession &session, const LaunchOptions &options, const std::wstring &dllPath,
                   const LibraryExports &exports, std::string &why);
