// Host program for the end-to-end tests: one scenario per run, chosen by the
// first argument. What the tests must know (source lines, results) is
// written as "HOST: ..." lines straight to standard output, where the
// launcher writes the library's output: each in its place among it.
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <map>
#include <string>
#include "debug_capture.h"
#include "tarnwick.h"

// Calls fn with EBP (RBP) set to frame, so that fn's frame links to it: a
// frame chain that runs through data, as code without frame pointers leaves it.
extern "C" void *CallWithFrame(void *(*fn)(), uintptr_t frame);
#if defined(_WIN64)
__asm__(R"(
    .text
    .globl CallWithFrame
    .def CallWithFrame; .scl 2; .type 32; .endef
    .seh_proc CallWithFrame
CallWithFrame:
    pushq %rbp
    .seh_pushreg %rbp
    subq $32, %rsp
    .seh_stackalloc 32
    .seh_endprologue
    movq %rdx, %rbp
    call *%rcx
    addq $32, %rsp
    popq %rbp
    ret
    .seh_endproc
)");
#else
__asm__(R"(
    .text
    .globl _CallWithFrame
_CallWithFrame:
    pushl %ebp
    movl 8(%esp), %eax
    movl 12(%esp), %ebp
    call *%eax
    popl %ebp
    ret
)");
#endif

namespace {

void Say(const char *format, ...)
{
    char text[512] = "HOST: ";
    va_list args;
    va_start(args, format);
    vsnprintf(text + 6, sizeof text - 7, format, args);
    va_end(args);
    strcat(text, "\n");
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}

void SetDepth(unsigned depth, int breakOnLeak = 0, int ownThreadOnly = 0)
{
    TarnwickOptions options = {};
    options.stackDepth = depth;
    options.breakOnLeak = breakOnLeak;
    options.ownThreadOnly = ownThreadOnly;
    TarnwickSetOptions(&options);
}

int HeapLeakLine, GlobalLeakLine, LocalLeakLine;
void *volatile LastBlock;

__attribute__((noinline)) void *LeakFromHeap(SIZE_T bytes)
{
    // Zeroed: stale addresses in its memory would keep other blocks reachable.
    HeapLeakLine = __LINE__ + 1;
    LastBlock = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
    return LastBlock;
}

__attribute__((noinline)) HGLOBAL LeakFromGlobal()
{
    GlobalLeakLine = __LINE__ + 1;
    LastBlock = GlobalAlloc(GMEM_MOVEABLE, 10);
    return GlobalReAlloc(LastBlock, 200, GMEM_MOVEABLE);
}

// No sibling call (x64 would make one): the call stays a call.
__attribute__((noinline, optimize("no-optimize-sibling-calls"))) HLOCAL LeakFromLocal()
{
    // A call in tail position: its return address lies on the closing line.
    LocalLeakLine = __LINE__ + 1;
    return LocalAlloc(LMEM_FIXED, 300);
}

volatile int ThreeTimes = 3;  // a loop the compiler cannot unroll: one call site

DWORD WINAPI AllocateOnOtherThread(void *)
{
    HeapAlloc(GetProcessHeap(), 0, 4444);
    return 0;
}

// Three groups: 3 heap blocks of different sizes from one stack, one resized
// global block, one local block. Freed blocks, a block from before the start
// and one from a filtered thread are not reported.
void Leaks()
{
    SetDepth(16, 0, 1);
    void *early = HeapAlloc(GetProcessHeap(), 0, 5555);
    TarnwickStart();
    for (int i = 0; i < ThreeTimes; i++)
        LeakFromHeap(100 + i);
    LeakFromGlobal();
    LeakFromLocal();
    HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 6666));
    LocalFree(LocalAlloc(LMEM_FIXED, 7777));
    HANDLE thread = CreateThread(nullptr, 0, AllocateOnOtherThread, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    TarnwickStop();
    Say("lines %d %d %d", HeapLeakLine, GlobalLeakLine, LocalLeakLine);
    Say("dump %d", TarnwickDump());
    HeapFree(GetProcessHeap(), 0, early);
}

void NoLeaks()
{
    void *early = HeapAlloc(GetProcessHeap(), 0, 5555);
    TarnwickStart();
    HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 10));
    GlobalFree(GlobalAlloc(GMEM_FIXED, 20));
    TarnwickStop();
    Say("dump %d", TarnwickDump());
    HeapFree(GetProcessHeap(), 0, early);
}

void Misuse()
{
    Say("dump before start %d", TarnwickDump());
    TarnwickStop();
    TarnwickStart();
    TarnwickStart();
    SetDepth(4);
    Say("dump while running %d", TarnwickDump());
    LeakFromHeap(1);
    TarnwickStop();
    TarnwickStop();
    // A new run without a dump starts empty: the block above is not reported.
    TarnwickStart();
    TarnwickStop();
    Say("first dump %d", TarnwickDump());
    Say("second dump %d", TarnwickDump());
}

