// Call-stack capture: a frame-pointer walk that passes over the library's own
// frames, guarded so that a broken chain can never fault the allocating caller.
#include "tracking/call_stack.h"
#include "tracking/alloc_table.h"
#include "tracking/guarded_region.h"
#include "control/library.h"

namespace {

struct Walk {
    uint32_t *frames;
    uint32_t frame;
};

void WalkFrames(void *context)
{
    auto *walk = static_cast<Walk *>(context);
    const uint32_t limit = RecordDepth;
    const uint32_t base = static_cast<uint32_t>(OwnImageBase);
    const uint32_t end = base + OwnImageSize;
    uint32_t frame = walk->frame;
    uint32_t kept = 0;
    for (uint32_t visited = 0; kept < limit && visited < MaxFramesVisited; visited++) {
        if (IsBadReadPtr(reinterpret_cast<void *>(frame), 8))
            break;
        const uint32_t *words = reinterpret_cast<const uint32_t *>(frame);
        uint32_t returnAddress = words[1];
        if (returnAddress < base || returnAddress > end)
            walk->frames[kept++] = returnAddress;
        frame = words[0];
    }
}

}  // namespace

// Not inlined: the walk starts at this function's own frame.
__attribute__((noinline)) void CaptureCallStack(uint32_t *frames)
{
    Walk walk = {frames, reinterpret_cast<uint32_t>(__builtin_frame_address(0))};
    RunGuarded(WalkFrames, &walk);
}
