// The stack capture. x86, the frame-pointer walk: depth limit, end of chain,
// the library's own frames, and faults met on the way. x64, the unwind:
// recipes from unwind codes and call sites (real stacks through frameless
// code and a system DLL: the end-to-end callback case).
#include <gtest/gtest.h>
#include <windows.h>
#include <vector>
#include "control/library.h"
#include "tracking/alloc_table.h"
#include "tracking/call_stack.h"

#if !defined(_WIN64)
// Calls capture(frames) with EBP pointing at a hand-built frame chain, so the
// walk meets it right after the capture's own frame.
extern "C" void CallWithFrameChain(void (*capture)(uint32_t *), uint32_t *frames, const uint32_t *chain);
extern "C" char AfterCaptureCall;
__asm__(R"(
    .text
    .globl _CallWithFrameChain
_CallWithFrameChain:
    pushl %ebp
    movl 8(%esp), %eax
    movl 12(%esp), %ecx
    movl 16(%esp), %ebp
    pushl %ecx
    call *%eax
    .globl _AfterCaptureCall
_AfterCaptureCall:
    addl $4, %esp
    popl %ebp
    ret
)");

namespace {

const uint32_t StubReturn = reinterpret_cast<uint32_t>(&AfterCaptureCall);

class CallStack : public ::testing::Test {
protected:
    void SetUp() override { savedDepth = RecordDepth; }
    void TearDown() override { RecordDepth = savedDepth; }

    // A chain of frames: each element a (saved frame, return address) pair.
    void Build(std::initializer_list<uint32_t> returns, uint32_t last)
    {
        size_t i = 0;
        for (uint32_t r : returns) {
            chain[2 * i + 1] = r;
            chain[2 * i] = reinterpret_cast<uint32_t>(&chain[2 * (i + 1)]);
            i++;
        }
        chain[2 * (i - 1)] = last;
    }

    // The walk follows only frames inside the thread's stack: the chain is
    // copied there, its links into itself moved along with it. With baseWord,
    // the stack's base is set to that word of the copy meanwhile.
    void Capture(int baseWord = -1, void (*capture)(uint32_t *) = CaptureCallStack)
    {
        uint32_t onStack[64];
        const uint32_t from = reinterpret_cast<uint32_t>(chain), to = reinterpret_cast<uint32_t>(onStack);
        for (size_t i = 0; i < 64; i++) {
            uint32_t word = chain[i];
            onStack[i] = i % 2 == 0 && word - from < sizeof chain ? word - from + to : word;
        }
        uint32_t base, moved = reinterpret_cast<uint32_t>(onStack) + 4 * baseWord;
        __asm__ __volatile__("movl %%fs:4, %0" : "=r"(base));
        if (baseWord >= 0)
            __asm__ __volatile__("movl %0, %%fs:4" : : "r"(moved) : "memory");
        CallWithFrameChain(capture, frames, onStack);
        __asm__ __volatile__("movl %0, %%fs:4" : : "r"(base) : "memory");
    }

    uint32_t savedDepth;
    uint32_t chain[64] = {};
    uint32_t frames[40] = {};
};

uint32_t LibraryAddress(uint32_t offset) { return static_cast<uint32_t>(OwnImageBase) + offset; }

}  // namespace

TEST_F(CallStack, KeepsTheInnermostFramesUpToTheDepth)
{
    RecordDepth = 4;
    Build({0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1006}, 0);
    Capture();
    const uint32_t expected[6] = {StubReturn, 0x1001, 0x1002, 0x1003, 0, 0};
    EXPECT_EQ(0, memcmp(expected, frames, sizeof expected));
}

TEST_F(CallStack, ChainEndingInZeroLeavesTheRestZero)
{
    RecordDepth = 16;
    Build({0x2001, 0x2002}, 0);
    Capture();
    EXPECT_EQ(StubReturn, frames[0]);
    EXPECT_EQ(0x2001u, frames[1]);
    EXPECT_EQ(0x2002u, frames[2]);
    for (int i = 3; i < 16; i++)
        EXPECT_EQ(0u, frames[i]) << i;
}

