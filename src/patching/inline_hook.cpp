// Inline hooks: the entry's first whole instructions move into a trampoline
// inside the record, and a five-byte jump to the detour (on x64 to the
// record's relay to it) replaces them.
#include "patching/inline_hook.h"

#include <string.h>
#include <windows.h>

#include "patching/hook_memory.h"
#include "patching/instruction_copier.h"
#include "patching/thread_freeze.h"

namespace {

const uint32_t PatchLength = 5;

uintptr_t Address(const void *p)
{
    return uintptr_t(p);
}

// 0xE9 and the displacement from the end of the jump; the byte is stored
// before the displacement.
void WriteJump(uint8_t *at, const void *to)
{
    uint32_t displacement = uint32_t(Address(to) - Address(at) - PatchLength);
    at[0] = 0xE9;
    memcpy(at + 1, &displacement, 4);
}

bool IsPrefix(uint8_t byte)
{
    switch (byte) {
    case 0x26: case 0x2E: case 0x36: case 0x3E: case 0x64: case 0x65: case 0x66: case 0x67:
    case 0xF0: case 0xF2: case 0xF3:
        return true;
    }
#if defined(_WIN64)
    return (byte & 0xF0) == 0x40;  // REX
#else
    return false;
#endif
}

// What the entry's jump leads to.
const void *PatchDestination(const HookRecord *record)
{
#if defined(_WIN64)
    return record->relay;
#else
    return record->detour;
#endif
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

// Whether the instruction is a call: a call that ends inside the five patched
// bytes leaves a return address there, in the stack of a thread that may be
// inside the callee when the jump is written.
bool IsCall(const uint8_t *instruction)
{
    while (IsPrefix(*instruction))
        ++instruction;
    if (instruction[0] == 0xE8 || instruction[0] == 0x9A)
        return true;
    uint32_t reg = instruction[1] >> 3 & 7;
    return instruction[0] == 0xFF && (reg == 2 || reg == 3);
}

// Copies the whole instructions that cover the first five bytes of target
// into trampoline. Returns their length, or 0 when the copy would not behave
// like the original: an opcode the copier does not copy, an instruction over
// 15 bytes, a short branch that no longer reaches, a function that ends
// before five bytes, a call that returns into them, or a branch back into the
// stretch the patch overwrites.
uint32_t RelocateEntry(uint8_t *trampoline, const uint8_t *target)
{
    uintptr_t branchTargets[PatchLength];
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
        if (end < PatchLength && (EndsFlow(target + length) || IsCall(target + length)))
            return 0;
        ++count;
        length = end;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uintptr_t destination = branchTargets[i];
        if (destination != 0 && destination != UnknownBranchTarget &&
            destination - Address(target) < length)
            return 0;
    }
    return length;
}

// The address of the same instruction on the other side of a hook: from the
// entry into the trampoline (intoTrampoline) or back. Each copy lies at its
// instruction's offset and is measured where it runs: x64's jmp [rip+disp32]
// reads its pointer as it is measured, which the saved bytes cannot reach.
// The trampoline's jump back pairs with the first byte behind the stretch.
// 0 when eip starts none of them.
uintptr_t MapInstruction(const HookRecord *record, uintptr_t eip, bool intoTrampoline)
{
    uintptr_t from = Address(intoTrampoline ? record->target : record->trampoline);
    uintptr_t to = Address(intoTrampoline ? record->trampoline : record->target);
    uint32_t offset = 0;
    for (;;) {
        if (eip == from + offset)
            return to + offset;
        if (offset >= record->savedLength)
            return 0;
        const uint8_t *next = CopyInstruction(nullptr, record->trampoline + offset, nullptr, nullptr);
        if (!next)
            return 0;
        offset = uint32_t(next - record->trampoline);
    }
}

// Whether every suspended thread whose eip lies in [from, from + length) is
// at an instruction that has a counterpart on the other side.
bool ThreadsCanMove(const FrozenThreads *frozen, const HookRecord *record, uintptr_t from, uint32_t length,
                    bool intoTrampoline)
{
    for (uint32_t i = 0; i < frozen->count; ++i) {
        uintptr_t eip = frozen->threads[i].eip;
        if (eip - from < length && !MapInstruction(record, eip, intoTrampoline))
            return false;
    }
    return true;
}

// Moves the suspended threads whose eip lies in [from, from + length) to the
// same instruction on the other side.
void MoveThreads(FrozenThreads *frozen, const HookRecord *record, uintptr_t from, uint32_t length,
                 bool intoTrampoline)
{
    for (uint32_t i = 0; i < frozen->count; ++i) {
        FrozenThread &thread = frozen->threads[i];
        uintptr_t to = thread.eip - from < length ? MapInstruction(record, thread.eip, intoTrampoline) : 0;
        if (!to)
            continue;
        CONTEXT context;
        context.ContextFlags = CONTEXT_CONTROL;
        if (!GetThreadContext(thread.handle, &context))
            continue;
#if defined(_WIN64)
        context.Rip = to;
#else
        context.Eip = to;
#endif
        if (SetThreadContext(thread.handle, &context))
            thread.eip = to;
    }
}

// One hook of a batch between preparation and the write: its record (null
// once it is given up), whether the record was made for it, the protection
// its entry had, and why it was given up.
struct PendingHook {
    HookRecord *record;
    bool made;
    DWORD protection;
    DWORD error;
};

// Protection is changed only while no thread is suspended: Wine takes its
// virtual-memory lock there. Put back in reverse order, so that an entry
// sharing a page with an earlier one restores what that page had first.
void RestoreProtection(PendingHook *pending, uint32_t count, uint32_t length)
{
    for (uint32_t i = count; i-- > 0;) {
        if (!pending[i].record)
            continue;
        DWORD ignored;
        uint32_t size = length ? length : pending[i].record->savedLength;
        VirtualProtect(pending[i].record->target, size, pending[i].protection, &ignored);
    }
}

// Makes or reuses the record for one hook and makes its entry writable.
void PrepareInstall(const HookRequest &request, PendingHook *pending)
{
    if (!request.slot || !*request.slot || !request.detour || !request.record) {
        pending->error = ERROR_INVALID_PARAMETER;
        return;
    }
    uint8_t *target = static_cast<uint8_t *>(*request.slot);
    HookRecord *old = *request.record;
    HookRecord *record = nullptr;
    if (old && old->target == target) {
        if (HookInPlace(old)) {
            pending->error = ERROR_ALREADY_EXISTS;  // hooking it again would make the detour call itself
            return;
        }
        // The same bytes give the same trampoline: it is already right.
        if (memcmp(target, old->savedBytes, old->savedLength) == 0)
            record = old;
    }
    if (!record) {
        record = NewHookRecord(target);
        if (!record) {
            pending->error = GetLastError();
            return;
        }
        // Fill the trampoline before anything is changed, so that a refusal
        // leaves entry and slot as they were.
        uint32_t savedLength = RelocateEntry(record->trampoline, target);
        if (savedLength == 0) {
            FreeHookRecord(record);
            pending->error = ERROR_NOT_SUPPORTED;
            return;
        }
        record->target = target;
        record->savedLength = savedLength;
        WriteJump(record->trampoline + savedLength, target + savedLength);
        memcpy(record->savedBytes, target, savedLength);
        pending->made = true;
    }
    if (!VirtualProtect(target, PatchLength, PAGE_EXECUTE_READWRITE, &pending->protection)) {
        pending->error = GetLastError();
        if (pending->made)
            FreeHookRecord(record);
        return;
    }
    pending->record = record;
}

// With the other threads suspended: writes one hook, or gives it up when its
// entry changed since it was prepared or a thread cannot be carried over.
void WriteHook(const HookRequest &request, PendingHook *pending, FrozenThreads *frozen)
{
    HookRecord *record = pending->record;
    uint8_t *target = record->target;
    uintptr_t inside = Address(target) + 1;
    uint32_t insideLength = record->savedLength - 1;
    if (memcmp(target, record->savedBytes, record->savedLength) != 0 ||
        !ThreadsCanMove(frozen, record, inside, insideLength, true)) {
        pending->error = ERROR_NOT_SUPPORTED;
        return;
    }
    MoveThreads(frozen, record, inside, insideLength, true);
    record->detour = request.detour;
#if defined(_WIN64)
    memcpy(record->relay, "\xFF\x25\0\0\0\0", 6);
    memcpy(record->relay + 6, &record->detour, 8);
#endif
    *request.slot = record->trampoline;
    WriteJump(target, PatchDestination(record));
    FlushInstructionCache(GetCurrentProcess(), target, record->savedLength);
    FlushInstructionCache(GetCurrentProcess(), record, sizeof *record);
    *request.record = record;
}

PendingHook *NewPending(uint32_t count)
{
    return static_cast<PendingHook *>(
        VirtualAlloc(nullptr, count * sizeof(PendingHook), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

// Sets the last-error value to that of the last hook given up, if any.
void ReportLastRefusal(const PendingHook *pending, uint32_t count)
{
    for (uint32_t i = count; i-- > 0;) {
        if (pending[i].error) {
            SetLastError(pending[i].error);
            return;
        }
    }
}

}  // namespace

uint32_t InstallHooks(HookRequest *requests, uint32_t count)
{
    if (count == 0)
        return 0;
    PendingHook *pending = NewPending(count);
    if (!pending)
        return 0;
    uint32_t prepared = 0;
    for (uint32_t i = 0; i < count; ++i) {
        PrepareInstall(requests[i], &pending[i]);
        prepared += pending[i].record != nullptr;
    }
    uint32_t installed = 0;
    FrozenThreads frozen;
    if (prepared && !FreezeOtherThreads(&frozen)) {
        DWORD error = GetLastError();
        for (uint32_t i = 0; i < count; ++i)
            if (pending[i].record)
                pending[i].error = error;
    } else if (prepared) {
        for (uint32_t i = 0; i < count; ++i) {
            if (pending[i].record) {
                WriteHook(requests[i], &pending[i], &frozen);
                installed += pending[i].error == 0;
            }
        }
        ThawThreads(&frozen);
    }
    RestoreProtection(pending, count, PatchLength);
    // A record made for a hook given up was never reachable: release it.
    for (uint32_t i = 0; i < count; ++i)
        if (pending[i].error && pending[i].made && pending[i].record)
            FreeHookRecord(pending[i].record);
    ReportLastRefusal(pending, count);
    VirtualFree(pending, 0, MEM_RELEASE);
    return installed;
}

uint32_t RemoveHooks(HookRequest *requests, uint32_t count, void (*inspect)(const FrozenThread *, void *),
                     void *context)
{
    if (count == 0)
        return 0;
    PendingHook *pending = NewPending(count);
    if (!pending)
        return 0;
    uint32_t prepared = 0;
    for (uint32_t i = 0; i < count; ++i) {
        HookRecord *record = requests[i].record ? *requests[i].record : nullptr;
        if (!record || !HookInPlace(record))
            continue;
        if (!VirtualProtect(record->target, record->savedLength, PAGE_EXECUTE_READWRITE, &pending[i].protection)) {
            pending[i].error = GetLastError();
            continue;
        }
        pending[i].record = record;
        ++prepared;
    }
    uint32_t removed = 0;
    DWORD freezeError = 0;
    FrozenThreads frozen;
    if (prepared && !FreezeOtherThreads(&frozen)) {
        freezeError = GetLastError();
    } else if (prepared) {
        for (uint32_t i = 0; i < count; ++i) {
            HookRecord *record = pending[i].record;
            if (!record || !HookInPlace(record))
                continue;
            memcpy(record->target, record->savedBytes, record->savedLength);
            // The trampoline stays, so a thread not moved is still safe.
            MoveThreads(&frozen, record, Address(record->trampoline), record->savedLength + PatchLength, false);
            if (requests[i].slot)
                *requests[i].slot = record->target;
            FlushInstructionCache(GetCurrentProcess(), record->target, record->savedLength);
            ++removed;
        }
        if (inspect)
            for (uint32_t i = 0; i < frozen.count; ++i)
                inspect(&frozen.threads[i], context);
        ThawThreads(&frozen);
    }
    RestoreProtection(pending, count, 0);
    ReportLastRefusal(pending, count);
    if (freezeError)
        SetLastError(freezeError);
    VirtualFree(pending, 0, MEM_RELEASE);
    return removed;
}

HookRecord *InstallHook(void *detour, void **slot)
{
    HookRecord *record = nullptr;
    HookRequest request = {detour, slot, &record};
    InstallHooks(&request, 1);
    return record;
}

int HookInPlace(const HookRecord *record)
{
    const uint8_t *target = record->target;
    uint32_t displacement;
    memcpy(&displacement, target + 1, 4);
    return target[0] == 0xE9 &&
           displacement == uint32_t(Address(PatchDestination(record)) - Address(target) - PatchLength);
}

int RemoveHook(HookRecord *record)
{
    HookRequest request = {nullptr, nullptr, &record};
    return RemoveHooks(&request, 1, nullptr, nullptr) == 1;
}
