// Shared by the hook tests: executable memory, a detour that counts and
// forwards whatever the signature, and checks of an installed hook.
#pragma once
#include <stdint.h>
#include <windows.h>

#include <vector>

#include "patching/inline_hook.h"

// lock inc dword [calls]; jmp dword [slot]: counts, then continues through
// the slot, which InstallHook turns into the trampoline.
struct CountingDetour {
    uint8_t code[16];
    void *slot;
    volatile LONG calls;
};

CountingDetour *NewCountingDetour(void *entry);

// Committed PAGE_EXECUTE_READWRITE allocations: a leaked HookRecord shows here.
size_t CountExecutableAllocations();

std::vector<uint8_t> BytesAt(const void *address, size_t count);

// Every invariant of an installed hook that can be read from outside.
void ExpectInstalled(const HookRecord *record, const void *detour, const void *entry,
                     void *const *slot, const std::vector<uint8_t> &before);

// The address this program's import table binds for dll!name, or null.
void *BoundImport(const char *dll, const char *name);
