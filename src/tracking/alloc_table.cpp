// The record table: 127 buckets of AllocRecord chains under one lock.
#include "tracking/alloc_table.h"
#include "control/options.h"

AllocRecord *AllocTable[AllocBucketCount];
HANDLE RecordHeap;
uint32_t RecordDepth = DefaultStackDepth;
static CRITICAL_SECTION TableLock;

void ClearAllocTable()
{
    for (AllocRecord *&head : AllocTable)
        head = nullptr;
}

void InitTableLock() { InitializeCriticalSection(&TableLock); }
void DeleteTableLock() { DeleteCriticalSection(&TableLock); }

AllocRecord *NewRecord()
{
    // RecordDepth is bounded by MaxStackDepth, so the size cannot wrap.
    return static_cast<AllocRecord *>(
        HeapAlloc(RecordHeap, HEAP_ZERO_MEMORY, RecordDepth * sizeof(uint32_t) + 16));
}

void FreeRecord(AllocRecord *record) { HeapFree(RecordHeap, 0, record); }

// A heap never hands out a block that is still live: a record that holds the
// same address is stale (its release took a path no hook saw) and goes.
void InsertRecord(AllocRecord *record)
{
    AllocRecord **head = &AllocTable[AllocBucket(record->address)];
    AllocRecord *stale = nullptr;
    EnterCriticalSection(&TableLock);
    for (AllocRecord **link = head; *link; link = &(*link)->next) {
        if ((*link)->kind == record->kind && (*link)->address == record->address) {
            stale = *link;
            *link = stale->next;
            break;
        }
    }
    record->next = *head;
    *head = record;
    LeaveCriticalSection(&TableLock);
    if (stale)
        FreeRecord(stale);
}

AllocRecord *TakeRecord(uint32_t address, uint32_t kind)
{
    EnterCriticalSection(&TableLock);
    AllocRecord *found = nullptr;
    for (AllocRecord **link = &AllocTable[AllocBucket(address)]; *link; link = &(*link)->next) {
        AllocRecord *record = *link;
        if (record->kind == kind && record->address == address) {
            *link = record->next;
            found = record;
            break;
        }
    }
    LeaveCriticalSection(&TableLock);
    return found;
}
