// Structured-exception guards for code built with GCC, which has no __try.
// x86: frame-based handlers linked at fs:[0] by hand. x64 has no such chain
// in the TEB: the library keeps one of its own per thread (a TLS slot); a
// vectored handler lets a guard catch, and a frame handler that each
// function holding an exit action declares (.seh_handler) runs the action
// when an unwind passes.
#pragma once
#include <stdint.h>
#include "control/thread_block.h"

struct SehRegistration {
    SehRegistration *next;
    void *handler;
#if defined(_WIN64)
    void *frame;  // the frame pointer of the function that linked it
#endif
};

// Runs body(context); any structured exception raised inside it is swallowed
// and control returns here. Result: 0, or the code of the exception. On x64
// only exceptions of error severity (the top two bits of the code set) are
// caught, before any handler inside body sees them: body must not rely on
// catching such exceptions itself.
uint32_t RunGuarded(void (*body)(void *), void *context);

// RunGuarded's frame, for a caller on every recorded allocation that writes
// the same guard out in its own frame (a function that holds the
// __builtin_setjmp cannot be inlined): ArmGuard right after the setjmp,
// DisarmGuard on both ways out.
struct GuardFrame {
    SehRegistration registration;  // first: the handler receives its address
    void *jump[5];
    uint32_t code;
};

extern "C" void *const GuardHandlerEntry;

// An action that runs however its region is left: at PopExitAction, or while
// an exception that passes through the region unwinds it. The frame lives in
// the caller's stack frame, between the push and the pop.
struct ExitActionFrame {
    SehRegistration registration;  // first: the handler receives its address
    void (*action)(void *);
    void *context;
};

extern "C" void *const ExitActionHandlerEntry;

#if defined(_WIN64)
// The TLS slot that holds the thread's chain head.
extern uint32_t GuardChainSlot;

inline SehRegistration *SehChainHead()
{
    void *volatile *cell = OwnTlsCell(GuardChainSlot);
    return static_cast<SehRegistration *>(cell ? *cell : nullptr);
}

void SetSehChainHeadSlowly(SehRegistration *head);

inline void SetSehChainHead(SehRegistration *head)
{
    if (void *volatile *cell = OwnTlsCell(GuardChainSlot))
        *cell = head;
    else
        SetSehChainHeadSlowly(head);
}

// Declares the library's frame handler for the function this is inlined
// into, so that an unwind through it runs its exit actions.
#define TARNWICK_FRAME_HANDLER() __asm__ __volatile__(".seh_handler ExitActionUnwindHandler, @unwind")
#define TARNWICK_LINK_FRAME(registration) ((registration).frame = __builtin_frame_address(0))
#else
inline SehRegistration *SehChainHead()
{
    SehRegistration *head;
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head));
    return head;
}

inline void SetSehChainHead(SehRegistration *head)
{
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(head) : "memory");
}

#define TARNWICK_FRAME_HANDLER() ((void)0)
#define TARNWICK_LINK_FRAME(registration) ((void)0)
#endif

// Links a guard whose jump buffer has just been set.
__attribute__((always_inline)) inline void ArmGuard(GuardFrame *guard)
{
    guard->registration.handler = GuardHandlerEntry;
    TARNWICK_LINK_FRAME(guard->registration);
    guard->registration.next = SehChainHead();
    SetSehChainHead(&guard->registration);
}

// Unlinks the guard, after its body or after it caught an exception.
inline void DisarmGuard(GuardFrame *guard) { SetSehChainHead(guard->registration.next); }

// Inline (always: on x64 it declares the caller's frame handler): every
// intercepted call pushes and pops one.
__attribute__((always_inline)) inline void PushExitAction(ExitActionFrame *frame, void (*action)(void *),
                                                          void *context)
{
    TARNWICK_FRAME_HANDLER();
    frame->action = action;
    frame->context = context;
    frame->registration.handler = ExitActionHandlerEntry;
    TARNWICK_LINK_FRAME(frame->registration);
    frame->registration.next = SehChainHead();
    SetSehChainHead(&frame->registration);
}

// Unlinks the frame without running its action, for a caller that runs it
// directly.
inline void UnlinkExitAction(ExitActionFrame *frame) { SetSehChainHead(frame->registration.next); }

// Unlinks the frame and runs its action.
inline void PopExitAction(ExitActionFrame *frame)
{
    UnlinkExitAction(frame);
    frame->action(frame->context);
}
