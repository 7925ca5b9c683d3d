// The leak report: every live record outside the system modules, grouped by
// identical stack, one entry per group; in the classifying mode the lost
// groups first, then the still reachable ones.
#include "report/leak_dump.h"
#include "report/dwarf_lines.h"
#include "report/frame_cache.h"
#include "report/reachability.h"
#include "report/stack_index.h"
#include "report/symbol_modules.h"
#include "report/symbols.h"
#include "report/static_runtime.h"
#include "report/system_modules.h"
#include "report/text_format.h"
#include "control/library.h"
#include "control/options.h"
#include "tracking/alloc_table.h"
#include "tracking/stack_depot.h"

uint32_t CountDuplicates(AllocRecord *record, size_t *bytes)
{
    uint32_t count = 1;
    size_t sum = record->size;
    RecordWalk walk;
    StartRecordWalk(&walk);
    // The depot holds each stack once: equal references, equal stacks.
    while (AllocRecord *other = NextRecord(&walk))
        if (other != record && other->kind == record->kind && other->stack == record->stack) {
            ++count;
            sum += other->size;
            other->kind = 0;
        }
    if (bytes)
        *bytes = sum;
    return count;
}

// Set for a dump that the launcher relays: a group whose blocks differ in
// size tells it their sum too, in a form it reads and prints as the usual
// line, and frame lines carry the notes it reads.
static bool Relayed;

// Prints the groups of the records of kind 1, with their stacks or without;
// returns their blocks.
static uint32_t DumpGroups(bool stacks)
{
    // Grouping by scanning the table for every group is quadratic; the index
    // gives the same groups, leaders and marks in linear time. Without memory
    // for it, the scan does the work.
    StackIndex index;
    bool indexed = BuildStackIndex(&index);
    uint32_t total = 0;
    RecordWalk walk;
    StartRecordWalk(&walk);
    while (AllocRecord *record = NextRecord(&walk)) {
        const uintptr_t *frames = StackFrames(record->stack);
        if (record->kind != 1 || IsSystemCode(frames[0]) || IsStaticRuntimeCode(frames[0]))
            continue;
        uint32_t count;
        size_t bytes;
        if (indexed) {
            count = LedGroupCount(&index, record, &bytes);
            if (count == 0) {
                record->kind = 0;  // counted with its leader, met earlier
                continue;
            }
        } else {
            count = CountDuplicates(record, &bytes);
        }
        if (count < Options.minRepeat)
            continue;
        wchar_t line[128];
        if (Relayed && bytes != record->size * count)
            FormatText(line, 128, L"Memory block %zu bytes at 0x%p (%d times, %zu bytes in all)\n", record->size,
                       record->address, count, bytes);
        else
#if defined(_WIN64)
            FormatText(line, 128, L"Memory block %zu bytes at 0x%p (%d times)\n", record->size, record->address,
                       count);
#else
            FormatText(line, 128, L"Memory block %d bytes at 0x%p (%d times)\n", record->size, record->address,
                       count);
#endif
        WriteMessage(line);
        if (stacks)
            PrintStack(frames, Relayed);
        WriteMessage(L"\n\n");
        total += count;
    }
    if (indexed)
        FreeStackIndex(&index);
    return total;
}

// Groups form among records of one kind: the reachable ones wait under their
// own kind while the lost ones print, then take kind 1 while every lost one
// takes 0.
enum : uint32_t { HeldBack = 2 };

static void HoldBackReachable()
{
    RecordWalk walk;
    StartRecordWalk(&walk);
    while (AllocRecord *record = NextRecord(&walk))
        if (IsReachable(record))
            record->kind = HeldBack;
}

static void BringBackReachable()
{
    RecordWalk walk;
    StartRecordWalk(&walk);
    while (AllocRecord *record = NextRecord(&walk))
        record->kind = record->kind == HeldBack ? 1 : 0;
}

uint32_t DumpLeaks()
{
    Relayed = LauncherRelays();
    WriteMessage(L"\nTarnwick: Memory leak dump\n");
    // The buckets in the order of insertion, newest first: the walk order
    // that decides each group's representative.
    FreezeAllocTable();
    ForgetSymbolModuleLoads();
    BeginFrameCache();
    uint32_t total;
    if (RecordsClassified()) {
        HoldBackReachable();
        WriteMessage(L"Tarnwick: Lost blocks (nothing in the program's memory points to them any more):\n");
        total = DumpGroups(true);
        if (total == 0)
            WriteMessage(L"None.\n\n");
        BringBackReachable();
        WriteMessage(L"Tarnwick: Still reachable blocks (the program still holds a pointer to them):\n");
        if (DumpGroups(!Options.reachableWithoutStacks) == 0)
            WriteMessage(L"None.\n\n");
    } else {
        total = DumpGroups(true);
        if (total == 0)
            WriteMessage(L"No memory leak.\n\n");
    }
    EndFrameCache();
    EndDwarfLines();
    return total;
}