// Records reach the capture unzeroed: it writes every entry up to the depth,
// however the walk ends, and nothing past it.
TEST_F(CallStack, WritesZeroIntoTheRestOfAnUnzeroedRecord)
{
    static uint32_t data[4] = {0, 0xA009, 0, 0};  // a frame off the stack
    const uint32_t ends[] = {0, reinterpret_cast<uint32_t>(data), 0x10};
    for (uint32_t end : ends) {
        RecordDepth = 8;
        for (uint32_t &entry : frames)
            entry = 0xCCCCCCCC;
        Build({0xA001, 0xA002}, end);
        Capture();
        const uint32_t expected[10] = {StubReturn, 0xA001, 0xA002, 0, 0, 0, 0, 0, 0xCCCCCCCC, 0xCCCCCCCC};
        EXPECT_EQ(0, memcmp(expected, frames, sizeof expected)) << std::hex << end;
    }
}

TEST_F(CallStack, PassesOverLibraryFramesWithBothEndsInclusive)
{
    RecordDepth = 16;
    uint32_t end = LibraryAddress(OwnImageSize);
    Build({0x3001, LibraryAddress(0x1000), LibraryAddress(0), end, 0x3002, LibraryAddress(0) - 1, end + 1}, 0);
    Capture();
    const uint32_t expected[6] = {StubReturn, 0x3001, 0x3002, LibraryAddress(0) - 1, end + 1, 0};
    EXPECT_EQ(0, memcmp(expected, frames, sizeof expected));
}

TEST_F(CallStack, DepthOneKeepsOnlyTheFirstOutsideAddress)
{
    RecordDepth = 1;
    Build({0x4001, 0x4002}, 0);
    Capture();
    EXPECT_EQ(StubReturn, frames[0]);
    EXPECT_EQ(0u, frames[1]);
}

TEST_F(CallStack, ZeroReturnAddressIsStoredAndDoesNotEndTheWalk)
{
    RecordDepth = 8;
    Build({0, 0x5001}, 0);
    Capture();
    EXPECT_EQ(0u, frames[1]);
    EXPECT_EQ(0x5001u, frames[2]);
}

TEST_F(CallStack, UnreadableFrameEndsTheWalk)
{
    RecordDepth = 8;
    Build({0x6001, 0x6002}, 0x10);  // 0x10 is never mapped
    Capture();
    EXPECT_EQ(0x6002u, frames[2]);
    EXPECT_EQ(0u, frames[3]);
}

TEST_F(CallStack, LoopThroughLibraryFramesStillEnds)
{
    RecordDepth = 8;
    chain[0] = reinterpret_cast<uint32_t>(&chain[2]);
    chain[1] = 0x7001;
    chain[2] = reinterpret_cast<uint32_t>(&chain[2]);  // points at itself
    chain[3] = LibraryAddress(0x1000);
    Capture();
    EXPECT_EQ(StubReturn, frames[0]);
    EXPECT_EQ(0x7001u, frames[1]);
    EXPECT_EQ(0u, frames[2]);
}

