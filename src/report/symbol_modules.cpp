// Modules loaded into the symbol handler on demand, at most once per dump.
#include "report/symbol_modules.h"
#include "patching/loaded_modules.h"
#include "report/symbols.h"
#include <dbghelp.h>
#include <psapi.h>

// More modules than a process holds in practice; once full, no further loads
// are tried, so a module is never tried twice in one dump.
enum : uint32_t { TriedModuleSlots = 512 };
static uintptr_t TriedModules[TriedModuleSlots];
static uint32_t TriedCount;

void ForgetSymbolModuleLoads() { TriedCount = 0; }

int LoadSymbolModuleOf(uintptr_t address)
{
    HMODULE module;
    if (!SymbolProcess ||
        !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(address), &module))
        return 0;
    uintptr_t base = reinterpret_cast<uintptr_t>(module);
    for (uint32_t i = 0; i < TriedCount; ++i)
        if (TriedModules[i] == base)
            return 0;
    if (TriedCount == TriedModuleSlots)
        return 0;
    TriedModules[TriedCount++] = base;

    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 0;  // a cut path would name another file
    return SymLoadModuleExW(SymbolProcess, nullptr, path, nullptr, base, LoadedImageSize(module), nullptr, 0) != 0;
}
