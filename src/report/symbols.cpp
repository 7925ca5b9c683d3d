// Return addresses turned into report lines: source file and line, else
// module!symbol+displacement (the symbol from dbghelp, else from the module's
// export table); the dbghelp symbol handler is opened once.
#include "report/symbols.h"
#include "report/dwarf_lines.h"
#include "report/symbol_modules.h"
#include "report/frame_cache.h"
#include "report/module_notes.h"
#include "report/export_names.h"
#include "report/text_format.h"
#include "control/library.h"
#include "control/options.h"
#include "tracking/alloc_table.h"
#include <dbghelp.h>
#include <psapi.h>
#include <stddef.h>
#include <wchar.h>

HANDLE SymbolProcess;

enum : uint32_t {
    PathChars = 260,
    SymbolNameChars = 2000,
    SymbolOptions = SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES,  // 0x16
};

// Reads "ProductDir" of the newest known Visual C++ installation into
// sourceRoot, without one trailing backslash. A value that is not a
// terminated string of at most 259 characters leaves sourceRoot empty.
static void ReadSourceRootFromRegistry()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\VisualStudio\\9.0\\Setup\\VC", 0, KEY_READ, &key) !=
            ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\VisualStudio\\8.0\\Setup\\VC", 0, KEY_READ, &key) !=
            ERROR_SUCCESS)
        return;
    // One character more than the 520 bytes asked for, so that a value stored
    // without its terminating zero can be terminated here.
    wchar_t value[PathChars + 1];
    DWORD bytes = PathChars * sizeof(wchar_t);
    if (RegQueryValueExW(key, L"ProductDir", nullptr, nullptr, reinterpret_cast<BYTE *>(value), &bytes) ==
        ERROR_SUCCESS) {
        uint32_t length = 0;
        uint32_t stored = bytes / sizeof(wchar_t);
        while (length < stored && value[length])
            ++length;
        if (length > 0 && value[length - 1] == L'\\')
            --length;
        if (length < PathChars) {
            value[length] = 0;
            lstrcpynW(Options.sourceRoot, value, PathChars);
        }
    }
    RegCloseKey(key);
}

// Opening the symbol handler costs a start more than everything else
// together (Wine's dbghelp reads its own loader's files), and a run that
// leaks nothing never needs it: it is opened at the first frame that a dump
// resolves, with the path that the first start saw.
static bool SymbolsPending;
static wchar_t PendingSymbolPath[SymbolPathChars];

void InitSymbols()
{
    if (SymbolProcess || SymbolsPending)
        return;
    if (!Options.sourceRoot[0])
        ReadSourceRootFromRegistry();
    lstrcpynW(PendingSymbolPath, Options.symbolPath, SymbolPathChars);
    SymbolsPending = true;
}

void OpenSymbols()
{
    if (!SymbolsPending)
        return;
    SymbolsPending = false;
    SymSetOptions(SymbolOptions);
    SymbolProcess = GetCurrentProcess();
    // Without a path of the host's, dbghelp's own search (_NT_SYMBOL_PATH,
    // _NT_ALT_SYMBOL_PATH, the image's folder): it takes a null path for
    // that, while an empty string searches nowhere.
    if (SymInitializeW(SymbolProcess, PendingSymbolPath[0] ? PendingSymbolPath : nullptr, FALSE))
        SymRefreshModuleList(SymbolProcess);
    else
        SymbolProcess = 0;  // the next start tries again
}

void RerootSourcePath(wchar_t *out, const wchar_t *name)
{
    if (GetFileAttributesW(name) == INVALID_FILE_ATTRIBUTES && Options.sourceRoot[0]) {
        uint32_t rootLength = lstrlenW(Options.sourceRoot);
        for (const wchar_t *tail = wcschr(name, L'\\'); tail; tail = wcschr(tail + 1, L'\\')) {
            // A candidate that does not fit the buffer is skipped, not cut:
            // a cut path names some other file.
            if (rootLength + lstrlenW(tail) >= PathChars)
                continue;
            FormatText(out, PathChars, L"%s%s", Options.sourceRoot, tail);
            if (GetFileAttributesW(out) != INVALID_FILE_ATTRIBUTES)
                return;
        }
    }
    lstrcpynW(out, name, PathChars);
}

// The two lookups, each tried once more after loading a module that the
// symbol handler did not know.
static BOOL LookUpLine(uintptr_t address, DWORD64 address64, IMAGEHLP_LINEW64 *line)
{
    DWORD displacement;
    if (SymGetLineFromAddrW64(SymbolProcess, address64, &displacement, line))
        return TRUE;
    return GetLastError() == ERROR_MOD_NOT_FOUND && LoadSymbolModuleOf(address) &&
           SymGetLineFromAddrW64(SymbolProcess, address64, &displacement, line);
}

