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

// Everything below runs on the allocation path, inline: a short scan of a
// fixed table and a read of the thread's own stack between its pointer and
// its base.
struct CodeRange {
    uintptr_t begin, end;
};
// Two runtime modules and the operator new family of up to three places.
enum : uint32_t { MaxRuntimeCode = 40 };
extern CodeRange RuntimeCode[MaxRuntimeCode];
extern volatile uint32_t RuntimeCodeCount;
extern CodeRange ProgramImage;

inline bool IsRuntimeCode(uintptr_t address)
{
    for (uint32_t i = 0, count = RuntimeCodeCount; i < count; i++)
        if (address - RuntimeCode[i].begin < RuntimeCode[i].end - RuntimeCode[i].begin)
            return true;
    return false;
}

// The stub of a hooked entry: slot holds the return address into the
// entry's caller, frame is that caller's frame pointer (x64: its RBP).
// allocates: false for a call that is given its buffer (_getcwd with one),
// which marks nothing and, from outside the runtimes, ends any mark.
inline void MarkRuntimeCall(CallerMark *mark, uintptr_t slot, uintptr_t frame, bool allocates)
{
    uintptr_t returnAddress = *reinterpret_cast<const uintptr_t *>(slot);
    // Inside the runtimes: an open mark stays, and a closed one is refused
    // when a heap call would take it.
    if (IsRuntimeCode(returnAddress))
        return;
    if (!allocates) {
        mark->slot = 0;
        return;
    }
    mark->slot = slot;
    mark->returnAddress = returnAddress;
    mark->frame = frame;
}

inline void EndOpenCallerMark(CallerMark *mark, uintptr_t heapCaller)
{
    // The program's own code calling the heap is inside no runtime call of
    // its own. A system module's call may come from inside one (a runtime
    // asking the system for a path): the mark stays.
    if (IsRuntimeCode(heapCaller) || heapCaller - ProgramImage.begin < ProgramImage.end - ProgramImage.begin)
        mark->slot = 0;
}

// A heap call returning to heapCaller that makes no block (a resize, a
// release): ends the mark where a runtime or the program made it. Most heap
// calls find no mark, and then nothing is to be done.
inline void EndCallerMark(CallerMark *mark, uintptr_t heapCaller)
{
    if (mark->slot)
        EndOpenCallerMark(mark, heapCaller);
}

// A heap call returning to heapCaller, made with its stack below `below`:
// copies the thread's mark into taken and ends it when the mark applies:
// only while its call is still open below `below` (its slot lies between
// `below` and the stack's base and still holds its return address).
inline bool TakeCallerMark(CallerMark *mark, uintptr_t heapCaller, uintptr_t below, CallerMark *taken)
{
    if (!mark->slot)
        return false;
    if (!IsRuntimeCode(heapCaller)) {
        EndOpenCallerMark(mark, heapCaller);
        return false;
    }
    uintptr_t slot = mark->slot, stackBase = OwnStackBase();
    bool open = slot > below && slot <= stackBase - sizeof(uintptr_t) &&
                *reinterpret_cast<const volatile uintptr_t *>(slot) == mark->returnAddress;
    *taken = *mark;
    mark->slot = 0;
    return open;
}
