// A unit's line table as the line reader keeps it.
#pragma once
#include "report/address_intervals.h"
#include "report/dwarf_forms.h"
#include "report/scratch_arena.h"

struct LineRow {
    uint64_t address;
    uint32_t file, line;
};

struct FileEntry {
    const char *name;
    uint32_t directory;
};

struct LineTable {
    LineRow *rows;
    IntervalIndex sequences;  // value: first row, extra: rows, the end row included
    const char **directories;
    uint32_t directoryCount;
    FileEntry *files;
    uint32_t fileCount;
    uint32_t firstFile;  // file numbers count from 1 before DWARF 5, from 0 since
    const char *compDir;
};

// Reads the table of unit (arena memory); false when it cannot be read.
bool ReadLineTable(const DwarfSections &sections, const DwarfUnit &unit, ScratchArena *arena, LineTable *table);
// Directory and name of a file of the table joined as the table states them;
// false when the file number is not in the table or the path does not fit.
bool JoinPath(const LineTable &table, uint32_t file, char *out, uint32_t bytes);
