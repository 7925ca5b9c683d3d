#include "injection.h"
#include "launcher_choice.h"
#include "tarnwick.h"
#include <psapi.h>
#include <stddef.h>
#include <string.h>
#include <initializer_list>

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

// The path of the Tarnwick.dll that the program has loaded itself.
static std::wstring OwnLibraryCopy(HANDLE process)
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

static const wchar_t OwnName[] = L"Tarnwick.dll";

// What the program's thread reads: the stub (see InjectionStub), the options
// records and the strings they point at.
struct RemoteBlock {
    unsigned char stub[192];
    uintptr_t own;     // GetModuleHandleW's result for the library's name, stored there by the stub
    uintptr_t loaded;  // LoadLibraryW's result, stored there by the stub
    TarnwickOptions options;
    TarnwickReportOptions reportOptions;
    wchar_t strings[1];  // the library's name, DLL path, symbol path, source root, each terminated
};

// Machine code, written a piece at a time.
struct Code {
    std::string bytes;
    Code &operator()(std::initializer_list<unsigned char> piece)
    {
        bytes.append(piece.begin(), piece.end());
        return *this;
    }
    template <typename T> Code &operator()(T value)
    {
        bytes.append(reinterpret_cast<const char *>(&value), sizeof value);
        return *this;
    }
};

// One thread does it all, each thread costing milliseconds under Wine: the
// stub, given the block's address, stores GetModuleHandleW's result for the
// library's name in `own` and stops there when the program has a copy of
// its own; else it loads the DLL, stores its base in `loaded` and, when that
// worked, calls TarnwickSetOptions, (unless --all) TarnwickSetReportOptions
// and TarnwickStart, each at its offset from the base. It returns 0, so that
// a thread that ended otherwise ended in the loader's start-up. kernel32
// lies at the same address in every process of a session (of one kind: the
// program is of the launcher's own).
static std::string InjectionStub(const LibraryExports &exports, bool classify)
{
    HMODULE kernel32 = GetModuleHandleW(L"kernel32");
    uintptr_t loadLibrary = reinterpret_cast<uintptr_t>(GetProcAddress(kernel32, "LoadLibraryW"));
    uintptr_t moduleHandle = reinterpret_cast<uintptr_t>(GetProcAddress(kernel32, "GetModuleHandleW"));
    const DWORD ownName = offsetof(RemoteBlock, strings), own = offsetof(RemoteBlock, own);
    const DWORD dllText = ownName + sizeof OwnName, loaded = offsetof(RemoteBlock, loaded);
    const DWORD options = offsetof(RemoteBlock, options), reportOptions = offsetof(RemoteBlock, reportOptions);
    bool report = classify && exports.setReportOptions;
    Code code;
    size_t ownJump, loadJump;
#if defined(_WIN64)
    // The block in RCX; RBX and RSI are kept; RSP on a 16-byte boundary at
    // each call, with the 32 bytes of shadow space the callee may use.
    code({0x53, 0x56, 0x48, 0x83, 0xEC, 0x28})              // push rbx; push rsi; sub rsp, 40
        ({0x48, 0x89, 0xCB})                                 // mov rbx, rcx
        ({0x48, 0x8D, 0x8B})(ownName)                        // lea rcx, [rbx + ownName]
        ({0x48, 0xB8})(static_cast<uint64_t>(moduleHandle))  // mov rax, GetModuleHandleW
        ({0xFF, 0xD0})                                       // call rax
        ({0x48, 0x89, 0x83})(own)                            // mov [rbx + own], rax
        ({0x48, 0x85, 0xC0, 0x75, 0});                       // test rax, rax; jnz done
    ownJump = code.bytes.size();
    code({0x48, 0x8D, 0x8B})(dllText)                        // lea rcx, [rbx + dllText]
        ({0x48, 0xB8})(static_cast<uint64_t>(loadLibrary))   // mov rax, LoadLibraryW
        ({0xFF, 0xD0, 0x48, 0x89, 0xC6})                     // call rax; mov rsi, rax
        ({0x48, 0x89, 0x83})(loaded)                         // mov [rbx + loaded], rax
        ({0x48, 0x85, 0xF6, 0x74, 0});                       // test rsi, rsi; jz done
    loadJump = code.bytes.size();
    auto call = [&](DWORD argument, DWORD function) {
        code({0x48, 0x8D, 0x8B})(argument)({0x48, 0x8D, 0x86})(function)({0xFF, 0xD0});
    };
    call(options, exports.setOptions);
    if (report)
        call(reportOptions, exports.setReportOptions);
    code({0x48, 0x8D, 0x86})(exports.start)({0xFF, 0xD0});   // lea rax, [rsi + start]; call rax
    code.bytes[ownJump - 1] = static_cast<char>(code.bytes.size() - ownJump);
    code.bytes[loadJump - 1] = static_cast<char>(code.bytes.size() - loadJump);
    code({0x31, 0xC0, 0x48, 0x83, 0xC4, 0x28, 0x5E, 0x5B, 0xC3});  // xor eax, eax; add rsp, 40; pop rsi; pop rbx; ret
#else
    // The block as the start routine's one stdcall argument; EBX and ESI are
    // kept; every function called is stdcall and takes its arguments off.
    code({0x53, 0x56, 0x8B, 0x5C, 0x24, 0x0C})           // push ebx; push esi; mov ebx, [esp + 12]
        ({0x8D, 0x83})(ownName)({0x50})                   // lea eax, [ebx + ownName]; push eax
        ({0xB8})(static_cast<uint32_t>(moduleHandle))     // mov eax, GetModuleHandleW
        ({0xFF, 0xD0})                                    // call eax
        ({0x89, 0x83})(own)                               // mov [ebx + own], eax
        ({0x85, 0xC0, 0x75, 0});                          // test eax, eax; jnz done
    ownJump = code.bytes.size();
    code({0x8D, 0x83})(dllText)({0x50})                   // lea eax, [ebx + dllText]; push eax
        ({0xB8})(static_cast<uint32_t>(loadLibrary))      // mov eax, LoadLibraryW
        ({0xFF, 0xD0, 0x89, 0xC6})                        // call eax; mov esi, eax
        ({0x89, 0xB3})(loaded)                            // mov [ebx + loaded], esi
        ({0x85, 0xF6, 0x74, 0});                          // test esi, esi; jz done
    loadJump = code.bytes.size();
    auto call = [&](DWORD argument, DWORD function) {
        code({0x8D, 0x83})(argument)({0x50, 0x8D, 0x86})(function)({0xFF, 0xD0});
    };
    call(options, exports.setOptions);
    if (report)
        call(reportOptions, exports.setReportOptions);
    code({0x8D, 0x86})(exports.start)({0xFF, 0xD0});     // lea eax, [esi + start]; call eax
    code.bytes[ownJump - 1] = static_cast<char>(code.bytes.size() - ownJump);
    code.bytes[loadJump - 1] = static_cast<char>(code.bytes.size() - loadJump);
    code({0x31, 0xC0, 0x5E, 0x5B, 0xC2, 0x04, 0x00});     // xor eax, eax; pop esi; pop ebx; ret 4
#endif
    return code.bytes;
}

