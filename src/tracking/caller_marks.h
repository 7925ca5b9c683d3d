// Which call of the program a block made inside a C runtime is charged to.
// A hooked runtime entry (malloc, operator new, ...) marks the thread; the
// heap interceptor that then records the block takes the mark. One rule
// decides both ends:
// - a call into an entry from outside the runtimes' code (the program, a
//   system module) is the outermost: it always marks anew, whatever an
//   earlier call left behind;
// - a call from inside the runtimes' code (operator new calling malloc, the
//   runtime for itself) marks nothing;
// - only a heap call made by the runtimes' code takes a mark, and only one
//   still open (its slot above the heap call and still holding its return
//   address), so what the runtime allocates for itself outside a marked call
//   starts inside it and is left out of the report; taking it
//   ends it: a mark that has made its block cannot be taken again later; a
//   heap call from the program's own code ends the mark and keeps its own
//   stack (a direct HeapAlloc after a malloc);
// - a call that is given its buffer (_getcwd with one) marks nothing.
// A mark can outlive its call only when the call returns without touching
// the heap at all (an invalid argument refused at once); a later allocation
// the runtime makes for itself, from a frame laid over that call's slot,
// could then be charged to it.
#pragma once
#include <stdint.h>
#include "tracking/call_stack.h"

// Code counted as the runtimes': the C runtime modules, and the operator new
// family wherever it lies (libstdc++-6.dll, the program's own linked copy).
// Set at each start before the hooks go in, with the program's own image.
void ClearRuntimeCode(uintptr_t programBegin, uintptr_t programEnd);
void AddRuntimeCode(uintptr_t begin, uintptr_t end);
bool IsRuntimeCode(uintptr_t address);

// The stub of a hooked entry: slot holds the return address into the
// entry's caller, frame is that caller's frame pointer (x64: its RBP).
// allocates: false for a call that is given its buffer (_getcwd with one),
// which marks nothing and, from outside the runtimes, ends any mark.
void MarkRuntimeCall(CallerMark *mark, uintptr_t slot, uintptr_t frame, bool allocates);

void EndOpenCallerMark(CallerMark *mark, uintptr_t heapCaller);
bool TakeOpenCallerMark(CallerMark *mark, uintptr_t heapCaller, uintptr_t below, CallerMark *taken);

// A heap call returning to heapCaller that makes no block (a resize, a
// release): ends the mark where a runtime or the program made it. Inline:
// most heap calls find no mark, and then nothing is to be done.
inline void EndCallerMark(CallerMark *mark, uintptr_t heapCaller)
{
    if (mark->slot)
        EndOpenCallerMark(mark, heapCaller);
}
// A heap call returning to heapCaller, made with its stack below `below`:
// copies the thread's mark into taken and ends it when the mark applies.
inline bool TakeCallerMark(CallerMark *mark, uintptr_t heapCaller, uintptr_t below, CallerMark *taken)
{
    return mark->slot && TakeOpenCallerMark(mark, heapCaller, below, taken);
}
