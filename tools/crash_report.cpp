#include "crash_report.h"
#include <dbghelp.h>
#include <psapi.h>
#include <stdio.h>

static std::string WhereIs(HANDLE process, DWORD address)
{
    // Opened once, late: only a dying program pays for the symbol handler.
    static bool opened = (SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES),
                          SymInitializeW(process, nullptr, TRUE));
    char text[MAX_PATH + 40] = "";
    IMAGEHLP_LINEW64 line = {};
    line.SizeOfStruct = sizeof line;
    DWORD displacement;
    if (opened && SymGetLineFromAddrW64(process, address, &displacement, &line)) {
        snprintf(text, sizeof text, " (%ls(%lu))", line.FileName, line.LineNumber);
        return text;
    }
    DWORD64 base = opened ? SymGetModuleBase64(process, address) : 0;
    wchar_t module[MAX_PATH];
    if (base && GetModuleBaseNameW(process, reinterpret_cast<HMODULE>(static_cast<DWORD>(base)), module, MAX_PATH))
        snprintf(text, sizeof text, " (%ls+0x%lx)", module, address - static_cast<DWORD>(base));
    return text;
}

std::string DescribeCrash(HANDLE process, const EXCEPTION_RECORD &record)
{
    DWORD address = reinterpret_cast<DWORD>(record.ExceptionAddress);
    char text[100];
    snprintf(text, sizeof text, "tarnwick: the program died of exception 0x%08lX at 0x%08lX", record.ExceptionCode,
             address);
    return text + WhereIs(process, address) + "\n";
}

bool RedirectToTermination(HANDLE thread, HANDLE process, DWORD code)
{
    // ntdll lies at the same address in every process of a session.
    FARPROC terminate = GetProcAddress(GetModuleHandleW(L"ntdll"), "NtTerminateProcess");
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_FULL;
    if (!thread || !terminate || !GetThreadContext(thread, &context))
        return false;
    // A call frame below the faulting one: no return address, then the two
    // arguments.
    DWORD frame[3] = {0, 0xFFFFFFFF, code};
    DWORD esp = ((context.Esp - 256) & ~15u) - sizeof frame;
    SIZE_T written = 0;
    if (!WriteProcessMemory(process, reinterpret_cast<void *>(esp), frame, sizeof frame, &written) ||
        written != sizeof frame)
        return false;
    context.Esp = esp;
    context.Eip = reinterpret_cast<DWORD>(terminate);
    return SetThreadContext(thread, &context);
}
