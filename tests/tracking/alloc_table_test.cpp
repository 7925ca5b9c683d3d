// The record table against a model of the plain single-list table: 127
// buckets, new records pushed at the head, look-ups taking the first match.
// Random allocations, resizes and releases on several threads go through the
// real hooks; the dump must show the groups and representatives the model
// gives for the same sequence.
#include <gtest/gtest.h>
#include <windows.h>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>
#include "debug_capture.h"
#include "tarnwick.h"
#include "control/options.h"
#include "control/thread_registry.h"
#include "tracking/alloc_table.h"
#include "tracking/record_slots.h"
#include "tracking/table_owner.h"
#include "live_records.h"

namespace {

// The single-list table. Fixed storage: nothing here allocates while the
// hooks record.
class ListModel {
public:
    ListModel()
    {
        for (int &head : heads_)
            head = -1;
    }
    void Insert(uint32_t address, uint32_t size, int stack) { Push(Add(address, size, stack)); }
    // Unlinks the first live record of the address; -1 when there is none.
    int Take(uint32_t address)
    {
        for (int *link = &heads_[Bucket(address)]; *link >= 0; link = &records_[*link].next) {
            Record &record = records_[*link];
            if (record.kind == 1 && record.address == address) {
                int taken = *link;
                *link = record.next;
                return taken;
            }
        }
        return -1;
    }
    uint32_t SizeOf(int record) const { return records_[record].size; }
    void PutBack(int record, uint32_t address, uint32_t size)
    {
        records_[record].address = address;
        records_[record].size = size;
        Push(record);
    }
    struct Group {
        uint32_t size, address, count;
        int stack;
    };
    // The groups of the dump's walk: buckets in order, chains from the head.
    std::vector<Group> Groups()
    {
        std::vector<Group> groups;
        for (int head : heads_)
            for (int r = head; r >= 0; r = records_[r].next) {
                if (records_[r].kind != 1)
                    continue;
                uint32_t count = 1;
                for (int other : heads_)
                    for (int s = other; s >= 0; s = records_[s].next)
                        if (s != r && records_[s].kind == 1 && records_[s].stack == records_[r].stack) {
                            records_[s].kind = 0;
                            count++;
                        }
                groups.push_back({records_[r].size, records_[r].address, count, records_[r].stack});
            }
        return groups;
    }
    std::set<uint32_t> LiveAddresses() const
    {
        std::set<uint32_t> live;
        for (int head : heads_)
            for (int r = head; r >= 0; r = records_[r].next)
                live.insert(records_[r].address);
        return live;
    }

private:
    struct Record {
        uint32_t address, size, kind;
        int stack, next;
    };
    static uint32_t Bucket(uint32_t address) { return ((address >> 3) ^ (address >> 16)) % 127; }
    int Add(uint32_t address, uint32_t size, int stack)
    {
        records_[used_] = {address, size, 1, stack, -1};
        return used_++;
    }
    void Push(int record)
    {
        int &head = heads_[Bucket(records_[record].address)];
        records_[record].next = head;
        head = record;
    }
    int heads_[127];
    Record records_[8192];
    int used_ = 0;
};

enum Family { Heap, Global, Local, FamilyCount };
enum { Sites = 3, Threads = 3, Steps = 2400, BurstBlocks = 300 };

// One allocating function per family and site: each a call stack of its own.
template <int Site> __attribute__((noinline)) void *Allocate(int family, SIZE_T bytes)
{
    void *block = family == Heap     ? HeapAlloc(GetProcessHeap(), 0, bytes)
                  : family == Global ? reinterpret_cast<void *>(GlobalAlloc(GMEM_FIXED, bytes))
                                     : reinterpret_cast<void *>(LocalAlloc(LMEM_FIXED, bytes));
    __asm__ __volatile__("" ::: "memory");
    return block;
}

void *AllocateAt(int site, int family, SIZE_T bytes)
{
    switch (site) {
    case 0: return Allocate<0>(family, bytes);
    case 1: return Allocate<1>(family, bytes);
    default: return Allocate<2>(family, bytes);
    }
}

void Release(int family, void *block)
{
    if (family == Heap)
        HeapFree(GetProcessHeap(), 0, block);
    else if (family == Global)
        GlobalFree(block);
    else
        LocalFree(block);
}

// Null when the resize failed; `inPlace` asks the heap not to move the block.
void *Resize(int family, void *block, SIZE_T bytes, bool inPlace)
{
    if (family == Heap)
        return HeapReAlloc(GetProcessHeap(), inPlace ? HEAP_REALLOC_IN_PLACE_ONLY : 0, block, bytes);
    UINT flags = inPlace ? 0 : GMEM_MOVEABLE;
    return family == Global ? GlobalReAlloc(block, bytes, flags) : LocalReAlloc(block, bytes, flags);
}

enum Op { Idle, AllocOp, FreeOp, ResizeOp, BurstAlloc, BurstFree, Quit };

struct Worker {
    HANDLE go, done, thread;
    Op op;
    int family, site;
    SIZE_T bytes;
    bool inPlace;
    void *block, *result;
    void *burst[BurstBlocks];
    Worker *neighbour;
};

DWORD WINAPI WorkerLoop(void *context)
{
    auto *w = static_cast<Worker *>(context);
    for (;;) {
        WaitForSingleObject(w->go, INFINITE);
        switch (w->op) {
        case AllocOp: w->result = AllocateAt(w->site, w->family, w->bytes); break;
        case FreeOp: Release(w->family, w->block); break;
        case ResizeOp: w->result = Resize(w->family, w->block, w->bytes, w->inPlace); break;
        case BurstAlloc:
            for (int i = 0; i < BurstBlocks; i++)
                w->burst[i] = AllocateAt(i % Sites, i % FamilyCount, 8 + i);
            break;
        case BurstFree:  // the neighbour's blocks: records freed by a thread that did not make them
            for (int i = 0; i < BurstBlocks; i++)
                Release(i % FamilyCount, w->neighbour->burst[i]);
            break;
        case Quit: SetEvent(w->done); return 0;
        case Idle: break;
        }
        SetEvent(w->done);
    }
}

struct Block {
    void *address;
    int family, stack;
};

// Pieces of the dump: one entry line and the frame lines after it.
struct DumpGroup {
    uint32_t size, address, count;
    std::string frames;
};

std::vector<DumpGroup> ParseDump(const std::vector<std::string> &pieces)
{
    std::vector<DumpGroup> groups;
    for (size_t i = 0; i < pieces.size(); i++) {
        DumpGroup group;
        if (sscanf(pieces[i].c_str(), "Memory block %u bytes at 0x%x (%u times)", &group.size, &group.address,
                   &group.count) != 3)
            continue;
        while (++i < pieces.size() && pieces[i] != "\n\n")
            group.frames += pieces[i];
        groups.push_back(group);
    }
    return groups;
}

// Drives the random sequence and compares the dump with the model's. With
// handOver, the first worker owns the table for a third of the steps, then
// all workers at once make it shared; without, it owns the table throughout.
void DumpMatchesTheModel(bool handOver)
{
    static Worker workers[Threads];
    for (int t = 0; t < Threads; t++) {
        workers[t].go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        workers[t].done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        workers[t].neighbour = &workers[(t + 1) % Threads];
        workers[t].thread = CreateThread(nullptr, 0, WorkerLoop, &workers[t], 0, nullptr);
    }
    auto run = [](Worker &w, Op op) {
        w.op = op;
        SetEvent(w.go);
        WaitForSingleObject(w.done, INFINITE);
    };
    auto runAll = [](Op op) {
        for (Worker &w : workers) {
            w.op = op;
            SetEvent(w.go);
        }
        for (Worker &w : workers)
            WaitForSingleObject(w.done, INFINITE);
    };
    // Made before recording starts.
    std::unique_ptr<ListModel> owned(new ListModel);
    ListModel &model = *owned;
    std::vector<Block> live(4096);
    int liveCount = 0;
    std::mt19937 random(20240611);

    TarnwickOptions options = {};
    options.stackDepth = 16;
    TarnwickSetOptions(&options);
    // One step at a time, so that the order of the table is defined, on the
    // first `threads` workers.
    auto steps = [&](int count, int threads) {
        for (int step = 0; step < count; step++) {
            Worker &w = workers[random() % threads];
            uint32_t choice = random() % 10;
            if (liveCount < 8 || choice < 4) {
                w.family = random() % FamilyCount;
                w.site = random() % Sites;
                w.bytes = 1 + random() % 300;
                run(w, AllocOp);
                ASSERT_NE(nullptr, w.result);
                model.Insert(reinterpret_cast<uintptr_t>(w.result), w.bytes, w.family * Sites + w.site);
                live[liveCount++] = {w.result, w.family, w.family * Sites + w.site};
                continue;
            }
            int index = random() % liveCount;
            Block &block = live[index];
            w.family = block.family;
            w.block = block.address;
            if (choice < 7) {  // freed; its address is often the next one handed out
                run(w, FreeOp);
                ASSERT_GE(model.Take(reinterpret_cast<uintptr_t>(block.address)), 0);
                block = live[--liveCount];
                continue;
            }
            w.inPlace = choice == 7;
            w.bytes = w.inPlace ? 1 + random() % 40 : 2000 + random() % 60000;
            run(w, ResizeOp);
            int record = model.Take(reinterpret_cast<uintptr_t>(block.address));
            ASSERT_GE(record, 0);
            // A failed resize puts the record back under the old block.
            if (w.result)
                block.address = w.result;
            model.PutBack(record, reinterpret_cast<uintptr_t>(block.address),
                          w.result ? w.bytes : model.SizeOf(record));
        }
    };
    TarnwickStart();
    // The first worker alone: the table is its own.
    steps(handOver ? Steps / 3 : Steps, 1);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    EXPECT_EQ(LONG(GetThreadId(workers[0].thread)), TableOwner.ownerId);
    EXPECT_FALSE(TableOwner.sharing);
    if (handOver) {
        // All threads at once, each freeing the other's blocks: the table is
        // handed over while its owner is busy in it, and none may remain.
        runAll(BurstAlloc);
        runAll(BurstFree);
        EXPECT_TRUE(TableOwner.shared);
        std::set<std::pair<uintptr_t, uintptr_t>> freed;
        for (const Worker &w : workers)
            for (int i = 0; i < BurstBlocks; i++)
                freed.insert({reinterpret_cast<uintptr_t>(w.burst[i]), 8 + i});
        ForEachLiveRecord([&](AllocRecord *record) {
            EXPECT_EQ(0u, freed.count({record->address, record->size})) << "a released block is still recorded";
        });
        steps(Steps - Steps / 3, Threads);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
    }
    TarnwickStop();
    DebugCapture capture;
    TarnwickDump();
    std::vector<DumpGroup> dumped = ParseDump(capture.Pieces());
    for (int i = 0; i < liveCount; i++)
        Release(live[i].family, live[i].address);
    runAll(Quit);
    for (Worker &w : workers) {
        WaitForSingleObject(w.thread, INFINITE);
        CloseHandle(w.thread);
        CloseHandle(w.go);
        CloseHandle(w.done);
    }

    // Other code of the process (thread start-up inside Wine) leaves records
    // too; only groups led by one of this test's live blocks are its own.
    std::set<uint32_t> mine = model.LiveAddresses();
    std::vector<DumpGroup> ours;
    for (const DumpGroup &group : dumped)
        if (mine.count(group.address))
            ours.push_back(group);
    std::vector<ListModel::Group> expected = model.Groups();
    ASSERT_EQ(expected.size(), ours.size());
    std::map<int, std::string> framesOfStack;
    std::set<std::string> distinct;
    for (size_t g = 0; g < expected.size(); g++) {
        SCOPED_TRACE(g);
        EXPECT_EQ(expected[g].address, ours[g].address);
        EXPECT_EQ(expected[g].count, ours[g].count);
        EXPECT_EQ(expected[g].size, ours[g].size);
        ASSERT_FALSE(ours[g].frames.empty());
        framesOfStack.emplace(expected[g].stack, ours[g].frames);
        EXPECT_EQ(framesOfStack[expected[g].stack], ours[g].frames) << "one stack, one text";
        distinct.insert(ours[g].frames);
    }
    EXPECT_EQ(framesOfStack.size(), distinct.size()) << "different stacks print differently";
    EXPECT_EQ(size_t(FamilyCount * Sites), framesOfStack.size());
}

}  // namespace

