// Inline hooks: a five-byte jump over a function's entry and a trampoline
// that runs the displaced instructions.
#pragma once
#include <stdint.h>

struct HookRecord {
    void *detour;
    uint8_t *target;
    uint8_t trampoline[32];
    uint8_t savedBytes[32];
    uint32_t savedLength;
};

// slot holds the entry to hook; on success it holds the trampoline. Null
// with nothing changed on failure: ERROR_INVALID_PARAMETER for a null
// argument, ERROR_NOT_SUPPORTED for an entry whose first instructions cannot
// run faithfully from the trampoline (an opcode the copier does not copy, an
// instruction over 15 bytes, a short branch that no longer reaches, a return
// or jump that ends the function before five bytes, a branch back into the
// overwritten bytes), else the system's error.
HookRecord *InstallHook(void *detour, void **slot);
// 1 while the hooked entry still jumps to this record's detour, else 0.
int HookInPlace(const HookRecord *record);
// 1 when the entry bytes were restored and the record released, else 0.
int RemoveHook(HookRecord *record);
