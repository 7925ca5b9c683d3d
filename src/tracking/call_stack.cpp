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
    uint32_t frame;
    // Entries written so far. Every access of the walk is volatile, so that
    // the entries and their count are in memory when a fault ends it.
    volatile uint32_t kept;
};

// The committed stack of the calling thread, from its TEB: [limit, base).
void StackBounds(uint32_t *limit, uint32_t *base)
{
    __asm__("movl %%fs:4, %0" : "=r"(*base));
    __asm__("movl %%fs:8, %0" : "=r"(*limit));
}

// A call, not inlined: only a call can be where the guard's longjmp comes
// from, and without one the compiler drops the guard's landing point.
__attribute__((noinline)) void WalkFrames(Walk *walk)
{
    const uint32_t limit = RecordDepth;
    const uint32_t imageBase = static_cast<uint32_t>(OwnImageBase), imageSize = OwnImageSize;
    uint32_t stackLimit, stackBase;
    StackBounds(&stackLimit, &stackBase);
    uint32_t frame = walk->frame;
    if (!IsStackFrame(frame, stackLimit, stackBase))
        return;
    // Past the first frame, IsStackFrame reduces to these: a frame above the
    // one before is above the stack's limit too.
    const uint32_t highestFrame = stackBase - 8;
    volatile uintptr_t *const frames = walk->frames;
    uint32_t kept = walk->kept;
    for (uint32_t passed = 0; kept < limit && passed < MaxOwnFramesPassed;) {
        const volatile uint32_t *words = reinterpret_cast<const volatile uint32_t *>(frame);
        uint32_t returnAddress = words[1];
        // Outside the image: below its base or above base + size.
        if (returnAddress - imageBase > imageSize) {
            frames[kept] = returnAddress;
            walk->kept = ++kept;
        } else {
            passed++;
        }
        uint32_t caller = words[0];
        // Frames only grow towards the stack's base.
        if (caller <= frame || caller > highestFrame || caller % 4)
            break;
        frame = caller;
    }
}

}  // namespace

void PrepareStackCapture() {}

bool IsStackFrame(uint32_t frame, uint32_t stackLimit, uint32_t stackBase)
{
    return frame % 4 == 0 && frame >= stackLimit && frame < stackBase && stackBase - frame >= 8;
}

namespace {

// Walks from frame, after the kept entries already written.
void CaptureFrom(uintptr_t *frames, uint32_t frame, uint32_t kept)
{
    Walk walk = {frames, frame, kept};
    // RunGuarded, written out here to spare a call on every allocation.
    GuardFrame guard;
    guard.registration.handler = GuardHandlerEntry;
    if (__builtin_setjmp(guard.jump) == 0) {
        guard.registration.next = SehChainHead();
        SetSehChainHead(&guard.registration);
        WalkFrames(&walk);
    }
    SetSehChainHead(guard.registration.next);
    // The record comes unzeroed: every entry is written here.
    for (uint32_t i = walk.kept; i < RecordDepth; i++)
        frames[i] = 0;
}

}  // namespace

// Not inlined: the walk starts at this function's own frame.
__attribute__((noinline)) void CaptureCallStack(uintptr_t *frames)
{
    CaptureFrom(frames, reinterpret_cast<uint32_t>(__builtin_frame_address(0)), 0);
}

void CaptureCallStackFrom(uintptr_t *frames, const CallerMark *mark)
{
    frames[0] = mark->returnAddress;
    // A caller without a frame pointer leaves some other value in it: only a
    // frame above the call's own slot can be the caller's.
    CaptureFrom(frames, mark->frame > mark->slot ? mark->frame : 0, 1);
}
#endif
