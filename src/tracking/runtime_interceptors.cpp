// The C runtime family. A hook on each allocating entry of the runtimes
// marks the calling thread as allocating on behalf of the entry's caller and
// goes on into the runtime. The block is still recorded where the heap makes
// it (the RtlAllocateHeap interceptor), with the stack taken from the mark,
// so that it starts at the line that called malloc or new; releases all end
// in RtlFreeHeap and stay seen there. Which call marks, and which heap call
// takes the mark: tracking/caller_marks.h.
//
// A hook is a stub that leaves no frame on the stack while the runtime runs:
// a C++ exception thrown by operator new unwinds as if it were not there.
#include "tracking/runtime_interceptors.h"
#include "patching/loaded_modules.h"
#include <windows.h>
#include "tracking/caller_marks.h"
#include "control/thread_registry.h"
#include "patching/inline_hook.h"
#include "patching/runtime_entries.h"

#define RUNTIME_HOOK_COUNT 64
#if defined(_WIN64)
enum : uint32_t { RuntimeHookCount = RUNTIME_HOOK_COUNT, RuntimeStubSize = 16 };
#else
enum : uint32_t { RuntimeHookCount = RUNTIME_HOOK_COUNT, RuntimeStubSize = 32 };
#endif

// What stub i jumps to: the entry, or its trampoline while hooked.
extern "C" void *RuntimeRealEntry[RuntimeHookCount];
void *RuntimeRealEntry[RuntimeHookCount];

// For each stub, the argument that holds a buffer given to its entry, or -1
// (runtime_entries.h: BufferArgument).
static int BufferArgumentOf[RuntimeHookCount];

// Called by every stub with the address of its caller's return address, the
// caller's frame pointer, the stub's index and where the entry's first
// arguments lie.
extern "C" void MarkRuntimeCaller(uintptr_t slot, uintptr_t frame, uint32_t index, const uintptr_t *arguments)
{
    const int buffer = BufferArgumentOf[index];
    if (ThreadEntry *entry = CurrentThreadEntry())
        MarkRuntimeCall(&entry->callerMark, slot, frame, buffer < 0 || !arguments[buffer]);
}

#define STRINGIFY(x) #x
#define EXPAND(x) STRINGIFY(x)
#if defined(_WIN64)
// Stub i: mark, then on to RuntimeRealEntry[i] with the stack and the
// argument registers (RCX, RDX, R8, R9, XMM0-3) as they came. RAX carries the
// index; RAX, R10 and R11 carry nothing into a call.
__asm__(R"(
    .text
    .balign 16
RuntimeStubCommon:
    subq $0x88, %rsp
    movq %rcx, 0x20(%rsp)
    movq %rdx, 0x28(%rsp)
    movq %r8, 0x30(%rsp)
    movq %r9, 0x38(%rsp)
    movaps %xmm0, 0x40(%rsp)
    movaps %xmm1, 0x50(%rsp)
    movaps %xmm2, 0x60(%rsp)
    movaps %xmm3, 0x70(%rsp)
    movq %rax, 0x80(%rsp)
    leaq 0x88(%rsp), %rcx
    movq %rbp, %rdx
    movq %rax, %r8
    leaq 0x20(%rsp), %r9
    call MarkRuntimeCaller
    movq 0x20(%rsp), %rcx
    movq 0x28(%rsp), %rdx
    movq 0x30(%rsp), %r8
    movq 0x38(%rsp), %r9
    movaps 0x40(%rsp), %xmm0
    movaps 0x50(%rsp), %xmm1
    movaps 0x60(%rsp), %xmm2
    movaps 0x70(%rsp), %xmm3
    movq 0x80(%rsp), %rax
    addq $0x88, %rsp
    leaq RuntimeRealEntry(%rip), %r10
    jmpq *(%r10,%rax,8)

    .balign 16
    .globl RuntimeStubs
RuntimeStubs:
    .set runtime_stub_index, 0
    .rept )" EXPAND(RUNTIME_HOOK_COUNT) R"(
    .balign 16
    movl $runtime_stub_index, %eax
    jmp RuntimeStubCommon
    .set runtime_stub_index, runtime_stub_index + 1
    .endr
)");
#else
// Stub i: mark, then on to RuntimeRealEntry[i] with the stack as it came.
// The runtime entries are cdecl: eax, ecx and edx carry nothing on entry;
// their arguments lie above the return address.
__asm__(R"(
    .text
    .balign 32
    .globl _RuntimeStubs
_RuntimeStubs:
    .set runtime_stub_index, 0
    .rept )" EXPAND(RUNTIME_HOOK_COUNT) R"(
    .balign 32
    leal 4(%esp), %eax
    pushl %eax
    pushl $runtime_stub_index
    pushl %ebp
    leal -4(%eax), %eax
    pushl %eax
    call _MarkRuntimeCaller
    addl $16, %esp
    jmp *_RuntimeRealEntry + 4 * runtime_stub_index
    .set runtime_stub_index, runtime_stub_index + 1
    .endr
)");
#endif
extern "C" uint8_t RuntimeStubs[];

volatile bool InProgramStartup;
extern "C" void *MainRealEntry;
void *MainRealEntry;
static HookRecord *MainHook;

extern "C" void EndProgramStartup() { InProgramStartup = false; }

