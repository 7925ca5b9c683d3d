// The nearest exported name below an address, from the export table of the
// loaded module that holds it: a readable frame for modules the symbol
// handler knows nothing about (no debug information, no export symbols).
#pragma once
#include <stdint.h>

// Writes the module's base name (260 wide characters) and the export's name
// (up to nameChars wide characters) and sets offset to the distance from the
// export; 0 when the address is in no module, below every named export, or
// outside the function of the nearest one.
int FindExportBelow(uintptr_t address, wchar_t *moduleName, wchar_t *name, uint32_t nameChars, uint32_t *offset);
