// One command for 32-bit and 64-bit programs: each launcher runs the programs
// of its own kind and hands a program of the other kind, with its whole
// command line, to the launcher built for it (x64\tarnwick.exe beside the
// 32-bit one, ..\tarnwick.exe from the 64-bit one).
#pragma once
#include <windows.h>
#include <string>

// "32-bit" or "64-bit": the programs this launcher runs itself.
extern const char LauncherKind[];

// This launcher's directory, with a trailing backslash.
std::wstring LauncherDirectory();

// True when program (as named on the command line, found where CreateProcessW
// finds it) is an image for the other kind of launcher; then kind names its
// kind. False for one of this kind and for anything that cannot be read as
// an image: this launcher tries it and reports why it cannot start.
bool BelongsToOtherLauncher(const std::wstring &program, const char *&kind);

// Whether a running process is of the other kind. Its image path cannot
// tell: a 32-bit launcher opening a system directory's file is redirected to
// the 32-bit one.
bool OtherKindProcess(HANDLE process);

// The full path of the other launcher.
std::wstring OtherLauncherPath();

// Runs the other launcher with arguments (everything after this launcher's
// own name, verbatim) on this launcher's standard handles and waits for it.
// Returns its exit code, or writes why it cannot and returns exitIfMissing.
int RunOtherLauncher(const std::wstring &program, const char *kind, const wchar_t *arguments, int exitIfMissing);
