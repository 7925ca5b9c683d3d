// Every CreateProcess* path (A and W, AsUser, the shell's) ends in
// CreateProcessInternalW, exported by kernelbase (by kernel32 before
// Windows 8): a hook there sees each process the program creates. It
// creates the child suspended and names it to the launcher, which loads the
// library into it (through the launcher of the child's kind) and resumes it
// when it answers 'w'; on any other answer, or none, the hook resumes it.
#include "control/child_notice.h"
#include "control/library.h"
#include "control/report_channel.h"
#include "patching/inline_hook.h"
#include "report/text_format.h"
#include <windows.h>

typedef BOOL(WINAPI *CreateProcessInternalWFn)(HANDLE, const wchar_t *, wchar_t *, SECURITY_ATTRIBUTES *,
                                               SECURITY_ATTRIBUTES *, BOOL, DWORD, void *, const wchar_t *,
                                               STARTUPINFOW *, PROCESS_INFORMATION *, HANDLE *);

static void *CreateRealEntry;
static HookRecord *CreateHook;

// Why a child is left as the program made it: one it creates suspended may
// be changed before it runs (its memory, its first thread's context), one
// under a debugger or protected cannot take the launcher's threads.
static const wchar_t *Unwatchable(DWORD flags)
{
    if (flags & CREATE_SUSPENDED)
        return L"the program created it suspended";
    if (flags & (DEBUG_PROCESS | DEBUG_ONLY_THIS_PROCESS))
        return L"the program debugs it";
    if (flags & CREATE_PROTECTED_PROCESS)
        return L"it is a protected process";
    return nullptr;
}

static BOOL WINAPI CreateProcessDetour(HANDLE token, const wchar_t *application, wchar_t *commandLine,
                                       SECURITY_ATTRIBUTES *processAttributes, SECURITY_ATTRIBUTES *threadAttributes,
                                       BOOL inherit, DWORD flags, void *environment, const wchar_t *directory,
                                       STARTUPINFOW *startup, PROCESS_INFORMATION *created, HANDLE *newToken)
{
    const wchar_t *unwatchable = Unwatchable(flags);
    BOOL done = reinterpret_cast<CreateProcessInternalWFn>(CreateRealEntry)(
        token, application, commandLine, processAttributes, threadAttributes, inherit,
        unwatchable ? flags : flags | CREATE_SUSPENDED, environment, directory, startup, created, newToken);
    if (!done || !created)
        return done;
    DWORD error = GetLastError();
    wchar_t path[MAX_PATH] = L"?";
    DWORD length = MAX_PATH;
    if (!QueryFullProcessImageNameW(created->hProcess, 0, path, &length) && (application || commandLine))
        lstrcpynW(path, application ? application : commandLine, MAX_PATH);
    wchar_t text[MAX_PATH + 160];
    uint32_t id = created->dwProcessId;
    if (unwatchable) {
        FormatText(text, MAX_PATH + 160, L"Tarnwick: the program started %s (process id %u), which runs without "
                                         L"the detector: %s.\n", path, id, unwatchable);
        WriteMessage(text);
    } else {
        FormatText(text, MAX_PATH + 160, L"Tarnwick: the program started %s (process id %u, thread id %u), held for "
                                         L"the launcher.\n", path, id, static_cast<uint32_t>(created->dwThreadId));
        char reply = 0;
        if (!WriteToReportChannel(text, lstrlenW(text), &reply) || reply != 'w')
            ResumeThread(created->hThread);
    }
    SetLastError(error);
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
