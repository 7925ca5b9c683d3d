#include "report/scratch_arena.h"
#include <windows.h>

struct ScratchChunk {
    ScratchChunk *previous;
    size_t used, size;
};

enum : size_t { ChunkBytes = 1024 * 1024 };

void *ArenaAlloc(ScratchArena *arena, size_t bytes)
{
    bytes = (bytes + 7) & ~size_t(7);
    ScratchChunk *chunk = arena->chunks;
    if (!chunk || chunk->size - chunk->used < bytes) {
        size_t size = bytes + sizeof(ScratchChunk) > ChunkBytes ? bytes + sizeof(ScratchChunk) : ChunkBytes;
        if (size < bytes)
            return nullptr;
        chunk = static_cast<ScratchChunk *>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (!chunk)
            return nullptr;
        chunk->previous = arena->chunks;
        chunk->used = (sizeof(ScratchChunk) + 7) & ~size_t(7);
        chunk->size = size;
        arena->chunks = chunk;
        arena->committed += size;
    }
    void *at = reinterpret_cast<char *>(chunk) + chunk->used;
    chunk->used += bytes;
    return at;
}

void FreeArena(ScratchArena *arena)
{
    while (arena->chunks) {
        ScratchChunk *previous = arena->chunks->previous;
        VirtualFree(arena->chunks, 0, MEM_RELEASE);
        arena->chunks = previous;
    }
    arena->committed = 0;
}
