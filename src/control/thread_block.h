// The calling thread's own fields, read straight from its TEB (no call, no
// lock: they are on the path of every allocation). The one place that knows
// the two layouts, which Wine shares with Windows: fs-relative on x86,
// gs-relative on x64.
#pragma once
#include <windows.h>
#include <stdint.h>

#if defined(_WIN64)
#define TEB_SEGMENT "gs"
// 64 TLS slots at 0x1480, the expansion array's pointer at 0x1780.
enum : uint32_t {
    TebSelfOffset = 0x30, StackBaseOffset = 8, StackLimitOffset = 0x10, ThreadIdOffset = 0x48,
    LastErrorOffset = 0x68, TlsSlotsOffset = 0x1480, TlsExpansionOffset = 0x1780
};
#else
#define TEB_SEGMENT "fs"
// 64 TLS slots at 0xE10, the expansion array's pointer at 0xF94.
enum : uint32_t {
    TebSelfOffset = 0x18, StackBaseOffset = 4, StackLimitOffset = 8, ThreadIdOffset = 0x24,
    LastErrorOffset = 0x34, TlsSlotsOffset = 0xE10, TlsExpansionOffset = 0xF94
};
#endif

// One field of the calling thread's TEB; the register's width gives the
// access size. Volatile: the thread's own calls change these fields.
template <uint32_t Offset, typename T> inline T OwnTebField()
{
    T value;
    __asm__ __volatile__("mov %%" TEB_SEGMENT ":%c1, %0" : "=r"(value) : "i"(Offset));
    return value;
}

inline uintptr_t OwnTeb() { return OwnTebField<TebSelfOffset, uintptr_t>(); }
inline uint32_t OwnThreadId() { return OwnTebField<ThreadIdOffset, uint32_t>(); }
inline uint32_t OwnLastError() { return OwnTebField<LastErrorOffset, uint32_t>(); }
inline uintptr_t OwnStackBase() { return OwnTebField<StackBaseOffset, uintptr_t>(); }
inline uintptr_t OwnStackLimit() { return OwnTebField<StackLimitOffset, uintptr_t>(); }

inline void SetOwnLastError(uint32_t error)
{
    __asm__ __volatile__("mov %0, %%" TEB_SEGMENT ":%c1" : : "r"(error), "i"(LastErrorOffset) : "memory");
}

inline void *OwnTlsSlot(uint32_t slot)
{
    void *value;
    __asm__ __volatile__("mov %%" TEB_SEGMENT ":(%1), %0"
                         : "=r"(value)
                         : "r"(uintptr_t(TlsSlotsOffset) + sizeof(void *) * slot));
    return value;
}
#undef TEB_SEGMENT

enum : uint32_t { TlsMinimumSlots = 64 };

// The calling thread's cell of a TLS slot, or null when it has none yet (an
// expansion slot whose array TlsSetValue has not allocated). Never calls
// TlsSetValue: it may allocate, which may come back through the hooks.
inline void *volatile *OwnTlsCell(uint32_t slot)
{
    uintptr_t teb = OwnTeb();
    if (slot < TlsMinimumSlots)
        return reinterpret_cast<void *volatile *>(teb + TlsSlotsOffset) + slot;
    if (slot == TLS_OUT_OF_INDEXES)
        return nullptr;
    auto *expansion = *reinterpret_cast<void *volatile **>(teb + TlsExpansionOffset);
    return expansion ? expansion + (slot - TlsMinimumSlots) : nullptr;
}
