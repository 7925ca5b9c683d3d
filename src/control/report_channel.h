// The report channel: a pipe that a launcher creates for this process (see
// TARNWICK_REPORT_PIPE_PREFIX in tarnwick.h). While it is connected, the
// output goes there instead of to the debugger output.
#pragma once
#include <stdint.h>

// At process attach: connects when the launcher's pipe exists.
void ConnectReportChannel();
bool ReportChannelConnected();
// When the library is unloaded while the process goes on: a copy loaded
// again connects anew.
void DisconnectReportChannel();
// Writes chars characters; false (and the channel given up) when the reader
// is gone. The launcher's one-byte answer goes to reply when given.
bool WriteToReportChannel(const wchar_t *text, uint32_t chars, char *reply = nullptr);