TEST(AllocTable, OneThreadOwningTheTableDumpsAsTheSingleListTable) { DumpMatchesTheModel(false); }

TEST(AllocTable, RandomSequenceOnSeveralThreadsDumpsAsTheSingleListTable) { DumpMatchesTheModel(true); }

namespace {

// A run's table and heap as TarnwickStart makes them, for the slot tests.
struct SlotRun {
    SlotRun()
    {
        ClearAllocTable();
        InitTableLock();
        RecordHeap = HeapCreate(0, 0, 0);
    }
    ~SlotRun()
    {
        ClearAllocTable();
        HeapDestroy(RecordHeap);
        RecordHeap = nullptr;
    }
};

template <typename Work> DWORD WINAPI RunWork(void *work)
{
    (*static_cast<Work *>(work))();
    return 0;
}

// The block of the RecordHeap that holds address, or null.
void *HeapBlockHolding(void *address)
{
    PROCESS_HEAP_ENTRY entry = {};
    void *found = nullptr;
    HeapLock(RecordHeap);
    while (HeapWalk(RecordHeap, &entry))
        if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) && address >= entry.lpData &&
            static_cast<char *>(address) < static_cast<char *>(entry.lpData) + entry.cbData)
            found = entry.lpData;
    HeapUnlock(RecordHeap);
    return found;
}

