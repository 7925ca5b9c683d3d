// The stack depot against an exact model: threads storing overlapping stacks
// from a seeded pool at once must agree on one reference per stack, and
// exactly one entry per distinct stack may be taken. A full depot hands out
// no more entries, and the blocks then recorded keep the empty stack.
#include <gtest/gtest.h>
#include <windows.h>
#include <map>
#include <random>
#include <vector>
#include "tarnwick.h"
#include "tracking/alloc_table.h"
#include "tracking/record_slots.h"
#include "tracking/stack_depot.h"
#include "live_records.h"

namespace {

struct DepotRun {
    explicit DepotRun(uint32_t depth) : saved(RecordDepth)
    {
        RecordDepth = depth;
        EXPECT_TRUE(ResetStackDepot(false));
    }
    ~DepotRun()
    {
        ReleaseStackDepot();
        LimitStackDepot(0);
        RecordDepth = saved;
    }
    uint32_t saved;
};

struct Storer {
    const std::vector<std::vector<uintptr_t>> *pool;
    uint32_t seed;
    std::vector<std::pair<uint32_t, StackRef>> refs;  // (pool index, reference)
    uint32_t taken = 0;
    void operator()()
    {
        std::mt19937 random(seed);
        for (int n = 0; n < 20000; n++) {
            uint32_t index = random() % pool->size();
            bool stored;
            refs.push_back({index, InternStack((*pool)[index].data(), &stored)});
            taken += stored;
        }
    }
};

DWORD WINAPI RunStorer(void *storer)
{
    (*static_cast<Storer *>(storer))();
    return 0;
}

}  // namespace

TEST(StackDepot, ThreadsStoringOverlappingStacksAgreeOnOneEntryEach)
{
    for (uint32_t seed : {1u, 2u, 3u}) {
        DepotRun run(seed == 3 ? 5 : 16);
        std::mt19937 random(seed);
        // Stacks that share long prefixes, differ only in the last frame or
        // only in a trailing 0, and the empty stack.
        std::vector<std::vector<uintptr_t>> pool(1, std::vector<uintptr_t>(RecordDepth, 0));
        while (pool.size() < 3000) {
            std::vector<uintptr_t> frames(RecordDepth, 0);
            uint32_t depth = 1 + random() % RecordDepth;
            for (uint32_t i = 0; i < depth; i++)
                frames[i] = 0x00401000 + (random() % (i + 2 < depth ? 2 : 50)) * 0x10;
            pool.push_back(frames);
        }
        std::map<std::vector<uintptr_t>, uint32_t> distinct;
        for (const auto &frames : pool)
            distinct.emplace(frames, 0);
        Storer storers[4];
        HANDLE threads[4];
        for (uint32_t t = 0; t < 4; t++) {
            storers[t].pool = &pool;
            storers[t].seed = seed * 10 + t;
            threads[t] = CreateThread(nullptr, 0, RunStorer, &storers[t], 0, nullptr);
        }
        WaitForMultipleObjects(4, threads, TRUE, INFINITE);
        std::map<std::vector<uintptr_t>, StackRef> refOf;
        std::map<StackRef, std::vector<uintptr_t>> stackOf;
        uint32_t taken = 0;
        for (uint32_t t = 0; t < 4; t++) {
            CloseHandle(threads[t]);
            taken += storers[t].taken;
            for (auto [index, ref] : storers[t].refs) {
                const auto &frames = pool[index];
                ASSERT_EQ(refOf.emplace(frames, ref).first->second, ref) << "one stack, one reference";
                ASSERT_EQ(stackOf.emplace(ref, frames).first->second, frames) << "one reference, one stack";
                ASSERT_EQ(frames, std::vector<uintptr_t>(StackFrames(ref), StackFrames(ref) + RecordDepth));
            }
        }
        EXPECT_EQ(refOf[pool[0]], EmptyStack);
        // Every distinct stack met was stored once, the empty one at the reset.
        EXPECT_EQ(taken + 1, refOf.size()) << "seed " << seed;
        for (auto [frames, ref] : refOf)
            ASSERT_EQ(ref, InternStack(frames.data())) << "stored already";
    }
}

TEST(StackDepot, AFullDepotHandsOutNothingAndKeepsWhatItHolds)
{
    LimitStackDepot(8 * 1024);  // the empty stack, then 100 or 50 more
    DepotRun run(16);
    std::vector<StackRef> refs;
    uintptr_t frames[16] = {};
    for (uint32_t n = 0; n < 200; n++) {
        frames[3] = 0x401000 + n;
        refs.push_back(InternStack(frames));
    }
    uint32_t stored = 0;
    for (uint32_t n = 0; n < 200; n++) {
        if (refs[n] == EmptyStack)
            continue;
        stored++;
        EXPECT_EQ(0x401000 + n, StackFrames(refs[n])[3]) << n;
    }
    EXPECT_GT(stored, 50u);
    EXPECT_LT(stored, 200u);
    EXPECT_EQ(nullptr, CarveCaptureBuffer());
    EXPECT_EQ(EmptyStack, refs.back());
}

// Through the hooks: with room for a few stacks only, every block is still
// recorded, those past the room with the empty stack.
template <int Site> __attribute__((noinline)) void *AllocateAt()
{
    void *block = HeapAlloc(GetProcessHeap(), 0, 24 + Site);
    __asm__ __volatile__("" ::: "memory");
    return block;
}

TEST(StackDepot, BlocksPastAFullDepotAreRecordedWithTheEmptyStack)
{
    // Two capture buffers with their alignment (the empty stack's and this
    // thread's) and four entries: the empty stack and three more.
    LimitStackDepot(2 * (16 * sizeof(uintptr_t) + 56) + 4 * (8 + 16 * sizeof(uintptr_t)));
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
