// The line tables (.debug_line, DWARF 2-5) of the units that frames fall
// into, per module, with the modules' files mapped until the dump ends.
// Rows keep their sequences apart; at one address the last row counts (with
// statement frontiers the row of the line that begins there).
#include "report/dwarf_lines.h"
#include "report/dwarf_units.h"
#include <windows.h>
#include <string.h>

namespace {

struct LineRow {
    uint64_t address;
    uint32_t file, line;
};

struct FileEntry {
    const char *name;
    uint32_t directory;
};

struct LineTable {
    LineRow *rows;
    IntervalIndex sequences;  // value: first row, extra: rows, the end row included
    const char **directories;
    uint32_t directoryCount;
    FileEntry *files;
    uint32_t fileCount;
    uint32_t firstFile;  // file numbers count from 1 before DWARF 5, from 0 since
    const char *compDir;
};

struct UnitTables {
    bool tried, ok;
    LineTable lines;
    IntervalIndex sites;
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
enum : uint32_t { ModuleSlots = 96, LineContentPath = 1, LineContentDirectory = 2 };
Module Modules[ModuleSlots];
uint32_t ModuleCount;
ScratchArena Arena;

// DWARF 5 directory and file entries: (content, form) pairs, then entries.
bool ReadEntries(DwarfCursor *cursor, const DwarfUnit &unit, const DwarfSections &sections, const char ***names,
                 uint32_t **directories, uint32_t *count)
{
    uint32_t formats = static_cast<uint32_t>(cursor->Fixed(1));
    DwarfCursor pairs = *cursor;
    for (uint32_t i = 0; i < formats; i++)
        cursor->Uleb(), cursor->Uleb();
    uint64_t entries = cursor->Uleb();
    if (cursor->bad || entries > static_cast<uint64_t>(cursor->end - cursor->at))
        return false;
    *count = static_cast<uint32_t>(entries);
    *names = static_cast<const char **>(ArenaAlloc(&Arena, (entries + 1) * sizeof(char *)));
    if (directories)
        *directories = static_cast<uint32_t *>(ArenaAlloc(&Arena, (entries + 1) * sizeof(uint32_t)));
    if (!*names || (directories && !*directories))
        return false;
    for (uint32_t e = 0; e < entries; e++) {
        DwarfCursor spec = pairs;
        for (uint32_t i = 0; i < formats; i++) {
            uint32_t content = static_cast<uint32_t>(spec.Uleb()), form = static_cast<uint32_t>(spec.Uleb());
            FormValue value;
            if (!ReadForm(cursor, form, unit, 0, &value))
                return false;
            if (content == LineContentPath)
                (*names)[e] = FormString(form, value, unit, sections);
            else if (content == LineContentDirectory && directories)
                (*directories)[e] = static_cast<uint32_t>(value.u);
        }
        if (!(*names)[e])
            (*names)[e] = "";
    }
    return !cursor->bad;
}

// Directories and files before DWARF 5: terminated lists, directory 0 being
// the unit's own.
bool ReadOldEntries(DwarfCursor *cursor, LineTable *table)
{
    DwarfCursor start = *cursor;
    uint32_t directories = 1, files = 0;
    while (*cursor->String())
        directories++;
    while (*cursor->String() && !cursor->bad)
        cursor->Uleb(), cursor->Uleb(), cursor->Uleb(), files++;
    if (cursor->bad)
        return false;
    table->directories = static_cast<const char **>(ArenaAlloc(&Arena, directories * sizeof(char *)));
    table->files = static_cast<FileEntry *>(ArenaAlloc(&Arena, (files + 1) * sizeof(FileEntry)));
    if (!table->directories || !table->files)
        return false;
    *cursor = start;
    table->directories[0] = table->compDir;
    for (uint32_t i = 1; i < directories; i++)
        table->directories[i] = cursor->String();
    cursor->String();
    for (uint32_t i = 0; i < files; i++) {
        table->files[i].name = cursor->String();
        table->files[i].directory = static_cast<uint32_t>(cursor->Uleb());
        cursor->Uleb(), cursor->Uleb();
    }
    cursor->String();
    table->directoryCount = directories;
    table->fileCount = files;
    table->firstFile = 1;
    return true;
}

bool ReadLineTable(const DwarfSections &sections, const DwarfUnit &unit, LineTable *table)
{
    DwarfCursor cursor = CursorAt(sections.line, unit.stmtList);
    uint32_t offsetSize;
    uint64_t length = ReadInitialLength(&cursor, &offsetSize);
    if (cursor.bad || length > static_cast<uint64_t>(cursor.end - cursor.at))
        return false;
    cursor.end = cursor.at + length;
    DwarfUnit forms = unit;  // the header's strings are read with its own offset size
    forms.offsetSize = static_cast<uint8_t>(offsetSize);
    uint32_t version = static_cast<uint32_t>(cursor.Fixed(2));
    if (version < 2 || version > 5)
        return false;
    if (version >= 5) {
        forms.addressSize = static_cast<uint8_t>(cursor.Fixed(1));
        cursor.Fixed(1);  // segment selector size
    }
    uint64_t headerLength = cursor.Fixed(offsetSize);
    if (cursor.bad || headerLength > static_cast<uint64_t>(cursor.end - cursor.at))
        return false;
    DwarfCursor program = {cursor.at + headerLength, cursor.end, false};
    uint32_t minimumLength = static_cast<uint32_t>(cursor.Fixed(1));
    if (version >= 4)
        cursor.Fixed(1);  // operations per instruction: one on these machines
    cursor.Fixed(1);  // default_is_stmt: every row counts
    int32_t lineBase = static_cast<int8_t>(cursor.Fixed(1));
    uint32_t lineRange = static_cast<uint32_t>(cursor.Fixed(1));
    uint32_t opcodeBase = static_cast<uint32_t>(cursor.Fixed(1));
    const uint8_t *standardLengths = cursor.at;
    cursor.Skip(opcodeBase ? opcodeBase - 1 : 0);
    if (cursor.bad || !lineRange || !opcodeBase)
        return false;
    table->compDir = unit.compDir;
    if (version >= 5) {
        uint32_t *fileDirectories = nullptr;
        const char **fileNames = nullptr;
        if (!ReadEntries(&cursor, forms, sections, &table->directories, nullptr, &table->directoryCount) ||
            !ReadEntries(&cursor, forms, sections, &fileNames, &fileDirectories, &table->fileCount))
            return false;
        table->files = static_cast<FileEntry *>(ArenaAlloc(&Arena, (table->fileCount + 1) * sizeof(FileEntry)));
        if (!table->files)
            return false;
        for (uint32_t i = 0; i < table->fileCount; i++)
            table->files[i] = {fileNames[i], fileDirectories[i]};
        table->firstFile = 0;
    } else if (!ReadOldEntries(&cursor, table)) {
        return false;
    }

    // Twice through the program: to count rows and sequences, then to keep them.
    uint32_t rows = 0, sequences = 0;
    Interval *sequenceItems = nullptr;
    for (int pass = 0; pass < 2; pass++) {
        if (pass == 1) {
            table->rows = static_cast<LineRow *>(ArenaAlloc(&Arena, (rows + 1) * sizeof(LineRow)));
            sequenceItems = static_cast<Interval *>(ArenaAlloc(&Arena, (sequences + 1) * sizeof(Interval)));
            if (!table->rows || !sequenceItems)
                return false;
            rows = sequences = 0;
        }
        DwarfCursor at = program;
        uint64_t address = 0;
        uint32_t file = 1, line = 1, sequenceStart = 0;
        bool inSequence = false;
        auto emit = [&](uint32_t rowLine) {
            if (!inSequence)
                sequenceStart = rows, inSequence = true;
            if (pass == 1)
                table->rows[rows] = {address, file, rowLine};
            rows++;
        };
        while (at.at < at.end && !at.bad) {
            uint32_t opcode = static_cast<uint32_t>(at.Fixed(1));
            if (opcode >= opcodeBase) {
                uint32_t adjusted = opcode - opcodeBase;
                address += uint64_t(adjusted / lineRange) * minimumLength;
                line += lineBase + static_cast<int32_t>(adjusted % lineRange);
                emit(line);
                continue;
            }
            switch (opcode) {
            case 0: {  // extended
                uint64_t size = at.Uleb();
                if (at.bad || size == 0 || size > static_cast<uint64_t>(at.end - at.at))
                    return false;
                const uint8_t *next = at.at + size;
                uint32_t sub = static_cast<uint32_t>(at.Fixed(1));
                if (sub == 1) {  // end of sequence
                    emit(0);
                    if (pass == 1)
                        sequenceItems[sequences] = {table->rows[sequenceStart].address, address, sequenceStart,
                                                    rows - sequenceStart};
                    sequences++;
                    address = 0, file = 1, line = 1, inSequence = false;
                } else if (sub == 2) {
                    address = at.Fixed(static_cast<uint32_t>(size - 1 > 8 ? 8 : size - 1));
                }
                at.at = next;
                break;
            }
            case 1: emit(line); break;  // copy
            case 2: address += at.Uleb() * minimumLength; break;
            case 3: line += static_cast<int32_t>(at.Sleb()); break;
            case 4: file = static_cast<uint32_t>(at.Uleb()); break;
            case 8: address += uint64_t((255 - opcodeBase) / lineRange) * minimumLength; break;
            case 9: address += at.Fixed(2); break;
            default:  // column, statement flags, ISA and unknown ones: operands skipped
                for (uint32_t i = 0; i < standardLengths[opcode - 1]; i++)
                    at.Uleb();
            }
        }
    }
    return BuildIntervalIndex(&Arena, sequenceItems, sequences, &table->sequences);
}

bool IsAbsolute(const char *path) { return path[0] == '/' || path[0] == '\\' || (path[0] && path[1] == ':'); }

// Directory and name joined as the table states them; false when the file
// number is not in the table or the path does not fit.
bool JoinPath(const LineTable &table, uint32_t file, char *out, uint32_t bytes)
{
    if (file < table.firstFile || file - table.firstFile >= table.fileCount)
        return false;
    const FileEntry &entry = table.files[file - table.firstFile];
    const char *parts[3] = {"", "", entry.name};
    if (!IsAbsolute(entry.name)) {
        parts[1] = entry.directory < table.directoryCount ? table.directories[entry.directory] : "";
        if (!IsAbsolute(parts[1]))
            parts[0] = table.compDir;
    }
    uint32_t used = 0;
    for (const char *part : parts) {
        if (!*part)
            continue;
        size_t length = strlen(part);
        bool slash = part != entry.name;
        if (length + slash >= bytes - used)
            return false;
        memcpy(out + used, part, length);
        used += static_cast<uint32_t>(length);
        if (slash && out[used - 1] != '/' && out[used - 1] != '\\')
            out[used++] = '/';
    }
    out[used] = 0;
    return true;
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
    DwarfSections &s = module->sections;
    const ImageFile &f = module->file;
    s = {FindImageSection(f, ".debug_info"), FindImageSection(f, ".debug_abbrev"), FindImageSection(f, ".debug_line"),
         FindImageSection(f, ".debug_str"), FindImageSection(f, ".debug_line_str"), FindImageSection(f, ".debug_addr"),
         FindImageSection(f, ".debug_ranges"), FindImageSection(f, ".debug_rnglists"),
         FindImageSection(f, ".debug_str_offsets")};
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
        tables.ok = source.hasLines && ReadLineTable(module->sections, source, &tables.lines);
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

DwarfAnswer DwarfLineOf(uintptr_t address, char *path, uint32_t pathBytes, uint32_t *line)
{
    HMODULE handle;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(address), &handle))
        return DwarfNoModule;
    uintptr_t base = reinterpret_cast<uintptr_t>(handle);
    Module *module = nullptr;
    for (uint32_t i = 0; i < ModuleCount && !module; i++)
        if (Modules[i].base == base)
            module = &Modules[i];
    if (!module) {
        wchar_t file[MAX_PATH];
        DWORD length = GetModuleFileNameW(handle, file, MAX_PATH);
        if (!length || length >= MAX_PATH)
            return DwarfNoModule;
        module = OpenModule(file, base);
    }
    return LineIn(module, address, path, pathBytes, line);
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
