// Open-addressing hash index over the stacks of the records of kind 1. It
// forms exactly the groups of CountDuplicates: same kind, same stack (one
// depot reference per distinct stack); the leader is the first member in
// walk order.
#include "report/stack_index.h"
#include "tracking/alloc_table.h"
#include <windows.h>

// The slot of the stack's group, or the free slot where it would go.
static StackGroup *FindSlot(const StackIndex *index, uint32_t stack)
{
    for (uint32_t i = (stack * 0x9E3779B1u) >> 7 & index->mask;; i = (i + 1) & index->mask) {
        StackGroup *slot = &index->slots[i];
        if (!slot->leader || slot->stack == stack)
            return slot;
    }
}

int BuildStackIndex(StackIndex *index)
{
    uint32_t live = 0;
    RecordWalk walk;
    StartRecordWalk(&walk);
    while (AllocRecord *record = NextRecord(&walk))
        live += record->kind == 1;
    // At most half full, so every probe sequence ends at a free slot soon.
    uint32_t slots = 16;
    while (slots < 2 * live)
        slots *= 2;
    index->slots = static_cast<StackGroup *>(
        VirtualAlloc(nullptr, slots * sizeof(StackGroup), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!index->slots)
        return 0;
    index->mask = slots - 1;
    StartRecordWalk(&walk);
    while (AllocRecord *record = NextRecord(&walk)) {
        if (record->kind != 1)
            continue;
        StackGroup *slot = FindSlot(index, record->stack);
        if (!slot->leader) {
            slot->leader = record;
            slot->stack = record->stack;
        }
        ++slot->count;
        slot->bytes += record->size;
    }
    return 1;
}

uint32_t LedGroupCount(const StackIndex *index, const AllocRecord *record, size_t *bytes)
{
    const StackGroup *slot = FindSlot(index, record->stack);
    *bytes = slot->bytes;
    return slot->leader == record ? slot->count : 0;
}

void FreeStackIndex(StackIndex *index) { VirtualFree(index->slots, 0, MEM_RELEASE); }
