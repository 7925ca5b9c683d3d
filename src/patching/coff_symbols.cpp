#include "patching/coff_symbols.h"
#include <windows.h>
#include <string.h>

namespace {

// C names carry a leading underscore in x86 COFF symbols only.
#if defined(_WIN64)
const char SymbolPrefix[] = "";
#else
const char SymbolPrefix[] = "_";
#endif

bool VisitTable(const uint8_t *base, const uint8_t *view, size_t size,
                void (*visit)(const CoffSymbol &, void *), void *context)
{
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER *sections = IMAGE_FIRST_SECTION(nt);
    const uint32_t symbols = nt->FileHeader.PointerToSymbolTable, count = nt->FileHeader.NumberOfSymbols;
    if (!symbols || !count)
        return false;
    if (symbols > size || (size - symbols) / IMAGE_SIZEOF_SYMBOL < count)
        return true;
    const uint32_t strings = symbols + count * IMAGE_SIZEOF_SYMBOL;
    uint32_t stringsSize = 0;
    if (size - strings >= 4)
        memcpy(&stringsSize, view + strings, 4);
    if (stringsSize > size - strings)
        return true;
    static_assert(sizeof(IMAGE_SYMBOL) == IMAGE_SIZEOF_SYMBOL, "packed COFF symbols");
    for (uint32_t i = 0; i < count; i++) {
        const auto *symbol = reinterpret_cast<const IMAGE_SYMBOL *>(view + symbols + i * IMAGE_SIZEOF_SYMBOL);
        i += symbol->NumberOfAuxSymbols;
        if (symbol->SectionNumber <= 0 || symbol->SectionNumber > nt->FileHeader.NumberOfSections)
            continue;
        // A name of up to 8 bytes is in the symbol itself, unterminated when
        // it has 8; a longer one in the string table.
        char shortName[9] = {};
        const char *name = shortName;
        if (symbol->N.Name.Short != 0) {
            memcpy(shortName, symbol->N.ShortName, 8);
        } else {
            if (symbol->N.Name.Long >= stringsSize)
                continue;
            name = reinterpret_cast<const char *>(view + strings + symbol->N.Name.Long);
            if (!memchr(name, 0, stringsSize - symbol->N.Name.Long))
                continue;
        }
        const IMAGE_SECTION_HEADER &section = sections[symbol->SectionNumber - 1];
        if (strncmp(name, SymbolPrefix, sizeof SymbolPrefix - 1) != 0 || symbol->Value >= section.Misc.VirtualSize)
            continue;
        const uintptr_t sectionStart = reinterpret_cast<uintptr_t>(base) + section.VirtualAddress;
        CoffSymbol found = {name + sizeof SymbolPrefix - 1, sectionStart + symbol->Value,
                            sectionStart + section.Misc.VirtualSize,
                            (section.Characteristics & IMAGE_SCN_CNT_CODE) != 0,
                            symbol->StorageClass == IMAGE_SYM_CLASS_EXTERNAL};
        visit(found, context);
    }
    return true;
}

}  // namespace

bool VisitProgramSymbols(void (*visit)(const CoffSymbol &symbol, void *context), void *context)
{
    HMODULE program = GetModuleHandleW(nullptr);
    wchar_t path[1024];
    DWORD length = GetModuleFileNameW(program, path, 1024);
    if (!length || length == 1024)
        return true;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return true;
    LARGE_INTEGER size;
    HANDLE mapping = nullptr;
    if (GetFileSizeEx(file, &size) && size.HighPart == 0)
        mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file);
    if (!mapping)
        return true;
    bool named = true;
    if (const void *view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0)) {
        named = VisitTable(reinterpret_cast<const uint8_t *>(program), static_cast<const uint8_t *>(view), size.LowPart,
                           visit, context);
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return named;
}