static BOOL LookUpSymbol(uintptr_t address, DWORD64 address64, DWORD64 *displacement, SYMBOL_INFOW *symbol)
{
    if (SymFromAddrW(SymbolProcess, address64, displacement, symbol))
        return TRUE;
    return GetLastError() == ERROR_MOD_NOT_FOUND && LoadSymbolModuleOf(address) &&
           SymFromAddrW(SymbolProcess, address64, displacement, symbol);
}

// The 64-bit address of the symbol calls: a 32-bit one sign-extended.
static DWORD64 Address64(uintptr_t address)
{
#if defined(_WIN64)
    return address;
#else
    return static_cast<DWORD64>(static_cast<int64_t>(static_cast<int32_t>(address)));
#endif
}

// Set by PrintStack for a dump that a launcher relays: frame lines without a
// source line then end in the notes it reads (module_notes.h).
static bool TellLauncher;

// Whether dbghelp found line information for the module that holds address
// (a PDB with lines, or DWARF that it reads itself).
static bool SymbolHandlerHasLines(uintptr_t address)
{
    DWORD64 address64 = Address64(address);
    IMAGEHLP_MODULEW64 info = {};
    info.SizeOfStruct = sizeof info;
    DWORD64 base = SymbolProcess ? SymGetModuleBase64(SymbolProcess, address64) : 0;
    return base && SymGetModuleInfoW64(SymbolProcess, base, &info) && info.LineNumbers;
}

// The last piece of a frame line that names no source line: its rest
// (address and the like), the launcher's notes, and the newline.
static void WriteLastPiece(const wchar_t *rest, uintptr_t address, bool bare, bool moduleWithoutLines)
{
    wchar_t notes[FrameNotesChars], piece[FrameNotesChars + 160];
    if (TellLauncher)
        FrameNotes(notes, address, bare, moduleWithoutLines);
    else
        notes[0] = 0;
    FormatText(piece, FrameNotesChars + 160, L"%s%s\n", rest, notes);
    WriteFramePiece(piece);
}

// A frame line in the symbol form: module!name+0xoffset : address; without
// the module's name (null), name+0xoffset : address.
static void PrintNamedFrame(uintptr_t address, const wchar_t *moduleName, const wchar_t *name, uint64_t offset,
                            bool moduleWithoutLines)
{
    if (moduleName) {
        WriteFramePiece(moduleName);
        WriteFramePiece(L"!");
    }
    WriteFramePiece(name);
    wchar_t rest[64];
    FormatText(rest, 64, L"+0x%I64x : 0x%p", offset, address);
    WriteLastPiece(rest, address, false, moduleWithoutLines);
}

// The symbol form from the module's export table, for code without debug
// information (dbghelp knows no export symbols under Wine); name is room
// for SymbolNameChars characters.
static int PrintExportFrame(uintptr_t address, wchar_t *name, bool moduleWithoutLines)
{
    wchar_t moduleName[PathChars];
    uint32_t offset;
    if (!FindExportBelow(address, moduleName, name, SymbolNameChars, &offset))
        return 0;
    PrintNamedFrame(address, moduleName, name, offset, moduleWithoutLines);
    return 1;
}

// The symbol form from a DWARF module's own DWARF or COFF symbol table (as
// nameOf reads it), for code without a line in it (start-up code, a
// library's), where dbghelp names nothing: Windows' dbghelp reads no DWARF.
// name is room for SymbolNameChars characters.
static int PrintDebugNameFrame(uintptr_t address, wchar_t *name,
                               int (*nameOf)(uintptr_t, char *, uint32_t, uint32_t *))
{
    char utf8[SymbolNameChars];
    uint32_t offset;
    wchar_t moduleName[PathChars];
    HMODULE module;
    if (!nameOf(address, utf8, SymbolNameChars, &offset) ||
        !MultiByteToWideChar(CP_UTF8, 0, utf8, -1, name, SymbolNameChars) ||
        !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(address), &module) ||
        !GetModuleBaseNameW(GetCurrentProcess(), module, moduleName, PathChars))
        return 0;
    name[SymbolNameChars - 1] = moduleName[PathChars - 1] = 0;
    PrintNamedFrame(address, moduleName, name, offset, false);
    return 1;
}

