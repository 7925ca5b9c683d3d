// Where the loaded C and C++ runtimes hand out memory: the entries of their
// allocating functions.
#pragma once
#include <stdint.h>

// Writes up to max distinct entries: the allocating exports of msvcrt.dll,
// ucrtbase.dll (which the api-ms-win-crt-* forwarders lead to) and
// libstdc++-6.dll, as far as they are loaded, and the operator new and
// new[] the main program links in itself, found in its COFF symbol table.
// Returns how many were written.
uint32_t FindRuntimeEntries(void **entries, uint32_t max);
