#include "hook_test_support.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>

#include "patching/instruction_copier.h"

namespace {
uint8_t *detourPage;
size_t detoursUsed;
const size_t DetoursPerPage = 4096 / sizeof(CountingDetour);

uintptr_t Address(const void *p) { return uintptr_t(p); }

uint32_t Load32(const void *p)
{
    uint32_t value;
    memcpy(&value, p, 4);
    return value;
}
// Whether copy is original with one 4-byte field increased by distance.
bool RebasedField(const uint8_t *copy, const uint8_t *original, uint32_t length, uint32_t distance)
{
    for (uint32_t p = 0; p + 4 <= length; ++p)
        if (Load32(copy + p) - Load32(original + p) == distance && memcmp(copy, original, p) == 0 &&
            memcmp(copy + p + 4, original + p + 4, length - p - 4) == 0)
            return true;
    return false;
}
}  // namespace

uint32_t Operand(const volatile void *p, const void *next)
{
#if defined(_WIN64)
    return uint32_t(uintptr_t(p) - Address(next));
#else
    (void)next;
    return uintptr_t(p);
#endif
}

CountingDetour *NewCountingDetour(void *entry)
{
    if (!detourPage || detoursUsed == DetoursPerPage) {
        detourPage = static_cast<uint8_t *>(
            VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
        detoursUsed = 0;
    }
    CountingDetour *detour = reinterpret_cast<CountingDetour *>(detourPage) + detoursUsed++;
    detour->slot = entry;
    detour->calls = 0;
    uint32_t calls = Operand(&detour->calls, detour->code + 7), slot = Operand(&detour->slot, detour->code + 13);
    uint8_t code[16] = {0xF0, 0xFF, 0x05, 0, 0, 0, 0, 0xFF, 0x25, 0, 0, 0, 0, 0xCC, 0xCC, 0xCC};
    memcpy(code + 3, &calls, 4);
    memcpy(code + 9, &slot, 4);
    memcpy(detour->code, code, sizeof code);
    FlushInstructionCache(GetCurrentProcess(), detour->code, sizeof code);
    return detour;
}

size_t CountExecutableAllocations()
{
    size_t count = 0;
    MEMORY_BASIC_INFORMATION info;
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    for (uintptr_t at = 0x10000; at < uintptr_t(system.lpMaximumApplicationAddress) &&
                                 VirtualQuery(reinterpret_cast<void *>(at), &info, sizeof info);
         at = uintptr_t(info.BaseAddress) + info.RegionSize) {
        if (info.State == MEM_COMMIT && info.AllocationProtect == PAGE_EXECUTE_READWRITE &&
            info.BaseAddress == info.AllocationBase)
            ++count;
    }
    return count;
}

std::vector<uint8_t> BytesAt(const void *address, size_t count)
{
    const uint8_t *p = static_cast<const uint8_t *>(address);
    return {p, p + count};
}

void ExpectInstalled(const HookRecord *record, const void *detour, const void *entry,
                     void *const *slot, const std::vector<uint8_t> &before)
{
    ASSERT_NE(record, nullptr);
    const uint8_t *target = static_cast<const uint8_t *>(entry);
    uint32_t saved = record->savedLength;
    EXPECT_EQ(record->detour, detour);
    EXPECT_EQ(record->target, target);
    ASSERT_GE(saved, 5u);
    ASSERT_LE(saved, 19u);
    // The patch, and the rest of the stretch untouched. x64: the entry jumps
    // to the record's relay, which jumps on to the detour.
#if defined(_WIN64)
    const void *jumpsTo = record->relay;
    EXPECT_EQ(BytesAt(record->relay, 6), std::vector<uint8_t>({0xFF, 0x25, 0, 0, 0, 0}));
    EXPECT_EQ(memcmp(record->relay + 6, &detour, 8), 0);
#else
    const void *jumpsTo = detour;
#endif
    EXPECT_EQ(target[0], 0xE9);
    EXPECT_EQ(Load32(target + 1), uint32_t(Address(jumpsTo) - Address(target) - 5));
    EXPECT_EQ(BytesAt(target + 5, saved - 5), std::vector<uint8_t>(before.begin() + 5, before.begin() + saved));
    EXPECT_EQ(BytesAt(record->savedBytes, saved), std::vector<uint8_t>(before.begin(), before.begin() + saved));
    // Whole instructions, the least that covers five bytes, each copy at its
    // source's offset, measured where it runs (x64's jmp [rip+disp32] reads
    // its pointer there): a re-based copy differs in one displacement, which
    // reaches where the original did; a copy left as it was branches nowhere
    // relative (x86's jumps through an absolute pointer aside).
    uint32_t offset = 0;
    while (offset < 5) {
        const uint8_t *copy = record->trampoline + offset, *original = record->savedBytes + offset;
        uintptr_t copyTarget;
        const uint8_t *next = CopyInstruction(nullptr, copy, &copyTarget, nullptr);
        ASSERT_NE(next, nullptr);
        uint32_t length = uint32_t(next - copy);
        if (memcmp(copy, original, length) != 0) {
            EXPECT_TRUE(RebasedField(copy, original, length, uint32_t(Address(target) - Address(record->trampoline))))
                << "instruction at offset " << offset;
        } else {
#if !defined(_WIN64)
            if (copy[0] == 0xFF && (copy[1] == 0x15 || copy[1] == 0x25))
                copyTarget = 0;
#endif
            EXPECT_TRUE(copyTarget == 0 || copyTarget == UnknownBranchTarget) << "instruction at offset " << offset;
        }
        offset += length;
    }
    EXPECT_EQ(offset, saved);
    EXPECT_EQ(record->trampoline[saved], 0xE9);
    EXPECT_EQ(Address(record->trampoline) + saved + 5 + intptr_t(int32_t(Load32(record->trampoline + saved + 1))),
              Address(target) + saved);
    for (uint32_t i = saved + 5; i < sizeof record->trampoline; ++i)
        EXPECT_EQ(record->trampoline[i], 0) << "trampoline byte " << i;
    EXPECT_EQ(*slot, static_cast<const void *>(record->trampoline));
    // x86: its own executable allocation; x64: executable memory within a
    // rel32 of the entry.
    MEMORY_BASIC_INFORMATION info;
    ASSERT_TRUE(VirtualQuery(record, &info, sizeof info));
#if defined(_WIN64)
    EXPECT_LT(std::max(Address(record), Address(target)) - std::min(Address(record), Address(target)), 0x7FFF0000u);
#else
    EXPECT_EQ(info.AllocationBase, static_cast<const void *>(record));
#endif
    EXPECT_EQ(info.Protect, DWORD(PAGE_EXECUTE_READWRITE));
}

void *BoundImport(const char *dll, const char *name)
{
    uint8_t *base = reinterpret_cast<uint8_t *>(GetModuleHandleW(nullptr));
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto *import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + directory.VirtualAddress);
         import->Name; ++import) {
        if (_stricmp(reinterpret_cast<char *>(base + import->Name), dll) != 0)
            continue;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + import->OriginalFirstThunk);
        auto *bound = reinterpret_cast<IMAGE_THUNK_DATA *>(base + import->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++bound) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<char *>(byName->Name), name) == 0)
                return reinterpret_cast<void *>(bound->u1.Function);
        }
    }
    return nullptr;
}
