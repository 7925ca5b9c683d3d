// A hash table from address to the frame's pieces, stored one after another
// as terminated strings and closed by an empty one. Everything lives in
// VirtualAlloc memory for one dump; when memory runs out, frames are simply
// resolved again.
#include "report/frame_cache.h"
#include "control/library.h"
#include "tracking/alloc_table.h"
#include <string.h>

namespace {

struct CachedFrame {
    uintptr_t address;  // 0: free slot (a stack never holds address 0)
    const wchar_t *pieces;
};

enum : uint32_t {
    FirstCapacity = 4096,
    ChunkBytes = 256 * 1024,
    EntryChars = 6144,  // room for every piece of the longest frame line
};

struct Chunk {
    Chunk *previous;
    uint32_t used;  // bytes, the header included
};

CachedFrame *Table;
uint32_t Capacity, Count;
Chunk *Chunks;

wchar_t Staging[EntryChars];
uint32_t StagedChars;
uintptr_t OpenAddress;  // 0 while no entry is being collected
bool StagingFull;

// Fibonacci hashing: the high bits of the product, which every address bit
// reaches (code addresses share their low bits far too often).
uint32_t Slot(uintptr_t address, uint32_t capacity)
{
    uint32_t bits = 31 - __builtin_clz(capacity);
    return (FoldAddress(address) * 2654435761u) >> (32 - bits);
}

void *Reserve(uint32_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE); }

bool Grow()
{
    uint32_t capacity = Capacity ? Capacity * 2 : FirstCapacity;
    auto *table = static_cast<CachedFrame *>(Reserve(capacity * sizeof(CachedFrame)));
    if (!table)
        return false;
    for (uint32_t i = 0; i < Capacity; i++) {
        if (!Table[i].address)
            continue;
        uint32_t slot = Slot(Table[i].address, capacity);
        while (table[slot].address)
            slot = (slot + 1) & (capacity - 1);
        table[slot] = Table[i];
    }
    if (Table)
        VirtualFree(Table, 0, MEM_RELEASE);
    Table = table;
    Capacity = capacity;
    return true;
}

wchar_t *Store(const wchar_t *pieces, uint32_t chars)
{
    uint32_t bytes = chars * sizeof(wchar_t);
    if (!Chunks || Chunks->used + bytes > ChunkBytes) {
        auto *chunk = static_cast<Chunk *>(Reserve(ChunkBytes));
        if (!chunk)
            return nullptr;
        chunk->previous = Chunks;
        chunk->used = sizeof(Chunk);
        Chunks = chunk;
    }
    auto *copy = reinterpret_cast<wchar_t *>(reinterpret_cast<char *>(Chunks) + Chunks->used);
    memcpy(copy, pieces, bytes);
    Chunks->used += (bytes + 3) & ~3u;
    return copy;
}

}  // namespace

void BeginFrameCache()
{
    EndFrameCache();
    Grow();
}

void EndFrameCache()
{
    if (Table)
        VirtualFree(Table, 0, MEM_RELEASE);
    Table = nullptr;
    Capacity = Count = 0;
    while (Chunks) {
        Chunk *previous = Chunks->previous;
        VirtualFree(Chunks, 0, MEM_RELEASE);
        Chunks = previous;
    }
}

int ReplayFrame(uintptr_t address)
{
    if (!Table)
        return 0;
    for (uint32_t slot = Slot(address, Capacity); Table[slot].address; slot = (slot + 1) & (Capacity - 1)) {
        if (Table[slot].address != address)
            continue;
        for (const wchar_t *piece = Table[slot].pieces; *piece; piece += lstrlenW(piece) + 1)
            WriteMessage(piece);
        return 1;
    }
    return 0;
}

void BeginFrameEntry(uintptr_t address)
{
    OpenAddress = Table ? address : 0;
    StagedChars = 0;
    StagingFull = false;
}

void WriteFramePiece(const wchar_t *piece)
{
    WriteMessage(piece);
    if (!OpenAddress || !*piece)
        return;
    uint32_t chars = lstrlenW(piece) + 1;
    if (StagedChars + chars + 1 > EntryChars) {
        StagingFull = true;
        return;
    }
    memcpy(Staging + StagedChars, piece, chars * sizeof(wchar_t));
    StagedChars += chars;
}

void EndFrameEntry()
{
    uintptr_t address = OpenAddress;
    OpenAddress = 0;
    if (!address || StagingFull || StagedChars == 0)
        return;
    if (2 * (Count + 1) > Capacity && !Grow())
        return;
    Staging[StagedChars++] = 0;
    const wchar_t *pieces = Store(Staging, StagedChars);
    if (!pieces)
        return;
    uint32_t slot = Slot(address, Capacity);
    while (Table[slot].address)
        slot = (slot + 1) & (Capacity - 1);
    Table[slot] = {address, pieces};
    Count++;
}
