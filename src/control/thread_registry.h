// Per-thread nesting state of the interceptors and the bracket around every
// intercepted call.
#pragma once
#include <windows.h>
#include <stdint.h>
#include "tracking/record_slots.h"

struct ThreadEntry {
    uint32_t threadId;
    ThreadEntry *next;
    uint32_t depth;  // 0 fresh, else 1 + intercepted calls open on the thread
    RecordCache records;
};

enum : uint32_t { ThreadBucketCount = 63 };

extern HANDLE RegistryHeap;
extern ThreadEntry *ThreadRegistry[ThreadBucketCount];
extern volatile LONG InFlightCount;

inline uint32_t ThreadBucket(uint32_t threadId) { return (threadId >> 2) % ThreadBucketCount; }

// Clears the buckets and initialises the registry lock; RegistryHeap must exist.
void InitThreadRegistry();
ThreadEntry *CurrentThreadEntry();
void RemoveCurrentThreadEntry();
void EnterInterceptor(uint32_t *savedDepth);
void LeaveInterceptor(uint32_t savedDepth);
