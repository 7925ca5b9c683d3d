// Source file and line of code addresses in modules that carry DWARF, read
// by the library itself: Windows' dbghelp reads no DWARF, and Wine's none
// of version 5, so this is the one answer for such modules everywhere.
// A module's tables are read when a frame in it is first resolved, and only
// for the units that frames fall into; they live until EndDwarfLines.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <windows.h>

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
// The function that holds address, in a loaded module with DWARF: its name
// qualified by namespaces and classes (UTF-8), and address's distance from
// the start of its code; 0 when DWARF names none.
int DwarfFunctionOf(uintptr_t address, char *name, uint32_t nameBytes, uint32_t *displacement);
// The same from the COFF symbol table of such a module, for code that its
// DWARF does not cover (a static library's): the name as linked, less x86's
// decoration.
int CoffFunctionOf(uintptr_t address, char *name, uint32_t nameBytes, uint32_t *displacement);
// Calls visit for every function and variable that the DWARF of a loaded
// module defines at a unit's top level: its linkage name (else its name),
// its loaded address, and where its code ends (a variable's end is its
// address). 0 when the image carries none.
int VisitDwarfNames(HMODULE image, void (*visit)(const char *name, uintptr_t address, uintptr_t end, void *context),
                    void *context);
// Whether the loaded module that holds address carries DWARF lines.
bool InDwarfModule(uintptr_t address);
// The same for an address as the image file at path states it (its
// preferred base), whether or not it is loaded.
DwarfAnswer DwarfLineInFile(const wchar_t *path, uint64_t address, char *out, uint32_t pathBytes, uint32_t *line);
// Unmaps the files and releases every table.
void EndDwarfLines();
// The bytes the tables hold now.
size_t DwarfLinesMemory();