// A frame on a guard page outside the stack: the walk stops before it, so no
// guard-page exception is raised at all, and the entries before it stay.
TEST_F(CallStack, FrameOutsideTheStackEndsTheWalkWithoutTouchingIt)
{
    RecordDepth = 8;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    auto *page = static_cast<uint32_t *>(VirtualAlloc(nullptr, info.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(nullptr, page);
    page[0] = 0;
    page[1] = 0x8003;
    DWORD old;
    ASSERT_TRUE(VirtualProtect(page, info.dwPageSize, PAGE_READWRITE | PAGE_GUARD, &old));
    Build({0x8001, 0x8002}, reinterpret_cast<uint32_t>(page));
    Capture();
    EXPECT_EQ(0x8001u, frames[1]);
    EXPECT_EQ(0x8002u, frames[2]);
    EXPECT_EQ(0u, frames[3]);
    MEMORY_BASIC_INFORMATION memory;
    ASSERT_TRUE(VirtualQuery(page, &memory, sizeof memory));
    EXPECT_TRUE(memory.Protect & PAGE_GUARD) << "the guard page was never read";
    VirtualFree(page, 0, MEM_RELEASE);
}

// A frame the bounds accept but that cannot be read (a stack base that is
// wrong, as after a stack switch nobody told the TEB about): the guard ends
// the walk and the entries before the fault stay.
TEST_F(CallStack, FaultInsideTheStackBoundsKeepsTheEntriesBeforeIt)
{
    RecordDepth = 8;
    // Top down: in a 64-bit prefix the 32-bit main thread's stack lies above
    // the lowest free addresses.
    auto *region =
        static_cast<uint8_t *>(VirtualAlloc(nullptr, 0x10000, MEM_RESERVE | MEM_TOP_DOWN, PAGE_NOACCESS));
    ASSERT_NE(nullptr, region);
    ASSERT_GT(reinterpret_cast<uintptr_t>(region), reinterpret_cast<uintptr_t>(&region)) << "above the stack";
    Build({0xA001, 0xA002}, reinterpret_cast<uint32_t>(region));
    uint32_t stackBase;
    __asm__ __volatile__("movl %%fs:4, %0" : "=r"(stackBase));
    uint32_t widened = reinterpret_cast<uint32_t>(region) + 0x10000;
    __asm__ __volatile__("movl %0, %%fs:4" : : "r"(widened) : "memory");
    frames[3] = 0xBAD;
    Capture();
    __asm__ __volatile__("movl %0, %%fs:4" : : "r"(stackBase) : "memory");
    EXPECT_EQ(0xA001u, frames[1]);
    EXPECT_EQ(0xA002u, frames[2]);
    EXPECT_EQ(0u, frames[3]) << "the rest is zero after the fault";
    VirtualFree(region, 0, MEM_RELEASE);
}

// Readable data that looks like frames, off the stack, misaligned, or below
// the frame before it, is not followed.
TEST_F(CallStack, ChainThroughDataEndsAtTheFirstImplausibleFrame)
{
    RecordDepth = 8;
    static uint32_t data[4] = {0, 0x9009, 0, 0};  // a frame in static data
    Build({0x9001, 0x9002}, reinterpret_cast<uint32_t>(data));
    Capture();
    EXPECT_EQ(0x9002u, frames[2]);
    EXPECT_EQ(0u, frames[3]) << "off the stack";

    memset(frames, 0, sizeof frames);
    Build({0x9001, 0x9002}, 0);
    chain[0] += 2;  // the first frame's link, two bytes off
    Capture();
    EXPECT_EQ(0x9001u, frames[1]);
    EXPECT_EQ(0u, frames[2]) << "misaligned";

    memset(frames, 0, sizeof frames);
    Build({0x9001, 0x9002, 0x9003}, 0);
    chain[2] = reinterpret_cast<uint32_t>(&chain[0]);  // back down to the first frame
    Capture();
    EXPECT_EQ(0x9002u, frames[2]);
    EXPECT_EQ(0u, frames[3]) << "a frame below the one before it";

    // The third frame's return address is the stack's last word, then lies at its base.
    for (int baseWord : {6, 5}) {
        memset(frames, 0, sizeof frames);
        Build({0x9001, 0x9002, 0x9003}, 0);
        Capture(baseWord);
        EXPECT_EQ(0x9002u, frames[2]);
        EXPECT_EQ(baseWord == 6 ? 0x9003u : 0u, frames[3]) << baseWord;
    }
}

WalkTrace Trace;
bool TraceHit;
void CaptureTraced(uint32_t *frames) { TraceHit = CaptureTracedCallStack(frames, &Trace); }
void CaptureFresh(uint32_t *frames)
{
    CaptureCallStack(frames);
    __asm__ __volatile__("" ::: "memory");  // no tail call: a frame as CaptureTraced's
}

// Walks from one place, a random word of the chain (a link or a return
// address) changed before some: a walk settled as the traced one is had the
// frames a fresh walk finds. Entry 0 is the capturing function's own call.
TEST_F(CallStack, AWalkTakenAsTheTracedOneHasTheFramesOfAFreshWalk)
{
    RecordDepth = 12;
    Trace.traced = 0;
    Build({0xB001, 0xB002, 0xB003, 0xB004, 0xB005, 0xB006, 0xB007, 0xB008, 0xB009, 0xB00A, 0xB00B, 0xB00C, 0xB00D}, 0);
    uint32_t random = 2026, hits = 0, traced[40] = {};
    for (int round = 0; round < 3000; round++) {
        random = random * 1103515245u + 12345u;
        uint32_t word = (random >> 8) % 30, pick = (random >> 24) % 4;
        if ((random >> 20) % 3 == 0)
            chain[word] = word % 2 ? 0xB001 + pick : reinterpret_cast<uint32_t>(&chain[word + 2 + 2 * pick]);
        Capture(-1, CaptureTraced);
        if (TraceHit)
            hits++;
        else
            memcpy(traced, frames, sizeof traced);
        Capture(-1, CaptureFresh);
        ASSERT_EQ(0, memcmp(traced + 1, frames + 1, 12 * sizeof(uint32_t))) << round << (TraceHit ? " hit" : " miss");
    }
    EXPECT_GT(hits, 1000u);
    EXPECT_LT(hits, 2800u);
}

TEST(StackFrame, InsideAlignedWithRoomForTwoWords)
{
    struct Case {
        uint32_t frame;
        bool accepted;
    } cases[] = {
        {0x1000, true},  {0x1FF8, true},  {0x1FFC, false}, {0x2000, false},
        {0x0FFC, false}, {0x1002, false}, {0x1001, false}, {0, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.accepted, IsStackFrame(c.frame, 0x1000, 0x2000)) << std::hex << c.frame;
}

#else

namespace {

uint16_t Code(uint8_t offset, uint8_t op, uint8_t info) { return uint16_t(offset | op << 8 | info << 12); }

// One function's unwind information as a compiler lays it out, at 0x20 of a
// made-up image; with chained codes, the primary function's at 0x60.
struct UnwindCase {
    const char *what;
    uint8_t prolog, frame;  // prolog size; frame register | offset / 16 << 4
    std::vector<uint16_t> codes, chained;
    uint32_t returnOffset;  // in the function
    bool followed;
    UnwindRecipe expected;
};

}  // namespace

TEST(Unwind, RecipesFromUnwindCodes)
{
    const uint8_t Rbx = 3, Rsi = 6, Rbp = 5;
    const UnwindCase cases[] = {
        {"pushes, small allocation", 6, 0, {Code(6, 2, 4), Code(2, 0, Rsi), Code(1, 0, Rbx)}, {}, 0x20, true,
         {0x38, 0, 0, false, false}},
        {"RBP set 0x80 into a large allocation", 12, Rbp | 8 << 4, {Code(12, 3, 0), Code(8, 1, 0), 0x20, Code(1, 0, Rbp)},
         {}, 0x20, true, {0x108, 0x100, 0x80, true, true}},
        {"RBP saved by a move, 32-bit allocation, XMM saves", 24, 0,
         {Code(24, 8, 6), 2, Code(20, 9, 7), 0x40, 0, Code(16, 4, Rbp), 6, Code(11, 1, 1), 0x2340, 1}, {}, 0x30, true,
         {0x12340, 0x30, 0, false, true}},
        {"a stack probe called inside the prolog", 16, 0, {Code(16, 1, 0), 0x200, Code(1, 0, Rbp)}, {}, 10, true,
         {8, 0, 0, false, true}},
        {"chained to the primary's pushes", 4, 0, {Code(4, 2, 3)}, {Code(2, 0, Rbx), Code(1, 0, Rbp)}, 0x20, true,
         {0x30, 0x28, 0, false, true}},
        {"a machine frame", 0, 0, {Code(0, 10, 0)}, {}, 0x20, false, {}},
        {"a frame register other than RBP", 4, Rbx, {Code(4, 3, 0), Code(1, 0, Rbx)}, {}, 0x20, false, {}},
    };
    for (const UnwindCase &c : cases) {
        alignas(8) uint8_t image[256] = {};
        auto *function = reinterpret_cast<RUNTIME_FUNCTION *>(image);
        *function = {0x80, 0x90, 0x20};
        uint8_t *info = image + 0x20;
        info[0] = uint8_t(1 | (c.chained.empty() ? 0 : UNW_FLAG_CHAININFO << 3));
        info[1] = c.prolog;
        info[2] = uint8_t(c.codes.size());
        info[3] = c.frame;
        memcpy(info + 4, c.codes.data(), 2 * c.codes.size());
        if (!c.chained.empty()) {
            *reinterpret_cast<RUNTIME_FUNCTION *>(info + 4 + 2 * ((c.codes.size() + 1) & ~1u)) = {0x40, 0x80, 0x60};
            uint8_t *primary = image + 0x60;
            primary[0] = 1;
            primary[1] = 2;
            primary[2] = uint8_t(c.chained.size());
            memcpy(primary + 4, c.chained.data(), 2 * c.chained.size());
        }
        UnwindRecipe recipe = {};
        const uintptr_t base = reinterpret_cast<uintptr_t>(image);
        ASSERT_EQ(c.followed, RecipeFromUnwindInfo(base, function, base + 0x80 + c.returnOffset, &recipe)) << c.what;
        EXPECT_EQ(c.expected.returnSlot, recipe.returnSlot) << c.what;
        EXPECT_EQ(c.expected.rbpSaved, recipe.rbpSaved) << c.what;
        EXPECT_EQ(c.expected.rbpSlot, recipe.rbpSlot) << c.what;
        EXPECT_EQ(c.expected.frameBased, recipe.frameBased) << c.what;
        EXPECT_EQ(c.expected.frameOffset, recipe.frameOffset) << c.what;
    }
}

// A walk for a marked call reads the RBP it starts with only through a
// frame-based caller: behind a caller built without a frame pointer (-O2
// code keeps anything in RBP), whose own caller saved RBP, the trace is
// taken for any RBP; behind a frame-based one, whose frames another RBP
// changes, never.
namespace {
WalkTrace MarkTrace;
uintptr_t TracedFrames[8], FreshFrames[8];
bool MarkHit;

// The walk of a runtime entry's mark for a call from its caller, RBP given
// as rbp (0: the caller's own); then a fresh one from the same place.
__attribute__((noinline, optimize("no-omit-frame-pointer"))) void CaptureMarked(uintptr_t rbp)
{
    const uintptr_t *own = static_cast<const uintptr_t *>(__builtin_frame_address(0));
    CallerMark mark = {reinterpret_cast<uintptr_t>(own + 1), own[1], rbp ? rbp : own[0]};
    MarkHit = CaptureTracedCallStackFrom(TracedFrames, &mark, &MarkTrace);
    WalkTrace fresh = {};
    CaptureTracedCallStackFrom(FreshFrames, &mark, &fresh);
}

__attribute__((noinline, optimize("no-omit-frame-pointer"))) void FrameBasedCaller(uintptr_t rbp)
{
    CaptureMarked(rbp);
    __asm__ __volatile__("" ::: "memory");
}

__attribute__((noinline, optimize("omit-frame-pointer"))) void FramelessCaller(uintptr_t rbp)
{
    CaptureMarked(rbp);
    __asm__ __volatile__("" ::: "memory");
}

__attribute__((noinline, optimize("omit-frame-pointer"))) void SavingRbpCaller(uintptr_t rbp)
{
    __asm__ __volatile__("" ::: "rbp");  // saved and restored: RBP is read back on the way up
    FramelessCaller(rbp);
    __asm__ __volatile__("" ::: "memory");
}
}  // namespace

TEST(Unwind, AMarkedWalkDependsOnItsStartingRbpOnlyThroughAFrameBasedCaller)
{
    const uint32_t savedDepth = RecordDepth;
    RecordDepth = 8;
    for (void (*caller)(uintptr_t) : {FrameBasedCaller, SavingRbpCaller}) {
        const bool frameBased = caller == FrameBasedCaller;
        MarkTrace.traced = 0;
        uintptr_t first[8];
        // From one call site: the caller's own RBP, then another.
        for (uintptr_t rbp : {uintptr_t(0), uintptr_t(0x5A5A50)}) {
            caller(rbp);
            if (!rbp) {
                memcpy(first, FreshFrames, sizeof first);
                ASSERT_FALSE(MarkHit);
                ASSERT_NE(0u, first[3]) << "a walk past the caller's caller";
                continue;
            }
            EXPECT_EQ(!frameBased, MarkHit) << frameBased;
            // Another RBP cuts the frame-based walk short, not the other.
            EXPECT_EQ(!frameBased, !memcmp(first, FreshFrames, sizeof first)) << frameBased;
        }
    }
    RecordDepth = savedDepth;
}

TEST(Unwind, CallInstructionsBeforeAReturnAddress)
{
    const struct {
        std::vector<uint8_t> bytes;
        bool call;
    } cases[] = {
        {{0xE8, 1, 2, 3, 4}, true},          {{0xFF, 0x15, 1, 2, 3, 4}, true},  // rel32, [rip+disp32]
        {{0xFF, 0xD0}, true},                {{0x41, 0xFF, 0xD3}, true},        // rax, r11
        {{0xFF, 0x14, 0x24}, true},          {{0xFF, 0x54, 0x24, 8}, true},     // [rsp], [rsp+8]
        {{0xFF, 0x90, 1, 2, 3, 4}, true},    {{0xFF, 0x94, 0x24, 1, 2, 3, 4}, true},
        {{0x48, 0x89, 0xC8}, false},         {{0xFF, 0xE0}, false},  // mov, jmp rax
        {{0xFF, 0x25, 1, 2, 3, 4}, false},   {{0xE8, 1, 2, 3}, false},  // jmp [rip], a call cut by the begin
        {{0xFF, 0x15, 1, 2, 3, 4, 5}, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.call, FollowsCall(c.bytes.data(), c.bytes.data() + c.bytes.size())) << c.bytes.size();
}

#endif

// A real call chain: recursion deeper than the depth keeps the innermost calls.
namespace {
uintptr_t RealReturns[32];

__attribute__((noinline)) void Recurse(int level, uintptr_t *frames)
{
    RealReturns[level] = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    if (level == 0)
        CaptureCallStack(frames);
    else
        Recurse(level - 1, frames);
    __asm__ __volatile__("" ::: "memory");  // keeps the recursion a real call
}
}  // namespace

TEST(CallStackReal, RecursionDeeperThanTheDepth)
{
    const uint32_t savedDepth = RecordDepth;
    RecordDepth = 6;
    uintptr_t frames[8] = {};
    Recurse(20, frames);
    RecordDepth = savedDepth;
    // frames[0] is the return into Recurse(0); then Recurse(0)'s own return, ...
    for (int i = 1; i < 6; i++)
        EXPECT_EQ(RealReturns[i - 1], frames[i]) << i;
    EXPECT_EQ(0u, frames[6]);
    HMODULE module = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(frames[0]), &module));
    EXPECT_EQ(GetModuleHandleW(nullptr), module);
}
