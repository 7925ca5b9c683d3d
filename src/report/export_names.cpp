// Export table look-up in the modules of this process. An export names only
// an address inside its own function: the next export ends it, and on x64
// the function table tells where the function that holds the address begins.
#include "report/export_names.h"
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
#endif

int FindExportBelow(uintptr_t address, wchar_t *moduleName, wchar_t *name, uint32_t nameChars, uint32_t *offset)
{
    HMODULE module;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(address), &module))
        return 0;
    const BYTE *base = reinterpret_cast<const BYTE *>(module);
    MODULEINFO info = {};
    if (!GetModuleInformation(GetCurrentProcess(), module, &info, sizeof info))
        return 0;
    uint32_t size = info.SizeOfImage;
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
