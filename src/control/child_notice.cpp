// Every CreateProcess* path (A and W, AsUser, the shell's) ends in
// CreateProcessInternalW, exported by kernelbase (by kernel32 before
// Windows 8): a hook there sees each process the program creates.
#include "control/child_notice.h"
#include "control/library.h"
#include "patching/inline_hook.h"
#include "report/text_format.h"
#include <windows.h>

typedef BOOL(WINAPI *CreateProcessInternalWFn)(HANDLE, const wchar_t *, wchar_t *, SECURITY_ATTRIBUTES *,
                                               SECURITY_ATTRIBUTES *, BOOL, DWORD, void *, const wchar_t *,
                                               STARTUPINFOW *, PROCESS_INFORMATION *, HANDLE *);

static void *CreateRealEntry;
static HookRecord *CreateHook;

static BOOL WINAPI CreateProcessDetour(HANDLE token, const wchar_t *application, wchar_t *commandLine,
                                       SECURITY_ATTRIBUTES *processAttributes, SECURITY_ATTRIBUTES *threadAttributes,
                                       BOOL inherit, DWORD flags, void *environment, const wchar_t *directory,
                                       STARTUPINFOW *startup, PROCESS_INFORMATION *created, HANDLE *newToken)
{
    BOOL done = reinterpret_cast<CreateProcessInternalWFn>(CreateRealEntry)(
        token, application, commandLine, processAttributes, threadAttributes, inherit, flags, environment, directory,
        startup, created, newToken);
    if (done && created) {
        DWORD error = GetLastError();
        wchar_t path[MAX_PATH] = L"?";
        DWORD length = MAX_PATH;
        if (!QueryFullProcessImageNameW(created->hProcess, 0, path, &length) && (application || commandLine))
            lstrcpynW(path, application ? application : commandLine, MAX_PATH);
        wchar_t text[MAX_PATH + 100];
        FormatText(text, MAX_PATH + 100, L"Tarnwick: the program started %s (process id %u), which runs without "
                                         L"the detector.\n", path, static_cast<uint32_t>(created->dwProcessId));
        WriteMessage(text);
        SetLastError(error);
    }
    return done;
}

void WatchProcessCreation()
{
    HMODULE module = GetModuleHandleW(L"kernelbase");
    CreateRealEntry = module ? reinterpret_cast<void *>(GetProcAddress(module, "CreateProcessInternalW")) : nullptr;
    if (!CreateRealEntry)
        CreateRealEntry = reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32"), "CreateProcessInternalW"));
    if (CreateRealEntry)
        CreateHook = InstallHook(reinterpret_cast<void *>(CreateProcessDetour), &CreateRealEntry);
}

void StopWatchingProcessCreation()
{
    if (CreateHook)
        RemoveHook(CreateHook);
    CreateHook = nullptr;
}