Injection InjectLibrary(HANDLE process, const LaunchOptions &options, const std::wstring &dllPath,
                        const LibraryExports &exports, DWORD &exitCode, std::wstring &ownCopy, std::string &why)
{
    std::wstring strings = std::wstring(OwnName) + L'\0' + dllPath + L'\0' + options.symbolPath + L'\0' +
                           options.sourceRoot + L'\0';
    size_t size = offsetof(RemoteBlock, strings) + strings.size() * sizeof(wchar_t);
    // At the top of the address space, away from where the start-up, which
    // runs after this, places its heaps: the program's memory is laid out as
    // it is alone.
    void *remote =
        VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE | MEM_TOP_DOWN, PAGE_EXECUTE_READWRITE);
    if (!remote) {
        why = "cannot allocate memory in the program (error " + std::to_string(GetLastError()) + ")";
        return Injection::Failed;
    }
    uintptr_t at = reinterpret_cast<uintptr_t>(remote);
    uintptr_t dllText = at + offsetof(RemoteBlock, strings) + sizeof OwnName;
    uintptr_t symbolText = dllText + (dllPath.size() + 1) * sizeof(wchar_t);
    uintptr_t sourceText = symbolText + (options.symbolPath.size() + 1) * sizeof(wchar_t);

    std::string block(size, '\0');
    RemoteBlock *local = reinterpret_cast<RemoteBlock *>(&block[0]);
    std::string stub = InjectionStub(exports, options.classify);
    memcpy(local->stub, stub.data(), stub.size());
    local->options.stackDepth = options.depth;
    // The launcher leaves out the groups below --min-repeat itself, and counts them.
    local->options.symbolPath = options.hasSymbolPath ? reinterpret_cast<const wchar_t *>(symbolText) : nullptr;
    local->options.sourceRoot = options.hasSourceRoot ? reinterpret_cast<const wchar_t *>(sourceText) : nullptr;
    local->reportOptions.size = sizeof local->reportOptions;
    local->reportOptions.classify = 1;
    local->reportOptions.reachableWithoutStacks = !ReachableStacksNeeded(options);
    memcpy(&block[offsetof(RemoteBlock, strings)], strings.data(), strings.size() * sizeof(wchar_t));

    Injection result = Injection::Failed;
    exitCode = 0;
    SIZE_T written = 0;
    uintptr_t found[2] = {};  // own, loaded
    if (!WriteProcessMemory(process, remote, block.data(), size, &written) || written != size ||
        !FlushInstructionCache(process, remote, sizeof local->stub)) {
        why = "cannot write into the program (error " + std::to_string(GetLastError()) + ")";
    } else if (!RunRemote(process, at, at, exitCode, why) || exitCode != 0) {
        // A start-up that fails ends the process, this thread with its status
        // (a minute, as for the thread: longer means it hangs).
        if (WaitForSingleObject(process, exitCode != 0 ? 60000 : 0) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process, &exitCode);
            result = Injection::EndedInStartUp;
        } else if (why.empty()) {
            why = "its thread ended with status " + std::to_string(exitCode);
        }
    } else if (!ReadProcessMemory(process, reinterpret_cast<void *>(at + offsetof(RemoteBlock, own)), found,
                                  sizeof found, nullptr)) {
        why = "cannot read from the program (error " + std::to_string(GetLastError()) + ")";
    } else if (found[0]) {
        ownCopy = OwnLibraryCopy(process);
        result = Injection::OwnCopy;
    } else if (!found[1]) {
        why = "LoadLibraryW failed in the program";
    } else {
        result = Injection::Loaded;
    }
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return result;
}
