// Call-stack capture: a frame-pointer walk that passes over the library's own
// frames. A frame is followed only while it lies inside the thread's own
// stack, aligned and above the last one, so a chain that runs through data
// (code without frame pointers) ends without touching unreadable memory: a
// debugger attached to the program sees no exception from here. The guard
// stays as the last line of defence. (x64: call_stack_x64.cpp.)
#if !defined(_WIN64)
#include "tracking/call_stack.h"
#include "tracking/alloc_table.h"
#include "tracking/guarded_region.h"
#include "control/library.h"

namespace {

struct Walk {
    uintptr_t *frames;
    uintptr_t frame;
    uint32_t limit;
    // Entries written so far. Every access of the walk is volatile, so that
    // the entries and their count are in memory when a fault ends it.
    volatile uint32_t kept;
    WalkTrace *trace;  // null, or where the reads go; left marked untraced unless the walk ends in full
};

// The committed stack of the calling thread, from its TEB: [limit, base).
void StackBounds(uintptr_t *limit, uintptr_t *base)
{
    *base = OwnStackBase();
    *limit = OwnStackLimit();
}

// A call, not inlined: only a call can be where the guard's longjmp comes
// from, and without one the compiler drops the guard's landing point.
__attribute__((noinline)) void WalkFrames(Walk *walk)
{
    const uint32_t limit = walk->limit;
    const uintptr_t imageBase = OwnImageBase, imageSize = OwnImageSize;
    uintptr_t stackLimit, stackBase;
    StackBounds(&stackLimit, &stackBase);
    uintptr_t frame = walk->frame;
    if (!IsStackFrame(frame, stackLimit, stackBase))
        return;
    // Past the first frame, IsStackFrame reduces to these: a frame above the
    // one before is above the stack's limit too.
    const uintptr_t highestFrame = stackBase - 2 * sizeof(uintptr_t);
    volatile uintptr_t *const frames = walk->frames;
    WalkTrace *const trace = walk->trace;
    uint32_t kept = walk->kept, reads = 0;  // frames read
    for (uint32_t passed = 0; kept < limit && passed < MaxOwnFramesPassed;) {
        const volatile uintptr_t *words = reinterpret_cast<const volatile uintptr_t *>(frame);
        uintptr_t returnAddress = words[1];
        // Outside the image: below its base or above base + size.
        if (returnAddress - imageBase > imageSize) {
            frames[kept] = returnAddress;
            walk->kept = ++kept;
        } else {
            passed++;
        }
        uintptr_t caller = words[0];
        if (trace && reads < MaxTracedReads)
            trace->frame[reads] = {caller, returnAddress};
        reads++;
        // Frames only grow towards the stack's base.
        if (caller <= frame || caller > highestFrame || caller % sizeof(uintptr_t))
            break;
        frame = caller;
    }
    if (trace && reads <= MaxTracedReads) {
        trace->stackBase = stackBase;
        trace->traced = reads + 1;
    }
}

}  // namespace

void PrepareStackCapture() {}

bool IsStackFrame(uintptr_t frame, uintptr_t stackLimit, uintptr_t stackBase)
{
    return frame % sizeof(uintptr_t) == 0 && frame >= stackLimit && frame < stackBase &&
           stackBase - frame >= 2 * sizeof(uintptr_t);
}

namespace {

// Walks from frame, after the kept entries already written, up to limit.
void CaptureFrom(uintptr_t *frames, uintptr_t frame, uint32_t kept, uint32_t limit = RecordDepth,
                 WalkTrace *trace = nullptr)
{
    Walk walk = {frames, frame, limit, kept, trace};
    // RunGuarded, written out here to spare a call on every allocation.
    GuardFrame guard;
    if (__builtin_setjmp(guard.jump) == 0) {
        ArmGuard(&guard);
        WalkFrames(&walk);
    }
    DisarmGuard(&guard);
    // The record comes unzeroed: every entry is written here.
    for (uint32_t i = walk.kept; i < limit; i++)
        frames[i] = 0;
}

}  // namespace

// Not inlined: the walk starts at this function's own frame.
__attribute__((noinline)) void CaptureCallStack(uintptr_t *frames)
{
    CaptureFrom(frames, reinterpret_cast<uintptr_t>(__builtin_frame_address(0)), 0);
}

__attribute__((noinline)) void CaptureCallStackTo(uintptr_t *frames, uint32_t limit)
{
    CaptureFrom(frames, reinterpret_cast<uintptr_t>(__builtin_frame_address(0)), 0, limit);
}

__attribute__((noinline)) bool CaptureTracedCallStack(uintptr_t *frames, WalkTrace *trace)
{
    const uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (ReadsAsTraced(trace, frame, 0, 0))
        return true;
    trace->traced = 0;
    trace->start[0] = frame;
    trace->start[1] = trace->start[2] = 0;
    CaptureFrom(frames, frame, 0, RecordDepth, trace);
    return false;
}

// A caller without a frame pointer leaves some other value in it: only a
// frame above the call's own slot can be the caller's.
static uintptr_t MarkedFrame(const CallerMark *mark) { return mark->frame > mark->slot ? mark->frame : 0; }

bool CaptureTracedCallStackFrom(uintptr_t *frames, const CallerMark *mark, WalkTrace *trace)
{
    const uintptr_t frame = MarkedFrame(mark);
    if (ReadsAsTraced(trace, frame, 0, mark->returnAddress))
        return true;
    trace->traced = 0;
    trace->start[0] = frame;
    trace->start[1] = 0;
    trace->start[2] = mark->returnAddress;
    frames[0] = mark->returnAddress;
    CaptureFrom(frames, frame, 1, RecordDepth, trace);
    return false;
}
#endif
