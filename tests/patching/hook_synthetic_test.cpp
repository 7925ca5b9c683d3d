// Hooks on small functions written into executable memory: the entry shapes
// the installer must carry, the ones it must refuse, and refused removals.
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>

#include <algorithm>

#include "hook_test_support.h"
#include "patching/inline_hook.h"

namespace {

using Bytes = std::vector<uint8_t>;
typedef int (*Function)(int, int);

// Two pages of code, read-only-executable as real code is.
class SyntheticEntry : public ::testing::Test {
protected:
    void SetUp() override
    {
        code = static_cast<uint8_t *>(
            VirtualAlloc(nullptr, 0x2000, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
        ASSERT_NE(code, nullptr);
        memset(code, 0xCC, 0x2000);
    }
    void TearDown() override { VirtualFree(code, 0, MEM_RELEASE); }

    struct Hooked {
        Bytes before;
        CountingDetour *detour;
        HookRecord *record;
    };

    // Hooks entry with a counting detour and checks every invariant of the result.
    Hooked HookEntry(uint8_t *entry)
    {
        Hooked hooked{BytesAt(entry, 32), NewCountingDetour(entry), nullptr};
        hooked.record = InstallHook(hooked.detour->code, &hooked.detour->slot);
        ExpectInstalled(hooked.record, hooked.detour->code, entry, &hooked.detour->slot, hooked.before);
        return hooked;
    }

    uint8_t *Place(size_t offset, const Bytes &bytes)
    {
        Writable();
        memcpy(code + offset, bytes.data(), bytes.size());
        ReadOnly();
        return code + offset;
    }
    void Writable()
    {
        DWORD old;
        VirtualProtect(code, 0x2000, PAGE_EXECUTE_READWRITE, &old);
    }
    void ReadOnly()
    {
        DWORD old;
        VirtualProtect(code, 0x2000, PAGE_EXECUTE_READ, &old);
        FlushInstructionCache(GetCurrentProcess(), code, 0x2000);
    }
    DWORD Protection(const void *at)
    {
        MEMORY_BASIC_INFORMATION info;
        VirtualQuery(at, &info, sizeof info);
        return info.Protect;
    }
    // Removal restores the entry and keeps the record: a thread may still
    // be about to run its trampoline.
    void ExpectRemoved(HookRecord *record, const uint8_t *entry, const Bytes &before)
    {
        Bytes kept = BytesAt(record, sizeof *record);
        EXPECT_EQ(RemoveHook(record), 1);
        EXPECT_EQ(BytesAt(entry, before.size()), before);
        EXPECT_EQ(Protection(entry), DWORD(PAGE_EXECUTE_READ));
        EXPECT_EQ(BytesAt(record, sizeof *record), kept);
        EXPECT_EQ(Protection(record), DWORD(PAGE_EXECUTE_READWRITE));
    }

    uint8_t *code = nullptr;
};

#if defined(_WIN64)
const Bytes HotPatchAdd = {0x48, 0x8D, 0xA4, 0x24, 0, 0, 0, 0,  // lea rsp, [rsp+0]
                           0x8D, 0x04, 0x11, 0xC3};             // lea eax, [rcx+rdx]; ret
const uint32_t HotPatchLength = 8;
const Bytes OtherPrologue = {0x48, 0x8D, 0x64, 0x24, 0x00, 0x90, 0x90, 0x90};  // lea rsp, [rsp+0]; nops
#else
const Bytes HotPatchAdd = {0x8B, 0xFF, 0x55, 0x8B, 0xEC,  // mov edi,edi; push ebp; mov ebp,esp
                           0x8B, 0x45, 0x08, 0x03, 0x45, 0x0C,  // mov eax,[ebp+8]; add eax,[ebp+12]
                           0x5D, 0xC3};
const uint32_t HotPatchLength = 5;
const Bytes OtherPrologue = {0x55, 0x8B, 0xEC, 0x90, 0x90};
#endif

TEST_F(SyntheticEntry, HotPatchPrologueSavesFiveBytes)
{
    uint8_t *entry = Place(0x10, HotPatchAdd);
    auto [before, detour, record] = HookEntry(entry);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->savedLength, HotPatchLength);
    EXPECT_EQ(BytesAt(record->trampoline, HotPatchLength),
              Bytes(HotPatchAdd.begin(), HotPatchAdd.begin() + HotPatchLength));
    EXPECT_EQ(Protection(entry), DWORD(PAGE_EXECUTE_READ));

    EXPECT_EQ(reinterpret_cast<Function>(entry)(2, 3), 5);  // through the detour
    EXPECT_EQ(detour->calls, 1);
    EXPECT_EQ(reinterpret_cast<Function>(detour->slot)(40, 2), 42);  // the trampoline alone
    EXPECT_EQ(detour->calls, 1);
    ExpectRemoved(record, entry, before);
    EXPECT_EQ(reinterpret_cast<Function>(entry)(7, 8), 15);
}

TEST_F(SyntheticEntry, TwoPushesSaveSevenBytesAndAllSevenAreRestored)
{
    // push 7; push 0x100; pop eax; pop ecx; add eax, ecx; ret
    Bytes pushes = {0x6A, 0x07, 0x68, 0x00, 0x01, 0x00, 0x00, 0x58, 0x59, 0x01, 0xC8, 0xC3};
    uint8_t *entry = Place(0x40, pushes);
    auto [before, detour, record] = HookEntry(entry);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->savedLength, 7u);
    EXPECT_EQ(reinterpret_cast<Function>(entry)(0, 0), 0x107);
    EXPECT_EQ(reinterpret_cast<Function>(detour->slot)(0, 0), 0x107);
    EXPECT_EQ(detour->calls, 1);
    // Something changes a byte behind the patch: removal puts back the whole stretch.
    Writable();
    entry[6] = 0x77;
    ReadOnly();
    ExpectRemoved(record, entry, before);
    EXPECT_EQ(reinterpret_cast<Function>(entry)(0, 0), 0x107);
}

void WriteRel32(uint8_t *at, const void *to)
{
    int32_t displacement = int32_t(uintptr_t(to) - uintptr_t(at) - 5);
    memcpy(at + 1, &displacement, 4);
}

TEST_F(SyntheticEntry, JumpAtEntryStillReachesItsDestination)
{
    uint8_t *body = Place(0x800, {0xB8, 0x2A, 0x00, 0x00, 0x00, 0xC3});  // mov eax, 42; ret
    uint8_t *entry = Place(0x100, {0xE9, 0, 0, 0, 0});
    Writable();
    WriteRel32(entry, body);
    ReadOnly();
    auto [before, detour, record] = HookEntry(entry);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->savedLength, 5u);
    EXPECT_NE(BytesAt(record->trampoline, 5), Bytes(before.begin(), before.begin() + 5));  // re-based
    EXPECT_EQ(reinterpret_cast<Function>(detour->slot)(0, 0), 42);
    EXPECT_EQ(reinterpret_cast<Function>(entry)(0, 0), 42);
    EXPECT_EQ(detour->calls, 1);
    ExpectRemoved(record, entry, before);
}