void BreakOnLeak(bool leak)
{
    SetDepth(16, 1);
    TarnwickStart();
    if (leak)
        LeakFromHeap(12);
    TarnwickStop();
    Say("dump %d", TarnwickDump());
}

volatile LONG HammersRunning;

// Allocates, resizes and frees for as long as the process lives, on a heap of
// its own: ExitProcess ends such a thread wherever it is, and one ended inside
// the process heap leaves that heap locked for good, so Wine's own exit path
// then hangs now and then, with or without the detector.
DWORD WINAPI Hammer(void *)
{
    HANDLE heap = HeapCreate(0, 0, 0);
    InterlockedIncrement(&HammersRunning);
    for (;;) {
        void *blocks[8];
        for (int i = 0; i < 8; i++)
            blocks[i] = HeapAlloc(heap, 0, 16 + i);
        for (int i = 0; i < 8; i++)
            HeapFree(heap, 0, HeapReAlloc(heap, 0, blocks[i], 40 + i));
    }
}

// The exit paths: the report must come once, from the exit hook, also while
// other threads are busy in the allocators.
// The exit dump classifies too: the local block is lost, the one that
// LastBlock holds is still reachable.
void ExitWhileRecording(const char *how, int hammers)
{
    for (int i = 0; i < hammers; i++)
        CloseHandle(CreateThread(nullptr, 0, Hammer, nullptr, 0, nullptr));
    while (HammersRunning < hammers)
        Sleep(1);
    TarnwickReportOptions report = {sizeof report, 1, 0};
    TarnwickSetReportOptions(&report);
    TarnwickStart();
    Sleep(hammers ? 50 : 0);
    LeakFromLocal();
    LeakFromHeap(400);
    Say("exiting by %s", how);
    if (!strcmp(how, "return"))
        return;
    if (!strcmp(how, "ExitProcess"))
        ExitProcess(21);
    if (!strcmp(how, "exit"))
        exit(22);
    if (!strcmp(how, "TerminateProcess"))
        TerminateProcess(GetCurrentProcess(), 23);
    if (!strcmp(how, "real-handle")) {
        HANDLE self = OpenProcess(PROCESS_TERMINATE, FALSE, GetCurrentProcessId());
        TerminateProcess(self, 24);
    }
}

// ExitProcess while another thread holds every lock of the table, as a
// thread inside an allocator does for a moment: the exit waits for it to let
// go, and reports once. The locks are internals: TarnwickTest.dll, built from
// the same code, exports them.
void (*LockTable)(), (*UnlockTable)();
HANDLE TableLocked;

DWORD WINAPI HoldTheTableLocks(void *)
{
    LockTable();
    SetEvent(TableLocked);
    Sleep(300);
    UnlockTable();
    Sleep(INFINITE);
    return 0;
}

void ExitWithTheTableLocked()
{
    HMODULE library = LoadLibraryW(L"TarnwickTest.dll");
#if defined(_WIN64)
    auto start = reinterpret_cast<void(WINAPI *)()>(GetProcAddress(library, "TarnwickStart"));
#else
    auto start = reinterpret_cast<void(WINAPI *)()>(GetProcAddress(library, "TarnwickStart@0"));
#endif
    LockTable = reinterpret_cast<void (*)()>(GetProcAddress(library, "_Z14LockAllocTablev"));
    UnlockTable = reinterpret_cast<void (*)()>(GetProcAddress(library, "_Z16UnlockAllocTablev"));
    if (!start || !LockTable || !UnlockTable)
        return;
    start();
    LeakFromLocal();
    Say("exiting with the table locked");
    TableLocked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(CreateThread(nullptr, 0, HoldTheTableLocks, nullptr, 0, nullptr));
    WaitForSingleObject(TableLocked, INFINITE);
    ExitProcess(21);
}

// Terminating another process while recording writes no report.
void TerminateOther()
{
    TarnwickStart();
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t commandLine[MAX_PATH + 16];
    swprintf(commandLine, MAX_PATH + 16, L"\"%ls\" sleep", path);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    if (CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
        TerminateProcess(child.hProcess, 5);
        WaitForSingleObject(child.hProcess, INFINITE);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
        Say("child terminated");
    }
    TarnwickStop();
    Say("dump %d", TarnwickDump());
}

struct Entry {
    const char *name;
    const unsigned char *address;
};

