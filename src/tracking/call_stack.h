// Capture of the allocating call stack by walking the frame-pointer chain.
#pragma once
#include <stdint.h>

// Upper bound on the library's own frames passed over per walk, beside the
// RecordDepth frames kept: a chain running through the library still ends.
enum : uint32_t { MaxOwnFramesPassed = 1024 };

// A call into a C runtime allocating entry (malloc, operator new, ...) that
// the thread is inside: where the call's return address sits on the stack,
// that return address, and the caller's frame pointer. Left in place when the
// call returns; LiveCallerMark tells whether it still stands.
struct CallerMark {
    uint32_t slot;
    uint32_t returnAddress;
    uint32_t frame;
};

// Writes up to RecordDepth return addresses outside the library's image into
// frames, innermost first, and 0 into the rest of its RecordDepth entries.
void CaptureCallStack(uint32_t *frames);
// The same for a block made on behalf of a marked caller: its return address
// first, then the walk from its frame.
void CaptureCallStackFrom(uint32_t *frames, const CallerMark *mark);

// The mark while its call is still open below the stack address `below`: its
// slot lies between `below` and the stack's base and still holds its return
// address. A slot that the stack has since reused holds another one, unless
// the same call site is called again at the same depth: the same call.
inline const CallerMark *LiveCallerMark(const CallerMark *mark, uint32_t below)
{
    uint32_t slot = mark->slot, stackBase;
    __asm__("movl %%fs:4, %0" : "=r"(stackBase));
    if (slot <= below || slot > stackBase - 4)
        return nullptr;
    return *reinterpret_cast<const volatile uint32_t *>(slot) == mark->returnAddress ? mark : nullptr;
}
// Whether the two words at frame lie inside the stack [stackLimit, stackBase)
// and are 4-byte aligned.
bool IsStackFrame(uint32_t frame, uint32_t stackLimit, uint32_t stackBase);