TEST_F(SyntheticEntry, CallAtEntryIsRebased)
{
    uint8_t *helper = Place(0x900, {0xB8, 0x05, 0x00, 0x00, 0x00, 0xC3});  // mov eax, 5; ret
    uint8_t *entry = Place(0x180, {0xE8, 0, 0, 0, 0, 0xFF, 0xC0, 0xC3});   // call; inc eax; ret
    Writable();
    WriteRel32(entry, helper);
    ReadOnly();
    auto [before, detour, record] = HookEntry(entry);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(reinterpret_cast<Function>(detour->slot)(0, 0), 6);
    EXPECT_EQ(reinterpret_cast<Function>(entry)(0, 0), 6);
    ExpectRemoved(record, entry, before);
}

#if !defined(_WIN64)  // x64's jmp [rip+disp32] is re-based
TEST_F(SyntheticEntry, JumpThroughPointerIsCopiedUnchanged)
{
    uint8_t *body = Place(0x800, {0xB8, 0x2A, 0x00, 0x00, 0x00, 0xC3});
    uint32_t bodyAddress = uint32_t(uintptr_t(body));
    uint8_t *cell = Place(0x380, Bytes(reinterpret_cast<uint8_t *>(&bodyAddress),
                                       reinterpret_cast<uint8_t *>(&bodyAddress) + 4));
    uint32_t cellAddress = uint32_t(uintptr_t(cell));
    Bytes jump = {0xFF, 0x25};
    jump.insert(jump.end(), reinterpret_cast<uint8_t *>(&cellAddress), reinterpret_cast<uint8_t *>(&cellAddress) + 4);
    uint8_t *entry = Place(0x300, jump);
    auto [before, detour, record] = HookEntry(entry);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->savedLength, 6u);
    EXPECT_EQ(BytesAt(record->trampoline, 6), jump);
    EXPECT_EQ(reinterpret_cast<Function>(entry)(0, 0), 42);
    EXPECT_EQ(detour->calls, 1);
    ExpectRemoved(record, entry, before);
}
#endif

