// The modules whose frames a dump resolves, with their files mapped until
// the dump ends, and per unit the line table and inlined calls, read when a
// frame first falls into the unit. At one address the last row counts (with
// statement frontiers the row of the line that begins there).
#include "report/dwarf_lines.h"
#include "report/dwarf_line_table.h"
#include "report/dwarf_units.h"
#include <windows.h>
#include <string.h>

namespace {

struct UnitTables {
    bool tried, ok;
    LineTable lines;
    IntervalIndex sites;
    bool namesTried, namesOk;  // the names, read when a function in the unit is first named
    UnitNames names;
};

struct Module {
    uintptr_t base;  // where it is loaded; 0 for a file read on its own
    wchar_t path[MAX_PATH];
    uint64_t bias;  // added to a loaded address to give the file's
    ImageFile file;
    DwarfSections sections;
    bool hasDwarf;
    DwarfUnit *units;
    uint32_t unitCount;
    IntervalIndex unitRanges;
    UnitTables *tables;
};

// More modules than one report meets in practice; past them, frames go to
// the symbol handler.
enum : uint32_t { ModuleSlots = 96 };
Module Modules[ModuleSlots];
uint32_t ModuleCount;
ScratchArena Arena;

void FindDwarfSections(const ImageFile &f, DwarfSections *s)
{
    *s = {FindImageSection(f, ".debug_info"), FindImageSection(f, ".debug_abbrev"), FindImageSection(f, ".debug_line"),
          FindImageSection(f, ".debug_str"), FindImageSection(f, ".debug_line_str"), FindImageSection(f, ".debug_addr"),
          FindImageSection(f, ".debug_ranges"), FindImageSection(f, ".debug_rnglists"),
          FindImageSection(f, ".debug_str_offsets")};
}

Module *OpenModule(const wchar_t *path, uintptr_t base)
{
    for (uint32_t i = 0; i < ModuleCount; i++)
        if (Modules[i].base == base && (base || !lstrcmpiW(Modules[i].path, path)))
            return &Modules[i];
    if (ModuleCount == ModuleSlots)
        return nullptr;
    Module *module = &Modules[ModuleCount++];
    *module = {};
    module->base = base;
    lstrcpynW(module->path, path, MAX_PATH);
    if (!OpenImageFile(path, &module->file))
        return module;
    FindDwarfSections(module->file, &module->sections);
    DwarfSections &s = module->sections;
    const ImageFile &f = module->file;
    module->bias = base ? f.imageBase - base : 0;
    module->hasDwarf = s.info.data && s.abbrev.data && s.line.data &&
                       ReadUnits(s, &Arena, &module->units, &module->unitCount, &module->unitRanges) &&
                       module->unitCount &&
                       (module->tables = static_cast<UnitTables *>(
                            ArenaAlloc(&Arena, module->unitCount * sizeof(UnitTables)))) != nullptr;
    if (!module->hasDwarf)
        CloseImageFile(&module->file);  // nothing to read in it
    return module;
}

DwarfAnswer LineIn(Module *module, uint64_t address, char *path, uint32_t pathBytes, uint32_t *line)
{
    if (!module || !module->hasDwarf)
        return DwarfNoModule;
    uint64_t pc = address + module->bias;
    const Interval *unit = FindInterval(module->unitRanges, pc);
    if (!unit)
        return DwarfNoLine;
    UnitTables &tables = module->tables[unit->value];
    if (!tables.tried) {
        tables.tried = true;
        const DwarfUnit &source = module->units[unit->value];
        tables.ok = source.hasLines && ReadLineTable(module->sections, source, &Arena, &tables.lines);
        if (tables.ok && !ReadInlineSites(module->sections, source, &Arena, &tables.sites))
            tables.sites = {};  // lines without the inlined calls' own
    }
    if (!tables.ok)
        return DwarfNoLine;
    uint32_t file, number;
    if (const Interval *site = FindInterval(tables.sites, pc)) {
        file = site->value, number = site->extra;
    } else {
        const Interval *sequence = FindInterval(tables.lines.sequences, pc);
        if (!sequence)
            return DwarfNoLine;
        // The last row at or below pc, the end row left out.
        uint32_t low = sequence->value, high = sequence->value + sequence->extra - 1;
        while (low < high) {
            uint32_t middle = low + (high - low) / 2;
            if (tables.lines.rows[middle].address <= pc)
                low = middle + 1;
            else
                high = middle;
        }
        if (low == sequence->value)
            return DwarfNoLine;
        file = tables.lines.rows[low - 1].file, number = tables.lines.rows[low - 1].line;
    }
    if (!number || !JoinPath(tables.lines, file, path, pathBytes))
        return DwarfNoLine;
    *line = number;
    return DwarfLine;
}

}  // namespace

