#include "patching/loaded_modules.h"
#include <psapi.h>

namespace {

// name against the base name of path: equal but for case, and for a ".dll"
// that name leaves out.
bool SameModuleName(const wchar_t *name, const wchar_t *path)
{
    const wchar_t *base = path;
    for (const wchar_t *at = path; *at; at++)
        if (*at == L'\\' || *at == L'/')
            base = at + 1;
    int length = lstrlenW(name);
    wchar_t own[MAX_PATH];
    lstrcpynW(own, base, MAX_PATH);
    int ownLength = lstrlenW(own);
    bool named = false;
    for (int i = 0; i < length; i++)
        named = named || name[i] == L'.';
    if (!named && ownLength == length + 4 && !lstrcmpiW(own + length, L".dll"))
        own[length] = 0;
    return !lstrcmpiW(own, name);
}

}  // namespace

HMODULE LoadedModule(const wchar_t *name)
{
    HMODULE modules[1024];
    DWORD bytes = 0;
    // Without the list, the loader is asked.
    if (!EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &bytes) || bytes > sizeof modules)
        return GetModuleHandleW(name);
    for (DWORD i = 0; i < bytes / sizeof(HMODULE); i++) {
        wchar_t path[MAX_PATH];
        DWORD length = GetModuleFileNameW(modules[i], path, MAX_PATH);
        if (length && length < MAX_PATH && SameModuleName(name, path))
            return modules[i];
    }
    return nullptr;
}

uint32_t LoadedImageSize(HMODULE module)
{
    if (!module)
        return 0;
    const auto *base = reinterpret_cast<const uint8_t *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    // A program that rewrote its headers is asked about through the loader.
    if (dos->e_magic == IMAGE_DOS_SIGNATURE && dos->e_lfanew > 0 && dos->e_lfanew < 0x800) {
        const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
        if (nt->Signature == IMAGE_NT_SIGNATURE && nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR_MAGIC)
            return nt->OptionalHeader.SizeOfImage;
    }
    MODULEINFO info = {};
    return GetModuleInformation(GetCurrentProcess(), module, &info, sizeof info) ? info.SizeOfImage : 0;
}
