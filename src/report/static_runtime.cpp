#include "report/static_runtime.h"
#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include "patching/coff_symbols.h"
#include "patching/loaded_modules.h"

namespace {

// Name prefixes of the functions that set up the runtime's own state.
const char *const RuntimeNames[] = {
    "__emutls", "pthread_", "_pthread", "__pthread", "mutex_impl", "rwl_", "cond_", "sem_",  // libgcc, winpthreads
    "__cxa_", "__gxx_", "_Unwind_", "__register_frame", "__deregister_frame",                // exceptions
    "_ZNSt6locale", "_ZNKSt6locale", "_ZNSt8ios_base", "_ZN10__cxxabiv1", "_ZN12_GLOBAL__N_14pool",
    "__mingw", "_pei386", "__tmainCRTStartup",  // the start-up code
};

// A function's start and whether it is the runtime's: sorted by address.
struct Function {
    uintptr_t address;
    bool runtime;
};

Function *Functions;  // VirtualAlloc memory; null until read
uint32_t FunctionCount, FunctionRoom;
uintptr_t ImageBegin, ImageEnd;  // the program's image
bool Read;

bool IsRuntimeName(const char *name)
{
    for (const char *prefix : RuntimeNames)
        if (!strncmp(name, prefix, strlen(prefix)))
            return true;
    return false;
}

// Functions, not the section symbols (".text") that share their addresses.
bool IsFunction(const CoffSymbol &symbol) { return symbol.code && symbol.name[0] != '.'; }

void CountFunction(const CoffSymbol &symbol, void *) { FunctionRoom += IsFunction(symbol); }

void KeepFunction(const CoffSymbol &symbol, void *)
{
    if (IsFunction(symbol) && FunctionCount < FunctionRoom)
        Functions[FunctionCount++] = {symbol.address, IsRuntimeName(symbol.name)};
}

// Of two names at one address, the runtime's sorts last, where the search
// lands.
int ByAddress(const void *a, const void *b)
{
    const auto *x = static_cast<const Function *>(a), *y = static_cast<const Function *>(b);
    if (x->address != y->address)
        return x->address < y->address ? -1 : 1;
    return int(x->runtime) - int(y->runtime);
}

void ReadFunctions()
{
    Read = true;
    const HMODULE program = GetModuleHandleW(nullptr);
    ImageBegin = reinterpret_cast<uintptr_t>(program);
    ImageEnd = ImageBegin + LoadedImageSize(program);
    if (!VisitProgramSymbols(CountFunction, nullptr) || !FunctionRoom)
        return;
    Functions = static_cast<Function *>(
        VirtualAlloc(nullptr, FunctionRoom * sizeof(Function), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!Functions)
        return;
    VisitProgramSymbols(KeepFunction, nullptr);
    qsort(Functions, FunctionCount, sizeof(Function), ByAddress);
}

}  // namespace

bool IsStaticRuntimeCode(uintptr_t address)
{
    if (!Read)
        ReadFunctions();
    if (address < ImageBegin || address >= ImageEnd)
        return false;
    // The last function that starts at or below the address holds it.
    uint32_t low = 0, high = FunctionCount;
    while (low < high) {
        uint32_t middle = (low + high) / 2;
        if (Functions[middle].address <= address)
            low = middle + 1;
        else
            high = middle;
    }
    return low > 0 && Functions[low - 1].runtime;
}

void ForgetStaticRuntime()
{
    if (Functions)
        VirtualFree(Functions, 0, MEM_RELEASE);
    Functions = nullptr;
    FunctionCount = FunctionRoom = 0;
    Read = false;
}
