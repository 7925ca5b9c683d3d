// Symbol and source-line resolution of return addresses through dbghelp.
#pragma once
#include <windows.h>
#include <stdint.h>

extern HANDLE SymbolProcess;

// At TarnwickStart: the source root from the registry and the symbol path
// for the symbol handler, which OpenSymbols opens when a dump first needs it
// (and refreshes its module list).
void InitSymbols();
void OpenSymbols();
void RerootSourcePath(wchar_t *out, const wchar_t *name);
// One frame line; a return address is looked up by the call before it, the
// address of a faulting instruction (returnAddress false) by itself.
int PrintFrame(uintptr_t address, bool returnAddress = true);
// relayed: the dump goes to a launcher (LauncherRelays, asked once per dump:
// under Wine each asking is a round trip to the server), which reads the
// notes that end frame lines without a source line.
void PrintStack(const uintptr_t *frames, bool relayed);
