// A module's image file mapped for reading, and its sections by name: the
// debug information is read from the file, where it always is, rather than
// from the loaded image, which may leave it out.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>

struct ImageSection {
    const uint8_t *data;  // null when the image has no such section
    size_t size;
};

struct ImageFile {
    HANDLE mapping;
    const uint8_t *view;
    size_t size;
    uint64_t imageBase;  // the preferred base, which the debug information's addresses assume
    const IMAGE_SECTION_HEADER *sections;
    uint32_t sectionCount;
    const char *strings;  // the COFF string table, which holds long section names
    uint32_t stringsSize;
    const IMAGE_SYMBOL *symbols;  // the COFF symbol table, null when stripped
    uint32_t symbolCount;
    bool x86;  // whose C names carry a leading underscore
};

// Maps the file and checks its headers (PE32 or PE32+); 0 when it is no image.
int OpenImageFile(const wchar_t *path, ImageFile *file);
void CloseImageFile(ImageFile *file);
ImageSection FindImageSection(const ImageFile &file, const char *name);
// The COFF symbol that names the code at address (as the file states it,
// at its preferred base): the nearest symbol of a code section below it, in
// that section, with nothing else between, its name cut to nameBytes; 0 when
// there is none.
int CoffFunctionAt(const ImageFile &file, uint64_t address, char *name, uint32_t nameBytes, uint64_t *start);
