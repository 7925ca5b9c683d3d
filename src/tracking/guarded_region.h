// Structured-exception guards for code built with GCC, which has no __try:
// frame-based handlers linked at fs:[0] by hand.
#pragma once
#include <stdint.h>

struct SehRegistration {
    SehRegistration *next;
    void *handler;
};

// Runs body(context); any structured exception raised inside it is swallowed
// and control returns here. Result: 0, or the code of the exception.
uint32_t RunGuarded(void (*body)(void *), void *context);

// RunGuarded's frame, for a caller on every recorded allocation that writes
// the same guard out in its own frame (a function that holds the
// __builtin_setjmp cannot be inlined): the handler unwinds to the frame and
// resumes at its jump buffer.
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

// Inline: every intercepted call pushes and pops one.
inline void PushExitAction(ExitActionFrame *frame, void (*action)(void *), void *context)
{
    frame->action = action;
    frame->context = context;
    frame->registration.handler = ExitActionHandlerEntry;
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
