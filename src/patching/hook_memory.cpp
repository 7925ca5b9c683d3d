// Hook records: on x86 any address is within a rel32 of any other; on x64
// the entry's jump, the trampoline's jump back and its re-based RIP-relative
// operands need the record within 2 GB of the hooked module. Blocks near a
// module are shared by the records for its entries and searched for with
// VirtualQuery below and above it; a block is given back once it holds no
// record.
#include "patching/hook_memory.h"

#include <string.h>
#include <windows.h>

#include "patching/inline_hook.h"

#if !defined(_WIN64)

HookRecord *NewHookRecord(const void *)
{
    return static_cast<HookRecord *>(
        VirtualAlloc(nullptr, sizeof(HookRecord), MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
}

void FreeHookRecord(HookRecord *record)
{
    VirtualFree(record, 0, MEM_RELEASE);
}

#else

namespace {

const uintptr_t BlockSize = 0x10000;  // the allocation granularity
// The farthest two bytes of a block and a module may lie apart: a rel32
// reaches 2 GB, less room for the offsets of instructions within them.
const uintptr_t Reach = 0x7FFF0000;

struct NearBlock {
    NearBlock *next;
};
const uint32_t SlotsPerBlock = (BlockSize - sizeof(NearBlock)) / sizeof(HookRecord);

NearBlock *Blocks;
SRWLOCK BlocksLock = SRWLOCK_INIT;

HookRecord *Slots(NearBlock *block)
{
    return reinterpret_cast<HookRecord *>(block + 1);
}

// The lowest and highest block base from which every byte of the allocation
// holding target is within Reach.
void Window(const void *target, uintptr_t *lowest, uintptr_t *highest)
{
    MEMORY_BASIC_INFORMATION info;
    uintptr_t low = uintptr_t(target), high = low + 1;
    if (VirtualQuery(target, &info, sizeof info)) {
        low = high = uintptr_t(info.AllocationBase);
        while (VirtualQuery(reinterpret_cast<void *>(high), &info, sizeof info) &&
               uintptr_t(info.AllocationBase) == low)
            high = uintptr_t(info.BaseAddress) + info.RegionSize;
    }
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    uintptr_t minimum = uintptr_t(system.lpMinimumApplicationAddress);
    uintptr_t maximum = uintptr_t(system.lpMaximumApplicationAddress) + 1 - BlockSize;
    *lowest = high > minimum + Reach ? high - Reach : minimum;
    *highest = low + Reach - BlockSize < maximum ? low + Reach - BlockSize : maximum;
}

// Commits a block at the free, aligned base, or null.
NearBlock *CommitAt(uintptr_t base, const MEMORY_BASIC_INFORMATION &info)
{
    if (info.State != MEM_FREE || base + BlockSize > uintptr_t(info.BaseAddress) + info.RegionSize)
        return nullptr;
    return static_cast<NearBlock *>(VirtualAlloc(reinterpret_cast<void *>(base), BlockSize,
                                                 MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
}

// The free block nearest below lowest..target, else above it, within the window.
NearBlock *AllocateNear(const void *target, uintptr_t lowest, uintptr_t highest)
{
    MEMORY_BASIC_INFORMATION info;
    uintptr_t at = uintptr_t(target) & ~(BlockSize - 1);
    while (at >= lowest + BlockSize) {
        uintptr_t base = at - BlockSize;
        if (!VirtualQuery(reinterpret_cast<void *>(base), &info, sizeof info))
            break;
        if (NearBlock *block = CommitAt(base, info))
            return block;
        // A region is reported from the page asked about on: below a taken
        // one, go on under its allocation; a free one is shorter than a block.
        at = info.State == MEM_FREE ? base : uintptr_t(info.AllocationBase) & ~(BlockSize - 1);
    }
    for (at = (uintptr_t(target) + BlockSize) & ~(BlockSize - 1); at <= highest;) {
        if (!VirtualQuery(reinterpret_cast<void *>(at), &info, sizeof info))
            break;
        if (NearBlock *block = CommitAt(at, info))
            return block;
        at = (uintptr_t(info.BaseAddress) + info.RegionSize + BlockSize - 1) & ~(BlockSize - 1);
    }
    return nullptr;
}

HookRecord *TakeSlot(NearBlock *block, const void *target)
{
    HookRecord *slots = Slots(block);
    for (uint32_t i = 0; i < SlotsPerBlock; ++i) {
        if (!slots[i].target) {
            slots[i].target = static_cast<uint8_t *>(const_cast<void *>(target));
            return &slots[i];
        }
    }
    return nullptr;
}

}  // namespace

// A slot is free while its target is null: the record is given out with
// target set, under the lock.
HookRecord *NewHookRecord(const void *target)
{
    uintptr_t lowest, highest;
    Window(target, &lowest, &highest);
    AcquireSRWLockExclusive(&BlocksLock);
    HookRecord *record = nullptr;
    for (NearBlock *block = Blocks; block && !record; block = block->next)
        if (uintptr_t(block) >= lowest && uintptr_t(block) <= highest)
            record = TakeSlot(block, target);
    if (!record) {
        if (NearBlock *block = AllocateNear(target, lowest, highest)) {
            block->next = Blocks;
            Blocks = block;
            record = TakeSlot(block, target);
        } else {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        }
    }
    ReleaseSRWLockExclusive(&BlocksLock);
    return record;
}

void FreeHookRecord(HookRecord *record)
{
    AcquireSRWLockExclusive(&BlocksLock);
    memset(record, 0, sizeof *record);
    for (NearBlock **link = &Blocks; *link; link = &(*link)->next) {
        NearBlock *block = *link;
        if (uintptr_t(record) - uintptr_t(block) >= BlockSize)
            continue;
        uint32_t used = 0;
        for (uint32_t i = 0; i < SlotsPerBlock; ++i)
            used += Slots(block)[i].target != nullptr;
        if (!used) {
            *link = block->next;
            VirtualFree(block, 0, MEM_RELEASE);
        }
        break;
    }
    ReleaseSRWLockExclusive(&BlocksLock);
}

#endif
