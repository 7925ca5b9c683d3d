// The caller-mark rule (see caller_marks.h). Every check here runs on the
// allocation path: a short scan of a fixed table and a read of the thread's
// own stack between its pointer and its base.
#include "tracking/caller_marks.h"

namespace {

struct CodeRange {
    uintptr_t begin, end;
};

// Two runtime modules and the operator new family of up to three places.
enum : uint32_t { MaxRuntimeCode = 40 };
CodeRange RuntimeCode[MaxRuntimeCode];
volatile uint32_t RuntimeCodeCount;
CodeRange ProgramImage;

// The mark while its call is still open below `below`: its slot lies between
// `below` and the stack's base and still holds its return address.
bool IsOpen(const CallerMark *mark, uintptr_t below)
{
    uintptr_t slot = mark->slot, stackBase = OwnStackBase();
    if (slot <= below || slot > stackBase - sizeof(uintptr_t))
        return false;
    return *reinterpret_cast<const volatile uintptr_t *>(slot) == mark->returnAddress;
}

}  // namespace

void ClearRuntimeCode(uintptr_t programBegin, uintptr_t programEnd)
{
    RuntimeCodeCount = 0;
    ProgramImage = {programBegin, programEnd};
}

void AddRuntimeCode(uintptr_t begin, uintptr_t end)
{
    uint32_t count = RuntimeCodeCount;
    if (count == MaxRuntimeCode || begin >= end)
        return;
    RuntimeCode[count] = {begin, end};
    RuntimeCodeCount = count + 1;  // the range is whole before it counts
}

bool IsRuntimeCode(uintptr_t address)
{
    for (uint32_t i = 0, count = RuntimeCodeCount; i < count; i++)
        if (address - RuntimeCode[i].begin < RuntimeCode[i].end - RuntimeCode[i].begin)
            return true;
    return false;
}

void MarkRuntimeCall(CallerMark *mark, uintptr_t slot, uintptr_t frame, bool allocates)
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

void EndOpenCallerMark(CallerMark *mark, uintptr_t heapCaller)
{
    // The program's own code calling the heap is inside no runtime call of
    // its own. A system module's call may come from inside one (a runtime
    // asking the system for a path): the mark stays.
    if (IsRuntimeCode(heapCaller) || heapCaller - ProgramImage.begin < ProgramImage.end - ProgramImage.begin)
        mark->slot = 0;
}

bool TakeOpenCallerMark(CallerMark *mark, uintptr_t heapCaller, uintptr_t below, CallerMark *taken)
{
    if (!IsRuntimeCode(heapCaller)) {
        EndOpenCallerMark(mark, heapCaller);
        return false;
    }
    bool open = IsOpen(mark, below);
    *taken = *mark;
    mark->slot = 0;
    return open;
}
