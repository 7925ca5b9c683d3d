// The calling thread's own fields, read straight from its TEB (no call, no
// lock: they are on the path of every allocation). The one place that knows
// the two layouts, which Wine shares with Windows: fs-relative on x86,
// gs-relative on x64.
#pragma once
#include <windows.h>
#include <stdint.h>

#if defined(_WIN64)
// 64 TLS slots at 0x1480, the expansion array's pointer at 0x1780.
enum : uint32_t { TlsSlotsOffset = 0x1480, TlsExpansionOffset = 0x1780 };

inline uintptr_t OwnTeb()
{
    uintptr_t teb;
    __asm__("movq %%gs:0x30, %0" : "=r"(teb));
    return teb;
}

inline uint32_t OwnThreadId()
{
    uint32_t id;
    __asm__ __volatile__("movl %%gs:0x48, %0" : "=r"(id));
    return id;
}

inline uint32_t OwnLastError()
{
    uint32_t error;
    __asm__ __volatile__("movl %%gs:0x68, %0" : "=r"(error));
    return error;
}

inline void SetOwnLastError(uint32_t error) { __asm__ __volatile__("movl %0, %%gs:0x68" : : "r"(error) : "memory"); }

inline uintptr_t OwnStackBase()
{
    uintptr_t base;
    __asm__("movq %%gs:8, %0" : "=r"(base));
    return base;
}

inline uintptr_t OwnStackLimit()
{
    uintptr_t limit;
    __asm__("movq %%gs:0x10, %0" : "=r"(limit));
    return limit;
}

inline void *OwnTlsSlot(uint32_t slot)
{
    void *value;
    __asm__ __volatile__("movq %%gs:(%1), %0" : "=r"(value) : "r"(uintptr_t(TlsSlotsOffset + 8 * slot)));
    return value;
}
#else
// 64 TLS slots at 0xE10, the expansion array's pointer at 0xF94.
enum : uint32_t { TlsSlotsOffset = 0xE10, TlsExpansionOffset = 0xF94 };

inline uintptr_t OwnTeb()
{
    uintptr_t teb;
    __asm__("movl %%fs:0x18, %0" : "=r"(teb));
    return teb;
}

inline uint32_t OwnThreadId()
{
    uint32_t id;
    __asm__ __volatile__("movl %%fs:0x24, %0" : "=r"(id));
    return id;
}

inline uint32_t OwnLastError()
{
    uint32_t error;
    __asm__ __volatile__("movl %%fs:0x34, %0" : "=r"(error));
    return error;
}

inline void SetOwnLastError(uint32_t error) { __asm__ __volatile__("movl %0, %%fs:0x34" : : "r"(error) : "memory"); }

inline uintptr_t OwnStackBase()
{
    uintptr_t base;
    __asm__("movl %%fs:4, %0" : "=r"(base));
    return base;
}

inline uintptr_t OwnStackLimit()
{
    uintptr_t limit;
    __asm__("movl %%fs:8, %0" : "=r"(limit));
    return limit;
}

inline void *OwnTlsSlot(uint32_t slot)
{
    void *value;
    __asm__ __volatile__("movl %%fs:(%1), %0" : "=r"(value) : "r"(TlsSlotsOffset + 4 * slot));
    return value;
}
#endif

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
