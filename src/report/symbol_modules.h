// Loading a module into the symbol handler when a lookup finds it unknown.
// Some dbghelp builds learn nothing from SymRefreshModuleList; this keeps the
// report resolving there, and tries each module at most once per dump.
#pragma once
#include <stdint.h>

// Starts a new dump: every module may be tried once again.
void ForgetSymbolModuleLoads();
// Loads the module that holds address into the symbol handler, unless it was
// tried already in this dump; nonzero when it was loaded now.
int LoadSymbolModuleOf(uintptr_t address);
