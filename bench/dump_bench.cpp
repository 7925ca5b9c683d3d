// Times DumpLeaks on tables of 10,000 and 100,000 leaked records filled
// directly, for several mixes of stacks. Prints one line per case:
// grouping alone (minRepeat above every count, nothing printed), the report
// with bare frames (no symbol handler: grouping and output only) and the
// report with every frame resolved through the symbol handler.
#include "report/leak_dump.h"
#include "report/symbols.h"
#include "report/system_modules.h"
#include "control/options.h"
#include "tracking/alloc_table.h"
#include "tracking/record_slots.h"
#include <windows.h>
#include <dbghelp.h>
#include <stdio.h>
#include <stdlib.h>
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
        for (uint32_t i = 0; i < RecordDepth; ++i) {
            record->frames[i] = Pool[(seed >> (i % 4 * 8)) % 64 ^ (stack >> (i / 4 * 6)) % 64];
        }
        InsertRecord(record);
    }
}

static void Drop()
{
    HeapDestroy(RecordHeap);
    RecordHeap = nullptr;
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

int main(int argc, char **argv)
{
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
