#include "injection.h"
#include "launcher_choice.h"
#include "tarnwick.h"
#include <psapi.h>
#include <stddef.h>
#include <string.h>

bool FindLibraryExports(const std::wstring &dllPath, LibraryExports &exports, std::string &why)
{
    HMODULE local = LoadLibraryExW(dllPath.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!local) {
        DWORD error = GetLastError();
        why = error == ERROR_BAD_EXE_FORMAT ? std::string("is not a ") + LauncherKind + " DLL, as the program is"
                                            : std::string("cannot be read as a DLL");
        why += " (error " + std::to_string(error) + ")";
        return false;
    }
    FARPROC setOptions = GetProcAddress(local, "TarnwickSetOptions");
    FARPROC start = GetProcAddress(local, "TarnwickStart");
    FARPROC setReportOptions = GetProcAddress(local, "TarnwickSetReportOptions");
    uintptr_t base = reinterpret_cast<uintptr_t>(local);
    if (setReportOptions)
        exports.setReportOptions = static_cast<DWORD>(reinterpret_cast<uintptr_t>(setReportOptions) - base);
    if (setOptions && start) {
        exports.setOptions = static_cast<DWORD>(reinterpret_cast<uintptr_t>(setOptions) - base);
        exports.start = static_cast<DWORD>(reinterpret_cast<uintptr_t>(start) - base);
    }
    FreeLibrary(local);
    if (!setOptions || !start)
        why = "does not export TarnwickSetOptions and TarnwickStart";
    return setOptions && start;
}

bool StartHeld(const std::wstring &commandLine, PROCESS_INFORMATION &program, DWORD &error)
{
    std::wstring line = commandLine;  // CreateProcessW may write into it
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                       &program))
        return true;
    error = GetLastError();
    return false;
}

// Runs routine(argument) on a new thread of the program and waits until
// that thread ends.
static bool RunRemote(HANDLE process, uintptr_t routine, uintptr_t argument, DWORD &exitCode, std::string &why)
{
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(routine),
                                       reinterpret_cast<void *>(argument), 0, nullptr);
    if (!thread) {
        why = "cannot create a thread in the program (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    // Loading a DLL takes milliseconds; a minute means it hangs.
    HANDLE both[2] = {thread, process};
    DWORD waited = WaitForMultipleObjects(2, both, FALSE, 60000);
    bool done = waited == WAIT_OBJECT_0 && GetExitCodeThread(thread, &exitCode);
    CloseHandle(thread);
    if (!done)
        why = waited == WAIT_OBJECT_0 + 1 ? "the program ended during the injection"
                                          : "a thread in the program did not finish";
    return done;
}

// The first thread to run in a new process runs the loader's start-up before
// its own routine, which here does nothing: Sleep(0).
bool FinishLoading(HANDLE process, DWORD &exitCode)
{
    uintptr_t sleep = reinterpret_cast<uintptr_t>(GetProcAddress(GetModuleHandleW(L"kernel32"), "Sleep"));
    std::string why;
    // A start-up that fails ends the process, this thread with its status.
    if (RunRemote(process, sleep, 0, exitCode, why) && exitCode == 0)
        return true;
    WaitForSingleObject(process, INFINITE);
    GetExitCodeProcess(process, &exitCode);
    return false;
}

std::wstring OwnLibraryCopy(HANDLE process)
{
    HMODULE modules[1024];
    DWORD bytes = 0;
    if (!EnumProcessModules(process, modules, sizeof modules, &bytes))
        return L"";
    for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < 1024; i++) {
        wchar_t name[MAX_PATH];
        if (GetModuleBaseNameW(process, modules[i], name, MAX_PATH) && !lstrcmpiW(name, L"Tarnwick.dll") &&
            GetModuleFileNameExW(process, modules[i], name, MAX_PATH))
            return name;
    }
    return L"";
}

// What the program's threads read: a stub (see LoadInProgram and
// InjectLibrary), the options record and the strings it points at.
struct RemoteBlock {
    unsigned char stub[32];
#if defined(_WIN64)
    uintptr_t loaded;  // LoadLibraryW's result, stored there by the stub
#endif
    TarnwickOptions options;
    TarnwickReportOptions reportOptions;
    wchar_t strings[1];  // DLL path, symbol path, source root, each terminated
};

