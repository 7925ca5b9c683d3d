// Structured exception handling for the guards and exit actions. x86: a
// registration record in the caller's stack frame, linked at the head of the
// thread's chain (fs:[0]). x64: the same records on a chain of the library's
// own, caught by a vectored handler and unwound by a frame handler.
#include "tracking/guarded_region.h"
#include <windows.h>

namespace {

#if defined(_WIN64)
// The guard's __builtin_setjmp buffer: frame pointer, resume address, stack
// pointer, as __builtin_longjmp reads it.
enum { JumpFrame = 0, JumpResume = 1, JumpStack = 2 };

inline bool IsExitAction(const SehRegistration *registration)
{
    return registration->handler == ExitActionHandlerEntry;
}

inline void RunExitAction(SehRegistration *registration)
{
    auto *exit = reinterpret_cast<ExitActionFrame *>(registration);
    exit->action(exit->context);
}

// Sees every exception first. With a guard on the thread's chain, an error
// runs the exit actions linked above the guard, innermost first, and resumes
// at the guard's jump buffer, as __builtin_longjmp would; the frames in
// between are left without unwinding. Notices (debug strings, warnings) pass.
LONG CALLBACK GuardVectoredHandler(EXCEPTION_POINTERS *pointers)
{
    DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if ((code & 0xC0000000) != 0xC0000000)
        return EXCEPTION_CONTINUE_SEARCH;
    SehRegistration *guard = SehChainHead();
    while (guard && guard->handler != GuardHandlerEntry)
        guard = guard->next;
    if (!guard)
        return EXCEPTION_CONTINUE_SEARCH;
    for (SehRegistration *head; (head = SehChainHead()) != guard;) {
        SetSehChainHead(head->next);
        RunExitAction(head);
    }
    auto *frame = reinterpret_cast<GuardFrame *>(guard);
    frame->code = code;
    CONTEXT *context = pointers->ContextRecord;
    context->Rbp = reinterpret_cast<DWORD64>(frame->jump[JumpFrame]);
    context->Rip = reinterpret_cast<DWORD64>(frame->jump[JumpResume]);
    context->Rsp = reinterpret_cast<DWORD64>(frame->jump[JumpStack]);
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Present while the library is loaded; the slot for the chain heads too.
struct GuardSetUp {
    void *handler;
    GuardSetUp() : handler(AddVectoredExceptionHandler(1, GuardVectoredHandler)) { GuardChainSlot = TlsAlloc(); }
    ~GuardSetUp()
    {
        RemoveVectoredExceptionHandler(handler);
        TlsFree(GuardChainSlot);
    }
} SetUp;
#else
// RtlUnwind does not preserve EBX, ESI and EDI; the clobbers make this
// wrapper save and restore them.
__attribute__((noinline)) void UnwindTo(void *frame, EXCEPTION_RECORD *record)
{
    __asm__ __volatile__("" : : : "ebx", "esi", "edi", "memory");
    RtlUnwind(frame, nullptr, record, nullptr);
    __asm__ __volatile__("" : : : "ebx", "esi", "edi", "memory");
}

extern "C" EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD *record, void *frame, CONTEXT *, void *)
{
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    auto *guard = static_cast<GuardFrame *>(frame);
    guard->code = record->ExceptionCode;
    // Runs the exit actions of every frame between the fault and the guard,
    // and leaves the guard at the head of the chain.
    UnwindTo(frame, record);
    __builtin_longjmp(guard->jump, 1);
}

extern "C" EXCEPTION_DISPOSITION __cdecl ExitActionHandler(EXCEPTION_RECORD *record, void *frame, CONTEXT *, void *)
{
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) {
        auto *exit = static_cast<ExitActionFrame *>(frame);
        exit->action(exit->context);
    }
    return ExceptionContinueSearch;
}
#endif

}  // namespace

#if defined(_WIN64)
uint32_t GuardChainSlot = TLS_OUT_OF_INDEXES;

void SetSehChainHeadSlowly(SehRegistration *head) { TlsSetValue(GuardChainSlot, head); }

// Marks on the chain; the vectored handler and the frame handler tell the
// records apart by them.
extern "C" void *const ExitActionHandlerEntry = const_cast<uint32_t *>(&GuardChainSlot);
extern "C" void *const GuardHandlerEntry = const_cast<void **>(&ExitActionHandlerEntry);

// Declared by every function that pushes an exit action: an unwind leaving
// such a function runs the actions it linked, found on the chain by its
// frame pointer, innermost first.
extern "C" EXCEPTION_DISPOSITION ExitActionUnwindHandler(EXCEPTION_RECORD *record, void *, CONTEXT *,
                                                         DISPATCHER_CONTEXT *dispatch)
{
    if (!(record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)))
        return ExceptionContinueSearch;
    void *frame = reinterpret_cast<void *>(dispatch->ContextRecord->Rbp);
    for (SehRegistration *head; (head = SehChainHead()) && head->frame == frame && IsExitAction(head);) {
        SetSehChainHead(head->next);
        RunExitAction(head);
    }
    return ExceptionContinueSearch;
}
#else
extern "C" void *const ExitActionHandlerEntry = reinterpret_cast<void *>(ExitActionHandler);
extern "C" void *const GuardHandlerEntry = reinterpret_cast<void *>(GuardHandler);
#endif

uint32_t RunGuarded(void (*body)(void *), void *context)
{
    GuardFrame guard;
    guard.code = 0;
    if (__builtin_setjmp(guard.jump) == 0) {
        ArmGuard(&guard);
        body(context);
    }
    DisarmGuard(&guard);
    return guard.code;
}
