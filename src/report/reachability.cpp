// Lost or still reachable: a conservative scan for 4-byte-aligned values that
// point into recorded blocks. Roots: the writable sections of the loaded
// images, the other threads' stacks and registers (read while they are
// suspended), the calling thread's stack above the library's frames, every
// thread's TLS, and the busy heap blocks that are not recorded. A block a
// root points into is reachable, and so is every block its words point into;
// the rest are lost. The scan reads only what the region map shows committed
// and readable, takes no lock once the threads are suspended (the heaps are
// walked before), and keeps all it needs in VirtualAlloc memory.
#include "report/reachability.h"
#include "report/block_index.h"
#include "report/system_modules.h"
#include "control/library.h"
#include "control/thread_registry.h"
#include "patching/thread_freeze.h"
#include "tracking/alloc_table.h"
#include "tracking/guarded_region.h"
#include "tracking/table_owner.h"

namespace {

const DWORD ReadableProtect = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
const DWORD WritableProtect = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
// TEB fields besides those of control/thread_block.h: the static TLS
// array's pointer and the fiber-local storage's.
#if defined(_WIN64)
enum : uint32_t { StaticTlsOffset = 0x58, FlsOffset = 0x17C8, TlsExpansionSlots = 1024 };
#else
enum : uint32_t { StaticTlsOffset = 0x2C, FlsOffset = 0xFB4, TlsExpansionSlots = 1024 };
#endif
const uint32_t Word = sizeof(uintptr_t);

Array<Span> Readable;    // committed, readable, no guard page: merged runs, ascending
Array<Span> ImageRoots;  // writable image sections, the library's own left out
Array<Span> HeapBlocks;  // busy heap blocks; after FilterHeapBlocks, the unrecorded ones
bool HeapsWalked;        // HeapBlocks taken before the exit ended the other threads
bool OthersEnded;
// Below it, the exit's own frames lie over the dead frames of the calls the
// program had finished: none of that is a root.
uintptr_t ExitSlot;
bool Classified;

bool MapMemory()
{
    const uintptr_t own = OwnImageBase, ownEnd = own + OwnImageSize;
    MEMORY_BASIC_INFORMATION region;
    for (uintptr_t at = 0; VirtualQuery(reinterpret_cast<void *>(at), &region, sizeof region);) {
        uintptr_t begin = reinterpret_cast<uintptr_t>(region.BaseAddress), end = begin + region.RegionSize;
        if (end <= at)
            break;
        at = end;
        if (region.State != MEM_COMMIT || !(region.Protect & ReadableProtect) || (region.Protect & PAGE_GUARD))
            continue;
        if (Readable.count && Readable.items[Readable.count - 1].end == begin)
            Readable.items[Readable.count - 1].end = end;
        else if (!Push(&Readable, Span{begin, end}))
            return false;
        // At exit, the system's modules have closed what the program gave
        // them (its streams among them); what their data still holds is
        // stale: a stream's freed buffer, reused for a block since.
        if (region.Type == MEM_IMAGE && (region.Protect & WritableProtect) && (begin < own || begin >= ownEnd) &&
            !(OthersEnded && IsSystemCode(begin)) && !Push(&ImageRoots, Span{begin, end}))
            return false;
    }
    return true;
}

// Every busy block of every heap but the library's own, each heap under its
// lock while the threads still run.
bool WalkHeaps()
{
    HANDLE heaps[1024];
    DWORD count = GetProcessHeaps(1024, heaps);
    bool complete = count <= 1024;
    for (DWORD i = 0; i < count && i < 1024 && complete; i++) {
        if (heaps[i] == RecordHeap || heaps[i] == RegistryHeap || !HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry;
        entry.lpData = nullptr;
        while (complete && HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
                uintptr_t begin = reinterpret_cast<uintptr_t>(entry.lpData);
                complete = Push(&HeapBlocks, Span{begin, begin + entry.cbData});
            }
        HeapUnlock(heaps[i]);
    }
    return complete;
}

// Keeps the heap blocks that hold no recorded block: those are roots.
void FilterHeapBlocks()
{
    uint32_t kept = 0;
    for (uint32_t i = 0; i < HeapBlocks.count; i++)
        if (!HoldsIndexedBlock(HeapBlocks.items[i]))
            HeapBlocks.items[kept++] = HeapBlocks.items[i];
    HeapBlocks.count = kept;
}

// The readable parts of [begin, end).
void ScanReadable(uintptr_t begin, uintptr_t end, bool startsOnly = false)
{
    uint32_t low = 0, high = Readable.count;
    while (low < high) {
        uint32_t middle = (low + high) / 2;
        if (Readable.items[middle].end <= begin)
            low = middle + 1;
        else
            high = middle;
    }
    for (uint32_t i = low; i < Readable.count && Readable.items[i].begin < end; i++) {
        const Span &run = Readable.items[i];
        ScanWords(begin > run.begin ? begin : run.begin, end < run.end ? end : run.end, startsOnly);
    }
}

struct SpanCursor {
    const Span *spans;
    uint32_t count, next;
    bool startsOnly;
};

void ScanSpansGuarded(void *context)
{
    auto *cursor = static_cast<SpanCursor *>(context);
    while (cursor->next < cursor->count) {
        const Span &span = cursor->spans[cursor->next++];
        ScanReadable(span.begin, span.end, cursor->startsOnly);
    }
}

// Memory released since the region map was made faults: its span ends
// there, and the scan goes on with the next.
void ScanSpans(const Span *spans, uint32_t count, bool startsOnly = false)
{
    SpanCursor cursor = {spans, count, 0, startsOnly};
    while (RunGuarded(ScanSpansGuarded, &cursor) != 0) {
    }
}

void DrainGuarded(void *)
{
    Span content;
    while (NextMarkedContent(&content))
        ScanReadable(content.begin, content.end);
}

// Scans every marked block once, and the blocks they mark in turn.
void Drain()
{
    while (RunGuarded(DrainGuarded, nullptr) != 0) {
    }
}

// A thread's stack from stackTop up to its base (none when stackTop is 0),
// its TLS slots, the expansion slots, and the pointers to its static TLS
// and its fiber-local storage, whose blocks the scan follows.
void ScanThread(uintptr_t teb, uintptr_t stackTop, bool startsOnly = false)
{
    const uintptr_t *fields = reinterpret_cast<const uintptr_t *>(teb);
    Span spans[5] = {
        {stackTop, stackTop ? fields[StackBaseOffset / Word] : 0},
        {teb + TlsSlotsOffset, teb + TlsSlotsOffset + Word * TlsMinimumSlots},
        {teb + StaticTlsOffset, teb + StaticTlsOffset + Word},
        {teb + FlsOffset, teb + FlsOffset + Word},
        {fields[TlsExpansionOffset / Word], fields[TlsExpansionOffset / Word] + Word * TlsExpansionSlots},
    };
    ScanSpans(spans, 5, startsOnly);
}

// Registers and stack as the suspension left them. A thread that has not
// started (eip 0: its context cannot be read without letting it run) holds
// nothing on its stack yet.
void ScanFrozenThreadGuarded(void *context)
{
    const FrozenThread *thread = static_cast<const FrozenThread *>(context);
    CONTEXT registers;
    registers.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    uintptr_t stackTop = 0;
    if (thread->eip && GetThreadContext(thread->handle, &registers)) {
#if defined(_WIN64)
        const uintptr_t values[] = {registers.Rax, registers.Rbx, registers.Rcx, registers.Rdx, registers.Rsi,
                                    registers.Rdi, registers.Rbp, registers.R8,  registers.R9,  registers.R10,
                                    registers.R11, registers.R12, registers.R13, registers.R14, registers.R15};
        stackTop = registers.Rsp;
#else
        const uintptr_t values[] = {registers.Eax, registers.Ebx, registers.Ecx, registers.Edx,
                                    registers.Esi, registers.Edi, registers.Ebp};
        stackTop = registers.Esp;
#endif
        ScanWords(reinterpret_cast<uintptr_t>(values), reinterpret_cast<uintptr_t>(values + sizeof values / Word));
    }
    ScanThread(thread->teb, stackTop);
}

}  // namespace

bool ClassifyRecords(uintptr_t callerStack)
{
    bool ready = IndexBlocks() && MapMemory() && (HeapsWalked || WalkHeaps());
    if (!ready) {
        ForgetClasses();
        return false;
    }
    FilterHeapBlocks();
    FrozenThreads threads = {};
    ShareTableBeforeFreeze();
    bool frozen = !OthersEnded && FreezeOtherThreads(&threads);
    for (uint32_t i = 0; i < threads.count; i++)
        RunGuarded(ScanFrozenThreadGuarded, &threads.threads[i]);
    // At exit, what the program still holds is a pointer to a block's first
    // byte, not a value that happens to fall inside one: the loader's and
    // the runtimes' own data hold many (region bases, stale buffer
    // addresses). Inside reachable blocks any pointer still counts.
    const bool startsOnly = OthersEnded;
    ScanThread(OwnTeb(), OthersEnded && ExitSlot > callerStack ? ExitSlot : callerStack, startsOnly);
    ScanSpans(ImageRoots.items, ImageRoots.count, startsOnly);
    ScanSpans(HeapBlocks.items, HeapBlocks.count, startsOnly);
    Drain();
    if (frozen)
        ThawThreads(&threads);
    Classified = true;
    return true;
}

bool RecordsClassified() { return Classified; }

bool IsReachable(const AllocRecord *record) { return Classified && IsMarked(record->address); }

void ForgetClasses()
{
    ReleaseBlockIndex();
    Release(&Readable);
    Release(&ImageRoots);
    Release(&HeapBlocks);
    HeapsWalked = false;
    Classified = false;
}

void WalkHeapsBeforeExit(uintptr_t exitSlot)
{
    OthersEnded = true;
    ExitSlot = exitSlot;
    HeapsWalked = WalkHeaps();
    if (!HeapsWalked)
        Release(&HeapBlocks);
}
