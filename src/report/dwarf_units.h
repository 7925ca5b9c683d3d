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

// Calls visit for every function and variable that a unit defines at its
// top level, by the name it is linked by (its linkage name where it has one),
// with its address and where its code ends (a variable's end is its address).
int VisitUnitNames(const DwarfSections &sections, const DwarfUnit *units, uint32_t count, ScratchArena *arena,
                   void (*visit)(const char *name, uint64_t address, uint64_t end, void *context), void *context);
// A unit's functions and the namespaces and classes around its DIEs, read
// when a function is first named in the unit.
struct DwarfAbbrev;
struct UnitNames {
    const DwarfAbbrev *abbrevs;  // by code, below limit
    uint32_t limit;
    IntervalIndex functions;  // code ranges; value: the function's DIE, as an offset in the unit
    IntervalIndex scopes;     // DIE extents in the unit; value: the scope's DIE, extra: the scope around it (0: none)
};
int ReadUnitNames(const DwarfSections &sections, const DwarfUnit &unit, ScratchArena *arena, UnitNames *names);
// The name of the function whose code holds pc, qualified by its namespaces
// and classes (UTF-8, cut to bytes), and where the code range that holds pc begins.
int FunctionNameAt(const DwarfSections &sections, const DwarfUnit &unit, const UnitNames &names, uint64_t pc,
                   char *out, uint32_t bytes, uint64_t *start);