// Plays a second thread that comes while the owner says it is inside: the
// owner's store to its flag faults (the flag's page is read-only), and this
// makes the table shared before the store is retried.
LONG CALLBACK ShareAtTheOwnersStore(EXCEPTION_POINTERS *pointers)
{
    const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
    if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION ||
        record->ExceptionInformation[1] != reinterpret_cast<ULONG_PTR>(&OwnerInside.inside))
        return EXCEPTION_CONTINUE_SEARCH;
    DWORD old;
    VirtualProtect(&OwnerInside, sizeof OwnerInside, PAGE_READWRITE, &old);
    TableOwner.sharing = 1;
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

// The owner that finds a second thread come waits for the table to be
// shared, and finds its newest record placed in the index by then.
TEST(AllocTable, OwnerLooksAgainAfterSayingItIsInside)
{
    SlotRun run;
    TableOwner.ownerId = LONG(GetCurrentThreadId());
    AllocRecord *record = NewRecord();
    record->kind = 1;
    record->address = 0x00510000;
    InsertRecord(record);  // held by the owner, out of the index
    PVOID handler = AddVectoredExceptionHandler(1, ShareAtTheOwnersStore);
    DWORD old;
    VirtualProtect(&OwnerInside, sizeof OwnerInside, PAGE_READONLY, &old);
    AllocRecord *taken = TakeRecord(record->address, 1);
    RemoveVectoredExceptionHandler(handler);
    EXPECT_TRUE(TableOwner.sharing) << "the store did not fault";
    EXPECT_TRUE(TableOwner.shared) << "the owner went in alone after a second thread came";
    EXPECT_EQ(record, taken) << "the owner's newest record was lost in the hand-over";
    EXPECT_EQ(0, OwnerInside.inside);
}

