#include "injection.h"
#include "tarnwick.h"
#include <stddef.h>
#include <string.h>

bool FindLibraryExports(const std::wstring &dllPath, LibraryExports &exports, std::string &why)
{
    HMODULE local = LoadLibraryExW(dllPath.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!local) {
        why = "cannot be read as a DLL (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    FARPROC setOptions = GetProcAddress(local, "TarnwickSetOptions");
    FARPROC start = GetProcAddress(local, "TarnwickStart");
    FARPROC setReportOptions = GetProcAddress(local, "TarnwickSetReportOptions");
    DWORD base = reinterpret_cast<DWORD>(local);
    if (setReportOptions)
        exports.setReportOptions = reinterpret_cast<DWORD>(setReportOptions) - base;
    if (setOptions && start) {
        exports.setOptions = reinterpret_cast<DWORD>(setOptions) - base;
        exports.start = reinterpret_cast<DWORD>(start) - base;
    }
    FreeLibrary(local);
    if (!setOptions || !start)
        why = "does not export TarnwickSetOptions and TarnwickStart";
    return setOptions && start;
}

// Runs routine(argument) on a new thread of the program and handles the
// program's debug events until that thread ends.
static bool RunRemote(DebugSession &session, DWORD routine, DWORD argument, DWORD &exitCode, std::string &why)
{
    DWORD id;
    HANDLE thread = CreateRemoteThread(session.child.hProcess, nullptr, 0,
                                       reinterpret_cast<LPTHREAD_START_ROUTINE>(routine),
                                       reinterpret_cast<void *>(argument), 0, &id);
    if (!thread) {
        why = "cannot create a thread in the program (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    CloseHandle(thread);
    DEBUG_EVENT event;
    // Loading a DLL takes milliseconds; a minute means it hangs.
    while (PumpEvent(session, event, 60000)) {
        if (event.dwDebugEventCode == EXIT_THREAD_DEBUG_EVENT && event.dwThreadId == id) {
            exitCode = event.u.ExitThread.dwExitCode;
            return true;
        }
        if (session.exited) {
            why = "the program ended during the injection";
            return false;
        }
    }
    why = "a thread in the program did not finish";
    return false;
}

// What the program's threads read: a stub for TarnwickStart (a thread start
// routine gets one argument, which TarnwickStart does not take), the options
// record and the strings it points at.
struct RemoteBlock {
    unsigned char startStub[16];
    TarnwickOptions options;
    TarnwickReportOptions reportOptions;
    wchar_t strings[1];  // DLL path, symbol path, source root, each terminated
};

bool InjectLibrary(DebugSession &session, const LaunchOptions &options, const std::wstring &dllPath,
                   const LibraryExports &exports, std::string &why)
{
    std::wstring strings = dllPath + L'\0' + options.symbolPath + L'\0' + options.sourceRoot + L'\0';
    size_t size = offsetof(RemoteBlock, strings) + strings.size() * sizeof(wchar_t);
    HANDLE process = session.child.hProcess;
    void *remote = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
    if (!remote) {
        why = "cannot allocate memory in the program (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    DWORD at = reinterpret_cast<DWORD>(remote);
    DWORD dllText = at + offsetof(RemoteBlock, strings);
    DWORD symbolText = dllText + (dllPath.size() + 1) * sizeof(wchar_t);
    DWORD sourceText = symbolText + (options.symbolPath.size() + 1) * sizeof(wchar_t);

    // kernel32 lies at the same address in every process of a session.
    DWORD loadLibrary = reinterpret_cast<DWORD>(GetProcAddress(GetModuleHandleW(L"kernel32"), "LoadLibraryW"));
    std::string block(size, '\0');
    RemoteBlock *local = reinterpret_cast<RemoteBlock *>(&block[0]);
    local->options.stackDepth = options.depth;
    local->options.minRepeat = options.minRepeat;
    local->options.symbolPath = options.hasSymbolPath ? reinterpret_cast<const wchar_t *>(symbolText) : nullptr;
    local->options.sourceRoot = options.hasSourceRoot ? reinterpret_cast<const wchar_t *>(sourceText) : nullptr;
    local->reportOptions.size = sizeof local->reportOptions;
    local->reportOptions.classify = 1;
    memcpy(&block[offsetof(RemoteBlock, strings)], strings.data(), strings.size() * sizeof(wchar_t));

    bool done = false;
    DWORD base = 0, ignored;
    SIZE_T written = 0;
    if (!WriteProcessMemory(process, remote, block.data(), size, &written) || written != size) {
        why = "cannot write into the program (error " + std::to_string(GetLastError()) + ")";
    } else if (RunRemote(session, loadLibrary, dllText, base, why)) {
        if (!base) {
            why = "LoadLibraryW failed in the program";
        } else {
            // mov eax, TarnwickStart; call eax; ret 4
            unsigned char stub[16] = {0xB8, 0, 0, 0, 0, 0xFF, 0xD0, 0xC2, 0x04, 0x00};
            DWORD start = base + exports.start;
            memcpy(stub + 1, &start, 4);
            if (!WriteProcessMemory(process, remote, stub, sizeof stub, &written) ||
                !FlushInstructionCache(process, remote, sizeof stub))
                why = "cannot write into the program (error " + std::to_string(GetLastError()) + ")";
            else
                done = RunRemote(session, base + exports.setOptions, at + offsetof(RemoteBlock, options), ignored, why) &&
                       (!options.classify || !exports.setReportOptions ||
                        RunRemote(session, base + exports.setReportOptions, at + offsetof(RemoteBlock, reportOptions),
                                  ignored, why)) &&
                       RunRemote(session, at, 0, ignored, why);
            session.recording = done;
        }
    }
    if (!session.exited)
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return done;
}
