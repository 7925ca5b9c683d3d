// An index of the live records' stacks for one dump: finds each record's
// group in constant time instead of a scan of the whole table.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct AllocRecord;

struct StackGroup {
    AllocRecord *leader;  // the group's first record in walk order, null for a free slot
    uint32_t count;
    uint32_t stack;  // the group's StackRef
    size_t bytes;  // the sizes of its blocks, summed
};

struct StackIndex {
    StackGroup *slots;  // VirtualAlloc memory, never the process heap
    uint32_t mask;
};

// Groups every record of kind 1 by its stack; 0 when the memory for the index
// cannot be had.
int BuildStackIndex(StackIndex *index);
// The size of record's group when record leads it, else 0: the record then
// belongs to the group of a record met earlier in the walk. bytes: the sizes
// of the group's blocks, summed.
uint32_t LedGroupCount(const StackIndex *index, const AllocRecord *record, size_t *bytes);
void FreeStackIndex(StackIndex *index);
