// The launcher's end of the report channel: the pipe named for the program's
// process (TARNWICK_REPORT_PIPE_PREFIX), read on a thread of its own. Each
// message the library writes is passed on, then answered with one byte.
// The text arrives as UTF-16 and goes on in the ANSI code page, as a
// debugger receives debug strings.
#pragma once
#include <windows.h>
#include <functional>
#include <string>

struct ReportChannel {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;
    std::wstring name;
    volatile LONG ended = 0;                        // the program has ended: no more connections
    std::function<void(const std::string &)> take;  // called on the reading thread, in order
};

// Creates the pipe for processId and starts reading; false with the
// system's error code.
bool OpenReportChannel(ReportChannel &channel, DWORD processId, DWORD &error);
// Once the program has ended: reads what is left, then stops.
void CloseReportChannel(ReportChannel &channel);
