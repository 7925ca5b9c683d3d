// Shared by the hook tests: executable memory, a detour that counts and
// forwards whatever the signature, and checks of an installed hook.
#pragma once
#include <stdint.h>
#include <windows.h>

#include <vector>

#include "patching/inline_hook.h"

// lock inc dword [calls]; jmp [slot] (x64: RIP-relative): counts, then
// continues through the slot, which InstallHook turns into the trampoline.
struct CountingDetour {
    uint8_t code[16];
    void *slot;
    volatile LONG calls;
};

CountingDetour *NewCountingDetour(void *entry);

// A memory operand naming p in an instruction that ends at next: the
// absolute address on x86, the RIP-relative displacement on x64.
uint32_t Operand(const volatile void *p, const void *next);

// The instruction pointer's field in a CONTEXT.
#if defined(_WIN64)
#define InstructionPointer Rip
#else
#define InstructionPointer Eip
#endif

// Committed PAGE_EXECUTE_READWRITE allocations: a leaked HookRecord shows here.
size_t CountExecutableAllocations();

std::vector<uint8_t> BytesAt(const void *address, size_t count);

// Every invariant of an installed hook that can be read from outside.
void ExpectInstalled(const HookRecord *record, const void *detour, const void *entry,
                     void *const *slot, const std::vector<uint8_t> &before);

// The address this program's import table binds for dll!name, or null.
void *BoundImport(const char *dll, const char *name);
