// The launcher's end of the report channel: the pipe named for the program's
// process (TARNWICK_REPORT_PIPE_PREFIX), each instance read on a thread of
// its own. Each message the library writes is passed on, then answered with
// the byte that take returns ('w': the launcher took over a child the
// message named; 0 otherwise).
// The text arrives as UTF-16 and goes on in the ANSI code page, as a
// debugger receives debug strings.
#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

struct ReportChannel {
    std::wstring name;
    CRITICAL_SECTION lock;                          // over what follows and each call of take
    bool ended = false;                             // the program has ended: no more connections
    std::vector<HANDLE> threads;                    // one reader per instance of the pipe
    std::function<char(const std::string &)> take;  // called on a reading thread, one at a time
};

// Creates the pipe for processId and starts reading; false with the
// system's error code.
bool OpenReportChannel(ReportChannel &channel, DWORD processId, DWORD &error);
// Once the program has ended: reads what is left, then stops.
void CloseReportChannel(ReportChannel &channel);
