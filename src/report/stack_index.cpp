// Open-addressing hash index over the frames of the records of kind 1. It
// forms exactly the groups of CountDuplicates: same kind, same RecordDepth
// frames byte for byte; the leader is the first member in walk order.
#include "report/stack_index.h"
#include "tracking/alloc_table.h"
#include <windows.h>
#include <string.h>

static uint32_t StackHash(const AllocRecord *record)
{
    uint32_t hash = 0x811C9DC5u;
    for (uint32_t i = 0; i < RecordDepth; ++i)
        hash = (hash ^ FoldAddress(record->frames[i])) * 0x01000193u + (hash >> 15);
    return hash;
}

// The slot of record's group, or the free slot where it would go.
static StackGroup *FindSlot(const StackIndex *index, const AllocRecord *record, uint32_t hash)
{
    for (uint32_t i = hash & index->mask;; i = (i + 1) & index->mask) {
        StackGroup *slot = &index->slots[i];
        if (!slot->leader || (slot->hash == hash && memcmp(slot->leader->frames, record->frames,
                                                           RecordDepth * sizeof(uintptr_t)) == 0))
            return slot;
    }
}

int BuildStackIndex(StackIndex *index)
{
    uint32_t live = 0;
    for (AllocRecord *head : AllocTable)
        for (AllocRecord *record = head; record; record = record->next)
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
    for (AllocRecord *head : AllocTable)
        for (AllocRecord *record = head; record; record = record->next) {
            if (record->kind != 1)
                continue;
            uint32_t hash = StackHash(record);
            StackGroup *slot = FindSlot(index, record, hash);
            if (!slot->leader) {
                slot->leader = record;
                slot->hash = hash;
            }
            ++slot->count;
            slot->bytes += record->size;
        }
    return 1;
}

uint32_t LedGroupCount(const StackIndex *index, const AllocRecord *record, size_t *bytes)
{
    const StackGroup *slot = FindSlot(index, record, StackHash(record));
    *bytes = slot->bytes;
    return slot->leader == record ? slot->count : 0;
}

void FreeStackIndex(StackIndex *index) { VirtualFree(index->slots, 0, MEM_RELEASE); }
