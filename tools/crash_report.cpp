#include "crash_report.h"
#include <dbghelp.h>
#include <psapi.h>
#include <stdio.h>

std::string HexAddress(uintptr_t address)
{
    char text[20];
    snprintf(text, sizeof text, "0x%0*llX", static_cast<int>(2 * sizeof address),
             static_cast<unsigned long long>(address));
    return text;
}

static std::string WhereIs(HANDLE process, uintptr_t address)
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
    if (base && GetModuleBaseNameW(process, reinterpret_cast<HMODULE>(static_cast<uintptr_t>(base)), module, MAX_PATH))
        snprintf(text, sizeof text, " (%ls+0x%llx)", module, static_cast<unsigned long long>(address - base));
    return text;
}

std::string DescribeCrash(HANDLE process, const EXCEPTION_RECORD &record)
{
    uintptr_t address = reinterpret_cast<uintptr_t>(record.ExceptionAddress);
    char text[100];
    snprintf(text, sizeof text, "tarnwick: the program died of exception 0x%08lX at ", record.ExceptionCode);
    return text + HexAddress(address) + WhereIs(process, address) + "\n";
}

bool RedirectToTermination(HANDLE thread, HANDLE process, DWORD code)
{
    // ntdll lies at the same address in every process of a session.
    FARPROC terminate = GetProcAddress(GetModuleHandleW(L"ntdll"), "NtTerminateProcess");
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_FULL;
    if (!thread || !terminate || !GetThreadContext(thread, &context))
        return false;
#if defined(_WIN64)
    // The two arguments in RCX and RDX; a call frame below the faulting one:
    // no return address, then the 32 bytes of shadow space, so that RSP is
    // 8 past a 16-byte boundary as at any function's entry.
    uintptr_t frame[5] = {};
    context.Rcx = static_cast<DWORD64>(-1);
    context.Rdx = code;
    uintptr_t sp = ((context.Rsp - 256) & ~static_cast<uintptr_t>(15)) - sizeof frame;
#else
    // A call frame below the faulting one: no return address, then the two
    // arguments.
    DWORD frame[3] = {0, 0xFFFFFFFF, code};
    uintptr_t sp = ((context.Esp - 256) & ~15u) - sizeof frame;
#endif
    SIZE_T written = 0;
    if (!WriteProcessMemory(process, reinterpret_cast<void *>(sp), frame, sizeof frame, &written) ||
        written != sizeof frame)
        return false;
#if defined(_WIN64)
    context.Rsp = sp;
    context.Rip = reinterpret_cast<uintptr_t>(terminate);
#else
    context.Esp = sp;
    context.Eip = reinterpret_cast<uintptr_t>(terminate);
#endif
    return SetThreadContext(thread, &context);
}