// Where an exported entry's work is done: past `jmp [abs32]` stubs, bare or
// behind the hot-patch frame.
const unsigned char *Resolved(const unsigned char *code)
{
#if defined(_WIN64)  // lea rsp, [rsp + 0]; jmp [rip + disp32]
    static const unsigned char frame[] = {0x48, 0x8D, 0xA4, 0x24, 0, 0, 0, 0, 0xFF, 0x25};
    const int prefix = 8;
#else  // mov edi, edi; push ebp; mov ebp, esp; pop ebp; jmp [abs32]
    static const unsigned char frame[] = {0x8B, 0xFF, 0x55, 0x8B, 0xEC, 0x5D, 0xFF, 0x25};
    const int prefix = 6;
#endif
    for (int i = 0; i < 4; i++) {
        const unsigned char *jump = !memcmp(code, frame, sizeof frame) ? code + prefix : code;
        if (jump[0] != 0xFF || jump[1] != 0x25)
            break;
#if defined(_WIN64)  // jmp [rip + disp32]
        code = *reinterpret_cast<const unsigned char *const *>(jump + 6 + *reinterpret_cast<const int32_t *>(jump + 2));
#else
        code = **reinterpret_cast<const unsigned char *const *const *>(jump + 2);
#endif
    }
    return code;
}

// The first bytes of every hooked entry: as before after a stop, patched
// while recording, and again for a second run; ucrtbase's malloc among them.
void EntriesRestored()
{
    HMODULE kernel32 = GetModuleHandleW(L"kernel32");
    Entry entries[] = {
        {"HeapAlloc", (const unsigned char *)GetProcAddress(kernel32, "HeapAlloc")},
        {"HeapReAlloc", (const unsigned char *)GetProcAddress(kernel32, "HeapReAlloc")},
        {"HeapFree", (const unsigned char *)GetProcAddress(kernel32, "HeapFree")},
        {"GlobalAlloc", (const unsigned char *)GetProcAddress(kernel32, "GlobalAlloc")},
        {"GlobalReAlloc", (const unsigned char *)GetProcAddress(kernel32, "GlobalReAlloc")},
        {"GlobalFree", (const unsigned char *)GetProcAddress(kernel32, "GlobalFree")},
        {"LocalAlloc", (const unsigned char *)GetProcAddress(kernel32, "LocalAlloc")},
        {"LocalReAlloc", (const unsigned char *)GetProcAddress(kernel32, "LocalReAlloc")},
        {"LocalFree", (const unsigned char *)GetProcAddress(kernel32, "LocalFree")},
        {"NtTerminateProcess",
         (const unsigned char *)GetProcAddress(GetModuleHandleW(L"ntdll"), "NtTerminateProcess")},
        {"malloc", (const unsigned char *)GetProcAddress(LoadLibraryW(L"ucrtbase"), "malloc")},
    };
    const int count = sizeof entries / sizeof entries[0];
    unsigned char before[count][16];
    for (int i = 0; i < count; i++) {
        entries[i].address = Resolved(entries[i].address);
        memcpy(before[i], entries[i].address, 16);
    }
    for (int run = 1; run <= 2; run++) {
        TarnwickStart();
        for (int i = 0; i < count; i++)
            Say("run %d %s %s", run, entries[i].name, entries[i].address[0] == 0xE9 ? "patched" : "unpatched");
        TarnwickStop();
        TarnwickDump();
        for (int i = 0; i < count; i++)
            Say("run %d %s %s", run, entries[i].name,
                memcmp(before[i], entries[i].address, 16) ? "changed" : "restored");
    }
}

int DescendLine;

__attribute__((noinline)) void *Descend(int levels)
{
    DescendLine = __LINE__ + 1;
    void *block = levels > 1 ? Descend(levels - 1) : LeakFromHeap(44);
    __asm__ __volatile__("" ::: "memory");  // no tail call: keep the frame
    return block;
}

DWORD WINAPI DescendDeeply(void *)
{
    Descend(10000);
    return 0;
}

// The depth of a run is fixed at its start: a new depth set between the stop
// and the dump does not change how many frames the dump reads. Then the
// deepest depth, under a call chain deeper still, on a thread of its own.
void DepthChangedBeforeDump()
{
    SetDepth(3);
    TarnwickStart();
    LeakFromHeap(33);
    TarnwickStop();
    SetDepth(4096);
    Say("dump %d", TarnwickDump());
    TarnwickStart();
    HANDLE thread = CreateThread(nullptr, 0, DescendDeeply, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    TarnwickStop();
    Say("lines %d %d", HeapLeakLine, DescendLine);
    Say("dump %d", TarnwickDump());
}

HANDLE LockedHeap;
HANDLE AboutToAllocate;

DWORD WINAPI BlockOnLockedHeap(void *)
{
    SetEvent(AboutToAllocate);
    HeapAlloc(LockedHeap, 0, 64);
    return 0;
}

// Starts recording and a thread that is held inside HeapAlloc on a locked heap.
HANDLE RecordWithAThreadInsideTheAllocator()
{
    LockedHeap = HeapCreate(0, 0, 0);
    TarnwickStart();
    HeapLock(LockedHeap);
    AboutToAllocate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, BlockOnLockedHeap, nullptr, 0, nullptr);
    WaitForSingleObject(AboutToAllocate, INFINITE);
    Sleep(200);  // into the allocator, where the heap lock holds it
    return thread;
}

