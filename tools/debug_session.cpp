#include "debug_session.h"
#include "crash_report.h"
#include "tarnwick.h"

bool StartUnderDebugger(DebugSession &session, const std::wstring &commandLine, DWORD &error)
{
    std::wstring line = commandLine;  // CreateProcessW may write into it
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup,
                        &session.child)) {
        error = GetLastError();
        return false;
    }
    // Before the program runs any code: it is held at its first debug event.
    std::wstring relay = TARNWICK_RELAY_EVENT_PREFIX + std::to_wstring(session.child.dwProcessId);
    if (session.relayWhole)
        session.relayEvent = CreateEventW(nullptr, TRUE, FALSE, relay.c_str());
    return true;
}

// Relays one debug string. Wine delivers them as ANSI; a wide one is
// converted to the ANSI code page like Wine does.
static void RelayDebugString(DebugSession &session, const OUTPUT_DEBUG_STRING_INFO &info)
{
    DWORD units = info.nDebugStringLength;
    if (units == 0)
        return;
    DWORD unitSize = info.fUnicode ? 2 : 1;
    std::string raw(units * unitSize, '\0');
    SIZE_T got = 0;
    if (!ReadProcessMemory(session.child.hProcess, info.lpDebugStringData, &raw[0], raw.size(), &got) ||
        got != raw.size())
        return;
    std::string text;
    if (info.fUnicode) {
        const wchar_t *wide = reinterpret_cast<const wchar_t *>(raw.data());
        int chars = static_cast<int>(wcsnlen(wide, units));
        int bytes = WideCharToMultiByte(CP_ACP, 0, wide, chars, nullptr, 0, nullptr, nullptr);
        text.resize(bytes);
        WideCharToMultiByte(CP_ACP, 0, wide, chars, &text[0], bytes, nullptr, nullptr);
    } else {
        text.assign(raw.c_str(), strnlen(raw.c_str(), units));
    }
    session.reader.Feed(text.data(), text.size());
}

// The loader's initial breakpoint comes with the loader lock held, so that
// nothing can be loaded there. A breakpoint on the program's entry point
// stops its first thread once the loader is done.
static void PlaceEntryBreakpoint(DebugSession &session, uintptr_t imageBase)
{
    // The program is of the launcher's own kind (see launcher_choice.h).
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS nt;
    HANDLE process = session.child.hProcess;
    BYTE int3 = 0xCC;
    if (ReadProcessMemory(process, reinterpret_cast<void *>(imageBase), &dos, sizeof dos, nullptr) &&
        ReadProcessMemory(process, reinterpret_cast<void *>(imageBase + dos.e_lfanew), &nt, sizeof nt, nullptr) &&
        nt.OptionalHeader.AddressOfEntryPoint) {
        uintptr_t entry = imageBase + nt.OptionalHeader.AddressOfEntryPoint;
        void *at = reinterpret_cast<void *>(entry);
        if (ReadProcessMemory(process, at, &session.entryByte, 1, nullptr) &&
            WriteProcessMemory(process, at, &int3, 1, nullptr) && FlushInstructionCache(process, at, 1))
            session.entryPoint = entry;
    }
}

// Takes the entry breakpoint out again and holds the thread at the entry.
static void HoldAtEntry(DebugSession &session, HANDLE thread)
{
    void *at = reinterpret_cast<void *>(session.entryPoint);
    WriteProcessMemory(session.child.hProcess, at, &session.entryByte, 1, nullptr);
    FlushInstructionCache(session.child.hProcess, at, 1);
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(thread, &context);
#if defined(_WIN64)
    context.Rip = session.entryPoint;
#else
    context.Eip = session.entryPoint;
#endif
    SetThreadContext(thread, &context);
    SuspendThread(thread);
    session.heldThread = thread;
    session.entryPoint = 0;
}

static DWORD HandleException(DebugSession &session, const DEBUG_EVENT &event)
{
    const EXCEPTION_RECORD &record = event.u.Exception.ExceptionRecord;
    if (record.ExceptionCode == EXCEPTION_BREAKPOINT) {
        uintptr_t address = reinterpret_cast<uintptr_t>(record.ExceptionAddress);
        if (!session.loaderDone) {
            // The loader's own break: everything is loaded, no entry point has run.
            session.loaderDone = true;
        } else if (session.entryPoint && (address == session.entryPoint || address == session.entryPoint + 1)) {
            HoldAtEntry(session, session.threads[event.dwThreadId]);
        } else {
            fprintf(stderr, "tarnwick: break at %s\n", HexAddress(address).c_str());
        }
        return DBG_CONTINUE;
    }
    if (event.u.Exception.dwFirstChance)
        return DBG_EXCEPTION_NOT_HANDLED;
    // Last chance: the process ends now, without running its exit path.
    fputs(DescribeCrash(session.child.hProcess, record).c_str(), stderr);
    if (session.recording && !session.redirected && record.ExceptionCode != EXCEPTION_STACK_OVERFLOW &&
        RedirectToTermination(session.threads[event.dwThreadId], session.child.hProcess, record.ExceptionCode)) {
        session.redirected = true;
        session.crashCode = record.ExceptionCode;
        return DBG_CONTINUE;
    }
    return DBG_EXCEPTION_NOT_HANDLED;
}

bool PumpEvent(DebugSession &session, DEBUG_EVENT &event, DWORD timeoutMs)
{
    if (!WaitForDebugEvent(&event, timeoutMs)) {
        if (GetLastError() != ERROR_SEM_TIMEOUT) {
            fprintf(stderr, "tarnwick: lost the program (error %lu)\n", GetLastError());
            session.exited = true;
        }
        return false;
    }
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
    case OUTPUT_DEBUG_STRING_EVENT:
        RelayDebugString(session, event.u.DebugString);
        break;
    case EXCEPTION_DEBUG_EVENT:
        status = HandleException(session, event);
        break;
    case CREATE_PROCESS_DEBUG_EVENT:
        session.imageFile = event.u.CreateProcessInfo.hFile;
        session.threads[event.dwThreadId] = event.u.CreateProcessInfo.hThread;
        if (session.holdAtEntry)
            PlaceEntryBreakpoint(session, reinterpret_cast<uintptr_t>(event.u.CreateProcessInfo.lpBaseOfImage));
        break;
    case CREATE_THREAD_DEBUG_EVENT:
        session.threads[event.dwThreadId] = event.u.CreateThread.hThread;
        break;
    case EXIT_THREAD_DEBUG_EVENT:
        session.threads.erase(event.dwThreadId);
        break;
    case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile)
            CloseHandle(event.u.LoadDll.hFile);
        break;
    case EXIT_PROCESS_DEBUG_EVENT:
        session.exitCode = event.u.ExitProcess.dwExitCode;
        session.exited = true;
        if (session.relayEvent)
            CloseHandle(session.relayEvent);  // the id may be given to another process now
        session.relayEvent = nullptr;
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    return true;
}

void EndProgram(DebugSession &session, DWORD exitCode)
{
    TerminateProcess(session.child.hProcess, exitCode);
    DEBUG_EVENT event;
    while (!session.exited)
        PumpEvent(session, event);
}
