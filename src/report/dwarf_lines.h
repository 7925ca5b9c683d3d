// Source file and line of code addresses in modules that carry DWARF, read
// by the library itself: Windows' dbghelp reads no DWARF, and Wine's none
// of version 5, so this is the one answer for such modules everywhere.
// A module's tables are read when a frame in it is first resolved, and only
// for the units that frames fall into; they live until EndDwarfLines.
#pragma once
#include <stddef.h>
#include <stdint.h>

enum DwarfAnswer {
    DwarfNoModule,  // no DWARF lines: ask the symbol handler
    DwarfNoLine,    // the module carries DWARF, but nothing covers the address
    DwarfLine,
};

// For code at address in a loaded module: the source path as recorded
// (UTF-8, directories joined, at most pathBytes with the terminating zero)
// and the line. In inlined code, the line of the outermost inlined call:
// the line as written in the function that holds the code.
DwarfAnswer DwarfLineOf(uintptr_t address, char *path, uint32_t pathBytes, uint32_t *line);
// Whether the loaded module that holds address carries DWARF lines.
bool InDwarfModule(uintptr_t address);
// The same for an address as the image file at path states it (its
// preferred base), whether or not it is loaded.
DwarfAnswer DwarfLineInFile(const wchar_t *path, uint64_t address, char *out, uint32_t pathBytes, uint32_t *line);
// Unmaps the files and releases every table.
void EndDwarfLines();
// The bytes the tables hold now.
size_t DwarfLinesMemory();