// A thread terminated inside a real allocator call never leaves its
// interceptor: the stop neither waits for it nor warns.
void StuckThread()
{
    HANDLE thread = RecordWithAThreadInsideTheAllocator();
    TerminateThread(thread, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    HeapUnlock(LockedHeap);
    TarnwickStop();
    Say("stopped");
    Say("dump %d", TarnwickDump());
}

// A live thread held inside an allocator for longer than the stop waits: the
// stop warns and returns, and the dump comes once the thread has left.
void BusyThread()
{
    HANDLE thread = RecordWithAThreadInsideTheAllocator();
    LeakFromLocal();
    TarnwickStop();
    Say("stopped");
    HeapUnlock(LockedHeap);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    Say("dump %d", TarnwickDump());
}

// Every way of releasing a block: none of these is a leak; the three blocks
// left alive are.
void Releases()
{
    typedef BOOLEAN(WINAPI * RtlFreeHeapFn)(HANDLE, ULONG, void *);
    typedef void *(WINAPI * RtlAllocateHeapFn)(HANDLE, ULONG, SIZE_T);
    HMODULE ntdll = GetModuleHandleW(L"ntdll");
    auto rtlFree = reinterpret_cast<RtlFreeHeapFn>(reinterpret_cast<void *>(GetProcAddress(ntdll, "RtlFreeHeap")));
    auto rtlAlloc =
        reinterpret_cast<RtlAllocateHeapFn>(reinterpret_cast<void *>(GetProcAddress(ntdll, "RtlAllocateHeap")));
    wchar_t directory[MAX_PATH], pattern[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    swprintf(pattern, MAX_PATH, L"%ls*", directory);
    swprintf(file, MAX_PATH, L"%lstarnwick-releases.tmp", directory);
    TarnwickStart();
    for (int i = 0; i < 100; i++) {
        HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 11));
        rtlFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 12));
        rtlFree(GetProcessHeap(), 0, rtlAlloc(GetProcessHeap(), 0, 13));
        LocalFree(LocalAlloc(LMEM_FIXED, 14));
        GlobalFree(GlobalAlloc(GMEM_MOVEABLE, 15));
        void *moved = HeapReAlloc(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 16), 4096);
        HeapFree(GetProcessHeap(), 0, moved);
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW(pattern, &found);
        if (find != INVALID_HANDLE_VALUE)
            FindClose(find);
        HANDLE handle = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    // Whole heaps destroyed, each with a block above the large-block
    // threshold: their blocks go with them. A block allocated later at a
    // reused address is reported as itself.
    void *first = nullptr;
    for (int round = 0; round < 3; round++) {
        HANDLE heap = HeapCreate(0, 0, 0);
        first = HeapAlloc(heap, 0, 100);
        for (int i = 0; i < 100; i++)
            HeapAlloc(heap, 0, 20 + i);
        HeapAlloc(heap, 0, 2 << 20);
        HeapDestroy(heap);
    }
    void *again = HeapAlloc(HeapCreate(0, 0, 0), 0, 2222);
    LeakFromHeap(1111);
    LeakFromLocal();
    HeapDestroy(GetProcessHeap());  // fails: its blocks stay
    TarnwickStop();
    Say("lines %d %d", HeapLeakLine, LocalLeakLine);
    Say("reused %d", again == first);
    Say("dump %d", TarnwickDump());
}

uintptr_t FakeFrames[4];

__attribute__((noinline)) void *AllocateUnderBrokenFrame()
{
    void *block = HeapAlloc(GetProcessHeap(), 0, 77);
    __asm__ __volatile__("" ::: "memory");
    return block;
}

// Frames that lead into data: a chain through static data to 0xF, and a
// frame pointer of 0x8000. Recording must not probe them.
void BrokenFrames()
{
    FakeFrames[0] = 0xF;
    FakeFrames[1] = 0x401000;
    TarnwickStart();
    CallWithFrame(AllocateUnderBrokenFrame, reinterpret_cast<uintptr_t>(FakeFrames));
    CallWithFrame(AllocateUnderBrokenFrame, 0x8000);
    TarnwickStop();
    Say("dump %d", TarnwickDump());
}

// Stress: worker threads allocate, resize and free through all three families
// without pause while this thread starts, stops and dumps again and again.
// Every dump must show the known leaks of its cycle exactly and nothing but
// the workers' blocks besides. Runs without a debugger and checks its own
// report; prints the verdict on standard output.
enum { Workers = 6, Slots = 16 };
volatile LONG WorkersStop;
int WorkerLines[3];
int KnownLines[3];

struct Worker {
    uint32_t seed;
    void *blocks[Slots];
    int family[Slots];
    SIZE_T size[Slots];
    LONG corrupt;
    LONG operations;
};

uint32_t Next(uint32_t *seed)
{
    *seed = *seed * 1103515245u + 12345u;
    return *seed >> 8;
}

