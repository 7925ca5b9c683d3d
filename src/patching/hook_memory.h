// Where hook records live: executable memory from which a five-byte jump
// reaches the hooked code and back.
#pragma once

struct HookRecord;

// A zeroed, executable record whose every byte a rel32 reaches from the
// whole allocation that holds target (its module) and back. x86: a
// VirtualAlloc of its own, anywhere. x64: a slot of a 64 KB block allocated
// within 2 GB of that allocation and shared by the records near it. Null
// when none can be had: the allocation's last-error value, or on x64
// ERROR_NOT_ENOUGH_MEMORY when no free address range lies within reach.
HookRecord *NewHookRecord(const void *target);
// Gives back a record that was never reachable from any entry.
void FreeHookRecord(HookRecord *record);
