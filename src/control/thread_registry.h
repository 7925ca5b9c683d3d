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

inline uint32_t ThreadBucket(uint32_t threadId) { return (threadId >> 2) % ThreadBucketCount; }

// Clears the buckets, initialises the registry lock and takes the TLS slot
// that leads each thread to its entry; RegistryHeap must exist.
void InitThreadRegistry();
ThreadEntry *CurrentThreadEntry();
void RemoveCurrentThreadEntry();
void EnterInterceptor(uint32_t *savedDepth);
void LeaveInterceptor(uint32_t savedDepth);
// Whether the thread whose TEB is at teb has a bracket open or is creating
// its entry. Reads only that thread's TLS slot and entry: safe while the
// thread is suspended, whatever lock it holds.
bool ThreadInsideBracket(uint32_t teb);
