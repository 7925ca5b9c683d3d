// The stack depot against an exact model: threads storing overlapping stacks
// from a seeded pool at once must agree on one reference per stack, and
// exactly one entry per distinct stack may be stored. A full depot stores no
// more, and the blocks then recorded keep the empty stack.
#include <gtest/gtest.h>
#include <windows.h>
#include <map>
#include <random>
#include <vector>
#include "tarnwick.h"
#include "tracking/alloc_table.h"
#include "tracking/stack_depot.h"
#include "live_records.h"

namespace {

typedef std::vector<uintptr_t> Frames;

struct Storer {
    const std::vector<Frames> *pool;
    uint32_t seed, stored = 0;
    std::vector<std::pair<uint32_t, StackRef>> refs;  // (pool index, reference)
    static DWORD WINAPI Run(void *context)
    {
        auto *self = static_cast<Storer *>(context);
        std::mt19937 random(self->seed);
        for (int n = 0; n < 20000; n++) {
            uint32_t index = random() % self->pool->size();
            bool stored;
            self->refs.push_back({index, InternStack((*self->pool)[index].data(), &stored)});
            self->stored += stored;
        }
        return 0;
    }
};

template <int Site> __attribute__((noinline)) void *AllocateAt()
{
    void *block = HeapAlloc(GetProcessHeap(), 0, 24 + Site);
    __asm__ __volatile__("" ::: "memory");
    return block;
}

}  // namespace

TEST(StackDepot, ThreadsStoringOverlappingStacksAgreeOnOneEntryEach)
{
    uint32_t savedDepth = RecordDepth;
    for (uint32_t seed : {1u, 2u, 3u}) {
        RecordDepth = seed == 3 ? 5 : 16;
        ASSERT_TRUE(ResetStackDepot(false));
        // Stacks sharing long prefixes, differing only in the last frame or
        // in a trailing 0, and the empty stack.
        std::mt19937 random(seed);
        std::vector<Frames> pool(1, Frames(RecordDepth, 0));
        while (pool.size() < 3000) {
            Frames frames(RecordDepth, 0);
            uint32_t depth = 1 + random() % RecordDepth;
            for (uint32_t i = 0; i < depth; i++)
                frames[i] = 0x00401000 + (random() % (i + 2 < depth ? 2 : 50)) * 0x10;
            pool.push_back(frames);
        }
        Storer storers[4];
        HANDLE threads[4];
        for (uint32_t t = 0; t < 4; t++) {
            storers[t].pool = &pool;
            storers[t].seed = seed * 10 + t;
            threads[t] = CreateThread(nullptr, 0, Storer::Run, &storers[t], 0, nullptr);
        }
        WaitForMultipleObjects(4, threads, TRUE, INFINITE);
        std::map<Frames, StackRef> refOf;
        std::map<StackRef, Frames> stackOf;
        uint32_t stored = 0;
        for (uint32_t t = 0; t < 4; t++) {
            CloseHandle(threads[t]);
            stored += storers[t].stored;
            for (auto [index, ref] : storers[t].refs) {
                ASSERT_EQ(refOf.emplace(pool[index], ref).first->second, ref) << "one stack, one reference";
                ASSERT_EQ(stackOf.emplace(ref, pool[index]).first->second, pool[index]) << "one reference, one stack";
                ASSERT_EQ(pool[index], Frames(StackFrames(ref), StackFrames(ref) + RecordDepth));
            }
        }
        EXPECT_EQ(refOf[pool[0]], EmptyStack);
        // Every distinct stack met was stored once, the empty one at the reset.
        EXPECT_EQ(stored + 1, refOf.size()) << "seed " << seed;
        for (auto [frames, ref] : refOf)
            ASSERT_EQ(ref, InternStack(frames.data())) << "stored already";
    }
    // Full: later stacks get the empty one, earlier ones stay as they were.
    RecordDepth = 16;
    LimitStackDepot(8 * 1024);
    ASSERT_TRUE(ResetStackDepot(false));
    std::vector<StackRef> refs;
    Frames frames(16, 0);
    for (uint32_t n = 0; n < 200; n++) {
        frames[3] = 0x401000 + n;
        refs.push_back(InternStack(frames.data()));
        if (refs[n] != EmptyStack) {
            EXPECT_EQ(frames, Frames(StackFrames(refs[n]), StackFrames(refs[n]) + 16)) << n;
        }
    }
    EXPECT_NE(EmptyStack, refs[40]);
    EXPECT_EQ(EmptyStack, refs[199]);
    EXPECT_EQ(nullptr, CarveCaptureBuffer());
    ReleaseStackDepot();
    LimitStackDepot(0);
    RecordDepth = savedDepth;
}

TEST(StackDepot, BlocksPastAFullDepotAreRecordedWithTheEmptyStack)
{
    // Two capture buffers with their traces and alignment (the empty stack's
    // and this thread's) and four entries: the empty stack and three more.
    const uintptr_t buffer = (16 * sizeof(uintptr_t) + sizeof(WalkTrace) + 63) & ~uintptr_t(63);
    LimitStackDepot(2 * (buffer + 56) + 4 * (8 + 16 * sizeof(uintptr_t)));
    TarnwickOptions options = {};
    options.stackDepth = 16;
    TarnwickSetOptions(&options);
    TarnwickStart();
    void *blocks[] = {AllocateAt<0>(), AllocateAt<1>(), AllocateAt<2>(), AllocateAt<3>(),
                      AllocateAt<4>(), AllocateAt<5>(), AllocateAt<6>(), AllocateAt<7>()};
    TarnwickStop();
    LimitStackDepot(0);
    uint32_t recorded = 0, empty = 0;
    ForEachLiveRecord([&](AllocRecord *record) {
        for (void *block : blocks)
            if (record->address == reinterpret_cast<uintptr_t>(block)) {
                recorded++;
                empty += record->stack == EmptyStack;
                EXPECT_EQ(record->stack == EmptyStack, StackFrames(record->stack)[0] == 0);
            }
    });
    EXPECT_EQ(8u, recorded);
    EXPECT_GE(empty, 4u);
    EXPECT_LT(empty, 8u);
    for (void *block : blocks)
        HeapFree(GetProcessHeap(), 0, block);
    HeapDestroy(RecordHeap);
    RecordHeap = nullptr;
}
