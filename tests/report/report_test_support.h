// Shared helpers of the report tests.
#pragma once
#include <stdint.h>
#include <string>

// A return address inside this test program and the source line it belongs to.
uintptr_t AddressWithLine(int *line, const char **file);
// The path under which the symbol handler names this test's source files.
std::string WinePathOf(const char *file);
// Opens the symbol handler if needed and makes it look like after a stop:
// module list refreshed, a new dump begun.
void PrepareSymbolHandler();
