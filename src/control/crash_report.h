// The crash report, made inside the process while the launcher's report
// channel is connected: an unhandled exception is reported with its code,
// address and the faulting thread's stack, and the process then ends with
// the exception code, through the exit hook's report when recording.
#pragma once

// At process attach, after the channel connected.
void InstallCrashFilter();
// When the library is unloaded while the process goes on.
void RemoveCrashFilter();
