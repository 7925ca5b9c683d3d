// The main program's COFF symbol table, which mingw's linker leaves in the
// file but not in the loaded image: read through a mapping of the file, with
// no symbol handler.
#pragma once
#include <stdint.h>

struct CoffSymbol {
    const char *name;       // C names without x86's leading underscore
    uintptr_t address;      // in the loaded image
    uintptr_t sectionEnd;   // where its section ends in the loaded image
    bool code;              // in a code section
    bool external;
};

// Calls visit for each symbol of the table that lies inside one of the
// image's sections. False when the program has no table; a table that does
// not fit the file is not read. Only the file header is read, which PE32 and
// PE32+ share.
bool VisitProgramSymbols(void (*visit)(const CoffSymbol &symbol, void *context), void *context);
