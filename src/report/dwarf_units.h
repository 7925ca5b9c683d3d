// The parts of DWARF 2-5 .debug_info that the line reader needs: the compile
// units and the addresses each covers, and, per unit, the outermost inlined
// calls (where the containing function's own source line is the call's).
// Everything is read straight from the mapped image file; what a unit needs
// is decoded when a frame first falls into it.
#pragma once
#include "report/address_intervals.h"
#include "report/dwarf_forms.h"
#include "report/scratch_arena.h"

// Every compile unit, and their address ranges (value: the unit's index).
int ReadUnits(const DwarfSections &sections, ScratchArena *arena, DwarfUnit **units, uint32_t *count,
              IntervalIndex *ranges);
// A unit's outermost inlined calls (value: call file, extra: call line).
int ReadInlineSites(const DwarfSections &sections, const DwarfUnit &unit, ScratchArena *arena, IntervalIndex *sites);

