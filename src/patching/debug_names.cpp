#include "patching/debug_names.h"
#include "patching/loaded_modules.h"
#include "control/options.h"
#include <dbghelp.h>
#include <psapi.h>

// The session's handle: any unique value serves while dbghelp is not asked
// to enumerate the process's modules, and this one cannot clash with the
// report's session (the process handle).
static char SessionTag;

void OpenDebugNames(HMODULE module, DebugNames *names)
{
    names->session = 0;
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    uint32_t size = LoadedImageSize(module);
    if (!length || length == MAX_PATH || !size)
        return;
    HANDLE session = &SessionTag;
    SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS);
    if (!SymInitializeW(session, Options.symbolPath[0] ? Options.symbolPath : nullptr, FALSE))
        return;
    DWORD64 base = reinterpret_cast<uintptr_t>(module);
    IMAGEHLP_MODULEW64 loaded = {};
    loaded.SizeOfStruct = sizeof loaded;
    // Only a PDB (or DWARF that this dbghelp reads) names anything.
    if (SymLoadModuleExW(session, nullptr, path, nullptr, base, size, nullptr, 0) &&
        SymGetModuleInfoW64(session, base, &loaded) && loaded.SymType != SymExport && loaded.SymType != SymNone)
        names->session = session;
    else
        SymCleanup(session);
}

void *FindDebugName(const DebugNames &names, const char *name)
{
    union {
        SYMBOL_INFO info;
        char bytes[sizeof(SYMBOL_INFO) + 256];
    } symbol = {};
    symbol.info.SizeOfStruct = sizeof symbol.info;
    symbol.info.MaxNameLen = 256;
    if (!names.session || !SymFromName(names.session, name, &symbol.info))
        return nullptr;
    return reinterpret_cast<void *>(static_cast<uintptr_t>(symbol.info.Address));
}

void CloseDebugNames(DebugNames *names)
{
    if (names->session)
        SymCleanup(names->session);
    names->session = 0;
}
