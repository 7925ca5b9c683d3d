// Inline hooks: a five-byte jump over a function's entry and a trampoline
// that runs the displaced instructions.
#pragma once
#include <stdint.h>

struct FrozenThread;

struct HookRecord {
    void *detour;
    uint8_t *target;
    uint8_t trampoline[32];
    uint8_t savedBytes[32];
    uint32_t savedLength;
#if defined(_WIN64)
    // jmp [rip+0] and the detour's address: what the entry's jump leads to,
    // since the detour may lie farther than a rel32 reaches.
    uint8_t relay[14];
#endif
};

// A record is kept for the life of the process once made: a thread may
// still run its trampoline, or be about to, long after the hook is removed.
// slot holds the entry to hook; on success it holds the trampoline. Null
// with nothing changed on failure: ERROR_INVALID_PARAMETER for a null
// argument, ERROR_NOT_SUPPORTED for an entry whose first instructions cannot
// run faithfully from the trampoline (an opcode the copier does not copy, an
// instruction over 15 bytes, a short branch that no longer reaches, a return
// or jump that ends the function before five bytes, a call that would return
// into those bytes, a branch back into the overwritten bytes, on x64 a
// RIP-relative operand the trampoline cannot reach), ERROR_NOT_ENOUGH_MEMORY
// on x64 when no memory within 2 GB of the entry's module can be had for the
// record (see NewHookRecord), else the system's error. The batch below with
// one hook.
HookRecord *InstallHook(void *detour, void **slot);
// 1 while the hooked entry still jumps to this record's detour, else 0.
int HookInPlace(const HookRecord *record);
// 1 when the entry bytes were restored, else 0. The record is kept.
int RemoveHook(HookRecord *record);

struct HookRequest {
    void *detour;
    void **slot;
    HookRecord **record;
};

// Installs the hooks, on distinct entries, with every other thread suspended
// once for all of them. *record null: a new record is made; a record from an
// earlier install on the same entry is reused while the entry still holds
// the bytes it saved (else it stays alive and a new one is made). A thread
// stopped inside the bytes the jump overwrites continues at the same
// instruction in the trampoline. Result: the number installed; one that
// cannot be installed leaves its slot and *record as they were and sets the
// last-error value as InstallHook does (ERROR_ALREADY_EXISTS while the entry
// still carries the given record's jump).
uint32_t InstallHooks(HookRequest *requests, uint32_t count);
// Removes the hooks held in *record, with every other thread suspended once:
// restores each entry, moves a thread stopped in a trampoline's copied
// instructions or its jump back to the same instruction in the entry, and
// sets *slot (when slot is not null) back to the entry. An entry that no
// longer carries its record's jump is left alone. Once the bytes are back and
// while the threads are still suspended, inspect (if not null) is called for
// each suspended thread: it must not lock or allocate. No hook in place, no
// suspension and no inspect. Result: the number removed. Records are kept.
uint32_t RemoveHooks(HookRequest *requests, uint32_t count, void (*inspect)(const FrozenThread *, void *),
                     void *context);
