// The allocating entries of the C and C++ runtimes: exports of the runtime
// DLLs by name, and operator new linked into the program (mingw's
// -static-libstdc++), which only the program's COFF symbol table names. That
// table is read from the file through a mapping: it is not loaded with the
// image, and reading it needs no symbol handler. A program without one is
// asked through its debug information instead: its DWARF (a GCC program
// linked without the table), else its PDB (the platform toolchain's).
#include "patching/runtime_entries.h"
#include "patching/coff_symbols.h"
#include "patching/debug_names.h"
#include "patching/loaded_modules.h"
#include "report/dwarf_lines.h"
#include <windows.h>
#include <string.h>

namespace {

// The C runtimes' functions that hand their caller memory they allocate.
const char *const CRuntimeExports[] = {
    "malloc", "calloc", "realloc", "_recalloc", "_malloc_base", "_calloc_base", "_realloc_base",
    "_strdup", "_wcsdup", "_mbsdup",
    "_aligned_malloc", "_aligned_offset_malloc", "_aligned_realloc", "_aligned_offset_realloc",
    "_aligned_recalloc", "_aligned_offset_recalloc",
    "_getcwd", "_wgetcwd", "_getdcwd", "_wgetdcwd", "_fullpath", "_wfullpath", "_tempnam", "_wtempnam",
    // operator new and new[], plain and with file and line
#if defined(_WIN64)
    "??2@YAPEAX_K@Z", "??_U@YAPEAX_K@Z", "??2@YAPEAX_KHPEBDH@Z", "??_U@YAPEAX_KHPEBDH@Z",
#else
    "??2@YAPAXI@Z", "??_U@YAPAXI@Z", "??2@YAPAXIHPBDH@Z", "??_U@YAPAXIHPBDH@Z",
#endif
};
const wchar_t *const CRuntimes[] = {L"msvcrt", L"ucrtbase"};

// The entries above that allocate only when their buffer argument is null.
struct BufferTaker {
    const char *name;
    int buffer;  // the argument's position
};
const BufferTaker BufferTakers[] = {
    {"_getcwd", 0}, {"_wgetcwd", 0}, {"_getdcwd", 1}, {"_wgetdcwd", 1}, {"_fullpath", 0}, {"_wfullpath", 0},
};

// GCC's operator new and new[]: plain, nothrow, aligned, aligned nothrow.
// size_t is mangled j on x86 (unsigned int), y on x64 (unsigned long long).
// C names carry a leading underscore in x86 COFF symbols only.
#if defined(_WIN64)
const char *const CxxNewNames[] = {
    "_Znwy", "_Znay", "_ZnwyRKSt9nothrow_t", "_ZnayRKSt9nothrow_t",
    "_ZnwySt11align_val_t", "_ZnaySt11align_val_t",
    "_ZnwySt11align_val_tRKSt9nothrow_t", "_ZnaySt11align_val_tRKSt9nothrow_t",
};
const char *const MainNames[] = {"main", "wmain", "WinMain", "wWinMain"};
const char SymbolPrefix[] = "";
#else
const char *const CxxNewNames[] = {
    "_Znwj", "_Znaj", "_ZnwjRKSt9nothrow_t", "_ZnajRKSt9nothrow_t",
    "_ZnwjSt11align_val_t", "_ZnajSt11align_val_t",
    "_ZnwjSt11align_val_tRKSt9nothrow_t", "_ZnajSt11align_val_tRKSt9nothrow_t",
};
const char *const MainNames[] = {"main", "wmain", "WinMain@16", "wWinMain@16"};
const char SymbolPrefix[] = "_";
#endif
const char StartupStateName[] = "__native_startup_state";

struct EntryList {
    void **entries;
    uintptr_t *ends;
    uint32_t count;
    uint32_t max;
    ProgramStart *start;
};

void Add(EntryList *list, void *entry, uintptr_t end)
{
    if (!entry || list->count == list->max)
        return;
    for (uint32_t i = 0; i < list->count; i++)
        if (list->entries[i] == entry)
            return;  // two names of one function
#if defined(_WIN64)
    // The function table bounds every function exactly.
    DWORD64 imageBase;
    if (const RUNTIME_FUNCTION *function = RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(entry), &imageBase, nullptr))
        end = imageBase + function->EndAddress;
#endif
    list->entries[list->count] = entry;
    list->ends[list->count++] = end;
}

// Where the export at rva ends at the latest: at the next export above it,
// else at the end of the section that holds it.
uintptr_t ExportEnd(const uint8_t *base, uint32_t rva)
{
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    uint32_t end = rva;
    const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
    for (uint32_t i = 0; i < nt->FileHeader.NumberOfSections; i++, section++)
        if (rva - section->VirtualAddress < section->Misc.VirtualSize)
            end = section->VirtualAddress + section->Misc.VirtualSize;
    const IMAGE_DATA_DIRECTORY &directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (directory.Size) {
        const auto *exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + directory.VirtualAddress);
        const auto *functions = reinterpret_cast<const uint32_t *>(base + exports->AddressOfFunctions);
        for (uint32_t i = 0; i < exports->NumberOfFunctions; i++)
            if (functions[i] > rva && functions[i] < end)
                end = functions[i];
    }
    return reinterpret_cast<uintptr_t>(base) + end;
}

