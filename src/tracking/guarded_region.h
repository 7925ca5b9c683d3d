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

// An action that runs however its region is left: at PopExitAction, or while
// an exception that passes through the region unwinds it. The frame lives in
// the caller's stack frame, between the push and the pop.
struct ExitActionFrame {
    SehRegistration registration;  // first: the handler receives its address
    void (*action)(void *);
    void *context;
};

void PushExitAction(ExitActionFrame *frame, void (*action)(void *), void *context);
// Unlinks the frame and runs its action.
void PopExitAction(ExitActionFrame *frame);