__attribute__((noinline)) void *WorkerAllocate(int family, SIZE_T bytes)
{
    void *block;
    if (family == 0)
        WorkerLines[0] = __LINE__, block = HeapAlloc(GetProcessHeap(), 0, bytes);
    else if (family == 1)
        WorkerLines[1] = __LINE__, block = GlobalAlloc(GMEM_MOVEABLE, bytes);
    else
        WorkerLines[2] = __LINE__, block = LocalAlloc(LMEM_FIXED, bytes);
    __asm__ __volatile__("" ::: "memory");
    return block;
}

unsigned char *Bytes(int family, void *block)
{
    return static_cast<unsigned char *>(family == 1 ? GlobalLock(block) : block);
}

void Unlock(int family, void *block)
{
    if (family == 1)
        GlobalUnlock(block);
}

bool Check(Worker *w, int i)
{
    unsigned char *bytes = Bytes(w->family[i], w->blocks[i]);
    bool good = bytes != nullptr;
    for (SIZE_T b = 0; good && b < w->size[i]; b++)
        good = bytes[b] == static_cast<unsigned char>(0xA0 + i);
    Unlock(w->family[i], w->blocks[i]);
    return good;
}

void Fill(Worker *w, int i)
{
    if (unsigned char *bytes = Bytes(w->family[i], w->blocks[i]))
        memset(bytes, 0xA0 + i, w->size[i]);
    Unlock(w->family[i], w->blocks[i]);
}

DWORD WINAPI RunWorker(void *argument)
{
    auto *w = static_cast<Worker *>(argument);
    while (!WorkersStop) {
        int i = Next(&w->seed) % Slots;
        SIZE_T size = 1 + Next(&w->seed) % 300;
        uint32_t choice = Next(&w->seed) % 3;
        if (!w->blocks[i]) {
            w->family[i] = Next(&w->seed) % 3;
            w->blocks[i] = WorkerAllocate(w->family[i], size);
            w->size[i] = size;
            if (!w->blocks[i])
                continue;
            Fill(w, i);
        } else if (choice == 0) {
            if (!Check(w, i))
                w->corrupt++;
            void *resized = w->family[i] == 0   ? HeapReAlloc(GetProcessHeap(), 0, w->blocks[i], size)
                            : w->family[i] == 1 ? GlobalReAlloc(w->blocks[i], size, GMEM_MOVEABLE)
                                                : LocalReAlloc(w->blocks[i], size, LMEM_MOVEABLE);
            if (resized) {
                w->blocks[i] = resized;
                w->size[i] = size;
                Fill(w, i);
            }
        } else {
            if (!Check(w, i))
                w->corrupt++;
            if (w->family[i] == 0)
                HeapFree(GetProcessHeap(), 0, w->blocks[i]);
            else
                GlobalFree(w->blocks[i]);
            w->blocks[i] = nullptr;
        }
        // Two cores shared by seven threads: leave the cycling thread its turn.
        if (++w->operations % 64 == 0)
            SwitchToThread();
    }
    for (int i = 0; i < Slots; i++)
        if (w->blocks[i])
            w->family[i] == 0 ? (void)HeapFree(GetProcessHeap(), 0, w->blocks[i]) : (void)GlobalFree(w->blocks[i]);
    return 0;
}

__attribute__((noinline)) void *KnownHeapLeak(SIZE_T bytes)
{
    KnownLines[0] = __LINE__ + 1;
    void *block = HeapAlloc(GetProcessHeap(), 0, bytes);
    __asm__ __volatile__("" ::: "memory");
    return block;
}

__attribute__((noinline)) void *KnownGlobalLeak()
{
    KnownLines[1] = __LINE__ + 1;
    void *block = GlobalAlloc(GMEM_MOVEABLE, 2000);
    __asm__ __volatile__("" ::: "memory");
    return block;
}

__attribute__((noinline)) void *KnownLocalLeak()
{
    KnownLines[2] = __LINE__ + 1;
    void *block = LocalAlloc(LMEM_FIXED, 3000);
    __asm__ __volatile__("" ::: "memory");
    return block;
}

// Checks one dump's text; empty when it is exact, else what is wrong.
std::string JudgeReport(const std::string &text, int dumped)
{
    int known[3] = {}, workers = 0, printed = 0;
    size_t at = 0;
    while ((at = text.find("Memory block ", at)) != std::string::npos) {
        int size = 0, count = 0;
        sscanf(text.c_str() + at, "Memory block %d bytes at 0x%*x (%d times)", &size, &count);
        printed += count;
        size_t frame = text.find('\n', at) + 1;
        size_t open = text.find(".cpp(", frame);
        int line = open != std::string::npos && open < text.find('\n', frame) ? atoi(text.c_str() + open + 5) : -1;
        bool matched = false;
        for (int k = 0; k < 3; k++)
            if (line == KnownLines[k])
                known[k] += count, matched = true;
        for (int k = 0; k < 3; k++)
            if (line == WorkerLines[k])
                workers += count, matched = true;
        if (!matched)
            return "a group from nowhere: line " + std::to_string(line);
        at = frame;
    }
    if (known[0] != 3 || known[1] != 1 || known[2] != 1)
        return "known leaks " + std::to_string(known[0]) + " " + std::to_string(known[1]) + " " +
               std::to_string(known[2]);
    if (workers > Workers * Slots)
        return "more worker blocks than can be alive: " + std::to_string(workers);
    if (printed != dumped)
        return "dump returned " + std::to_string(dumped) + ", printed " + std::to_string(printed);
    return std::string();
}

