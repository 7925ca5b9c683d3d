// The table of live recorded blocks, one record per block, on a private heap
// that lives for one recording run.
#pragma once
#include <windows.h>
#include <stdint.h>

struct AllocRecord {
    AllocRecord *next;
    uint32_t address;
    uint32_t size;
    uint32_t kind;  // 1 live, 0 counted into a duplicate group by the dump
    uint32_t frames[1];  // RecordDepth entries, innermost first, 0-padded
};

enum : uint32_t { AllocBucketCount = 127 };

extern AllocRecord *AllocTable[AllocBucketCount];
extern HANDLE RecordHeap;
// Frames per record for the current run: the stackDepth option as it was at
// TarnwickStart, so records, capture and dump agree whatever happens later.
extern uint32_t RecordDepth;

inline uint32_t AllocBucket(uint32_t address)
{
    return ((address >> 3) ^ (address >> 16)) % AllocBucketCount;
}

void ClearAllocTable();
void InitTableLock();
void DeleteTableLock();
AllocRecord *NewRecord();
void FreeRecord(AllocRecord *record);
void InsertRecord(AllocRecord *record);
AllocRecord *TakeRecord(uint32_t address, uint32_t kind);
