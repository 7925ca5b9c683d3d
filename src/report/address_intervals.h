// Address ranges with two values each, sorted for look-up: the units of a
// module, the sequences of a line table, the inlined calls of a unit.
#pragma once
#include "report/scratch_arena.h"
#include <stdint.h>

// An address range with two values: the unit index, or an inlined call's file and line.
struct Interval {
    uint64_t lo, hi;
    uint32_t value, extra;
};

struct IntervalIndex {
    Interval *items;   // sorted by lo
    uint64_t *maxHi;   // the highest end among items[0..i]
    uint32_t count;
};

// Takes items (arena memory) and sorts them; 0 when memory runs out.
int BuildIntervalIndex(ScratchArena *arena, Interval *items, uint32_t count, IntervalIndex *index);
// The innermost-starting interval holding pc, or null.
const Interval *FindInterval(const IntervalIndex &index, uint64_t pc);

