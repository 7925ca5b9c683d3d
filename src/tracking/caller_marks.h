// Which call of the program a block made inside a C runtime is charged to.
// A hooked runtime entry (malloc, operator new, ...) marks the thread; the
// heap interceptor that then records the block takes the mark. One rule
// decides both ends:
// - a call into an entry from outside the runtimes' code (the program, a
//   system module) is the outermost: it always marks anew, whatever an
//   earlier call left behind;
// - a call from inside the runtimes' code (operator new calling malloc, the
//   runtime for itself) keeps a mark still open and marks nothing otherwise,
//   so what the runtime allocates for itself starts inside it and is left
//   out of the report;
// - only a heap call made by the runtimes' code takes a mark, and taking it
//   ends it: a direct HeapAlloc after a malloc keeps its own stack, and a
//   mark that has made its block cannot be taken again later.
#pragma once
#include <stdint.h>
#include "tracking/call_stack.h"

// Code counted as the runtimes': the C runtime modules, and the operator new
// family wherever it lies (libstdc++-6.dll, the program's own linked copy).
// Set at each start before the hooks go in.
void ClearRuntimeCode();
void AddRuntimeCode(uintptr_t begin, uintptr_t end);
bool IsRuntimeCode(uintptr_t address);

// The stub of a hooked entry: slot holds the return address into the
// entry's caller, frame is that caller's frame pointer (x64: its RBP).
void MarkRuntimeCall(CallerMark *mark, uintptr_t slot, uintptr_t frame);

// A heap call returning to heapCaller, made with its stack below `below`:
// copies the thread's mark into taken and ends it when the mark applies.
bool TakeCallerMark(CallerMark *mark, uintptr_t heapCaller, uintptr_t below, CallerMark *taken);
