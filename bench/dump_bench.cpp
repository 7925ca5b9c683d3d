// Times DumpLeaks on tables of 10,000 and 100,000 leaked records filled
// directly, for several mixes of stacks. Prints one line per case:
// grouping alone (minRepeat above every count, nothing printed), the report
// with bare frames (no symbol handler: grouping and output only) and the
// report with every frame resolved through the symbol handler. With the
// argument "reach" it times the reachability scan instead: 1,000 and
// 1,000,000 live recorded blocks of 100 bytes in a heap, half of them
// reachable through a chain from a global, and prints the time and the
// memory the scan holds.
#include "report/leak_dump.h"
#include "report/reachability.h"
#include "report/symbols.h"
#include "report/system_modules.h"
#include "control/options.h"
#include "tracking/alloc_table.h"
#include "tracking/record_slots.h"
#include "tracking/stack_depot.h"
#include <windows.h>
#include <dbghelp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <initializer_list>

// Code addresses of this program with line information: the frame pool.
__attribute__((noinline)) static void PoolA() { asm volatile("nop; nop; nop; nop; nop; nop; nop; nop"); }
__attribute__((noinline)) static void PoolB() { asm volatile("nop; nop; nop; nop; nop; nop; nop; nop"); }

static uint32_t Pool[64];

static void FillPool()
{
    for (uint32_t i = 0; i < 64; ++i)
        Pool[i] = reinterpret_cast<uintptr_t>(i % 2 ? &PoolA : &PoolB) + (i / 2) % 8 + 1;
}

enum Mix { FewStacks, RealisticMix, AllDistinct };

static void Fill(uint32_t records, Mix mix)
{
    RecordHeap = HeapCreate(0, 0, 0);
    ClearAllocTable();
    InitTableLock();
    ResetStackDepot(false);
    srand(12345);
    for (uint32_t n = 0; n < records; ++n) {
        AllocRecord *record = NewRecord();
        record->address = 0x01000000 + n * 24;
        record->size = 16 + n % 200;
        record->kind = 1;
        // Stack number: 20 shared stacks, or 90 % in 100 shared stacks and
        // 10 % unique, or every record unique.
        uint32_t stack = mix == FewStacks      ? n % 20
                         : mix == RealisticMix ? (n % 10 ? rand() % 100 : 1000 + n)
                                               : 1000 + n;
        // 16 frames from the pool, chosen by the stack number's digits, so
        // that distinct stacks share addresses like real call paths do.
        uint32_t seed = stack * 2654435761u;
        uintptr_t frames[16];
        for (uint32_t i = 0; i < RecordDepth; ++i)
            frames[i] = Pool[(seed >> (i % 4 * 8)) % 64 ^ (stack >> (i / 4 * 6)) % 64];
        record->stack = InternStack(frames);
        InsertRecord(record);
    }
}

static void Drop()
{
    HeapDestroy(RecordHeap);
    RecordHeap = nullptr;
    ReleaseStackDepot();
}

static double Seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

enum Output { Grouping, BareReport, ResolvedReport };

static void Run(uint32_t records, Mix mix, Output output)
{
    static const char *outputs[] = {"grouping", "bare", "resolved"};
    HANDLE symbols = SymbolProcess;
    if (output == BareReport)
        SymbolProcess = 0;
    static const char *names[] = {"20 stacks", "90% in 100 stacks + 10% unique", "all unique"};
    Fill(records, mix);
    Options.minRepeat = output == Grouping ? 0xFFFFFFFFu : 0;
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    uint32_t total = DumpLeaks();
    QueryPerformanceCounter(&end);
    Drop();
    SymbolProcess = symbols;
    printf("%7u records, %-31s %-9s %10.3f s  (total %u)\n", records, names[mix], outputs[output],
           Seconds(start, end), total);
    fflush(stdout);
}

// Committed private memory of the process, summed over its regions.
static double CommittedBytes()
{
    double total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (uintptr_t at = 0x10000; VirtualQuery(reinterpret_cast<void *>(at), &info, sizeof info) == sizeof info;) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE)
            total += double(info.RegionSize);
        at = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
        if (at == 0)
            break;
    }
    return total;
}

enum : uint32_t { ScanBlockBytes = 100 };
static void **volatile ChainRoot;

static void RunReach(uint32_t blocks)
{
    HANDLE heap = HeapCreate(0, 0, 0);
    RecordHeap = HeapCreate(0, 0, 0);
    ClearAllocTable();
    InitTableLock();
    ResetStackDepot(false);
    // Words that are no address (above the 2 GB of a program's memory),
    // except each reachable block's link to the next.
    void **previous = nullptr;
    for (uint32_t n = 0; n < blocks; ++n) {
        auto *block = static_cast<uint32_t *>(HeapAlloc(heap, 0, ScanBlockBytes));
        for (uint32_t i = 0; i < ScanBlockBytes / 4; i++)
            block[i] = 0x80000000u + n * 31 + i;
        if (n % 2 == 0) {
            block[0] = 0;
            if (previous)
                previous[0] = block;
            else
                ChainRoot = reinterpret_cast<void **>(block);
            previous = reinterpret_cast<void **>(block);
        }
        AllocRecord *record = NewRecord();
        record->address = reinterpret_cast<uintptr_t>(block);
        record->size = ScanBlockBytes;
        record->kind = 1;
        InsertRecord(record);
    }
    FreezeAllocTable();
    double before = CommittedBytes();
    LARGE_INTEGER start, end;
    FILETIME created, exited, kernelBefore, userBefore, kernelAfter, userAfter;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernelBefore, &userBefore);
    QueryPerformanceCounter(&start);
    bool classified = ClassifyRecords(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
    QueryPerformanceCounter(&end);
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernelAfter, &userAfter);
    auto ticks = [](const FILETIME &time) { return double(uint64_t(time.dwHighDateTime) << 32 | time.dwLowDateTime); };
    double cpu = (ticks(kernelAfter) - ticks(kernelBefore) + ticks(userAfter) - ticks(userBefore)) / 1e7;
    double held = CommittedBytes() - before;
    uint32_t reachable = 0;
    RecordWalk walk;
    StartRecordWalk(&walk);
    while (AllocRecord *record = NextRecord(&walk))
        reachable += IsReachable(record);
    ForgetClasses();
    printf("%8u blocks in %5.1f MB: scan %7.3f s (%.3f s of processor time), memory held %6.1f MB (%5.1f bytes a block), %u reachable%s\n",
           blocks, blocks * double(ScanBlockBytes) / 1e6, Seconds(start, end), cpu, held / 1e6, held / blocks, reachable,
           classified ? "" : " (no memory for the scan)");
    fflush(stdout);
    ChainRoot = nullptr;
    HeapDestroy(heap);
    Drop();
}

int main(int argc, char **argv)
{
    if (argc > 1 && !strcmp(argv[1], "reach")) {
        RecordDepth = 1;
        for (uint32_t blocks : {1000u, 1000000u})
            RunReach(blocks);
        return 0;
    }
    FillPool();
    RecordDepth = 16;
    SnapshotSystemModules();
    InitSymbols();
    OpenSymbols();
    uint32_t largest = argc > 1 ? strtoul(argv[1], nullptr, 10) : 100000;
    for (uint32_t records : {10000u, 100000u}) {
        if (records > largest)
            break;
        for (Mix mix : {FewStacks, RealisticMix, AllDistinct}) {
            for (Output output : {Grouping, BareReport, ResolvedReport})
                Run(records, mix, output);
        }
    }
    return 0;
}
