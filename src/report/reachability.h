// Lost or still reachable: which recorded blocks the program can still reach
// through the pointers in its memory, for the classifying report.
#pragma once
#include <stdint.h>

struct AllocRecord;

// Scans the program's memory and classifies every record of the frozen table
// (FreezeAllocTable). callerStack: the lowest address of the calling thread's
// stack that lies above the library's frames. Suspends the other threads
// while their stacks are read, unless they have ended (WalkHeapsBeforeExit).
// False, with no classes, when the memory for the scan cannot be had.
bool ClassifyRecords(uintptr_t callerStack);
// True from a ClassifyRecords that succeeded until ForgetClasses.
bool RecordsClassified();
bool IsReachable(const AllocRecord *record);
void ForgetClasses();
// At process exit, before the other threads are ended: walks the heaps now,
// while no ended thread can hold a heap's lock, for the exit dump, which
// then leaves the other threads' stacks out. exitSlot: where on the exiting
// thread's stack the program's own call that began the exit left its return
// address (0: not known); the exit dump reads that stack from there up only.
void WalkHeapsBeforeExit(uintptr_t exitSlot);
