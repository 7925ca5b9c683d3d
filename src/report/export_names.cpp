// Export table look-up in the modules of this process. An export names only
// an address inside its own function: the next export ends it, and on x64
// the function table tells where the function that holds the address begins;
// x86 has no such table, and its code is read from the export instead.
#include "report/export_names.h"
#include "patching/loaded_modules.h"
#include "patching/instruction_copier.h"
#include <windows.h>
#include <psapi.h>

#if defined(_WIN64)
// The start of the function that holds the address, following chained
// entries to the function's first part; 0 where the table has none.
static uint32_t FunctionStart(uintptr_t address)
{
    DWORD64 imageBase;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(address, &imageBase, nullptr);
    // A chain of parts is short; the bound only guards a damaged table.
    for (int part = 0; function && part < 32; part++) {
        const BYTE *unwind = reinterpret_cast<const BYTE *>(imageBase + function->UnwindData);
        const uint8_t ChainInfo = 4;
        if (!((unwind[0] >> 3) & ChainInfo))
            return function->BeginAddress;
        uint32_t codes = (unwind[2] + 1) & ~1u;  // unwind codes, 2 bytes each, padded to an even count
        function = reinterpret_cast<PRUNTIME_FUNCTION>(const_cast<BYTE *>(unwind) + 4 + 2 * codes);
    }
    return 0;
}
#else
// What follows the last instruction of a function: padding (int3, the nops that
// align the next function), the next function's prologue, or the next
// function itself at an aligned address.
static bool FunctionEndsAt(const uint8_t *next)
{
    return next[0] == 0xCC || next[0] == 0x90 || (next[0] == 0x66 && next[1] == 0x90) ||
           (next[0] == 0x8D && (next[1] == 0x76 || next[1] == 0xB6 || next[1] == 0x74 || next[1] == 0xB4)) ||
           next[0] == 0x55 || (next[0] == 0x8B && next[1] == 0xFF) || (reinterpret_cast<uintptr_t>(next) & 15) == 0;
}

// Whether reading the code from entry on, an instruction at a time, reaches
// address before the function plainly ends. An address past an early return
// or a jump at an aligned place in the function is not reached either: it is
// shown without the name.
static bool InFunctionFrom(uintptr_t entry, uintptr_t address)
{
    const uint32_t MaxFunctionBytes = 256 * 1024;
    if (address - entry > MaxFunctionBytes)
        return false;
    const uint8_t *at = reinterpret_cast<const uint8_t *>(entry), *target = reinterpret_cast<const uint8_t *>(address);
    while (at < target) {
        if (*at == 0xCC)
            return false;
        // Where control does not fall through: a ret, or a jmp (a tail call).
        bool leaves = *at == 0xC3 || *at == 0xC2 || *at == 0xE9 || *at == 0xEB ||
                      (*at == 0xFF && (at[1] & 0x38) == 0x20);
        const uint8_t *next = CopyInstruction(nullptr, at, nullptr, nullptr);
        if (!next || (leaves && FunctionEndsAt(next)))
            return false;
        at = next;
    }
    return at == target;
}
#endif

int FindExportBelow(uintptr_t address, wchar_t *moduleName, wchar_t *name, uint32_t nameChars, uint32_t *offset)
{
    HMODULE module;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(address), &module))
        return 0;
    const BYTE *base = reinterpret_cast<const BYTE *>(module);
    uint32_t size = LoadedImageSize(module);
    if (!size)
        return 0;
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    // The process's own kind of image: PE32+ on x64, whose optional header is longer.
    const IMAGE_NT_HEADERS *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (!directory.VirtualAddress || directory.VirtualAddress + sizeof(IMAGE_EXPORT_DIRECTORY) > size)
        return 0;
    const IMAGE_EXPORT_DIRECTORY *exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + directory.VirtualAddress);
    if (exports->AddressOfFunctions >= size || exports->AddressOfNames >= size ||
        exports->AddressOfNameOrdinals >= size)
        return 0;
    const DWORD *functions = reinterpret_cast<const DWORD *>(base + exports->AddressOfFunctions);
    const DWORD *names = reinterpret_cast<const DWORD *>(base + exports->AddressOfNames);
    const WORD *ordinals = reinterpret_cast<const WORD *>(base + exports->AddressOfNameOrdinals);
    uint32_t target = address - reinterpret_cast<uintptr_t>(base);
    uint32_t best = 0, bestName = 0, nearest = 0;
    // The nearest export below, with a name or without one.
    for (DWORD i = 0; i < exports->NumberOfFunctions && exports->AddressOfFunctions + 4 * i < size; ++i) {
        uint32_t rva = functions[i];
        bool forwarder = rva >= directory.VirtualAddress && rva < directory.VirtualAddress + directory.Size;
        if (!forwarder && rva <= target && rva > nearest)
            nearest = rva;
    }
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        if (ordinals[i] >= exports->NumberOfFunctions)
            continue;
        uint32_t rva = functions[ordinals[i]];
        // Forwarders point into the export directory, not at code.
        bool forwarder = rva >= directory.VirtualAddress && rva < directory.VirtualAddress + directory.Size;
        if (!forwarder && rva <= target && rva > best && names[i] < size) {
            best = rva;
            bestName = names[i];
        }
    }
    if (!bestName || best != nearest || !GetModuleBaseNameW(GetCurrentProcess(), module, moduleName, 260))
        return 0;
#if defined(_WIN64)
    uint32_t start = FunctionStart(address);
    if (start && start != best)
        return 0;
#else
    if (!InFunctionFrom(reinterpret_cast<uintptr_t>(base) + best, address))
        return 0;
#endif
    moduleName[259] = 0;
    const char *text = reinterpret_cast<const char *>(base + bestName);
    uint32_t i = 0;
    for (; i + 1 < nameChars && text[i] && bestName + i < size; ++i)
        name[i] = static_cast<unsigned char>(text[i]);
    name[i] = 0;
    *offset = target - best;
    return 1;
}