// The hook on main: the start-up is over, main runs with the stack and its
// arguments as they came.
#if defined(_WIN64)
__asm__(R"(
    .text
    .balign 16
    .globl MainStub
MainStub:
    subq $0x38, %rsp
    movq %rcx, 0x20(%rsp)
    movq %rdx, 0x28(%rsp)
    movq %r8, 0x30(%rsp)
    call EndProgramStartup
    movq 0x20(%rsp), %rcx
    movq 0x28(%rsp), %rdx
    movq 0x30(%rsp), %r8
    addq $0x38, %rsp
    jmpq *MainRealEntry(%rip)
)");
#else
__asm__(R"(
    .text
    .balign 16
    .globl _MainStub
_MainStub:
    call _EndProgramStartup
    jmp *_MainRealEntry
)");
#endif
extern "C" uint8_t MainStub[];

namespace {

struct RuntimeHook {
    HookRecord *record;  // kept for reuse once made, as every hook record
    HMODULE module;      // a reference to the hooked module, or null
    bool inPlace;
};

RuntimeHook Hooks[RuntimeHookCount];

void *Stub(uint32_t i) { return RuntimeStubs + i * RuntimeStubSize; }

// A hook neither in place nor claimed for the entry: one whose record was
// made for it, else one without a record, else any (its record is replaced).
int FreeHookFor(void *entry, const bool *claimed)
{
    int empty = -1, any = -1;
    for (uint32_t i = 0; i < RuntimeHookCount; i++) {
        if (Hooks[i].inPlace || claimed[i] || Hooks[i].module)  // a module still held: a thread may be in the stub
            continue;
        if (Hooks[i].record && Hooks[i].record->target == entry)
            return int(i);
        if (!Hooks[i].record && empty < 0)
            empty = int(i);
        if (any < 0)
            any = int(i);
    }
    return empty >= 0 ? empty : any;
}

bool AlreadyHooked(void *entry)
{
    for (const RuntimeHook &hook : Hooks)
        if (hook.inPlace && hook.record->target == entry)
            return true;
    return false;
}

}  // namespace

uint32_t InstallRuntimeHooks()
{
    void *entries[RuntimeHookCount];
    uintptr_t ends[RuntimeHookCount];
    ProgramStart start;
    uint32_t found = FindRuntimeEntries(entries, ends, RuntimeHookCount, &start);
    // The C runtimes' code whole, and the operator new family where it lies
    // outside them.
    const uintptr_t program = reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr));
    ClearRuntimeCode(program, program + LoadedImageSize(reinterpret_cast<HMODULE>(program)));
    static const wchar_t *const CRuntimes[] = {L"msvcrt", L"ucrtbase"};
    for (const wchar_t *name : CRuntimes) {
        HMODULE module = LoadedModule(name);
        if (uint32_t size = LoadedImageSize(module))
            AddRuntimeCode(reinterpret_cast<uintptr_t>(module), reinterpret_cast<uintptr_t>(module) + size);
    }
    for (uint32_t e = 0; e < found; e++)
        if (!IsRuntimeCode(reinterpret_cast<uintptr_t>(entries[e])))
            AddRuntimeCode(reinterpret_cast<uintptr_t>(entries[e]), ends[e]);
    // A start-up that has not begun yet (its state still 0) ends at main.
    if (start.main && start.startupState && *start.startupState == 0 && (!MainHook || !HookInPlace(MainHook))) {
        MainRealEntry = start.main;
        HookRequest request = {MainStub, &MainRealEntry, &MainHook};
        InProgramStartup = InstallHooks(&request, 1) == 1;
    }
    HookRequest requests[RuntimeHookCount];
    uint32_t index[RuntimeHookCount];
    bool claimed[RuntimeHookCount] = {};
    uint32_t count = 0;
    for (uint32_t e = 0; e < found; e++) {
        int i = AlreadyHooked(entries[e]) ? -1 : FreeHookFor(entries[e], claimed);
        if (i < 0)
            continue;
        // Held while hooked: an unloaded runtime would take the entry with
        // it, and the removal would write into memory no longer there.
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCWSTR>(entries[e]),
                                &Hooks[i].module))
            continue;
        claimed[i] = true;
        RuntimeRealEntry[i] = entries[e];
        BufferArgumentOf[i] = BufferArgument(entries[e]);
        requests[count] = {Stub(i), &RuntimeRealEntry[i], &Hooks[i].record};
        index[count++] = uint32_t(i);
    }
    InstallHooks(requests, count);
    uint32_t installed = 0;
    for (uint32_t r = 0; r < count; r++) {
        RuntimeHook &hook = Hooks[index[r]];
        // An installed hook leaves its trampoline in the slot.
        hook.inPlace = hook.record && RuntimeRealEntry[index[r]] == hook.record->trampoline;
        if (hook.inPlace) {
            installed++;
        } else {
            FreeLibrary(hook.module);
            hook.module = nullptr;
        }
    }
    return installed;
}

void RemoveRuntimeHooks()
{
    HookRequest requests[RuntimeHookCount + 1];
    uint32_t index[RuntimeHookCount];
    uint32_t count = 0;
    for (uint32_t i = 0; i < RuntimeHookCount; i++) {
        if (Hooks[i].inPlace) {
            requests[count] = {Stub(i), &RuntimeRealEntry[i], &Hooks[i].record};
            index[count++] = i;
        }
    }
    uint32_t total = count;
    if (MainHook && HookInPlace(MainHook))
        requests[total++] = {MainStub, &MainRealEntry, &MainHook};
    RemoveHooks(requests, total, nullptr, nullptr);
    InProgramStartup = false;
    // The module is still held, so its entry can be read.
    for (uint32_t r = 0; r < count; r++)
        Hooks[index[r]].inPlace = HookInPlace(Hooks[index[r]].record) != 0;
}

void ReleaseRuntimeModules()
{
    for (RuntimeHook &hook : Hooks) {
        if (hook.module && !hook.inPlace) {
            FreeLibrary(hook.module);
            hook.module = nullptr;
        }
    }
}