// A release no hook saw leaves a stale record; a tombstone ahead of it in its
// probe run must not keep the next record of the address from replacing it,
// whether that record is placed in the index or released while the owner
// still holds it.
TEST(AllocTable, TombstoneBeforeAStaleRecordOfTheSameAddress)
{
    // Two addresses of one 64 KB region with the same home among 16 slots.
    const uint32_t address = 0x00510000;
    uint32_t other = address + 8;
    while ((other * 0x9E3779B1u) >> 28 != (address * 0x9E3779B1u) >> 28)
        other += 8;
    for (bool placed : {true, false}) {
        SlotRun run;
        // The last insertion of each: another region's, which places the one before.
        const uint32_t addresses[] = {other, address, 0x00720000, address, 0x00730000};
        AllocRecord *records[5];
        for (int i = 0; i < 5; i++) {
            records[i] = NewRecord();
            records[i]->kind = 1;
            records[i]->address = addresses[i];
        }
        for (int i = 0; i < 3; i++)
            InsertRecord(records[i]);
        ASSERT_EQ(records[0], TakeRecord(other, 1));  // a tombstone ahead of the stale record
        InsertRecord(records[3]);
        if (placed)
            InsertRecord(records[4]);
        EXPECT_EQ(records[3], TakeRecord(address, 1)) << placed;
        EXPECT_EQ(nullptr, TakeRecord(address, 1)) << "the address was live twice: " << placed;
    }
}