int Stress(int cycles)
{
    if (!debug_capture::Install())
        return 98;
    TarnwickOptions options = {};
    options.stackDepth = 4;
    TarnwickSetOptions(&options);
    static Worker workers[Workers];
    HANDLE threads[Workers];
    for (int t = 0; t < Workers; t++) {
        workers[t].seed = 7919u * (t + 1);
        threads[t] = CreateThread(nullptr, 0, RunWorker, &workers[t], 0, nullptr);
    }
    int exact = 0;
    std::string firstFault;
    for (int cycle = 0; cycle < cycles; cycle++) {
        TarnwickStart();
        void *leaks[5] = {KnownHeapLeak(1000 + cycle % 5), KnownHeapLeak(1001), KnownHeapLeak(1002),
                          KnownGlobalLeak(), KnownLocalLeak()};
        TarnwickStop();
        debug_capture::Take();
        int dumped = TarnwickDump();
        std::string text;
        for (const std::string &piece : debug_capture::Take())
            text += piece;
        std::string fault = JudgeReport(text, dumped);
        if (fault.empty())
            exact++;
        else if (firstFault.empty())
            firstFault = "cycle " + std::to_string(cycle) + ": " + fault + "\n" + text;
        for (int i = 0; i < 3; i++)
            HeapFree(GetProcessHeap(), 0, leaks[i]);
        GlobalFree(leaks[3]);
        LocalFree(leaks[4]);
    }
    WorkersStop = 1;
    WaitForMultipleObjects(Workers, threads, TRUE, INFINITE);
    LONG corrupt = 0, operations = 0;
    for (Worker &w : workers)
        corrupt += w.corrupt, operations += w.operations;
    printf("HOST: stress cycles %d exact %d corrupt %ld operations %ld\n", cycles, exact, corrupt, operations);
    if (!firstFault.empty())
        printf("HOST: first fault %s\n", firstFault.c_str());
    return 20;
}

// Lost or still reachable: one block or group of each kind, told apart by
// size. Every pointer is made and dropped inside helpers whose frames are
// gone by the dump, so that no stale copy on the stack or in a register
// keeps a lost block reachable.
// A heap of the scenario's own: no stale address left in the program's data by
// its earlier use of the process heap can point into these blocks.
HANDLE ScenarioHeap;
__attribute__((noinline)) void *Block(SIZE_T bytes) { return HeapAlloc(ScenarioHeap, HEAP_ZERO_MEMORY, bytes); }

int MapNodeBytes;
template <typename T> struct HeapAllocator {
    typedef T value_type;
    HeapAllocator() = default;
    template <typename U> HeapAllocator(const HeapAllocator<U> &) {}
    T *allocate(size_t count) { return static_cast<T *>(Block(MapNodeBytes = count * sizeof(T))); }
    void deallocate(T *block, size_t) { HeapFree(ScenarioHeap, 0, block); }
};
struct Payload {
    char bytes[97];
};
typedef std::map<int, Payload, std::less<int>, HeapAllocator<std::pair<const int, Payload>>> HeapMap;

HeapMap *volatile GlobalMap;
void **volatile Chain, **volatile EarlyBlock, **volatile EarlyProcessBlock;
char *volatile Middle, *volatile MovableMiddle;
void *volatile ZeroBytes, *volatile Movable, *volatile Distant;
void *volatile Overwritten, *volatile KeptTwin;
DWORD LowSlot, HighSlot;
HANDLE HolderReady, HolderRelease;

