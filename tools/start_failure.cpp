#include "start_failure.h"
#include "launcher_choice.h"
#include <stdio.h>

static std::string SystemText(DWORD error)
{
    char text[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                  sizeof text, nullptr);
    while (length && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.'))
        text[--length] = 0;
    return length ? text : "error " + std::to_string(error);
}

std::string DescribeCreateError(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "program not found";
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
    case ERROR_BAD_FORMAT:
        return "not a valid 32-bit or 64-bit Windows program (bad image, error " + std::to_string(error) + ")";
    }
    return SystemText(error) + " (error " + std::to_string(error) + ")";
}

// The first DLL in the image's import table that is neither beside the image
// nor on the loader's search path; empty when every one is found.
static std::string MissingImport(HANDLE imageFile)
{
    wchar_t imagePath[MAX_PATH];
    DWORD length = imageFile ? GetFinalPathNameByHandleW(imageFile, imagePath, MAX_PATH, 0) : 0;
    if (!length || length >= MAX_PATH)
        return "";
    // Where the loader looks: the image's directory, the system directories,
    // the current directory and PATH (not the launcher's own directory).
    std::wstring search(imagePath, length);
    search.resize(search.find_last_of(L"\\/"));
    wchar_t directory[MAX_PATH];
    if (GetSystemDirectoryW(directory, MAX_PATH))
        search += std::wstring(L";") + directory;
    if (GetWindowsDirectoryW(directory, MAX_PATH))
        search += std::wstring(L";") + directory;
    search += L";.";
    DWORD pathChars = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (pathChars) {
        std::wstring path(pathChars, L'\0');
        path.resize(GetEnvironmentVariableW(L"PATH", &path[0], pathChars));
        search += L";" + path;
    }
    HANDLE mapping = CreateFileMappingW(imageFile, nullptr, PAGE_READONLY | SEC_IMAGE, 0, 0, nullptr);
    if (!mapping)
        return "";
    const BYTE *image = static_cast<const BYTE *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    std::string missing;
    if (image) {
        // The program is of the launcher's own kind.
        const IMAGE_NT_HEADERS *nt =
            reinterpret_cast<const IMAGE_NT_HEADERS *>(image + reinterpret_cast<const IMAGE_DOS_HEADER *>(image)->e_lfanew);
        DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
        for (const IMAGE_IMPORT_DESCRIPTOR *entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(image + imports);
             imports && entry->Name && missing.empty(); entry++) {
            const char *name = reinterpret_cast<const char *>(image + entry->Name);
            wchar_t wide[MAX_PATH], found[MAX_PATH];
            if (!MultiByteToWideChar(CP_ACP, 0, name, -1, wide, MAX_PATH))
                continue;
            if (!SearchPathW(search.c_str(), wide, nullptr, MAX_PATH, found, nullptr))
                missing = name;
        }
        UnmapViewOfFile(image);
    }
    CloseHandle(mapping);
    return missing;
}

std::string DescribeStartupEnd(DWORD status, HANDLE imageFile)
{
    char code[16];
    snprintf(code, sizeof code, "0x%08lX", status);
    if (status == 0xC0000135) {  // STATUS_DLL_NOT_FOUND
        std::string name = MissingImport(imageFile);
        if (name.empty())
            return std::string("a DLL it needs, or one of theirs, was not found (") + code + ")";
        return "a DLL it needs was not found: " + name + " (" + code + ")";
    }
    if (status == 0xC0000139 || status == 0xC0000138)  // an entry point or ordinal not found
        return std::string("a DLL it needs lacks a function it imports (") + code + ")";
    if (status == 0xC000007B)  // STATUS_INVALID_IMAGE_FORMAT
        return std::string("it or a DLL it needs is not a valid ") + LauncherKind + " image (" + code + ")";
    return std::string("it ended during start-up with status ") + code;
}
