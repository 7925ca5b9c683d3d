// The system modules whose code does not count as an allocating caller.
#pragma once
#include <stdint.h>

struct SystemModule {
    const wchar_t *name;
    uintptr_t base;
    uintptr_t size;
};

enum : uint32_t { SystemModuleCount = 13 };
extern SystemModule SystemModuleTable[SystemModuleCount];

void SnapshotSystemModules();
int IsInSystemModule(uintptr_t address);

// The listed modules, and any other module loaded from the system's folders
// (System32, SysWOW64, the side-by-side store) but the program's own
// executable: what such a module allocates
// is the system's too. A module is looked up when an address in it is first
// asked about and kept until the next SnapshotSystemModules.
bool IsSystemCode(uintptr_t address);