TEST(RecordSlots, ACacheFromAnEarlierRunNeverHandsOutItsSlots)
{
    ClearAllocTable();
    InitTableLock();
    HANDLE earlierHeap = RecordHeap = HeapCreate(0, 0, 0);
    AllocRecord *earlier = NewRecord();
    ASSERT_NE(nullptr, earlier);
    memset(earlier, 0xAB, sizeof(AllocRecord));
    FreeRecord(earlier);  // back in this thread's cache
    {
        // The next run, with the earlier heap still there (a run stopped and
        // never dumped), so that its slots cannot pass for the new heap's.
        SlotRun run;
        AllocRecord *record = NewRecord();
        ASSERT_NE(nullptr, record);
        EXPECT_NE(earlier, record);
        EXPECT_NE(nullptr, HeapBlockHolding(record)) << "a slot of the new run's heap";
        for (uint32_t i = 0; i < sizeof(AllocRecord); i++)
            ASSERT_EQ(0, reinterpret_cast<uint8_t *>(record)[i]) << "zeroed, byte " << i;
    }
    HeapDestroy(earlierHeap);
}

TEST(RecordSlots, AnEndingThreadHandsItsSlotsToTheOthers)
{
    SlotRun run;
    struct Work {
        AllocRecord *records[10];
        void operator()()
        {
            for (AllocRecord *&record : records)
                record = NewRecord();
            for (AllocRecord *record : records)
                FreeRecord(record);
        }
    } work;
    HANDLE thread = CreateThread(nullptr, 0, RunWork<Work>, &work, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    ASSERT_NE(nullptr, work.records[0]);
    void *chunk = HeapBlockHolding(work.records[0]);
    ASSERT_NE(nullptr, chunk);
    // This thread's cache starts empty in the new run: it takes from the
    // pool, which now holds the ended thread's chunk, before carving its own.
    for (int i = 0; i < 40; i++)
        EXPECT_EQ(chunk, HeapBlockHolding(NewRecord())) << i;
}

TEST(RecordSlots, RecordsFreedByOneThreadServeAnother)
{
    SlotRun run;
    // One thread allocates, another one, alive all along, frees: the freeing
    // thread's cache passes its surplus on, and the allocating thread stops
    // carving new chunks.
    enum { Records = 20000 };
    static AllocRecord *records[Records];
    auto chunks = [] {
        uint32_t count = 0;
        PROCESS_HEAP_ENTRY entry = {};
        HeapLock(RecordHeap);
        while (HeapWalk(RecordHeap, &entry))
            count += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0;
        HeapUnlock(RecordHeap);
        return count;
    };
    struct Freer {
        HANDLE go, done;
        bool quit;
        void operator()()
        {
            for (;;) {
                WaitForSingleObject(go, INFINITE);
                if (quit)
                    return;
                for (AllocRecord *record : records)
                    FreeRecord(record);
                SetEvent(done);
            }
        }
    } freer = {CreateEventW(nullptr, FALSE, FALSE, nullptr), CreateEventW(nullptr, FALSE, FALSE, nullptr), false};
    HANDLE thread = CreateThread(nullptr, 0, RunWork<Freer>, &freer, 0, nullptr);
    uint32_t first = 0;
    for (int round = 0; round < 4; round++) {
        for (AllocRecord *&record : records)
            ASSERT_NE(nullptr, record = NewRecord());
        if (round == 0)
            first = chunks();
        SetEvent(freer.go);
        WaitForSingleObject(freer.done, INFINITE);
    }
    EXPECT_LE(chunks(), first + 2) << "later rounds reuse the freed slots";
    // A cache that overflows hands slots back and keeps exactly the number it counts.
    RecordCache cache = {};
    AllocRecord *slots[CacheLimit + 1];
    for (AllocRecord *&slot : slots)
        slot = NewRecord(&cache);
    for (AllocRecord *slot : slots)
        FreeRecord(slot, &cache);
    uint32_t kept = 0;
    for (AllocRecord *slot = cache.spare; slot; slot = slot->next)
        kept++;
    EXPECT_EQ(cache.spareCount, kept);
    freer.quit = true;
    SetEvent(freer.go);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(freer.go);
    CloseHandle(freer.done);
}