// Loads the DLL whose path is at dllText in the program; its base in base.
static bool LoadInProgram(HANDLE process, [[maybe_unused]] uintptr_t at, uintptr_t dllText, uintptr_t &base,
                          std::string &why)
{
    // kernel32 lies at the same address in every process of a session (of
    // one kind: the program is of the launcher's own).
    uintptr_t loadLibrary =
        reinterpret_cast<uintptr_t>(GetProcAddress(GetModuleHandleW(L"kernel32"), "LoadLibraryW"));
    DWORD exitCode;
#if defined(_WIN64)
    // A thread's exit code keeps only 32 bits of the module's address: a stub
    // stores the whole of it. The path arrives in RCX as LoadLibraryW wants
    // it; the stub keeps RSP on a 16-byte boundary at the call, with the 32
    // bytes of shadow space the callee may use:
    // sub rsp, 40; mov rax, LoadLibraryW; call rax; mov [loaded], rax; add rsp, 40; ret
    unsigned char stub[32] = {0x48, 0x83, 0xEC, 0x28, 0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xD0,
                              0x48, 0xA3, 0, 0, 0, 0, 0, 0, 0, 0, 0x48, 0x83, 0xC4, 0x28, 0xC3};
    uintptr_t loaded = at + offsetof(RemoteBlock, loaded);
    memcpy(stub + 6, &loadLibrary, 8);
    memcpy(stub + 18, &loaded, 8);
    if (!WriteProcessMemory(process, reinterpret_cast<void *>(at), stub, sizeof stub, nullptr) ||
        !FlushInstructionCache(process, reinterpret_cast<void *>(at), sizeof stub)) {
        why = "cannot write into the program (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    if (!RunRemote(process, at, dllText, exitCode, why))
        return false;
    if (!ReadProcessMemory(process, reinterpret_cast<void *>(loaded), &base, sizeof base, nullptr)) {
        why = "cannot read from the program (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
#else
    if (!RunRemote(process, loadLibrary, dllText, exitCode, why))
        return false;
    base = exitCode;
#endif
    if (!base)
        why = "LoadLibraryW failed in the program";
    return base != 0;
}

// Calls TarnwickStart on a thread of the program.
static bool StartInProgram(HANDLE process, [[maybe_unused]] uintptr_t at, uintptr_t start, std::string &why)
{
    DWORD ignored;
#if defined(_WIN64)
    // A start routine's argument arrives in RCX, which a function without
    // parameters leaves alone; it returns its int in EAX: called directly.
    return RunRemote(process, start, 0, ignored, why);
#else
    // A start routine gets one stdcall argument, which TarnwickStart does not
    // take: mov eax, TarnwickStart; call eax; ret 4
    unsigned char stub[16] = {0xB8, 0, 0, 0, 0, 0xFF, 0xD0, 0xC2, 0x04, 0x00};
    memcpy(stub + 1, &start, 4);
    SIZE_T written = 0;
    if (!WriteProcessMemory(process, reinterpret_cast<void *>(at), stub, sizeof stub, &written) ||
        !FlushInstructionCache(process, reinterpret_cast<void *>(at), sizeof stub)) {
        why = "cannot write into the program (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    return RunRemote(process, at, 0, ignored, why);
#endif
}

bool InjectLibrary(HANDLE process, const LaunchOptions &options, const std::wstring &dllPath,
                   const LibraryExports &exports, std::string &why)
{
    std::wstring strings = dllPath + L'\0' + options.symbolPath + L'\0' + options.sourceRoot + L'\0';
    size_t size = offsetof(RemoteBlock, strings) + strings.size() * sizeof(wchar_t);
    void *remote = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
    if (!remote) {
        why = "cannot allocate memory in the program (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    uintptr_t at = reinterpret_cast<uintptr_t>(remote);
    uintptr_t dllText = at + offsetof(RemoteBlock, strings);
    uintptr_t symbolText = dllText + (dllPath.size() + 1) * sizeof(wchar_t);
    uintptr_t sourceText = symbolText + (options.symbolPath.size() + 1) * sizeof(wchar_t);

    std::string block(size, '\0');
    RemoteBlock *local = reinterpret_cast<RemoteBlock *>(&block[0]);
    local->options.stackDepth = options.depth;
    // The launcher leaves out the groups below --min-repeat itself, and counts them.
    local->options.symbolPath = options.hasSymbolPath ? reinterpret_cast<const wchar_t *>(symbolText) : nullptr;
    local->options.sourceRoot = options.hasSourceRoot ? reinterpret_cast<const wchar_t *>(sourceText) : nullptr;
    local->reportOptions.size = sizeof local->reportOptions;
    local->reportOptions.classify = 1;
    memcpy(&block[offsetof(RemoteBlock, strings)], strings.data(), strings.size() * sizeof(wchar_t));

    bool done = false;
    uintptr_t base = 0;
    DWORD ignored;
    SIZE_T written = 0;
    if (!WriteProcessMemory(process, remote, block.data(), size, &written) || written != size) {
        why = "cannot write into the program (error " + std::to_string(GetLastError()) + ")";
    } else if (LoadInProgram(process, at, dllText, base, why)) {
        done = RunRemote(process, base + exports.setOptions, at + offsetof(RemoteBlock, options), ignored, why) &&
               (!options.classify || !exports.setReportOptions ||
                RunRemote(process, base + exports.setReportOptions, at + offsetof(RemoteBlock, reportOptions), ignored,
                          why)) &&
               StartInProgram(process, at, base + exports.start, why);
    }
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return done;
}
