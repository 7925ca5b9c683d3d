// The structured-exception guards that the stack walk and the heap re-key use.
#include <gtest/gtest.h>
#include <windows.h>
#include "tracking/guarded_region.h"

namespace {

struct Trace {
    int order[4];
    int count;
};

void Note(void *context)
{
    auto *trace = static_cast<Trace *>(context);
    trace->order[trace->count] = trace->count + 1;
    trace->count++;
}

void Fault(void *) { *static_cast<volatile int *>(nullptr) = 1; }

void RaiseCustom(void *) { RaiseException(0xE0001234, 0, 0, nullptr); }

// Two exit actions between the guard and the fault: both run on the way out.
void FaultUnderExitActions(void *context)
{
    ExitActionFrame outer, inner;
    PushExitAction(&outer, Note, context);
    PushExitAction(&inner, Note, context);
    Fault(nullptr);
    PopExitAction(&inner);
    PopExitAction(&outer);
}

void NormalExitActions(void *context)
{
    ExitActionFrame frame;
    PushExitAction(&frame, Note, context);
    PopExitAction(&frame);
}

void *ChainHead() { return SehChainHead(); }

#if defined(_WIN64)
__attribute__((noinline)) void ThrowUnderExitAction(void *context)
{
    ExitActionFrame frame;
    PushExitAction(&frame, Note, context);
    throw 1;
    PopExitAction(&frame);
}
#endif

}  // namespace

TEST(GuardedRegion, SwallowsFaultsAndReportsTheCode)
{
    void *head = ChainHead();
    EXPECT_EQ(0xC0000005u, RunGuarded(Fault, nullptr));
    EXPECT_EQ(0xE0001234u, RunGuarded(RaiseCustom, nullptr));
    EXPECT_EQ(head, ChainHead()) << "the guard must unlink itself";
}

TEST(GuardedRegion, NormalCompletionReturnsZero)
{
    Trace trace = {};
    EXPECT_EQ(0u, RunGuarded(NormalExitActions, &trace));
    EXPECT_EQ(1, trace.count);
}

TEST(GuardedRegion, ExitActionsRunWhileAnExceptionUnwindsThem)
{
    void *head = ChainHead();
    Trace trace = {};
    EXPECT_EQ(0xC0000005u, RunGuarded(FaultUnderExitActions, &trace));
    EXPECT_EQ(2, trace.count);
    EXPECT_EQ(head, ChainHead());
}

TEST(GuardedRegion, NestedGuardsCatchInnermostFirst)
{
    struct Nest {
        uint32_t inner;
    } nest = {};
    auto outerBody = [](void *context) {
        auto *n = static_cast<Nest *>(context);
        n->inner = RunGuarded(Fault, nullptr);
        RaiseCustom(nullptr);
    };
    EXPECT_EQ(0xE0001234u, RunGuarded(outerBody, &nest));
    EXPECT_EQ(0xC0000005u, nest.inner);
}

#if defined(_WIN64)
// x64: an exception that the program itself catches unwinds the action's
// frame through the frame handler, which runs it and unlinks it.
TEST(GuardedRegion, ExitActionRunsWhenTheProgramCatchesWhatPassesThrough)
{
    void *head = ChainHead();
    Trace trace = {};
    try {
        ThrowUnderExitAction(&trace);
    } catch (int) {
    }
    EXPECT_EQ(1, trace.count);
    EXPECT_EQ(head, ChainHead());
}
#endif