template <size_t N> void AddExports(EntryList *list, HMODULE module, const char *const (&names)[N])
{
    if (!module)
        return;
    const auto *base = reinterpret_cast<const uint8_t *>(module);
    for (const char *name : names) {
        auto *entry = reinterpret_cast<uint8_t *>(GetProcAddress(module, name));
        if (entry)
            Add(list, entry, ExportEnd(base, uint32_t(entry - base)));
    }
}

template <size_t N> bool IsOneOf(const char *name, const char *const (&names)[N])
{
    for (const char *known : names)
        if (!strcmp(name, known))
            return true;
    return false;
}

// The operator new functions that the program defines in its code, and its
// start: external symbols.
void AddLinkedNew(const CoffSymbol &symbol, void *context)
{
    auto *list = static_cast<EntryList *>(context);
    auto *at = reinterpret_cast<void *>(symbol.address);
    if (!symbol.external)
        return;
    if (symbol.code && IsOneOf(symbol.name, CxxNewNames))
        Add(list, at, symbol.sectionEnd);
    else if (symbol.code && IsOneOf(symbol.name, MainNames))
        list->start->main = at;
    else if (!symbol.code && !strcmp(symbol.name, StartupStateName))
        list->start->startupState = static_cast<const volatile uint32_t *>(at);
}

// Each linked function ends at the next symbol of its section at the latest
// (x64 has its function table instead).
void BoundLinkedNew(const CoffSymbol &symbol, void *context)
{
    auto *list = static_cast<EntryList *>(context);
    for (uint32_t e = 0; e < list->count; e++)
        if (symbol.address > reinterpret_cast<uintptr_t>(list->entries[e]) && symbol.address < list->ends[e])
            list->ends[e] = symbol.address;
}

// The same names for a program without a COFF symbol table (the platform
// toolchain's), from its debug information; dbghelp is asked only then.
template <size_t N> void *FirstNamed(const DebugNames &names, const char *const (&list)[N], bool all, EntryList *entries)
{
    for (const char *name : list) {
        char linkerName[64];
        lstrcpynA(linkerName, SymbolPrefix, sizeof linkerName);
        lstrcpynA(linkerName + sizeof SymbolPrefix - 1, name, sizeof linkerName - sizeof SymbolPrefix + 1);
        void *at = FindDebugName(names, linkerName);
        if (!all && at)
            return at;
        // x64's function table bounds it exactly; on x86 the call on to malloc
        // lies within its first instructions.
        if (at)
            Add(entries, at, reinterpret_cast<uintptr_t>(at) + 64);
    }
    return nullptr;
}

void AddNamedInDebugInfo(EntryList *list, HMODULE program)
{
    DebugNames names;
    OpenDebugNames(program, &names);
    if (!names.session)
        return;
    FirstNamed(names, CxxNewNames, true, list);
    list->start->main = FirstNamed(names, MainNames, false, list);
    const char *const state[] = {StartupStateName};
    list->start->startupState = static_cast<const volatile uint32_t *>(FirstNamed(names, state, false, list));
    CloseDebugNames(&names);
}

// A name as DWARF gives it against one of the lists above, whose x86
// stdcall names carry their decoration ("WinMain@16").
template <size_t N> bool IsOneOfUndecorated(const char *name, const char *const (&names)[N])
{
    for (const char *known : names) {
        size_t length = strcspn(known, "@");
        if (!strncmp(name, known, length) && !name[length])
            return true;
    }
    return false;
}

// The same names in the program's DWARF, whose C names have no underscore;
// DWARF bounds each function exactly.
void AddDwarfNamed(const char *name, uintptr_t address, uintptr_t end, void *context)
{
    auto *list = static_cast<EntryList *>(context);
    auto *at = reinterpret_cast<void *>(address);
    const bool code = end > address;
    if (code && IsOneOf(name, CxxNewNames))
        Add(list, at, end);
    else if (code && IsOneOfUndecorated(name, MainNames))
        list->start->main = at;
    else if (!code && !strcmp(name, StartupStateName))
        list->start->startupState = static_cast<const volatile uint32_t *>(at);
}

void AddProgramNew(EntryList *list)
{
    const uint32_t first = list->count;
    if (!VisitProgramSymbols(AddLinkedNew, list)) {
        HMODULE program = GetModuleHandleW(nullptr);
        if (!VisitDwarfNames(program, AddDwarfNamed, list))
            AddNamedInDebugInfo(list, program);
        return;
    }
    if (sizeof(void *) == 4 && list->count > first)
        VisitProgramSymbols(BoundLinkedNew, list);
}

}  // namespace

int BufferArgument(void *entry)
{
    for (const wchar_t *runtime : CRuntimes)
        if (HMODULE module = LoadedModule(runtime))
            for (const BufferTaker &taker : BufferTakers)
                if (reinterpret_cast<void *>(GetProcAddress(module, taker.name)) == entry)
                    return taker.buffer;
    return -1;
}

uint32_t FindRuntimeEntries(void **entries, uintptr_t *ends, uint32_t max, ProgramStart *start)
{
    *start = {};
    EntryList list = {entries, ends, 0, max, start};
    for (const wchar_t *runtime : CRuntimes)
        AddExports(&list, LoadedModule(runtime), CRuntimeExports);
    AddExports(&list, LoadedModule(L"libstdc++-6"), CxxNewNames);
    AddProgramNew(&list);
    return list.count;
}