// Entries that cannot be carried: null, ERROR_NOT_SUPPORTED, nothing changed
// and no record left behind.
TEST_F(SyntheticEntry, EntriesThatCannotBeCarriedAreRefused)
{
    struct { const char *what; Bytes bytes; } refused[] = {
        {"short jmp", {0xEB, 0x03, 0x90, 0x90, 0x90, 0xB8, 1, 0, 0, 0, 0xC3}},
        {"short jz", {0x33, 0xC0, 0x74, 0x01, 0x90, 0xC3}},
        {"jecxz", {0xE3, 0x01, 0x90, 0x90, 0x90, 0xC3}},
        {"loop", {0x49, 0xE2, 0x10, 0x90, 0x90, 0xC3}},
        {"three-byte function", {0x33, 0xC0, 0xC3, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xC3}},
        {"ret imm16 then padding", {0xC2, 0x04, 0x00, 0xCC, 0xCC}},
        {"rep ret", {0xF3, 0xC3, 0x90, 0x90, 0x90}},
        {"jmp eax", {0xFF, 0xE0, 0x90, 0x90, 0x90}},
        {"far jmp through memory", {0xFF, 0x28, 0x90, 0x90, 0x90, 0xC3}},
        {"16-bit jmp", {0x66, 0xE9, 0x00, 0x00, 0x90}},
        {"ud2", {0x0F, 0x0B, 0x90, 0x90, 0x90}},
        {"int1", {0xF1, 0x55, 0x8B, 0xEC, 0x90, 0xC3}},
        {"salc", {0x90, 0xD6, 0x55, 0x8B, 0xEC, 0xC3}},
#if !defined(_WIN64)
        {"syscall", {0x0F, 0x05, 0x90, 0x90, 0x90, 0xC3}},
#endif
        {"jz back to the entry", {0x0F, 0x84, 0xFA, 0xFF, 0xFF, 0xFF, 0xC3}},
        {"jz back to the last saved byte", {0x0F, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0xC3}},
        {"call into the stretch", {0x90, 0xE8, 0xFB, 0xFF, 0xFF, 0xFF, 0xC3}},
        {"call returning into the stretch", {0xFF, 0xD0, 0x90, 0x90, 0x90, 0xC3}},
        {"call through memory returning into it", {0xFF, 0x16, 0x90, 0x90, 0x90, 0xC3}},
        {"sixteen prefixes", {0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E,
                              0x3E, 0x3E, 0x3E, 0x3E, 0x90}},
    };
    size_t allocations = CountExecutableAllocations();
    size_t offset = 0x400;
    for (auto &entry : refused) {
        uint8_t *target = Place(offset, entry.bytes);
        offset += 0x20;
        Bytes before = BytesAt(target, 32);
        CountingDetour *detour = NewCountingDetour(target);
        SetLastError(0);
        EXPECT_EQ(InstallHook(detour->code, &detour->slot), nullptr) << entry.what;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED)) << entry.what;
        EXPECT_EQ(detour->slot, static_cast<void *>(target)) << entry.what;
        EXPECT_EQ(BytesAt(target, 32), before) << entry.what;
        EXPECT_EQ(Protection(target), DWORD(PAGE_EXECUTE_READ)) << entry.what;
    }
    EXPECT_EQ(CountExecutableAllocations(), allocations);
}

