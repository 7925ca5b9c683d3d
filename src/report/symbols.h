// Symbol and source-line resolution of return addresses through dbghelp.
#pragma once
#include <windows.h>
#include <stdint.h>

extern HANDLE SymbolProcess;

void InitSymbols();
void RerootSourcePath(wchar_t *out, const wchar_t *name);
int PrintFrame(uint32_t address);
void PrintStack(const uint32_t *frames);
