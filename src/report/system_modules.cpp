// Where the system modules lay at the last TarnwickStart: blocks whose
// allocating call came straight from one of them are not the host's leaks.
#include "report/system_modules.h"
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

void SnapshotSystemModules()
{
    for (SystemModule &module : SystemModuleTable) {
        HMODULE handle = GetModuleHandleW(module.name);
        module.base = reinterpret_cast<uintptr_t>(handle);
        module.size = 0;
        // A loaded module whose image size cannot be read covers its base alone.
        MODULEINFO info = {};
        if (handle && GetModuleInformation(GetCurrentProcess(), handle, &info, sizeof info))
            module.size = info.SizeOfImage;
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
