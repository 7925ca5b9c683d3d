// Prints what recording costs an allocating program, as ratios from one run
// (each the median of several rounds): a recorded allocate-and-free pair
// against a bare one at two stack depths, through HeapAlloc and through
// malloc; a release among 1,000,000 live blocks against one among 1,000; two
// threads against one; the memory that recording adds per live block and per
// ended thread; and Stop + Dump of 100,000 leaked blocks in 10,000 groups.
// Run it next to any build of Tarnwick.dll to compare builds.
#include "bench_clock.h"
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <math.h>
#include <algorithm>
#include <vector>
#include "tarnwick.h"

namespace {

// ThreadPairs: each thread's pairs per round of (c), long enough (about 0.1 s)
// that the one-time hand-over of the table to a second thread and the
// scheduler's placing of the threads do not weigh in the throughput.
enum { Rounds = 9, Pairs = 100000, ThreadPairs = 1000000, ChainDepth = 8 };

void Record(uint32_t depth)
{
    TarnwickOptions options = {};
    options.stackDepth = depth;
    options.minRepeat = 0;
    TarnwickSetOptions(&options);
    TarnwickStart();
}

void EndRecording()
{
    TarnwickStop();
    TarnwickDump();
}

double PeakCommitted;

// Committed private memory of the process, summed over its regions; the
// largest seen is kept in PeakCommitted.
double CommittedBytes()
{
    double total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (uintptr_t at = 0x10000; VirtualQuery(reinterpret_cast<void *>(at), &info, sizeof info) == sizeof info;) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE)
            total += double(info.RegionSize);
        uintptr_t next = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
        if (next <= at)
            break;
        at = next;
    }
    if (total > PeakCommitted)
        PeakCommitted = total;
    return total;
}

// Bytes in busy blocks over every heap of the process, the library's own
// included: unlike committed memory, it moves by the byte.
double HeapBytesInUse()
{
    static HANDLE heaps[256];
    DWORD count = GetProcessHeaps(256, heaps);
    double total = 0;
    for (DWORD i = 0; i < count && i < 256; i++) {
        PROCESS_HEAP_ENTRY entry;
        entry.lpData = nullptr;
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                total += entry.cbData + entry.cbOverhead;
    }
    return total;
}

// Runs work at the bottom of a call chain of the given depth, as allocations
// in real programs are made, so that the stack walk has frames to follow.
template <typename Work> __attribute__((noinline)) double InChain(int depth, Work &work)
{
    double result = depth > 1 ? InChain(depth - 1, work) : work();
    __asm__ __volatile__("" ::: "memory");  // no tail call: keep the frame
    return result;
}

// Seconds per pair on the heap.
double PairLoop(HANDLE heap, int pairs)
{
    auto work = [&] {
        double start = Now();
        for (int i = 0; i < pairs; i++)
            HeapFree(heap, 0, HeapAlloc(heap, 0, 16 + (i & 255)));
        return (Now() - start) / pairs;
    };
    return InChain(ChainDepth, work);
}

double HeapPairs(int pairs) { return PairLoop(GetProcessHeap(), pairs); }

// Seconds per pair through the C runtime, whose entry is hooked as well.
double MallocPairs(int pairs)
{
    auto work = [&] {
        double start = Now();
        for (int i = 0; i < pairs; i++) {
            void *volatile block = malloc(16 + (i & 255));  // kept: no pair the compiler could drop
            free(block);
        }
        return (Now() - start) / pairs;
    };
    return InChain(ChainDepth, work);
}

// (a) Recorded pair against bare pair; the median nanoseconds of each too.
double PairRatio(double (*loop)(int), uint32_t depth, double *bareNs, double *recordedNs)
{
    std::vector<double> ratios, bares, recordeds;
    for (int round = 0; round < Rounds; round++) {
        double bare = loop(Pairs);
        Record(depth);
        double recorded = loop(Pairs);
        EndRecording();
        ratios.push_back(recorded / bare);
        bares.push_back(bare * 1e9);
        recordeds.push_back(recorded * 1e9);
    }
    *bareNs = Median(bares);
    *recordedNs = Median(recordeds);
    return Median(ratios);
}

