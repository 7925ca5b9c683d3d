// Image files through a read-only mapping, with every offset checked against
// the file's size: a damaged file yields no sections, never a fault.
#include "report/image_file.h"
#include <string.h>

static int ReadHeaders(ImageFile *file)
{
    const uint8_t *view = file->view;
    if (file->size < sizeof(IMAGE_DOS_HEADER))
        return 0;
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(view);
    uint32_t at = dos->e_lfanew;
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || at > file->size - sizeof(IMAGE_NT_HEADERS32) ||
        reinterpret_cast<const IMAGE_NT_HEADERS32 *>(view + at)->Signature != IMAGE_NT_SIGNATURE)
        return 0;
    const auto *nt32 = reinterpret_cast<const IMAGE_NT_HEADERS32 *>(view + at);
    const IMAGE_FILE_HEADER &header = nt32->FileHeader;
    if (nt32->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        if (at > file->size - sizeof(IMAGE_NT_HEADERS64))
            return 0;
        file->imageBase = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(view + at)->OptionalHeader.ImageBase;
    } else {
        file->imageBase = nt32->OptionalHeader.ImageBase;
    }
    size_t sections = at + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) + header.SizeOfOptionalHeader;
    if (sections > file->size || (file->size - sections) / sizeof(IMAGE_SECTION_HEADER) < header.NumberOfSections)
        return 0;
    file->sections = reinterpret_cast<const IMAGE_SECTION_HEADER *>(view + sections);
    file->sectionCount = header.NumberOfSections;
    // The string table follows the symbols; it is there even when a strip
    // left no symbols, as long as a section has a long name.
    uint64_t strings = header.PointerToSymbolTable + uint64_t(header.NumberOfSymbols) * IMAGE_SIZEOF_SYMBOL;
    if (header.PointerToSymbolTable && strings + 4 <= file->size) {
        uint32_t size;
        memcpy(&size, view + strings, 4);
        if (size >= 4 && size <= file->size - strings) {
            file->strings = reinterpret_cast<const char *>(view + strings);
            file->stringsSize = size;
            file->symbols = reinterpret_cast<const IMAGE_SYMBOL *>(view + header.PointerToSymbolTable);
            file->symbolCount = header.NumberOfSymbols;
        }
    }
    file->x86 = header.Machine == IMAGE_FILE_MACHINE_I386;
    return 1;
}

int OpenImageFile(const wchar_t *path, ImageFile *file)
{
    *file = {};
    HANDLE handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    LARGE_INTEGER size;
    if (GetFileSizeEx(handle, &size) && size.QuadPart > 0 && uint64_t(size.QuadPart) <= SIZE_MAX / 2)
        file->mapping = CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(handle);
    if (!file->mapping)
        return 0;
    file->view = static_cast<const uint8_t *>(MapViewOfFile(file->mapping, FILE_MAP_READ, 0, 0, 0));
    file->size = static_cast<size_t>(size.QuadPart);
    if (file->view && ReadHeaders(file))
        return 1;
    CloseImageFile(file);
    return 0;
}

void CloseImageFile(ImageFile *file)
{
    if (file->view)
        UnmapViewOfFile(file->view);
    if (file->mapping)
        CloseHandle(file->mapping);
    *file = {};
}

ImageSection FindImageSection(const ImageFile &file, const char *name)
{
    size_t length = strlen(name);
    for (uint32_t i = 0; i < file.sectionCount; i++) {
        const IMAGE_SECTION_HEADER &section = file.sections[i];
        char shortName[9] = {};
        memcpy(shortName, section.Name, 8);
        const char *full = shortName;
        // "/123": the name is at that offset in the string table.
        if (shortName[0] == '/' && file.strings) {
            uint32_t offset = 0;
            for (const char *digit = shortName + 1; *digit >= '0' && *digit <= '9'; digit++)
                offset = offset * 10 + (*digit - '0');
            if (offset >= file.stringsSize || !memchr(file.strings + offset, 0, file.stringsSize - offset))
                continue;
            full = file.strings + offset;
        }
        if (strncmp(full, name, length + 1) != 0)
            continue;
        size_t size = section.Misc.VirtualSize && section.Misc.VirtualSize < section.SizeOfRawData
                          ? section.Misc.VirtualSize
                          : section.SizeOfRawData;
        if (section.PointerToRawData > file.size || size > file.size - section.PointerToRawData)
            return {};
        return {file.view + section.PointerToRawData, size};
    }
    return {};
}

// A symbol's name: up to 8 bytes in the symbol itself, unterminated when it
// has 8, or in the string table; null when it lies outside the table.
static const char *SymbolName(const ImageFile &file, const IMAGE_SYMBOL &symbol, char (&shortName)[9])
{
    if (symbol.N.Name.Short != 0) {
        memcpy(shortName, symbol.N.ShortName, 8);
        shortName[8] = 0;
        return shortName;
    }
    uint32_t at = symbol.N.Name.Long;
    return at < file.stringsSize && memchr(file.strings + at, 0, file.stringsSize - at) ? file.strings + at : nullptr;
}

int CoffFunctionAt(const ImageFile &file, uint64_t address, char *name, uint32_t nameBytes, uint64_t *start)
{
    static_assert(sizeof(IMAGE_SYMBOL) == IMAGE_SIZEOF_SYMBOL, "packed COFF symbols");
    const char *best = nullptr;
    uint64_t bestAt = 0;
    char shortName[9], bestShort[9];
    for (uint32_t i = 0; i < file.symbolCount; i += 1 + file.symbols[i].NumberOfAuxSymbols) {
        const IMAGE_SYMBOL &symbol = file.symbols[i];
        if (symbol.SectionNumber <= 0 || symbol.SectionNumber > static_cast<int>(file.sectionCount))
            continue;
        const IMAGE_SECTION_HEADER &section = file.sections[symbol.SectionNumber - 1];
        const uint64_t sectionStart = file.imageBase + section.VirtualAddress, at = sectionStart + symbol.Value;
        if (!(section.Characteristics & IMAGE_SCN_CNT_CODE) || address - sectionStart >= section.Misc.VirtualSize ||
            at > address || (best && at <= bestAt))
            continue;
        const char *symbolName = SymbolName(file, symbol, shortName);
        if (!symbolName || symbolName[0] == '.')
            continue;  // a section's own symbol (".text") names no function
        best = symbolName == shortName ? static_cast<const char *>(memcpy(bestShort, shortName, 9)) : symbolName;
        bestAt = at;
    }
    if (!best)
        return 0;
    // x86 C names: "_name", "_name@8" (stdcall), "@name@8" (fastcall).
    size_t length = strlen(best);
    if (file.x86 && (best[0] == '_' || best[0] == '@')) {
        best++, length--;
        const char *at = strrchr(best, '@');
        if (at && at[1] && strspn(at + 1, "0123456789") == strlen(at + 1))
            length = at - best;
    }
    lstrcpynA(name, best, length + 1 < nameBytes ? static_cast<int>(length + 1) : static_cast<int>(nameBytes));
    *start = bestAt;
    return 1;
}
