// Library-wide values fixed at process attach, the running flag and the
// one output channel.
#pragma once
#include <windows.h>
#include <stdint.h>

extern uintptr_t OwnImageBase;
extern uint32_t OwnImageSize;
extern HMODULE NtdllHandle;
extern volatile LONG RunningFlag;

// Writes one piece of text to the debugger output.
inline void WriteMessage(const wchar_t *text) { OutputDebugStringW(text); }

// Process attach; returns FALSE when the library cannot work.
BOOL OnProcessAttach(HMODULE self);
