// The unhandled-exception filter of the crash report. It is the process's
// top-level filter from process attach on; the C runtimes install theirs at
// start-up and pass what they do not handle on to it. A stack overflow
// leaves too little stack for the symbol handler, and on x64 Wine ends the
// process silently while it looks for a handler: it is taken as fatal at
// once, by a vectored handler, and reported on a thread of its own while the
// faulting thread waits.
#include "control/crash_report.h"
#include "control/library.h"
#include "control/thread_block.h"
#include "report/symbols.h"
#include "report/text_format.h"
#include "tracking/call_stack.h"
#include "tarnwick.h"
#include <windows.h>

enum : uint32_t { CrashFrames = 64 };

namespace {

struct Crash {
    const EXCEPTION_POINTERS *pointers;
    uintptr_t stackLimit, stackBase;  // of the faulting thread
};

volatile LONG Reporting;

// The faulting address, then the return addresses of its callers.
uint32_t WalkFaultingStack(const Crash &crash, uintptr_t *frames)
{
    const CONTEXT *context = crash.pointers->ContextRecord;
    uint32_t count = 0;
#if defined(_WIN64)
    CONTEXT step = *context;
    while (count < CrashFrames && step.Rip) {
        frames[count++] = step.Rip;
        DWORD64 imageBase;
        // A return address is looked up by the call before it.
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(step.Rip - (count > 1), &imageBase, nullptr);
        if (function) {
            void *handlerData;
            DWORD64 establisher;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, step.Rip, function, &step, &handlerData, &establisher,
                             nullptr);
        } else {  // a leaf function: the return address is on top
            if (step.Rsp < crash.stackLimit || step.Rsp + 8 > crash.stackBase)
                break;
            step.Rip = *reinterpret_cast<const DWORD64 *>(step.Rsp);
            step.Rsp += 8;
        }
        if (step.Rsp < crash.stackLimit || step.Rsp >= crash.stackBase)
            break;
    }
#else
    frames[count++] = context->Eip;
    for (uintptr_t frame = context->Ebp; count < CrashFrames && IsStackFrame(frame, crash.stackLimit, crash.stackBase);) {
        const uintptr_t *words = reinterpret_cast<const uintptr_t *>(frame);
        if (!words[1])
            break;
        frames[count++] = words[1];
        if (words[0] <= frame)
            break;
        frame = words[0];
    }
#endif
    return count;
}

// Writes the crash report, then the leak report when recording, and ends
// the process as the exception would have: with its code. Recording stops
// first: what the symbol handler allocates is not the program's.
DWORD WINAPI ReportCrash(void *argument)
{
    const Crash &crash = *static_cast<const Crash *>(argument);
    const EXCEPTION_RECORD *record = crash.pointers->ExceptionRecord;
    bool recording = RunningFlag;
    if (recording)
        TarnwickStop();
    uintptr_t frames[CrashFrames];
    uint32_t count = WalkFaultingStack(crash, frames);
    wchar_t text[130];
    FormatText(text, 130, L"Tarnwick: the program died of exception 0x%X at 0x%p; its call stack:\n",
               static_cast<uint32_t>(record->ExceptionCode), reinterpret_cast<uintptr_t>(record->ExceptionAddress));
    WriteMessage(text);
    for (uint32_t i = 0; i < count; i++)
        if (!PrintFrame(frames[i], i > 0)) {
            FormatText(text, 130, L"0x%p\n", frames[i]);
            WriteMessage(text);
        }
    WriteMessage(L"\n");
    if (recording)
        TarnwickDump();
    TerminateProcess(GetCurrentProcess(), record->ExceptionCode);
    return 0;
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS *pointers)
{
    // A second fault, in this report or on another thread, waits for the first.
    if (InterlockedExchange(&Reporting, 1))
        Sleep(INFINITE);
    Crash crash = {pointers, OwnStackLimit(), OwnStackBase()};
    if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW)
        return static_cast<LONG>(ReportCrash(&crash));
    HANDLE thread = CreateThread(nullptr, 1 << 20, ReportCrash, &crash, 0, nullptr);
    if (thread)
        WaitForSingleObject(thread, INFINITE);
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI OverflowHandler(EXCEPTION_POINTERS *pointers)
{
    if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW)
        return EXCEPTION_CONTINUE_SEARCH;
    return CrashFilter(pointers);
}

}  // namespace

static LPTOP_LEVEL_EXCEPTION_FILTER Previous;
static void *Overflow;
static bool Installed;

void InstallCrashFilter()
{
    Previous = SetUnhandledExceptionFilter(CrashFilter);
    Overflow = AddVectoredExceptionHandler(1, OverflowHandler);
    Installed = true;
}

void RemoveCrashFilter()
{
    if (!Installed)
        return;
    if (Overflow)
        RemoveVectoredExceptionHandler(Overflow);
    // Only while it is still the top one: a filter installed later may pass
    // its exceptions on to it, and then stays as it is.
    LPTOP_LEVEL_EXCEPTION_FILTER top = SetUnhandledExceptionFilter(Previous);
    if (top != CrashFilter)
        SetUnhandledExceptionFilter(top);
}
