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

void InsertRecord(AllocRecord *record)
{
    AllocRecord **head = &AllocTable[AllocBucket(record->address)];
    EnterCriticalSection(&TableLock);
    record->next = *head;
    *head = record;
    LeaveCriticalSection(&TableLock);
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
