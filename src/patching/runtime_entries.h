// Where the loaded C and C++ runtimes hand out memory: the entries of their
// allocating functions.
#pragma once
#include <stdint.h>

// Where a mingw program's own start-up ends, as its COFF symbol table (or,
// without one, its DWARF or PDB) names it: its main (or wmain, WinMain, wWinMain) and the start-up code's state
// variable (0 until that code has begun). Null where not found.
struct ProgramStart {
    void *main;
    const volatile uint32_t *startupState;
};

// Writes up to max distinct entries: the allocating exports of msvcrt.dll,
// ucrtbase.dll (which the api-ms-win-crt-* forwarders lead to) and
// libstdc++-6.dll, as far as they are loaded, and the operator new and
// new[] the main program links in itself, found in its COFF symbol table or,
// where it has none, in its DWARF or, through dbghelp, its PDB. Fills start
// from the same table, and ends with where each entry's function ends at the
// latest. Returns how many entries were written.
uint32_t FindRuntimeEntries(void **entries, uintptr_t *ends, uint32_t max, ProgramStart *start);

// For an entry that allocates only when a buffer is not given (_getcwd and
// the like): the position of that argument; -1 for the others.
int BufferArgument(void *entry);