// (b) Seconds per release with `live` blocks alive: 1,000 releases spread
// over the blocks. With `bytesPerBlock`, also the memory recording adds.
double FreeCost(int live, bool recording, double *committedPerBlock)
{
    static std::vector<void *> blocks;
    blocks.assign(live, nullptr);
    HANDLE heap = GetProcessHeap();
    if (recording)
        Record(16);
    double before = CommittedBytes();
    for (int i = 0; i < live; i++)
        blocks[i] = HeapAlloc(heap, 0, 32);
    if (committedPerBlock)
        *committedPerBlock = (CommittedBytes() - before) / live;
    // 1,000 distinct blocks in an order unrelated to their allocation, as a
    // program that frees what it no longer needs.
    enum { Released = 1000 };
    static int chosen[Released];
    uint32_t random = 12345;
    for (int i = 0; i < Released; i++) {
        random = random * 1103515245u + 12345u;
        chosen[i] = i * (live / Released) + int((random >> 8) % uint32_t(live / Released));
    }
    for (int i = Released - 1; i > 0; i--) {
        random = random * 1103515245u + 12345u;
        std::swap(chosen[i], chosen[(random >> 8) % uint32_t(i + 1)]);
    }
    double start = Now();
    for (int index : chosen) {
        HeapFree(heap, 0, blocks[index]);
        blocks[index] = nullptr;
    }
    double cost = (Now() - start) / Released;
    if (recording)
        TarnwickStop();
    for (void *block : blocks)
        if (block)
            HeapFree(heap, 0, block);
    if (recording)
        TarnwickDump();
    return cost;
}

// (c) Pairs on a heap of the thread's own, so that only recording is shared.
struct Worker {
    HANDLE go, done, thread;
    double seconds;
};

DWORD WINAPI WorkerLoop(void *context)
{
    auto *worker = static_cast<Worker *>(context);
    HANDLE heap = HeapCreate(0, 0, 0);
    for (;;) {
        WaitForSingleObject(worker->go, INFINITE);
        double start = Now();
        PairLoop(heap, ThreadPairs);
        worker->seconds = Now() - start;
        SetEvent(worker->done);
    }
}

double Together(Worker *workers, int count)
{
    double start = Now();
    for (int i = 0; i < count; i++)
        SetEvent(workers[i].go);
    for (int i = 0; i < count; i++)
        WaitForSingleObject(workers[i].done, INFINITE);
    return Now() - start;
}

// More rounds than elsewhere: other processes on the machine disturb two
// threads more than one. Also the median nanoseconds per pair of one thread
// alone and of each of two.
double ThreadScaling(Worker *workers, bool recording, double *oneNs, double *twoNs)
{
    std::vector<double> ratios, ones, twos;
    for (int round = 0; round < 2 * Rounds; round++) {
        if (recording)
            Record(16);
        double one = Together(workers, 1);
        double two = Together(workers, 2);
        if (recording)
            EndRecording();
        ratios.push_back(2 * one / two);  // throughput of two over throughput of one
        ones.push_back(one / ThreadPairs * 1e9);
        twos.push_back(two / ThreadPairs * 1e9);
    }
    *oneNs = Median(ones);
    *twoNs = Median(twos);
    return Median(ratios);
}

// Distinct call stacks: levels of ten functions each, chosen by the decimal
// digits of the stack's number (four levels: 10,000 stacks). Each stack's
// leaf makes PerLeaf blocks in LeakHeap, kept in LeafBlocks when it is set.
HANDLE LeakHeap;
void **LeafBlocks;
uint32_t LeafCount, PerLeaf = 10;
template <int Level, int Digit> __attribute__((noinline)) void Step(int stack);

template <int Level> void Dispatch(int stack)
{
    switch (stack % 10) {
    case 0: Step<Level, 0>(stack / 10); break;
    case 1: Step<Level, 1>(stack / 10); break;
    case 2: Step<Level, 2>(stack / 10); break;
    case 3: Step<Level, 3>(stack / 10); break;
    case 4: Step<Level, 4>(stack / 10); break;
    case 5: Step<Level, 5>(stack / 10); break;
    case 6: Step<Level, 6>(stack / 10); break;
    case 7: Step<Level, 7>(stack / 10); break;
    case 8: Step<Level, 8>(stack / 10); break;
    default: Step<Level, 9>(stack / 10); break;
    }
}

template <int Level, int Digit> __attribute__((noinline)) void Step(int stack)
{
    if (Level == 0) {
        for (uint32_t i = 0; i < PerLeaf; i++) {
            void *block = HeapAlloc(LeakHeap, 0, 8 + Digit);
            if (LeafBlocks)
                LeafBlocks[LeafCount++] = block;
        }
    } else {
        Dispatch<Level ? Level - 1 : 0>(stack);
    }
    __asm__ __volatile__("" ::: "memory");
}

// Every stack of 10^stackDigits, PerLeaf blocks each.
void AllocateFromStacks(int stackDigits)
{
    for (int stack = 0, stacks = int(pow(10, stackDigits)); stack < stacks; stack++) {
        switch (stackDigits) {
        case 3: Dispatch<2>(stack); break;
        case 4: Dispatch<3>(stack); break;
        default: Dispatch<4>(stack); break;
        }
    }
}