__attribute__((noinline)) void MakeBlocks()
{
    void **list = nullptr, **a = static_cast<void **>(Block(1006)), **b = static_cast<void **>(Block(1006));
    for (int i = 0; i < ThreeTimes; i++) {
        void **node = static_cast<void **>(Block(1001));
        node[0] = list;
        list = node;
    }
    a[10] = b;  // a cycle
    b[20] = a;
    GlobalMap = new (Block(1002)) HeapMap;
    for (int i = 0; i < 5; i++)
        (*GlobalMap)[i * 7].bytes[0] = 'x';
    for (int i = 0; i < ThreeTimes - 1; i++)  // two blocks from one stack
        (i ? Overwritten : KeptTwin) = Block(1012);
    Chain = static_cast<void **>(Block(1003));
    Chain[5] = Block(1004);
    Middle = static_cast<char *>(Block(1005)) + 500;
    TlsSetValue(LowSlot, Block(1007));
    TlsSetValue(HighSlot, Block(1008));
    EarlyBlock[3] = Block(1010);
    Overwritten = Block(1011);
    Overwritten = nullptr;
    ZeroBytes = Block(0);
    Movable = GlobalAlloc(GMEM_MOVEABLE, 1014);
    // Small: an index that took its handle for a block would find the handle
    // table's own pointers inside a larger one.
    HGLOBAL movable = GlobalAlloc(GMEM_MOVEABLE, 5);
    MovableMiddle = static_cast<char *>(GlobalLock(movable)) + 3;
    GlobalUnlock(movable);
    FlsSetValue(FlsAlloc(nullptr), Block(1016));
    EarlyProcessBlock[3] = Block(1019);
}

// A heap whose blocks differ from the scenario heap's only above bit 31: made
// in memory reserved at the scenario heap's address with bit 32 flipped.
__attribute__((noinline)) void MakeDistantBlock()
{
#if defined(_WIN64)
    typedef HANDLE(WINAPI * RtlCreateHeapFn)(ULONG, void *, SIZE_T, SIZE_T, void *, void *);
    auto create = reinterpret_cast<RtlCreateHeapFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll"), "RtlCreateHeap")));
    uintptr_t base = (reinterpret_cast<uintptr_t>(ScenarioHeap) ^ (uintptr_t(1) << 32)) & ~uintptr_t(0xFFFF);
    void *memory = VirtualAlloc(reinterpret_cast<void *>(base), 1 << 20, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    HANDLE heap = memory ? create(0, memory, 1 << 20, 1 << 20, nullptr, nullptr) : nullptr;
    Distant = heap ? HeapAlloc(heap, HEAP_ZERO_MEMORY, 1017) : nullptr;
    Say("distant %d", Distant && (reinterpret_cast<uintptr_t>(Distant) ^ reinterpret_cast<uintptr_t>(ScenarioHeap)) >> 32);
#else
    Distant = Block(1017);
#endif
}

// Holds a block in EDI (R15) alone while it spins, until released.
extern "C" void *BlockForRegister() { return Block(1013); }
extern "C" volatile LONG RegisterHeld, RegisterRelease;
volatile LONG RegisterHeld, RegisterRelease;
extern "C" DWORD WINAPI HoldInARegister(void *);
#if defined(_WIN64)
__asm__(R"(
    .text
    .globl HoldInARegister
    .def HoldInARegister; .scl 2; .type 32; .endef
    .seh_proc HoldInARegister
HoldInARegister:
    pushq %r15
    .seh_pushreg %r15
    subq $32, %rsp
    .seh_stackalloc 32
    .seh_endprologue
    call BlockForRegister
    movq %rax, %r15
    xorl %eax, %eax
    xorl %ecx, %ecx
    xorl %edx, %edx
    xorl %r8d, %r8d
    xorl %r9d, %r9d
    xorl %r10d, %r10d
    xorl %r11d, %r11d
    movq %rax, (%rsp)
    movq %rax, 8(%rsp)
    movq %rax, 16(%rsp)
    movq %rax, 24(%rsp)
    movl $1, RegisterHeld(%rip)
1:  pause
    cmpl $0, RegisterRelease(%rip)
    je 1b
    addq $32, %rsp
    popq %r15
    ret
    .seh_endproc
)");
#else
__asm__(R"(
    .text
    .globl _HoldInARegister@4
_HoldInARegister@4:
    pushl %edi
    call _BlockForRegister
    movl %eax, %edi
    xorl %eax, %eax
    xorl %ecx, %ecx
    xorl %edx, %edx
    movl $1, _RegisterHeld
1:  pause
    cmpl $0, _RegisterRelease
    je 1b
    popl %edi
    ret $4
)");
#endif

DWORD WINAPI HoldInALocal(void *)
{
    void *volatile held = Block(1009);
    SetEvent(HolderReady);
    WaitForSingleObject(HolderRelease, INFINITE);
    return held != nullptr;
}

void Reachability()
{
    // Refused: no record, one too small, one while recording.
    TarnwickReportOptions report = {4, 1, 0};
    TarnwickSetReportOptions(nullptr);
    TarnwickSetReportOptions(&report);
    TarnwickStart();
    report.size = sizeof report;
    TarnwickSetReportOptions(&report);
    TarnwickStop();
    Say("unclassified dump %d", TarnwickDump());
    // A record of the first version (8 bytes), then one of a later version:
    // larger, with a field unknown here; the reachable groups without stacks.
    TarnwickReportOptions first = {8, 1, 1};
    TarnwickSetReportOptions(&first);
    struct {
        TarnwickReportOptions known;
        int later;
    } later = {{sizeof later, 1, 1}, 7};
    TarnwickSetReportOptions(&later.known);
    ScenarioHeap = HeapCreate(0, 0, 0);
    EarlyBlock = static_cast<void **>(Block(64));
    EarlyProcessBlock = static_cast<void **>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 64));
    LowSlot = TlsAlloc();
    while ((HighSlot = TlsAlloc()) < 64) {  // from 64 on: the expansion slots
    }
    HolderReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HolderRelease = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    TarnwickStart();
    HANDLE holder = CreateThread(nullptr, 0, HoldInALocal, nullptr, 0, nullptr);
    WaitForSingleObject(HolderReady, INFINITE);
    HANDLE registerHolder = CreateThread(nullptr, 0, HoldInARegister, nullptr, 0, nullptr);
    while (!RegisterHeld)
        Sleep(1);
    MakeBlocks();
    MakeDistantBlock();
    TarnwickStop();
    Say("map node %d slot %lu", MapNodeBytes, HighSlot);
    Say("dump %d", TarnwickDump());
    SetEvent(HolderRelease);
    RegisterRelease = 1;
    WaitForSingleObject(holder, INFINITE);
    WaitForSingleObject(registerHolder, INFINITE);
}

