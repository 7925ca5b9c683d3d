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
void PrintStack(const uintptr_t *frames);
