// The leak report: records still in the table, grouped by identical stack.
#pragma once
#include <stdint.h>

struct AllocRecord;

uint32_t DumpLeaks();
// Walks the records as FreezeAllocTable sorted them.
uint32_t CountDuplicates(AllocRecord *record, size_t *bytes = nullptr);