// The loaded module that holds address, opened when first met.
static Module *LoadedModule(uintptr_t address)
{
    HMODULE handle;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(address), &handle))
        return nullptr;
    uintptr_t base = reinterpret_cast<uintptr_t>(handle);
    for (uint32_t i = 0; i < ModuleCount; i++)
        if (Modules[i].base == base)
            return &Modules[i];
    wchar_t file[MAX_PATH];
    DWORD length = GetModuleFileNameW(handle, file, MAX_PATH);
    if (!length || length >= MAX_PATH)
        return nullptr;
    return OpenModule(file, base);
}

DwarfAnswer DwarfLineOf(uintptr_t address, char *path, uint32_t pathBytes, uint32_t *line)
{
    return LineIn(LoadedModule(address), address, path, pathBytes, line);
}

int DwarfFunctionOf(uintptr_t address, char *name, uint32_t nameBytes, uint32_t *displacement)
{
    Module *module = LoadedModule(address);
    if (!module || !module->hasDwarf)
        return 0;
    uint64_t pc = address + module->bias, start;
    const Interval *unit = FindInterval(module->unitRanges, pc);
    if (!unit)
        return 0;
    UnitTables &tables = module->tables[unit->value];
    const DwarfUnit &source = module->units[unit->value];
    if (!tables.namesTried) {
        tables.namesTried = true;
        tables.namesOk = ReadUnitNames(module->sections, source, &Arena, &tables.names);
    }
    if (!tables.namesOk || !FunctionNameAt(module->sections, source, tables.names, pc, name, nameBytes, &start))
        return 0;
    *displacement = static_cast<uint32_t>(pc - start);
    return 1;
}

int CoffFunctionOf(uintptr_t address, char *name, uint32_t nameBytes, uint32_t *displacement)
{
    Module *module = LoadedModule(address);
    uint64_t start;
    if (!module || !module->hasDwarf || !CoffFunctionAt(module->file, address + module->bias, name, nameBytes, &start))
        return 0;
    *displacement = static_cast<uint32_t>(address + module->bias - start);
    return 1;
}

int VisitDwarfNames(HMODULE image, void (*visit)(const char *name, uintptr_t address, uintptr_t end, void *context),
                    void *context)
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(image, path, MAX_PATH);
    ImageFile file;
    if (!length || length >= MAX_PATH || !OpenImageFile(path, &file))
        return 0;
    DwarfSections sections;
    FindDwarfSections(file, &sections);
    ScratchArena arena = {};
    DwarfUnit *units;
    uint32_t count;
    IntervalIndex ranges;
    struct Relocated {
        void (*visit)(const char *, uintptr_t, uintptr_t, void *);
        void *context;
        uint64_t bias;  // subtracted from the file's addresses
    } relocated = {visit, context, file.imageBase - reinterpret_cast<uintptr_t>(image)};
    int read = sections.info.data && sections.abbrev.data && ReadUnits(sections, &arena, &units, &count, &ranges) &&
               VisitUnitNames(sections, units, count, &arena,
                              [](const char *name, uint64_t address, uint64_t end, void *to) {
                                  auto *r = static_cast<Relocated *>(to);
                                  r->visit(name, static_cast<uintptr_t>(address - r->bias),
                                           static_cast<uintptr_t>(end - r->bias), r->context);
                              },
                              &relocated);
    FreeArena(&arena);
    CloseImageFile(&file);
    return read;
}

bool InDwarfModule(uintptr_t address)
{
    Module *module = LoadedModule(address);
    return module && module->hasDwarf;
}

DwarfAnswer DwarfLineInFile(const wchar_t *path, uint64_t address, char *out, uint32_t pathBytes, uint32_t *line)
{
    return LineIn(OpenModule(path, 0), address, out, pathBytes, line);
}

void EndDwarfLines()
{
    for (uint32_t i = 0; i < ModuleCount; i++)
        CloseImageFile(&Modules[i].file);
    ModuleCount = 0;
    FreeArena(&Arena);
}

size_t DwarfLinesMemory() { return Arena.committed; }