// A leak made inside a callback that msvcrt's qsort calls, under functions
// built without frame pointers on x64 (the x86 walk needs them kept).
#if defined(_WIN64)
#define NO_FRAME_POINTER __attribute__((noinline, optimize("omit-frame-pointer")))
#else
#define NO_FRAME_POINTER __attribute__((noinline))
#endif
int CallbackLines[4];
volatile char Sink;

int __cdecl LeakWhileComparing(const void *a, const void *b)
{
    if (!LastBlock) {
        CallbackLines[0] = __LINE__ + 1;
        LastBlock = HeapAlloc(GetProcessHeap(), 0, 888);
    }
    return *static_cast<const int *>(a) - *static_cast<const int *>(b);
}

NO_FRAME_POINTER void SortWithCallback()
{
    int values[3] = {3, 1, 2};
    CallbackLines[1] = __LINE__ + 1;
    qsort(values, 3, sizeof values[0], LeakWhileComparing);
    Sink = char(values[0]);
}

NO_FRAME_POINTER void WithoutFramePointers(int levels)
{
    volatile char pad[40];
    pad[0] = char(levels);
    __asm__ __volatile__("" ::: "memory");
    CallbackLines[2] = __LINE__ + 1;
    levels > 1 ? WithoutFramePointers(levels - 1) : SortWithCallback();
    Sink = pad[0];
}

__attribute__((noinline)) void CallbackLeak()
{
    SetDepth(16);
    LastBlock = nullptr;
    TarnwickStart();
    CallbackLines[3] = __LINE__ + 1;
    WithoutFramePointers(2);
    TarnwickStop();
    Say("callback lines %d %d %d %d", CallbackLines[0], CallbackLines[1], CallbackLines[2], CallbackLines[3]);
    Say("dump %d", TarnwickDump());
}

}  // namespace

void RuntimeLeaks();  // e2e_runtime.cpp

int main(int argc, char **argv)
{
    const char *scenario = argc > 1 ? argv[1] : "";
    if (!strcmp(scenario, "leaks"))
        Leaks();
    else if (!strcmp(scenario, "no-leaks"))
        NoLeaks();
    else if (!strcmp(scenario, "misuse"))
        Misuse();
    else if (!strcmp(scenario, "break-leak"))
        BreakOnLeak(true);
    else if (!strcmp(scenario, "break-no-leak"))
        BreakOnLeak(false);
    else if (!strcmp(scenario, "exit") && argc > 2)
        ExitWhileRecording(argv[2], 0);
    else if (!strcmp(scenario, "exit-busy") && argc > 2)
        ExitWhileRecording(argv[2], 4);
    else if (!strcmp(scenario, "exit-locked"))
        ExitWithTheTableLocked();
    else if (!strcmp(scenario, "busy-thread"))
        BusyThread();
    else if (!strcmp(scenario, "releases"))
        Releases();
    else if (!strcmp(scenario, "broken-frames"))
        BrokenFrames();
    else if (!strcmp(scenario, "stress"))
        return Stress(argc > 2 ? atoi(argv[2]) : 300);
    else if (!strcmp(scenario, "terminate-other"))
        TerminateOther();
    else if (!strcmp(scenario, "entries"))
        EntriesRestored();
    else if (!strcmp(scenario, "depth-change"))
        DepthChangedBeforeDump();
    else if (!strcmp(scenario, "stuck-thread"))
        StuckThread();
    else if (!strcmp(scenario, "reach"))
        Reachability();
    else if (!strcmp(scenario, "runtime"))
        RuntimeLeaks();
    else if (!strcmp(scenario, "callback"))
        CallbackLeak();
    else if (!strcmp(scenario, "sleep"))
        Sleep(60000);
    else
        return 99;
    return 20;
}
