// A launcher starts the program's threads in kernel32's LoadLibraryW and in
// the library's exports, at the addresses they have in a process of the
// launcher's own kind; a 32-bit Tarnwick.dll cannot go into a 64-bit process,
// nor a 32-bit launcher create threads in one. So each launcher runs the
// programs of its own kind, and hands the others, with the whole command
// line, to the launcher of their kind.
#include "launcher_choice.h"
#include <stdio.h>

#if defined(_WIN64)
const char LauncherKind[] = "64-bit";
static const char OtherKind[] = "32-bit";
static const WORD OtherMachine = IMAGE_FILE_MACHINE_I386;
static const wchar_t OtherLauncher[] = L"..\\tarnwick.exe";
#else
const char LauncherKind[] = "32-bit";
static const char OtherKind[] = "64-bit";
static const WORD OtherMachine = IMAGE_FILE_MACHINE_AMD64;
static const wchar_t OtherLauncher[] = L"x64\\tarnwick.exe";
#endif

std::wstring LauncherDirectory()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length < MAX_PATH ? length : 0);
    directory.resize(directory.find_last_of(L"\\/") + 1);
    return directory;
}

// The Machine field of the image's file header, 0 when it is not an image.
static WORD ImageMachine(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    IMAGE_DOS_HEADER dos = {};
    struct {
        DWORD signature;
        IMAGE_FILE_HEADER header;
    } nt = {};
    DWORD got = 0;
    bool image = ReadFile(file, &dos, sizeof dos, &got, nullptr) && got == sizeof dos &&
                 dos.e_magic == IMAGE_DOS_SIGNATURE &&
                 SetFilePointer(file, dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                 ReadFile(file, &nt, sizeof nt, &got, nullptr) && got == sizeof nt &&
                 nt.signature == IMAGE_NT_SIGNATURE;
    CloseHandle(file);
    return image ? nt.header.Machine : 0;
}

bool BelongsToOtherLauncher(const std::wstring &program, const char *&kind)
{
    // Where CreateProcessW looks: the launcher's directory, the current one,
    // the system directories, PATH; ".exe" added to a name without extension.
    wchar_t found[MAX_PATH];
    DWORD length = SearchPathW(nullptr, program.c_str(), L".exe", MAX_PATH, found, nullptr);
    kind = OtherKind;
    return length && length < MAX_PATH && ImageMachine(std::wstring(found, length)) == OtherMachine;
}

bool OtherKindProcess(HANDLE process)
{
    // A 32-bit process on 64-bit Windows runs under WoW64; a 64-bit one does
    // not, nor does anything on 32-bit Windows, which has no other kind.
    BOOL self = FALSE, other = FALSE;
    IsWow64Process(GetCurrentProcess(), &self);
    IsWow64Process(process, &other);
    return sizeof(void *) == 8 ? other != FALSE : self && !other;
}

std::wstring OtherLauncherPath()
{
    std::wstring launcher = LauncherDirectory() + OtherLauncher;
    wchar_t full[MAX_PATH];
    DWORD length = GetFullPathNameW(launcher.c_str(), MAX_PATH, full, nullptr);
    return length && length < MAX_PATH ? std::wstring(full, length) : launcher;
}

int RunOtherLauncher(const std::wstring &program, const char *kind, const wchar_t *arguments, int exitIfMissing)
{
    std::wstring launcher = OtherLauncherPath();
    if (GetFileAttributesW(launcher.c_str()) == INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "tarnwick: %ls is a %s program; its launcher is not found at %ls\n", program.c_str(), kind,
                launcher.c_str());
        return exitIfMissing;
    }
    std::wstring line = L"\"" + launcher + L"\"" + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    if (!CreateProcessW(launcher.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
        fprintf(stderr, "tarnwick: %ls is a %s program; its launcher %ls cannot be started (error %lu)\n",
                program.c_str(), kind, launcher.c_str(), GetLastError());
        return exitIfMissing;
    }
    // Ctrl+C reaches both launchers: this one outlives the other.
    SetConsoleCtrlHandler(nullptr, TRUE);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(child.hProcess, &exitCode);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return static_cast<int>(exitCode);
}
