// Inline hooks: the entry's first whole instructions move into a trampoline
// inside the record, and a five-byte jump to the detour replaces them.
#include "patching/inline_hook.h"

#include <string.h>
#include <windows.h>

#include "patching/instruction_copier.h"
#include "patching/opcode_tables.h"

namespace {

const uint32_t PatchLength = 5;

uint32_t Address(const void *p)
{
    return uint32_t(uintptr_t(p));
}

// 0xE9 and the displacement from the end of the jump; the byte is stored
// before the displacement.
void WriteJump(uint8_t *at, const void *to)
{
    uint32_t displacement = Address(to) - Address(at) - PatchLength;
    at[0] = 0xE9;
    memcpy(at + 1, &displacement, 4);
}

bool IsPrefix(uint8_t byte)
{
    CopyHandler handler = OpcodeTable[byte].handler;
    return handler == CopyPrefix || handler == CopyOperandSizePrefix ||
           handler == CopyAddressSizePrefix;
}

// Whether execution never falls through past this instruction (returns,
// unconditional jumps, ud2): the bytes after it may belong to another function.
bool EndsFlow(const uint8_t *instruction)
{
    while (IsPrefix(*instruction))
        ++instruction;
    switch (instruction[0]) {
    case 0xC2: case 0xC3: case 0xCA: case 0xCB: case 0xCF:
    case 0xE9: case 0xEA: case 0xEB:
        return true;
    case 0xFF: {
        uint32_t reg = instruction[1] >> 3 & 7;
        return reg == 4 || reg == 5;  // indirect near or far jmp
    }
    case 0x0F:
        return instruction[1] == 0x0B;
    }
    return false;
}

// Copies the whole instructions that cover the first five bytes of target
// into trampoline. Returns their length, or 0 when the copy would not behave
// like the original: an opcode the copier does not copy, an instruction over
// 15 bytes, a short branch that no longer reaches, a function that ends
// before five bytes, or a branch back into the stretch the patch overwrites.
uint32_t RelocateEntry(uint8_t *trampoline, const uint8_t *target)
{
    uint32_t branchTargets[PatchLength];
    uint32_t count = 0;
    uint32_t length = 0;
    while (length < PatchLength) {
        int32_t extraBytes;
        uint32_t skipped;
        const uint8_t *next = CopyInstructionEx(trampoline + length, target + length,
                                                &branchTargets[count], &extraBytes, &skipped);
        if (!next || skipped || extraBytes != 0)
            return 0;
        uint32_t end = uint32_t(next - target);
        if (end < PatchLength && EndsFlow(target + length))
            return 0;
        ++count;
        length = end;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t destination = branchTargets[i];
        if (destination != 0 && destination != 0xFFFFFFFF &&
            destination - Address(target) < length)
            return 0;
    }
    return length;
}

}  // namespace

HookRecord *InstallHook(void *detour, void **slot)
{
    if (!slot || !*slot || !detour) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HookRecord *record = static_cast<HookRecord *>(VirtualAlloc(
        nullptr, sizeof(HookRecord), MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    if (!record)
        return nullptr;
    uint8_t *target = static_cast<uint8_t *>(*slot);
    // Fill the trampoline before anything is changed, so that a refusal
    // leaves entry and slot as they were.
    uint32_t savedLength = RelocateEntry(record->trampoline, target);
    if (savedLength == 0) {
        VirtualFree(record, 0, MEM_RELEASE);
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    DWORD oldProtection;
    if (!VirtualProtect(target, PatchLength, PAGE_EXECUTE_READWRITE, &oldProtection)) {
        DWORD error = GetLastError();
        VirtualFree(record, 0, MEM_RELEASE);
        SetLastError(error);
        return nullptr;
    }
    record->detour = detour;
    record->target = target;
    record->savedLength = savedLength;
    WriteJump(record->trampoline + savedLength, target + savedLength);
    memcpy(record->savedBytes, target, savedLength);
    *slot = record->trampoline;
    WriteJump(target, detour);
    VirtualProtect(target, PatchLength, oldProtection, &oldProtection);
    FlushInstructionCache(GetCurrentProcess(), target, savedLength);
    FlushInstructionCache(GetCurrentProcess(), record->trampoline, sizeof record->trampoline);
    return record;
}

int HookInPlace(const HookRecord *record)
{
    const uint8_t *target = record->target;
    uint32_t displacement;
    memcpy(&displacement, target + 1, 4);
    return target[0] == 0xE9 && displacement == Address(record->detour) - Address(target) - PatchLength;
}

int RemoveHook(HookRecord *record)
{
    if (!record || !HookInPlace(record))
        return 0;
    uint8_t *target = record->target;
    DWORD oldProtection;
    if (!VirtualProtect(target, record->savedLength, PAGE_EXECUTE_READWRITE, &oldProtection))
        return 0;
    memcpy(target, record->savedBytes, record->savedLength);
    VirtualProtect(target, record->savedLength, oldProtection, &oldProtection);
    FlushInstructionCache(GetCurrentProcess(), target, record->savedLength);
    VirtualFree(record, 0, MEM_RELEASE);
    return 1;
}
