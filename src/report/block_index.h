// The recorded blocks sorted by address for the reachability scan: which
// block a word points into, the marks, and the work list of marked blocks
// whose words are still to be read.
#pragma once
#include <windows.h>
#include <stdint.h>
#include <string.h>

struct Span {
    uintptr_t begin, end;
};

// A growable array in VirtualAlloc memory: the scan uses none of the
// program's heaps. Growing needs VirtualAlloc, so not while threads are
// suspended.
template <typename T> struct Array {
    T *items;
    uint32_t count, capacity;
};

template <typename T> bool Reserve(Array<T> *array, uint32_t capacity)
{
    void *memory = VirtualAlloc(nullptr, (capacity ? capacity : 1) * sizeof(T), MEM_COMMIT | MEM_RESERVE,
                                PAGE_READWRITE);
    if (!memory)
        return false;
    if (array->items) {
        memcpy(memory, array->items, array->count * sizeof(T));
        VirtualFree(array->items, 0, MEM_RELEASE);
    }
    array->items = static_cast<T *>(memory);
    array->capacity = capacity;
    return true;
}

template <typename T> bool Push(Array<T> *array, const T &item)
{
    if (array->count == array->capacity && !Reserve(array, array->capacity ? 2 * array->capacity : 1024))
        return false;
    array->items[array->count++] = item;
    return true;
}

template <typename T> void Release(Array<T> *array)
{
    if (array->items)
        VirtualFree(array->items, 0, MEM_RELEASE);
    *array = Array<T>{};
}

// Indexes every record of the frozen table, unmarked. A movable Global or
// Local block is recorded by its handle: it is found by the handle's value
// and by any address inside its data, and its data is what is read. False
// when the memory cannot be had.
bool IndexBlocks();
void ReleaseBlockIndex();
// Whether an indexed block begins inside span (a heap block that is recorded,
// or holds a recorded movable block's data).
bool HoldsIndexedBlock(const Span &span);
bool IsMarked(uintptr_t address);

// Marks the block that each aligned pointer-sized word of [begin, end)
// points into (startsOnly: whose first byte it points to). Reads the
// memory: the caller makes sure it is there.
void ScanWords(uintptr_t begin, uintptr_t end, bool startsOnly = false);
// Takes a marked block off the work list: false when none is left.
bool NextMarkedContent(Span *content);