// (e) The library's committed memory per live block of 8 to 17 bytes, the
// blocks made from 10^stackDigits stacks: committed memory with recording
// less without, over the blocks. peak: the library's whole, in bytes.
double LibraryBytesPerBlock(int stackDigits, uint32_t perLeaf, double *peak = nullptr)
{
    uint32_t blocks = uint32_t(pow(10, stackDigits)) * perLeaf;
    LeafBlocks = static_cast<void **>(VirtualAlloc(nullptr, blocks * sizeof(void *), MEM_COMMIT, PAGE_READWRITE));
    PerLeaf = perLeaf;
    double added[2];
    for (int recording = 0; recording < 2; recording++) {
        LeakHeap = HeapCreate(0, 0, 0);
        if (recording)
            Record(16);
        LeafCount = 0;
        double before = CommittedBytes();
        AllocateFromStacks(stackDigits);
        added[recording] = CommittedBytes() - before;
        if (LeafCount != blocks || !LeafBlocks[blocks - 1])
            printf("(only %u of %u blocks made)\n", LeafCount, blocks);
        for (uint32_t i = 0; i < LeafCount; i++)
            HeapFree(LeakHeap, 0, LeafBlocks[i]);
        if (recording)
            EndRecording();
        HeapDestroy(LeakHeap);
    }
    VirtualFree(LeafBlocks, 0, MEM_RELEASE);
    LeafBlocks = nullptr;
    PerLeaf = 10;
    if (peak)
        *peak = added[1] - added[0];
    return (added[1] - added[0]) / blocks;
}

// relayed: as for the launcher, which announces that it relays the report
// (the dump then writes its pieces in batches of about 20,000 characters);
// else every piece is a debug string of its own, 10-50 us each under Wine
// without a debugger.
double StopAndDumpSeconds(bool relayed)
{
    wchar_t name[64];
    swprintf(name, 64, L"%ls%lu", TARNWICK_RELAY_EVENT_PREFIX, GetCurrentProcessId());
    HANDLE relay = relayed ? CreateEventW(nullptr, TRUE, FALSE, name) : nullptr;
    LeakHeap = HeapCreate(0, 0, 0);
    Record(16);
    AllocateFromStacks(4);
    double start = Now();
    TarnwickStop();
    int leaked = TarnwickDump();
    double seconds = Now() - start;
    HeapDestroy(LeakHeap);
    if (relay)
        CloseHandle(relay);
    if (leaked != 100000)
        printf("(the dump reported %d blocks, not 100000)\n", leaked);
    return seconds;
}

// (d) Committed bytes per ended thread: rounds of short-lived threads that
// each allocate and free, after a first round that brings every pool the
// threads use to its working size. Heaps grow in steps of hundreds of
// kilobytes: the rounds are many, so that a step or two of Wine's own weighs
// little beside a steady loss.
enum { ThreadRounds = 20, ThreadsPerRound = 500 };

HANDLE ThreadsGo;

DWORD WINAPI ShortLived(void *)
{
    WaitForSingleObject(ThreadsGo, INFINITE);
    HANDLE heap = GetProcessHeap();
    void *kept = HeapAlloc(heap, 0, 40);
    HeapFree(heap, 0, HeapReAlloc(heap, 0, HeapAlloc(heap, 0, 24), 200));
    HeapFree(heap, 0, kept);
    return 0;
}

