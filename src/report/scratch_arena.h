// Memory for tables that live as long as one dump: bump allocation from
// VirtualAlloc chunks, released all at once (the library's bookkeeping uses
// neither the process heap nor the C runtime's).
#pragma once
#include <stddef.h>

struct ScratchChunk;

struct ScratchArena {
    ScratchChunk *chunks;
    size_t committed;  // bytes held, for the benchmark's figure
};

// Zeroed, 8-byte aligned; null when memory runs out.
void *ArenaAlloc(ScratchArena *arena, size_t bytes);
void FreeArena(ScratchArena *arena);