// A path as the DWARF records it, in the form Windows names files: a path
// from a Unix build host names the file through Wine's drive Z:, which maps
// the root (as Wine's dbghelp names such files).
static void WindowsPath(const char *recorded, wchar_t *out)
{
    wchar_t path[2 * PathChars];
    uint32_t start = 0;
    while (recorded[0] == '.' && recorded[1] == '/')
        recorded += 2;  // relative to a build directory that only the build knew
    if (recorded[0] == '/') {
        path[0] = L'Z', path[1] = L':';
        start = 2;
    }
    if (!MultiByteToWideChar(CP_UTF8, 0, recorded, -1, path + start, 2 * PathChars - start))
        path[start] = 0;
    // Separators as Windows writes them, and no "." steps (a build directory
    // given as "./dir" leaves them inside the path).
    uint32_t length = 0;
    for (const wchar_t *c = path; *c; c++) {
        wchar_t next = *c == L'/' ? L'\\' : *c;
        if (next == L'\\' && c[1] == L'.' && (c[2] == L'/' || c[2] == L'\\'))
            c++;
        else
            path[length++] = next;
    }
    path[length] = 0;
    lstrcpynW(out, path, PathChars);
}

static int PrintSourceLine(const wchar_t *file, uint32_t lineNumber, uintptr_t address)
{
    wchar_t sourcePath[PathChars];
    RerootSourcePath(sourcePath, file);
    wchar_t text[PathChars + 40];
    FormatText(text, PathChars + 40, L"%s(%d) : 0x%p\n", sourcePath, lineNumber, address);
    WriteFramePiece(text);
    return 1;
}

int PrintFrame(uintptr_t address, bool returnAddress)
{
    OpenSymbols();
    DWORD64 address64 = Address64(address);

    // Every frame is a return address: the instruction after the call, which
    // may already belong to the next source line (the closing brace after a
    // call in tail position). The line of the call holds the byte before it.
    // Modules with DWARF are answered by the library's own reader, the same
    // on Windows and under Wine; dbghelp's lines are for the others (PDB).
    // A faulting instruction's address is looked up as it is.
    uint32_t back = returnAddress ? 1 : 0;
    char recorded[3 * PathChars];
    uint32_t lineNumber;
    DwarfAnswer dwarf = DwarfLineOf(address - back, recorded, sizeof recorded, &lineNumber);
    if (dwarf == DwarfLine) {
        wchar_t file[PathChars];
        WindowsPath(recorded, file);
        return PrintSourceLine(file, lineNumber, address);
    }
    IMAGEHLP_LINEW64 line = {};
    line.SizeOfStruct = sizeof line;
    if (dwarf == DwarfNoModule && LookUpLine(address - back, address64 - back, &line))
        return PrintSourceLine(line.FileName, line.LineNumber, address);

    union {
        SYMBOL_INFOW info;
        unsigned char bytes[sizeof(SYMBOL_INFOW) + SymbolNameChars * sizeof(wchar_t)];
    } symbol = {};
    symbol.info.SizeOfStruct = sizeof symbol.info;
    symbol.info.MaxNameLen = SymbolNameChars;
    DWORD64 displacement = 0;
    wchar_t *name = reinterpret_cast<wchar_t *>(symbol.bytes + offsetof(SYMBOL_INFOW, Name));
    const bool withoutLines = TellLauncher && dwarf == DwarfNoModule && !SymbolHandlerHasLines(address);
    if (!LookUpSymbol(address, address64, &displacement, &symbol.info)) {
        // Exports only for a module that the symbol handler knows but finds
        // no symbol in; before the COFF table, whose names are the linker's.
        bool known = SymbolProcess && GetLastError() != ERROR_MOD_NOT_FOUND;
        return (dwarf != DwarfNoModule && PrintDebugNameFrame(address, name, DwarfFunctionOf)) ||
               (known && PrintExportFrame(address, name, withoutLines)) ||
               (dwarf != DwarfNoModule && PrintDebugNameFrame(address, name, CoffFunctionOf));
    }
    name[SymbolNameChars - 1] = 0;  // names are cut to MaxNameLen - 1: this only guards

    DWORD64 base = SymGetModuleBase64(SymbolProcess, address64);
    wchar_t moduleName[PathChars];
    HMODULE module = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(base));
    // A null handle would name the program itself, whatever holds the address.
    const bool named = module && GetModuleBaseNameW(GetCurrentProcess(), module, moduleName, PathChars);
    moduleName[PathChars - 1] = 0;
    PrintNamedFrame(address, named ? moduleName : nullptr, name, displacement, withoutLines);
    return 1;
}

// Within a dump each distinct address is resolved once; its lines are
// replayed wherever it occurs again.
void PrintStack(const uintptr_t *frames, bool relayed)
{
    TellLauncher = relayed;
    for (uint32_t i = 0; i < RecordDepth && frames[i]; ++i) {
        if (ReplayFrame(frames[i]))
            continue;
        BeginFrameEntry(frames[i]);
        if (!PrintFrame(frames[i])) {
            wchar_t text[130];
            FormatText(text, 130, L"0x%p", frames[i]);
            WriteLastPiece(text, frames[i], true,
                           TellLauncher && !InDwarfModule(frames[i]) && !SymbolHandlerHasLines(frames[i]));
        }
        EndFrameEntry();
    }
    TellLauncher = false;
}