TEST_F(SyntheticEntry, ConditionalNearJumpPastTheStretchIsCarried)
{
    // test eax, eax; jz rel32 (beyond the stretch); mov eax, 1; ret; target: xor eax, eax; ret
    Bytes entryBytes = {0x85, 0xC0, 0x0F, 0x84, 0x06, 0, 0, 0, 0xB8, 0x01, 0, 0, 0, 0xC3, 0x33, 0xC0, 0xC3};
    uint8_t *entry = Place(0x600, entryBytes);
    auto [before, detour, record] = HookEntry(entry);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->savedLength, 8u);
    // eax holds the first argument register's garbage: force it through the two paths.
    typedef int (*Probe)(void);
    uint8_t *zero = Place(0x700, {0x31, 0xC0, 0xE9, 0, 0, 0, 0});  // xor eax,eax; jmp slot target
    uint8_t *one = Place(0x710, {0xB8, 0x01, 0, 0, 0, 0xE9, 0, 0, 0, 0});  // mov eax,1; jmp
    Writable();
    WriteRel32(zero + 2, detour->slot);
    WriteRel32(one + 5, detour->slot);
    ReadOnly();
    EXPECT_EQ(reinterpret_cast<Probe>(zero)(), 0);
    EXPECT_EQ(reinterpret_cast<Probe>(one)(), 1);
    ExpectRemoved(record, entry, before);
}

