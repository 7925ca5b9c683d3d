// Library-wide values fixed at process attach, the running flag and the
// one output channel.
#pragma once
#include <windows.h>
#include <stdint.h>

extern uintptr_t OwnImageBase;
extern uint32_t OwnImageSize;
extern HMODULE NtdllHandle;
extern volatile LONG RunningFlag;

// Writes one piece of text to the debugger output, or into the open batch
// when this thread opened one.
void WriteMessage(const wchar_t *text);
// A batch gathers a dump's pieces when the launcher relays this process's
// output (see debug_output.cpp); without it, or without memory for it, every
// piece goes out on its own.
void OpenBatch();
// Writes what the batch holds and closes it.
void CloseBatch();
// Whether a launcher relays this process's output (its report channel is
// connected, or its event exists).
bool LauncherRelays();

// Process attach; returns FALSE when the library cannot work.
BOOL OnProcessAttach(HMODULE self);
