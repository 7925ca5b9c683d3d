// Frame-based structured exception handling: a registration record in the
// caller's stack frame, linked at the head of the thread's chain (fs:[0]).
#include "tracking/guarded_region.h"
#include <windows.h>

namespace {

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

}  // namespace

extern "C" void *const ExitActionHandlerEntry = reinterpret_cast<void *>(ExitActionHandler);
extern "C" void *const GuardHandlerEntry = reinterpret_cast<void *>(GuardHandler);

uint32_t RunGuarded(void (*body)(void *), void *context)
{
    GuardFrame guard;
    guard.code = 0;
    guard.registration.handler = GuardHandlerEntry;
    if (__builtin_setjmp(guard.jump) == 0) {
        guard.registration.next = SehChainHead();
        SetSehChainHead(&guard.registration);
        body(context);
    }
    SetSehChainHead(guard.registration.next);
    return guard.code;
}