TEST_F(SyntheticEntry, BadArgumentsChangeNothing)
{
    uint8_t *entry = Place(0x10, HotPatchAdd);
    Bytes before = BytesAt(entry, 32);
    CountingDetour *detour = NewCountingDetour(entry);
    size_t allocations = CountExecutableAllocations();
    SetLastError(0);
    EXPECT_EQ(InstallHook(detour->code, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    void *empty = nullptr;
    SetLastError(0);
    EXPECT_EQ(InstallHook(detour->code, &empty), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(empty, nullptr);
    SetLastError(0);
    EXPECT_EQ(InstallHook(nullptr, &detour->slot), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(detour->slot, static_cast<void *>(entry));
    EXPECT_EQ(BytesAt(entry, 32), before);
    EXPECT_EQ(CountExecutableAllocations(), allocations);
    SetLastError(1234);
    EXPECT_EQ(RemoveHook(nullptr), 0);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST_F(SyntheticEntry, RemovalRefusedWhileTheEntryIsNotOurJump)
{
    uint8_t *entry = Place(0x10, HotPatchAdd);
    Bytes before = BytesAt(entry, 32);
    CountingDetour *detour = NewCountingDetour(entry);
    HookRecord *record = InstallHook(detour->code, &detour->slot);
    ASSERT_NE(record, nullptr);
    Bytes patched = BytesAt(entry, 32);
    Bytes recordCopy = BytesAt(record, sizeof *record);

    // First byte overwritten.
    Writable();
    entry[0] = 0xCC;
    ReadOnly();
    Bytes overwritten = BytesAt(entry, 32);
    EXPECT_EQ(RemoveHook(record), 0);
    EXPECT_EQ(BytesAt(entry, 32), overwritten);
    EXPECT_EQ(BytesAt(record, sizeof *record), recordCopy);
    EXPECT_EQ(reinterpret_cast<Function>(detour->slot)(20, 22), 42);  // trampoline still there

    // A jump, but to somewhere else.
    Writable();
    entry[0] = 0xE9;
    entry[1] ^= 0x40;
    ReadOnly();
    overwritten = BytesAt(entry, 32);
    EXPECT_EQ(RemoveHook(record), 0);
    EXPECT_EQ(BytesAt(entry, 32), overwritten);
    EXPECT_EQ(BytesAt(record, sizeof *record), recordCopy);

    // Our jump again: now it goes.
    Writable();
    memcpy(entry, patched.data(), 5);
    ReadOnly();
    ExpectRemoved(record, entry, before);
}

TEST_F(SyntheticEntry, RemovalRefusedWhenTheStretchCannotBeMadeWritable)
{
    // 6A 07 68 imm32 across the page boundary: the last two saved bytes lie
    // on the second page.
    Bytes pushes = {0x6A, 0x07, 0x68, 0x44, 0x33, 0x22, 0x11, 0x58, 0x59, 0x01, 0xC8, 0xC3};
    uint8_t *entry = Place(0x1000 - 5, pushes);
    Bytes before = BytesAt(entry, 12);
    CountingDetour *detour = NewCountingDetour(entry);
    HookRecord *record = InstallHook(detour->code, &detour->slot);
    ASSERT_NE(record, nullptr);
    ASSERT_EQ(record->savedLength, 7u);
    Bytes patched = BytesAt(entry, 5);
    ASSERT_TRUE(VirtualFree(code + 0x1000, 0x1000, MEM_DECOMMIT));
    SetLastError(0);
    EXPECT_EQ(RemoveHook(record), 0);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(BytesAt(entry, 5), patched);
    MEMORY_BASIC_INFORMATION info;
    VirtualQuery(record, &info, sizeof info);
    EXPECT_EQ(info.State, DWORD(MEM_COMMIT));
    // Back again, zero-filled: removal restores both saved bytes there too.
    ASSERT_NE(VirtualAlloc(code + 0x1000, 0x1000, MEM_COMMIT, PAGE_EXECUTE_READ), nullptr);
    EXPECT_EQ(RemoveHook(record), 1);
    EXPECT_EQ(BytesAt(entry, 7), Bytes(before.begin(), before.begin() + 7));
}

TEST_F(SyntheticEntry, RecordIsReusedUntilSomethingElseRewritesTheEntry)
{
    uint8_t *entry = Place(0x10, HotPatchAdd);
    Bytes before = BytesAt(entry, 32);
    CountingDetour *detour = NewCountingDetour(entry);
    HookRecord *record = nullptr;
    HookRequest request = {detour->code, &detour->slot, &record};
    ASSERT_EQ(InstallHooks(&request, 1), 1u);
    HookRecord *first = record;
    ExpectInstalled(first, detour->code, entry, &detour->slot, before);
    EXPECT_EQ(RemoveHooks(&request, 1, nullptr, nullptr), 1u);
    EXPECT_EQ(detour->slot, static_cast<void *>(entry));
    EXPECT_EQ(record, first);
    EXPECT_EQ(BytesAt(entry, 32), before);

    // Same entry bytes: the same record, its trampoline as it was.
    Bytes trampoline = BytesAt(first->trampoline, sizeof first->trampoline);
    ASSERT_EQ(InstallHooks(&request, 1), 1u);
    EXPECT_EQ(record, first);
    ExpectInstalled(record, detour->code, entry, &detour->slot, before);
    EXPECT_EQ(BytesAt(first->trampoline, sizeof first->trampoline), trampoline);
    EXPECT_EQ(reinterpret_cast<Function>(entry)(2, 3), 5);
    EXPECT_EQ(detour->calls, 1);

    // Installing over its own jump again is refused: the detour would call itself.
    SetLastError(0);
    void *trampolineSlot = detour->slot;
    detour->slot = entry;
    EXPECT_EQ(InstallHooks(&request, 1), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(record, first);
    detour->slot = trampolineSlot;
    EXPECT_EQ(RemoveHooks(&request, 1, nullptr, nullptr), 1u);

    // Someone else rewrites the entry: a new record, and the old trampoline
    // stays alive for whoever may still run it.
    // Other first bytes, same body: the old trampoline still adds.
    Place(0x10, OtherPrologue);
    Bytes otherBefore = BytesAt(entry, 32);
    ASSERT_EQ(InstallHooks(&request, 1), 1u);
    EXPECT_NE(record, first);
    ExpectInstalled(record, detour->code, entry, &detour->slot, otherBefore);
    EXPECT_EQ(BytesAt(record->trampoline, 5), Bytes(OtherPrologue.begin(), OtherPrologue.begin() + 5));
    EXPECT_EQ(reinterpret_cast<Function>(entry)(9, 4), 13);
    EXPECT_EQ(detour->calls, 2);
    EXPECT_EQ(reinterpret_cast<Function>(first->trampoline)(40, 2), 42);
    EXPECT_EQ(BytesAt(first->trampoline, sizeof first->trampoline), trampoline);
    ExpectRemoved(record, entry, otherBefore);
}

TEST_F(SyntheticEntry, BatchInstallsWhatItCanAndReportsTheRest)
{
    uint8_t *add = Place(0x10, HotPatchAdd);
    uint8_t *refused = Place(0x80, {0xEB, 0x03, 0x90, 0x90, 0x90, 0xB8, 1, 0, 0, 0, 0xC3});
    uint8_t *pushes = Place(0x100, {0x6A, 0x07, 0x68, 0x00, 0x01, 0x00, 0x00, 0x58, 0x59, 0x01, 0xC8, 0xC3});
    uint8_t *entries[] = {add, refused, pushes};
    CountingDetour *detours[3];
    HookRecord *records[3] = {};
    HookRequest requests[4];
    Bytes before[3];
    for (int i = 0; i < 3; ++i) {
        before[i] = BytesAt(entries[i], 32);
        detours[i] = NewCountingDetour(entries[i]);
        requests[i] = {detours[i]->code, &detours[i]->slot, &records[i]};
    }
    void *empty = nullptr;
    HookRecord *none = nullptr;
    requests[3] = {detours[0]->code, &empty, &none};
    SetLastError(0);
    EXPECT_EQ(InstallHooks(requests, 4), 2u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));  // the last one given up
    ExpectInstalled(records[0], detours[0]->code, add, &detours[0]->slot, before[0]);
    ExpectInstalled(records[2], detours[2]->code, pushes, &detours[2]->slot, before[2]);
    EXPECT_EQ(records[1], nullptr);
    EXPECT_EQ(detours[1]->slot, static_cast<void *>(refused));
    EXPECT_EQ(BytesAt(refused, 32), before[1]);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(Protection(add), DWORD(PAGE_EXECUTE_READ));
    EXPECT_EQ(reinterpret_cast<Function>(add)(1, 2), 3);
    EXPECT_EQ(reinterpret_cast<Function>(pushes)(0, 0), 0x107);

    EXPECT_EQ(RemoveHooks(requests, 4, nullptr, nullptr), 2u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(BytesAt(entries[i], 32), before[i]) << i;
        EXPECT_EQ(detours[i]->slot, static_cast<void *>(entries[i])) << i;
    }
    EXPECT_EQ(Protection(add), DWORD(PAGE_EXECUTE_READ));
    EXPECT_EQ(RemoveHooks(requests, 4, nullptr, nullptr), 0u);  // nothing left in place
}


#if defined(_WIN64)
// An entry 32 TB up, far beyond a rel32 from this program's detours: refused
// while every free range within 2 GB of it is taken, hooked through a relay
// near it once one is free. Its first instruction reads a constant beside it
// RIP-relative: the trampoline reaches the same constant.
TEST_F(SyntheticEntry, FarEntryIsHookedThroughARelayNearItOrRefusedCleanly)
{
    uint8_t *entry = static_cast<uint8_t *>(VirtualAlloc(reinterpret_cast<void *>(0x200000000000), 0x1000,
                                                         MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    ASSERT_NE(entry, nullptr);
    // mov eax, [rip+0x20] (the constant at 0x26); add eax, ecx; ret
    memcpy(entry, "\x8B\x05\x20\0\0\0\x01\xC8\xC3", 9);
    memcpy(entry + 0x26, "\x2A\0\0\0", 4);
    Bytes before = BytesAt(entry, 32);
    CountingDetour *detour = NewCountingDetour(entry);
    std::vector<void *> taken;
    MEMORY_BASIC_INFORMATION info;
    for (uintptr_t at = uintptr_t(entry) - 0x80000000, last = uintptr_t(entry) + 0x80000000; at < last;) {
        VirtualQuery(reinterpret_cast<void *>(at), &info, sizeof info);
        uintptr_t end = std::min(uintptr_t(info.BaseAddress) + info.RegionSize, last);
        uintptr_t base = (at + 0xFFFF) & ~uintptr_t(0xFFFF);
        if (info.State == MEM_FREE && base < end)
            taken.push_back(VirtualAlloc(reinterpret_cast<void *>(base), end - base, MEM_RESERVE, PAGE_NOACCESS));
        at = end;
    }
    size_t allocations = CountExecutableAllocations();
    SetLastError(0);
    EXPECT_EQ(InstallHook(detour->code, &detour->slot), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(detour->slot, static_cast<void *>(entry));
    EXPECT_EQ(BytesAt(entry, 32), before);
    EXPECT_EQ(CountExecutableAllocations(), allocations);
    for (void *range : taken)
        VirtualFree(range, 0, MEM_RELEASE);

    HookRecord *record = InstallHook(detour->code, &detour->slot);
    ExpectInstalled(record, detour->code, entry, &detour->slot, before);
    ASSERT_NE(record, nullptr);
    EXPECT_GT(uintptr_t(entry) - uintptr_t(detour->code), 0x80000000u);
    EXPECT_EQ(reinterpret_cast<Function>(entry)(5, 0), 47);
    EXPECT_EQ(detour->calls, 1);
    EXPECT_EQ(reinterpret_cast<Function>(detour->slot)(8, 0), 50);
    EXPECT_EQ(RemoveHook(record), 1);
    EXPECT_EQ(BytesAt(entry, 32), before);
    VirtualFree(entry, 0, MEM_RELEASE);
}
#endif

}  // namespace
