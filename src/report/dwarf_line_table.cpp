// Line tables (.debug_line, DWARF 2-5): the header's directories and files,
// and the rows of the line program, kept by sequence.
#include "report/dwarf_line_table.h"
#include <string.h>

namespace {

enum : uint32_t { LineContentPath = 1, LineContentDirectory = 2 };

// DWARF 5 directory and file entries: (content, form) pairs, then entries.
bool ReadEntries(DwarfCursor *cursor, const DwarfUnit &unit, const DwarfSections &sections, ScratchArena *arena,
                 const char ***names, uint32_t **directories, uint32_t *count)
{
    uint32_t formats = static_cast<uint32_t>(cursor->Fixed(1));
    DwarfCursor pairs = *cursor;
    for (uint32_t i = 0; i < formats; i++)
        cursor->Uleb(), cursor->Uleb();
    uint64_t entries = cursor->Uleb();
    if (cursor->bad || entries > static_cast<uint64_t>(cursor->end - cursor->at))
        return false;
    *count = static_cast<uint32_t>(entries);
    *names = static_cast<const char **>(ArenaAlloc(arena, (entries + 1) * sizeof(char *)));
    if (directories)
        *directories = static_cast<uint32_t *>(ArenaAlloc(arena, (entries + 1) * sizeof(uint32_t)));
    if (!*names || (directories && !*directories))
        return false;
    for (uint32_t e = 0; e < entries; e++) {
        DwarfCursor format = pairs;
        for (uint32_t i = 0; i < formats; i++) {
            uint32_t content = static_cast<uint32_t>(format.Uleb()), form = static_cast<uint32_t>(format.Uleb());
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
bool ReadOldEntries(DwarfCursor *cursor, ScratchArena *arena, LineTable *table)
{
    DwarfCursor start = *cursor;
    uint32_t directories = 1, files = 0;
    while (*cursor->String())
        directories++;
    while (*cursor->String() && !cursor->bad)
        cursor->Uleb(), cursor->Uleb(), cursor->Uleb(), files++;
    if (cursor->bad)
        return false;
    table->directories = static_cast<const char **>(ArenaAlloc(arena, directories * sizeof(char *)));
    table->files = static_cast<FileEntry *>(ArenaAlloc(arena, (files + 1) * sizeof(FileEntry)));
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

}  // namespace

bool ReadLineTable(const DwarfSections &sections, const DwarfUnit &unit, ScratchArena *arena, LineTable *table)
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
        if (!ReadEntries(&cursor, forms, sections, arena, &table->directories, nullptr, &table->directoryCount) ||
            !ReadEntries(&cursor, forms, sections, arena, &fileNames, &fileDirectories, &table->fileCount))
            return false;
        table->files = static_cast<FileEntry *>(ArenaAlloc(arena, (table->fileCount + 1) * sizeof(FileEntry)));
        if (!table->files)
            return false;
        for (uint32_t i = 0; i < table->fileCount; i++)
            table->files[i] = {fileNames[i], fileDirectories[i]};
        table->firstFile = 0;
    } else if (!ReadOldEntries(&cursor, arena, table)) {
        return false;
    }

    // Twice through the program: to count rows and sequences, then to keep them.
    uint32_t rows = 0, sequences = 0;
    Interval *sequenceItems = nullptr;
    for (int pass = 0; pass < 2; pass++) {
        if (pass == 1) {
            table->rows = static_cast<LineRow *>(ArenaAlloc(arena, (rows + 1) * sizeof(LineRow)));
            sequenceItems = static_cast<Interval *>(ArenaAlloc(arena, (sequences + 1) * sizeof(Interval)));
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
    return BuildIntervalIndex(arena, sequenceItems, sequences, &table->sequences);
}

static bool IsAbsolute(const char *path) { return path[0] == '/' || path[0] == '\\' || (path[0] && path[1] == ':'); }

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

