// Where the system modules lay at the last TarnwickStart: blocks whose
// allocating call came straight from one of them are not the host's leaks.
#include "report/system_modules.h"
#include "patching/loaded_modules.h"
#include <windows.h>
#include <psapi.h>

SystemModule SystemModuleTable[SystemModuleCount] = {
    {L"kernel32", 0, 0}, {L"ntdll", 0, 0},  {L"msvcrt", 0, 0}, {L"GDI32", 0, 0},
    {L"RPCRT4", 0, 0},   {L"USER32", 0, 0}, {L"IMM32", 0, 0},  {L"USP10", 0, 0},
    {L"ole32", 0, 0},    {L"ADVAPI32", 0, 0},
    // Where most of kernel32's and ole32's code lives now (Windows 7 and
    // later, Wine), and the other C runtime the system ships: what the
    // runtimes allocate for themselves is theirs; what a program asks them
    // for is marked as the program's (tracking/runtime_interceptors.cpp).
    {L"kernelbase", 0, 0}, {L"combase", 0, 0}, {L"ucrtbase", 0, 0},
};

namespace {

struct SeenModule {
    uintptr_t base, end;
    bool system;
};
enum : uint32_t { MaxSeenModules = 512, PathChars = 1024 };
SeenModule Seen[MaxSeenModules];
uint32_t SeenCount;

bool StartsWithFolder(const wchar_t *path, const wchar_t *folder, UINT length)
{
    return length && length < PathChars && CompareStringOrdinal(path, length, folder, length, TRUE) == CSTR_EQUAL &&
           (path[length] == L'\\' || path[length] == L'/');
}

// Whether the image was loaded from one of the system's folders.
bool FromSystemFolder(HMODULE module)
{
    wchar_t path[PathChars], folder[PathChars];
    DWORD length = GetModuleFileNameW(module, path, PathChars);
    if (!length || length == PathChars)
        return false;
    if (StartsWithFolder(path, folder, GetSystemDirectoryW(folder, PathChars)) ||
        StartsWithFolder(path, folder, GetSystemWow64DirectoryW(folder, PathChars)))
        return true;
    UINT windows = GetWindowsDirectoryW(folder, PathChars - 8);
    if (!windows || windows >= PathChars - 8)
        return false;
    lstrcpyW(folder + windows, L"\\WinSxS");
    return StartsWithFolder(path, folder, windows + 7);
}

}  // namespace

bool IsSystemCode(uintptr_t address)
{
    if (IsInSystemModule(address))
        return true;
    for (uint32_t i = 0; i < SeenCount; i++)
        if (address - Seen[i].base < Seen[i].end - Seen[i].base)
            return Seen[i].system;
    HMODULE module;
    uint32_t size;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(address), &module) ||
        !(size = LoadedImageSize(module)))
        return false;
    // The program itself is never the system's, wherever it lies (Wine's
    // and Windows' own programs are in System32).
    bool system = module != GetModuleHandleW(nullptr) && FromSystemFolder(module);
    if (SeenCount < MaxSeenModules)
        Seen[SeenCount++] = {reinterpret_cast<uintptr_t>(module), reinterpret_cast<uintptr_t>(module) + size,
                             system};
    return system;
}

void SnapshotSystemModules()
{
    SeenCount = 0;
    for (SystemModule &module : SystemModuleTable) {
        HMODULE handle = LoadedModule(module.name);
        module.base = reinterpret_cast<uintptr_t>(handle);
        // A loaded module whose image size cannot be read covers its base alone.
        module.size = LoadedImageSize(handle);
    }
}

int IsInSystemModule(uintptr_t address)
{
    // Both ends inclusive; an entry of a module that was not loaded covers 0.
    for (const SystemModule &module : SystemModuleTable)
        if (module.base <= address && address <= module.base + module.size)
            return 1;
    return 0;
}
