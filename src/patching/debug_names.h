// Addresses of named functions and variables of a loaded module, from its
// debug information through dbghelp (a PDB found beside the module, at the
// path it records or through the symbol path), in a dbghelp session of its
// own that closes again: for programs whose image has no COFF symbol table.
#pragma once
#include <windows.h>

struct DebugNames {
    HANDLE session;  // 0: no debug information found
};

// With the host's symbol path, else dbghelp's default search.
void OpenDebugNames(HMODULE module, DebugNames *names);
// The address of a symbol by its linker name (x86 C names with their
// leading underscore); null when not found.
void *FindDebugName(const DebugNames &names, const char *name);
void CloseDebugNames(DebugNames *names);
