// The interceptors of the ten allocator functions and their hooks.
#pragma once
#include <windows.h>
#include <stdint.h>

// In the fixed order of installation and removal. FnHeapDestroy is ntdll's
// RtlDestroyHeap, which kernelbase's HeapDestroy calls.
enum AllocatorFunction : uint32_t {
    FnHeapAlloc, FnHeapReAlloc, FnHeapFree, FnHeapDestroy,
    FnGlobalAlloc, FnGlobalReAlloc, FnGlobalFree,
    FnLocalAlloc, FnLocalReAlloc, FnLocalFree,
    AllocatorFunctionCount
};

struct HookRecord;
struct FrozenThread;

// The ten entries as this library's import table binds them.
extern void *ImportedEntry[AllocatorFunctionCount];
// What an interceptor calls: the import address, or the trampoline while hooked.
extern void *RealEntry[AllocatorFunctionCount];
extern HookRecord *AllocatorHook[AllocatorFunctionCount];

// Hooks each function where its work is done (past import stubs), else at
// its imported entry; 1 when all ten are in place. Records are kept across
// runs and reused.
int InstallAllocatorHooks();
// Removes the ten hooks with every other thread suspended, and calls
// inspect for each suspended thread once the entries are restored.
void RemoveAllocatorHooks(void (*inspect)(const FrozenThread *, void *), void *context);
void *ReKeyHeapBlock(HANDLE heap, DWORD flags, void *block, SIZE_T bytes);
