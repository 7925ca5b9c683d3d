#include "report/module_notes.h"
#include "report/system_modules.h"
#include "report/text_format.h"
#include <windows.h>
#include <psapi.h>
#include <string.h>

namespace {

// The CodeView record of an image's debug directory that names its PDB.
struct CodeViewRecord {
    DWORD signature;  // "RSDS"
    GUID guid;
    DWORD age;
    char pdb[1];  // UTF-8, terminated
};

// Read from the loaded image: the record lies in a section the loader maps.
const CodeViewRecord *FindCodeView(const uint8_t *base)
{
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const uint32_t imageSize = nt->OptionalHeader.SizeOfImage;
    const IMAGE_DATA_DIRECTORY &directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    if (!directory.VirtualAddress || directory.VirtualAddress >= imageSize ||
        directory.Size > imageSize - directory.VirtualAddress)
        return nullptr;
    const auto *entries = reinterpret_cast<const IMAGE_DEBUG_DIRECTORY *>(base + directory.VirtualAddress);
    for (uint32_t i = 0; i < directory.Size / sizeof *entries; i++) {
        const IMAGE_DEBUG_DIRECTORY &entry = entries[i];
        if (entry.Type != IMAGE_DEBUG_TYPE_CODEVIEW || !entry.AddressOfRawData ||
            entry.AddressOfRawData >= imageSize || entry.SizeOfData > imageSize - entry.AddressOfRawData ||
            entry.SizeOfData <= offsetof(CodeViewRecord, pdb))
            continue;
        const auto *record = reinterpret_cast<const CodeViewRecord *>(base + entry.AddressOfRawData);
        if (record->signature == 0x53445352 &&
            memchr(record->pdb, 0, entry.SizeOfData - offsetof(CodeViewRecord, pdb)))
            return record;
    }
    return nullptr;
}

void PutHex(wchar_t *&out, const uint8_t *bytes, uint32_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    for (uint32_t i = 0; i < count; i++) {
        *out++ = digits[bytes[i] >> 4];
        *out++ = digits[bytes[i] & 15];
    }
}

// The GUID as Windows writes it: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
void FormatGuid(const GUID &guid, wchar_t *out)
{
    uint8_t first[8];
    for (uint32_t i = 0; i < 4; i++)
        first[i] = static_cast<uint8_t>(guid.Data1 >> (24 - 8 * i));
    first[4] = static_cast<uint8_t>(guid.Data2 >> 8), first[5] = static_cast<uint8_t>(guid.Data2);
    first[6] = static_cast<uint8_t>(guid.Data3 >> 8), first[7] = static_cast<uint8_t>(guid.Data3);
    *out++ = L'{';
    PutHex(out, first, 4);
    *out++ = L'-';
    PutHex(out, first + 4, 2);
    *out++ = L'-';
    PutHex(out, first + 6, 2);
    *out++ = L'-';
    PutHex(out, guid.Data4, 2);
    *out++ = L'-';
    PutHex(out, guid.Data4 + 2, 6);
    *out++ = L'}';
    *out = 0;
}

}  // namespace

void FrameNotes(wchar_t *out, uintptr_t address, bool bare, bool moduleWithoutLines)
{
    out[0] = 0;
    HMODULE module;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(address), &module))
        return;
    uint32_t used = 0;
    if (bare) {
        wchar_t name[MAX_PATH];
        if (!GetModuleBaseNameW(GetCurrentProcess(), module, name, MAX_PATH))
            return;
        name[MAX_PATH - 1] = 0;
        used = FormatText(out, FrameNotesChars, L"\tat %s+0x%x", name,
                          static_cast<uint32_t>(address - reinterpret_cast<uintptr_t>(module)));
    }
    if (!moduleWithoutLines || IsSystemCode(address))
        return;
    wchar_t path[MAX_PATH], pdb[MAX_PATH] = L"", guid[40] = L"";
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (!length || length == MAX_PATH)
        return;
    uint32_t age = 0;
    if (const CodeViewRecord *record = FindCodeView(reinterpret_cast<const uint8_t *>(module))) {
        if (!MultiByteToWideChar(CP_UTF8, 0, record->pdb, -1, pdb, MAX_PATH))
            pdb[0] = 0;
        FormatGuid(record->guid, guid);
        age = record->age;
    }
    if (pdb[0])
        FormatText(out + used, FrameNotesChars - used, L"\tmissing %s|%s|%s|%u", path, pdb, guid, age);
    else
        FormatText(out + used, FrameNotesChars - used, L"\tmissing %s|||", path);
}
