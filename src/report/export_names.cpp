// Export table look-up in the modules of this process.
#include "report/export_names.h"
#include <windows.h>
#include <psapi.h>

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
    const IMAGE_NT_HEADERS32 *nt = reinterpret_cast<const IMAGE_NT_HEADERS32 *>(base + dos->e_lfanew);
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
    uint32_t best = 0, bestName = 0;
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
    if (!bestName || !GetModuleBaseNameW(GetCurrentProcess(), module, moduleName, 260))
        return 0;
    moduleName[259] = 0;
    const char *text = reinterpret_cast<const char *>(base + bestName);
    uint32_t i = 0;
    for (; i + 1 < nameChars && text[i] && bestName + i < size; ++i)
        name[i] = static_cast<unsigned char>(text[i]);
    name[i] = 0;
    *offset = target - best;
    return 1;
}