// All of a round's threads are alive at once before any allocates: every
// round reaches the same peak, so that what pools grow to for the most threads
// at a time (Wine's, the library's record slots and index) is reached in the
// first round, and the rounds after show only what each thread leaves. One
// after another the threads would also mostly reuse one thread id.
void ThreadRound()
{
    static HANDLE threads[ThreadsPerRound];
    if (!ThreadsGo)
        ThreadsGo = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(ThreadsGo);
    for (HANDLE &thread : threads)
        thread = CreateThread(nullptr, 65536, ShortLived, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    SetEvent(ThreadsGo);
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

// Committed bytes, and heap bytes in use, per ended thread.
void BytesPerEndedThread(bool recording, double *committed, double *inUse)
{
    if (recording)
        Record(16);
    ThreadRound();
    double committedBefore = CommittedBytes(), inUseBefore = HeapBytesInUse();
    for (int round = 0; round < ThreadRounds; round++)
        ThreadRound();
    *committed = (CommittedBytes() - committedBefore) / (ThreadRounds * ThreadsPerRound);
    *inUse = (HeapBytesInUse() - inUseBefore) / (ThreadRounds * ThreadsPerRound);
    if (recording)
        EndRecording();
}

void PrintBytesPerEndedThread()
{
    double committed[2], inUse[2];
    BytesPerEndedThread(false, &committed[0], &inUse[0]);
    BytesPerEndedThread(true, &committed[1], &inUse[1]);
    printf("committed bytes per ended thread:           %6.1f without recording, %6.1f with\n", committed[0],
           committed[1]);
    printf("  (heap bytes in use per ended thread: %.1f without, %.1f with)\n", inUse[0], inUse[1]);
}

}  // namespace

// With the argument "pairs", only (a); with "threads", only (d); with
// "scale", only 10,000,000 live blocks from 1,000 stacks (e); with "leak N",
// the leak of 10^N stacks.
int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    // The distinct stacks, as the report shows them: PerLeaf blocks from
    // each of 10^digits stacks, left leaking (run it under the launcher).
    if (argc > 2 && !strcmp(argv[1], "leak")) {
        LeakHeap = HeapCreate(0, 0, 0);
        Record(16);
        AllocateFromStacks(atoi(argv[2]));
        EndRecording();
        return 0;
    }
    if (argc > 1 && !strcmp(argv[1], "scale")) {
        double peak, perBlock = LibraryBytesPerBlock(3, 10000, &peak);
        printf("10,000,000 live blocks from 1,000 stacks: library memory %.1f MB (%.1f bytes a block), "
               "process committed at most %.1f MB\n",
               peak / 1e6, perBlock, PeakCommitted / 1e6);
        return 0;
    }
    if (argc > 1 && !strcmp(argv[1], "threads")) {
        PrintBytesPerEndedThread();
        return 0;
    }
    for (uint32_t depth : {16u, 4u}) {
        double bare, recorded, ratio = PairRatio(HeapPairs, depth, &bare, &recorded);
        printf("recorded pair / bare pair, depth %u:%*s%6.2f  (ns per pair: %.0f bare, %.0f recorded)\n", depth,
               depth < 10 ? 9 : 8, "", ratio, bare, recorded);
    }
    {
        double bare, recorded, ratio = PairRatio(MallocPairs, 16, &bare, &recorded);
        printf("%-44s%6.2f  (ns per pair: %.0f bare, %.0f recorded)\n", "malloc/free pair, recorded / bare, depth 16:",
               ratio, bare, recorded);
    }
    if (argc > 1 && !strcmp(argv[1], "pairs"))
        return 0;

    std::vector<double> plain, recorded, bytes, costs[4];
    for (int round = 0; round < 3; round++) {
        double perBlockPlain, perBlockRecorded;
        double small = FreeCost(1000, false, nullptr), large = FreeCost(1000000, false, &perBlockPlain);
        plain.push_back(large / small);
        costs[0].push_back(small);
        costs[1].push_back(large);
        small = FreeCost(1000, true, nullptr);
        large = FreeCost(1000000, true, &perBlockRecorded);
        recorded.push_back(large / small);
        costs[2].push_back(small);
        costs[3].push_back(large);
        bytes.push_back(perBlockRecorded - perBlockPlain);
    }
    double plainRatio = Median(plain), recordedRatio = Median(recorded);
    printf("free at 1,000,000 live / at 1,000 live:    %8.2f without recording, %8.2f with (%.2f times)\n",
           plainRatio, recordedRatio, recordedRatio / plainRatio);
    printf("  (ns per free: %.0f and %.0f without, %.0f and %.0f with)\n", Median(costs[0]) * 1e9,
           Median(costs[1]) * 1e9, Median(costs[2]) * 1e9, Median(costs[3]) * 1e9);
    printf("bytes per live block added by recording:    %6.1f  (1,000,000 blocks from one stack)\n", Median(bytes));
    printf("  from 1,000 stacks:                        %6.1f  (1,000,000 blocks)\n", LibraryBytesPerBlock(3, 1000));
    printf("  every block its own stack:                %6.1f  (100,000 blocks)\n", LibraryBytesPerBlock(5, 1));
    PrintBytesPerEndedThread();

    Worker workers[2];
    for (Worker &worker : workers) {
        worker.go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        worker.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        worker.thread = CreateThread(nullptr, 0, WorkerLoop, &worker, 0, nullptr);
    }
    double ns[4];
    double scalingPlain = ThreadScaling(workers, false, &ns[0], &ns[1]);
    double scalingRecorded = ThreadScaling(workers, true, &ns[2], &ns[3]);
    printf("two-thread / one-thread throughput:         %6.2f without recording, %6.2f with (%.2f times)\n",
           scalingPlain, scalingRecorded, scalingRecorded / scalingPlain);
    printf("  (ns per pair, one thread alone and two at once: %.0f and %.0f without, %.0f and %.0f with)\n", ns[0],
           ns[1], ns[2], ns[3]);

    printf("Stop + Dump, 100,000 blocks in 10,000 groups: %.2f s relayed as to the launcher, %.2f s piece by piece\n",
           StopAndDumpSeconds(true), StopAndDumpSeconds(false));
    return 0;
}
