// Capture of the allocating call stack: a frame-pointer walk on x86, an
// unwind through the modules' unwind tables on x64.
#pragma once
#include <stdint.h>
#include "control/thread_block.h"

// Upper bound on the library's own frames passed over per walk, beside the
// RecordDepth frames kept: a chain running through the library still ends.
enum : uint32_t { MaxOwnFramesPassed = 1024 };

// A call into a C runtime allocating entry (malloc, operator new, ...) that
// the thread is inside: where the call's return address sits on the stack,
// that return address, and the caller's frame pointer (on x64 its RBP, from
// which the unwind goes on). Made and ended by tracking/caller_marks.cpp.
struct CallerMark {
    uintptr_t slot;
    uintptr_t returnAddress;
    uintptr_t frame;
};

// What a walk read from the stack, in order, and where it began: a walk
// from the same start that reads the same values at the same addresses
// follows the same frames, so the thread's next walk from there is settled
// by re-reading them, which needs no step to wait for the one before.
enum : uint32_t { MaxTracedReads = 64 };
struct WalkTrace {
    uintptr_t start[3];
    uintptr_t stackBase;
    uint32_t traced;  // entries + 1; 0: no trace (a walk cut short, ended at an unknown value, or too long)
    uint32_t stack;   // the StackRef the traced walk's frames were stored as, set by the caller
#if defined(_WIN64)
    // Set when the walk based no frame on the RBP it started with: any value
    // there walks alike (code built -O2 keeps anything in RBP).
    bool rbpIgnored;
    // Each address read and the value found there.
    struct {
        uintptr_t address, value;
    } read[MaxTracedReads];
#else
    // Each frame from start[0] on: the two words read there, the caller's
    // frame and the return address. The caller's frame is the next frame, so
    // the addresses need no entry of their own.
    struct {
        uintptr_t caller, returnAddress;
    } frame[MaxTracedReads];
#endif
};

// Whether a walk from start would read just what trace holds. Every address
// lies at or above start and below the stack's base, so nothing read can fault.
inline bool ReadsAsTraced(const WalkTrace *trace, uintptr_t start0, uintptr_t start1, uintptr_t start2)
{
#if defined(_WIN64)
    // start1 is the RBP, which a walk that based no frame on it read nothing through.
    const bool sameStart1 = trace->rbpIgnored || trace->start[1] == start1;
#else
    const bool sameStart1 = trace->start[1] == start1;
#endif
    if (!trace->traced || trace->start[0] != start0 || !sameStart1 || trace->start[2] != start2 ||
        trace->stackBase != OwnStackBase())
        return false;
#if defined(_WIN64)
    uintptr_t differ = 0;
#pragma GCC unroll 4
    for (uint32_t i = 0, reads = trace->traced - 1; i < reads; i++)
        differ |= *reinterpret_cast<const uintptr_t *>(trace->read[i].address) ^ trace->read[i].value;
    return !differ;
#else
    // A branch per frame rather than one accumulated difference: x86 has too
    // few registers to keep an accumulator out of memory, and a difference
    // kept there chains every frame's check behind the one before.
    uintptr_t at = start0;
#pragma GCC unroll 2
    for (const auto *frame = trace->frame, *end = frame + trace->traced - 1; frame != end; frame++) {
        const uintptr_t *words = reinterpret_cast<const uintptr_t *>(at);
        if ((words[0] ^ frame->caller) | (words[1] ^ frame->returnAddress))
            return false;
        at = frame->caller;
    }
    return true;
#endif
}

// At process attach, where the loader may be called: what the capture needs
// later (on x64 the table of unwind recipes and the thread start routines).
void PrepareStackCapture();
// Writes up to RecordDepth return addresses outside the library's image into
// frames, innermost first, and 0 into the rest of its RecordDepth entries.
void CaptureCallStack(uintptr_t *frames);
// The same with up to limit entries, written into limit entries.
void CaptureCallStackTo(uintptr_t *frames, uint32_t limit);
// CaptureCallStack for the allocation path: true, with frames left alone,
// when the walk would read what trace holds (its frames are trace->stack);
// else the capture, with what it read left in trace, trace->stack for the
// caller to set.
bool CaptureTracedCallStack(uintptr_t *frames, WalkTrace *trace);
// The same for a block made on behalf of a marked caller: its return address
// first, then the walk from its frame.
bool CaptureTracedCallStackFrom(uintptr_t *frames, const CallerMark *mark, WalkTrace *trace);

#if defined(_WIN64)
// How to step from a frame to its caller's: the return address lies at
// base + returnSlot, where base is RBP - frameOffset for a frame-based
// function, else the RSP its call left; the caller's RBP, if the function
// saved it, at base + rbpSlot.
struct UnwindRecipe {
    uint32_t returnSlot;
    uint32_t rbpSlot;
    uint32_t frameOffset;
    bool frameBased;
    bool rbpSaved;
};
// The recipe that function's unwind codes (followed through chained entries)
// give for a return address in it; false when the walk cannot follow it (a
// machine frame, a frame register other than RBP, an unknown code).
bool RecipeFromUnwindInfo(uintptr_t imageBase, const RUNTIME_FUNCTION *function, uintptr_t returnAddress,
                          UnwindRecipe *recipe);
// Whether the bytes before a return address end in a call instruction,
// reading none below begin.
bool FollowsCall(const uint8_t *begin, const uint8_t *returnAddress);
#else
// Whether the two words at frame lie inside the stack [stackLimit, stackBase)
// and are aligned to a word.
bool IsStackFrame(uintptr_t frame, uintptr_t stackLimit, uintptr_t stackBase);
#endif
