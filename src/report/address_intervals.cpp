#include "report/address_intervals.h"
#include <stdint.h>

int BuildIntervalIndex(ScratchArena *arena, Interval *items, uint32_t count, IntervalIndex *index)
{
    // Heap sort by lo: no recursion, no extra memory.
    auto less = [&](uint32_t a, uint32_t b) { return items[a].lo < items[b].lo; };
    auto sift = [&](uint32_t root, uint32_t size) {
        for (uint32_t child; (child = 2 * root + 1) < size; root = child) {
            if (child + 1 < size && less(child, child + 1))
                child++;
            if (!less(root, child))
                return;
            Interval swap = items[root];
            items[root] = items[child];
            items[child] = swap;
        }
    };
    for (uint32_t i = count / 2; i-- > 0;)
        sift(i, count);
    for (uint32_t size = count; size > 1; size--) {
        Interval swap = items[0];
        items[0] = items[size - 1];
        items[size - 1] = swap;
        sift(0, size - 1);
    }
    index->items = items;
    index->count = count;
    index->maxHi = static_cast<uint64_t *>(ArenaAlloc(arena, (count ? count : 1) * sizeof(uint64_t)));
    if (!index->maxHi)
        return 0;
    for (uint32_t i = 0; i < count; i++)
        index->maxHi[i] = i && index->maxHi[i - 1] > items[i].hi ? index->maxHi[i - 1] : items[i].hi;
    return 1;
}

const Interval *FindInterval(const IntervalIndex &index, uint64_t pc)
{
    uint32_t low = 0, high = index.count;  // the first item with lo > pc
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (index.items[middle].lo <= pc)
            low = middle + 1;
        else
            high = middle;
    }
    for (uint32_t i = low; i-- > 0 && index.maxHi[i] > pc;)
        if (index.items[i].hi > pc)
            return &index.items[i];
    return nullptr;
}

