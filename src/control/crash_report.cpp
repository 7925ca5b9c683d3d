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

// A deep stack (a stack overflow's) shows its innermost frames and its
// outermost ones, with the number left out between them.
enum : uint32_t { HeadFrames = 48, TailFrames = 16, MostFrames = 1 << 20 };

namespace {

struct Crash {
    const EXCEPTION_POINTERS *pointers;
    uintptr_t stackLimit, stackBase;  // of the faulting thread
};

volatile LONG Reporting;

struct Frames {
    uintptr_t head[HeadFrames], tail[TailFrames];
    uint32_t count;  // frames added
    bool Add(uintptr_t address)
    {
        if (count < HeadFrames)
            head[count] = address;
        else
            tail[(count - HeadFrames) % TailFrames] = address;
        return ++count < MostFrames;
    }
};

#if !defined(_WIN64)
// Whether address lies in a loaded module after a call instruction: E8 rel32,
// or FF /2 through a register or memory (2, 3, 6 or 7 bytes).
bool FollowsCallInModule(uintptr_t address)
{
    HMODULE module;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<const wchar_t *>(address), &module) ||
        address < reinterpret_cast<uintptr_t>(module) + 0x1000 + 7)
        return false;
    const uint8_t *at = reinterpret_cast<const uint8_t *>(address);
    if (at[-5] == 0xE8)
        return true;
    static const int lengths[] = {2, 3, 6, 7};
    for (int length : lengths)
        if (at[-length] == 0xFF && ((at[1 - length] >> 3) & 7) == 2)
            return true;
    return false;
}
#endif

// The faulting address, then the return addresses of its callers.
void WalkFaultingStack(const Crash &crash, Frames &frames)
{
    const CONTEXT *context = crash.pointers->ContextRecord;
#if defined(_WIN64)
    CONTEXT step = *context;
    while (step.Rip && frames.Add(step.Rip)) {
        DWORD64 imageBase;
        // A return address is looked up by the call before it.
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(step.Rip - (frames.count > 1), &imageBase, nullptr);
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
    frames.Add(context->Eip);
    // A fault in a function that has not set up its frame (a leaf, a
    // breakpoint function) leaves its return address on top of the stack.
    uintptr_t top = context->Esp;
    if (top >= crash.stackLimit && top + sizeof(uintptr_t) <= crash.stackBase &&
        (!IsStackFrame(context->Ebp, crash.stackLimit, crash.stackBase) ||
         *reinterpret_cast<const uintptr_t *>(top) != reinterpret_cast<const uintptr_t *>(context->Ebp)[1]) &&
        FollowsCallInModule(*reinterpret_cast<const uintptr_t *>(top)))
        frames.Add(*reinterpret_cast<const uintptr_t *>(top));
    for (uintptr_t frame = context->Ebp; IsStackFrame(frame, crash.stackLimit, crash.stackBase);) {
        const uintptr_t *words = reinterpret_cast<const uintptr_t *>(frame);
        if (!words[1] || !frames.Add(words[1]) || words[0] <= frame)
            break;
        frame = words[0];
    }
#endif
}

void PrintCrashFrame(uintptr_t address, bool returnAddress)
{
    if (!PrintFrame(address, returnAddress)) {
        wchar_t text[40];
        FormatText(text, 40, L"0x%p\n", address);
        WriteMessage(text);
    }
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
    static Frames frames;  // one crash per process; the faulting stack may be short
    WalkFaultingStack(crash, frames);
    wchar_t text[130];
    FormatText(text, 130, L"Tarnwick: the program died of exception 0x%X at 0x%p; its call stack:\n",
               static_cast<uint32_t>(record->ExceptionCode), reinterpret_cast<uintptr_t>(record->ExceptionAddress));
    WriteMessage(text);
    for (uint32_t i = 0; i < frames.count && i < HeadFrames; i++)
        PrintCrashFrame(frames.head[i], i > 0);
    if (frames.count > HeadFrames + TailFrames) {
        FormatText(text, 130, L"... %u frames left out ...\n", frames.count - HeadFrames - TailFrames);
        WriteMessage(text);
    }
    for (uint32_t i = frames.count > HeadFrames + TailFrames ? frames.count - TailFrames : HeadFrames; i < frames.count;
         i++)
        PrintCrashFrame(frames.tail[(i - HeadFrames) % TailFrames], true);
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
