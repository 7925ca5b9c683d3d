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
