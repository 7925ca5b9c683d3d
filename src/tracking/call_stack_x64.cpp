// Call-stack capture on x64, where code keeps no frame-pointer chain: each
// frame is unwound by the recipe its module's unwind tables (.pdata/.xdata)
// give for its return address. A recipe depends only on the return address
// (a call site in a function body, its prolog run), so it is worked out once
// and kept in a fixed table in memory of its own; each entry also remembers
// the caller's entry the last walk met, so that a walk along a known path
// loads recipe after recipe without hashing. Every stack read lies between the capture's own frame
// and the stack's base, and a value is kept only as a return address that a
// module's tables describe and that follows a call instruction.
#if defined(_WIN64)
#include "tracking/call_stack.h"
#include <windows.h>
#include "tracking/alloc_table.h"
#include "control/library.h"

namespace {

// A recipe, packed into one word so that a table entry is read and written
// whole. Offsets are from the frame's base; the return address's slot is in
// the low bits.
constexpr uint32_t FieldBits = 28;
constexpr uint64_t FieldMask = (1ull << FieldBits) - 1;
constexpr uint32_t RbpSlotShift = FieldBits;          // slot of the saved RBP + 1; 0: RBP left alone
constexpr uint32_t FrameOffsetShift = 2 * FieldBits;  // frame register offset / 16 (4 bits)
constexpr uint64_t FrameBased = 1ull << 60;           // base = RBP - frame offset, else the RSP after the call
constexpr uint64_t ThreadStart = 1ull << 61;          // the thread's start routine: the walk ends after it
constexpr uint64_t Valid = 1ull << 63;

struct Entry {
    volatile uintptr_t returnAddress;  // 0 while free; claimed once, never changed
    volatile uint64_t recipe;          // 0 until written, or for a value that is no return address
    // The caller's entry that the last walk through here met: a guess,
    // checked before use, that lets the walk load the next recipe without
    // waiting for the hash of the next return address.
    Entry *volatile next;
};

enum : uint32_t { TableBits = 14, TableSize = 1u << TableBits, MaxProbes = 16, MaxChained = 32 };

Entry *Table;  // null when it could not be had: every recipe is then worked out
uintptr_t ThreadStartBegin[2];  // ntdll!RtlUserThreadStart, kernel32!BaseThreadInitThunk

// UNWIND_INFO as it lies in the image.
struct UnwindInfo {
    uint8_t versionFlags;
    uint8_t sizeOfProlog;
    uint8_t countOfCodes;
    uint8_t frame;  // register in the low four bits, offset / 16 in the high
    uint16_t codes[1];
};

enum : uint8_t {
    PushNonvol = 0, AllocLarge = 1, AllocSmall = 2, SetFpreg = 3, SaveNonvol = 4, SaveNonvolFar = 5,
    Epilog = 6, SaveXmm128 = 8, SaveXmm128Far = 9,
};
enum : uint8_t { Rbp = 5 };

inline uint8_t CodeOffset(uint16_t code) { return code & 0xFF; }
inline uint8_t CodeOp(uint16_t code) { return (code >> 8) & 0xF; }
inline uint8_t CodeInfo(uint16_t code) { return code >> 12; }

// Slots a code takes in the array.
uint32_t CodeSlots(uint16_t code)
{
    switch (CodeOp(code)) {
    case AllocLarge: return CodeInfo(code) ? 3 : 2;
    case SaveNonvol: case SaveXmm128: case Epilog: return 2;
    case SaveNonvolFar: case SaveXmm128Far: return 3;
    default: return 1;
    }
}

// Bytes of the ModRM operand starting at modrm (ModRM, SIB, displacement).
uint32_t OperandLength(const uint8_t *modrm)
{
    uint8_t mod = modrm[0] >> 6, rm = modrm[0] & 7;
    if (mod == 3)
        return 1;
    uint32_t length = rm == 4 ? 2 : 1;
    if (mod == 1)
        return length + 1;
    if (mod == 2 || (rm == 5) || (rm == 4 && (modrm[1] & 7) == 5))
        return length + 4;
    return length;
}

}  // namespace

bool FollowsCall(const uint8_t *begin, const uint8_t *returnAddress)
{
    const uint8_t *at = returnAddress;
    if (at - begin >= 5 && at[-5] == 0xE8)
        return true;
    // FF /2: call through a register or memory, 2 to 7 bytes.
    for (uint32_t length = 2; length <= 7 && at - begin >= length; length++) {
        const uint8_t *op = at - length;
        if (op[0] == 0xFF && ((op[1] >> 3) & 7) == 2 && OperandLength(op + 1) == length - 1)
            return true;
    }
    return false;
}

bool RecipeFromUnwindInfo(uintptr_t imageBase, const RUNTIME_FUNCTION *function, uintptr_t returnAddress,
                          UnwindRecipe *recipe)
{
    bool frameBased = false, rbpSaved = false;
    uint64_t frameOffset = 0, rbpSlot = 0;
    uint64_t delta = 0;  // RSP while undoing the prolog, less the base
    bool deltaKnown = true;
    for (uint32_t info = 0; info < MaxChained; info++) {
        if (function->UnwindData & 1)
            return false;
        const auto *unwind = reinterpret_cast<const UnwindInfo *>(imageBase + function->UnwindData);
        uint8_t version = unwind->versionFlags & 7, flags = unwind->versionFlags >> 3;
        if (version != 1 && version != 2)
            return false;
        const uintptr_t begin = imageBase + function->BeginAddress;
        // A call inside the prolog (a stack probe) has run only the codes before it.
        uint32_t prologOffset = returnAddress >= begin && returnAddress - begin < unwind->sizeOfProlog
                                    ? uint32_t(returnAddress - begin)
                                    : ~0u;
        const uint8_t frameRegister = unwind->frame & 0xF;
        const uint64_t thisFrameOffset = uint64_t(unwind->frame >> 4) * 16;
        const uint32_t count = unwind->countOfCodes;
        if (info == 0) {
            for (uint32_t i = 0; i < count; i += CodeSlots(unwind->codes[i]))
                if (CodeOp(unwind->codes[i]) == SetFpreg && CodeOffset(unwind->codes[i]) <= prologOffset)
                    frameBased = true;
            if (frameBased) {
                // Only RBP is followed from frame to frame.
                if (frameRegister != Rbp)
                    return false;
                frameOffset = thisFrameOffset;
                deltaKnown = false;  // until the code that set the frame
            }
        } else if (frameRegister &&
                   !(frameBased && frameRegister == Rbp && thisFrameOffset == frameOffset && !rbpSaved)) {
            // A chained part measured from a frame other than the base.
            return false;
        }
        for (uint32_t i = 0; i < count; i += CodeSlots(unwind->codes[i])) {
            const uint16_t code = unwind->codes[i];
            if (prologOffset < CodeOffset(code))
                continue;
            switch (CodeOp(code)) {
            case PushNonvol:
                if (CodeInfo(code) == Rbp) {
                    if (!deltaKnown)
                        return false;
                    rbpSaved = true;
                    rbpSlot = delta;
                }
                delta += 8;
                break;
            case AllocLarge:
                delta += CodeInfo(code) ? unwind->codes[i + 1] | uint64_t(unwind->codes[i + 2]) << 16
                                        : uint64_t(unwind->codes[i + 1]) * 8;
                break;
            case AllocSmall:
                delta += (CodeInfo(code) + 1) * 8;
                break;
            case SetFpreg:
                if (!frameBased)
                    return false;
                delta = 0;
                deltaKnown = true;
                break;
            case SaveNonvol:
            case SaveNonvolFar:
                if (CodeInfo(code) == Rbp) {
                    rbpSaved = true;
                    rbpSlot = CodeOp(code) == SaveNonvol ? uint64_t(unwind->codes[i + 1]) * 8
                                                         : unwind->codes[i + 1] | uint64_t(unwind->codes[i + 2]) << 16;
                }
                break;
            case SaveXmm128:
            case SaveXmm128Far:
            case Epilog:
                break;
            default:  // a machine frame (an interrupt or exception frame) or an unknown code
                return false;
            }
        }
        if (!(flags & UNW_FLAG_CHAININFO)) {
            if (!deltaKnown || delta > FieldMask || rbpSlot >= FieldMask)
                return false;
            *recipe = {uint32_t(delta), uint32_t(rbpSlot), uint32_t(frameOffset), frameBased, rbpSaved};
            return true;
        }
        function = reinterpret_cast<const RUNTIME_FUNCTION *>(&unwind->codes[(count + 1) & ~1u]);
    }
    return false;
}

namespace {

// The recipe for a return address from the tables, or 0 when it is none.
uint64_t WorkOutRecipe(uintptr_t returnAddress)
{
    DWORD64 imageBase;
    const RUNTIME_FUNCTION *function = RtlLookupFunctionEntry(returnAddress, &imageBase, nullptr);
    if (!function)
        return 0;
    const auto *begin = reinterpret_cast<const uint8_t *>(imageBase + function->BeginAddress);
    if (!FollowsCall(begin, reinterpret_cast<const uint8_t *>(returnAddress)))
        return 0;
    UnwindRecipe unwound;
    if (!RecipeFromUnwindInfo(imageBase, function, returnAddress, &unwound))
        return 0;
    uint64_t recipe = Valid | (unwound.frameBased ? FrameBased : 0) |
                      uint64_t(unwound.frameOffset / 16) << FrameOffsetShift |
                      uint64_t(unwound.rbpSaved ? unwound.rbpSlot + 1 : 0) << RbpSlotShift | unwound.returnSlot;
    // Past the start routines the stack holds no more frames.
    const uintptr_t entry = imageBase + function->BeginAddress;
    if (entry == ThreadStartBegin[0] || entry == ThreadStartBegin[1])
        recipe |= ThreadStart;
    return recipe;
}

inline uint32_t HomeIndex(uintptr_t returnAddress)
{
    return uint32_t((returnAddress * 0x9E3779B97F4A7C15ull) >> (64 - TableBits));
}

// Past the home entry: the probe, and on a miss the recipe worked out and
// kept where an entry is free, else in spare. A claimed entry whose recipe
// is not yet written counts as a miss.
__attribute__((noinline)) Entry *EntryOnMiss(Entry *table, uintptr_t returnAddress, Entry *spare)
{
    spare->returnAddress = returnAddress;
    spare->next = nullptr;
    for (uint32_t probe = 0; table && probe < MaxProbes; probe++) {
        Entry &entry = table[(HomeIndex(returnAddress) + probe) & (TableSize - 1)];
        uintptr_t key = entry.returnAddress;
        if (key == returnAddress) {
            if (entry.recipe)
                return &entry;
            break;
        }
        if (key)
            continue;
        // Only return addresses are kept: a module loaded later may make
        // another value one.
        uint64_t recipe = WorkOutRecipe(returnAddress);
        if (recipe && InterlockedCompareExchange64(reinterpret_cast<volatile LONG64 *>(&entry.returnAddress),
                                                   LONG64(returnAddress), 0) == 0) {
            entry.recipe = recipe;
            return &entry;
        }
        spare->recipe = recipe;
        return spare;
    }
    spare->recipe = WorkOutRecipe(returnAddress);
    return spare;
}

// The entry for a return address: its recipe is 0 when it is none.
inline Entry *EntryFor(Entry *table, uintptr_t returnAddress, Entry *spare)
{
    if (table) {
        Entry *entry = &table[HomeIndex(returnAddress)];
        if (entry->returnAddress == returnAddress && entry->recipe)
            return entry;
    }
    return EntryOnMiss(table, returnAddress, spare);
}

// From a frame whose return address is handled already: the frames above it.
// With a trace, its first `reads` entries already written: the walk's reads
// follow, and it is marked traced when the walk ends other than at a value
// the tables do not know (a module loaded later could make it known).
void Unwind(uintptr_t *frames, uint32_t kept, uint32_t limit, uintptr_t returnAddress, uintptr_t rsp, uintptr_t rbp,
            WalkTrace *trace = nullptr, uint32_t reads = 0)
{
    const uintptr_t imageBase = OwnImageBase, imageSize = OwnImageSize;
    const uintptr_t stackBase = OwnStackBase(), stackLimit = OwnStackLimit();
    // Below rsp nothing is read; above, the stack is committed up to its base.
    if (rsp < stackLimit || rsp > stackBase)
        goto end;
    {
        Entry *const table = Table;
        Entry spare;
        Entry *entry = EntryFor(table, returnAddress, &spare);
        // Whether rbp still holds the starting value, and whether a frame was based on it.
        bool startRbp = true, startRbpUsed = false;
        for (uint32_t passed = 0; kept < limit && passed < MaxOwnFramesPassed;) {
            const uint64_t recipe = entry->recipe;
            if (!(recipe & Valid))
                goto end;
            if (recipe & ThreadStart)
                break;
            startRbpUsed = startRbpUsed || (startRbp && (recipe & FrameBased));
            uintptr_t base = recipe & FrameBased ? rbp - ((recipe >> FrameOffsetShift) & 0xF) * 16 : rsp;
            uintptr_t slot = base + (recipe & FieldMask);
            if (slot < rsp || slot > stackBase - 8 || slot % 8)
                break;
            if (uintptr_t rbpSlot = (recipe >> RbpSlotShift) & FieldMask) {
                rbpSlot += base - 1;
                if (rbpSlot < rsp || rbpSlot > stackBase - 8)
                    break;
                rbp = *reinterpret_cast<const uintptr_t *>(rbpSlot);
                startRbp = false;
                if (trace && reads < MaxTracedReads)
                    trace->read[reads] = {rbpSlot, rbp};
                reads++;
            }
            returnAddress = *reinterpret_cast<const uintptr_t *>(slot);
            if (trace && reads < MaxTracedReads)
                trace->read[reads] = {slot, returnAddress};
            reads++;
            rsp = slot + 8;
            Entry *caller = entry->next;
            if (!caller || caller->returnAddress != returnAddress || !caller->recipe) {
                caller = EntryFor(table, returnAddress, &spare);
                if (caller != &spare && entry->next != caller)
                    entry->next = caller;
            }
            entry = caller;
            if (!(entry->recipe & Valid))
                goto end;
            if (returnAddress - imageBase > imageSize)
                frames[kept++] = returnAddress;
            else
                passed++;
        }
        if (trace && reads <= MaxTracedReads) {
            trace->stackBase = stackBase;
            trace->rbpIgnored = !startRbpUsed;
            trace->traced = reads + 1;
        }
    }
end:
    // The record comes unzeroed: every entry is written here.
    for (uint32_t i = kept; i < limit; i++)
        frames[i] = 0;
}

}  // namespace

void PrepareStackCapture()
{
    ThreadStartBegin[0] = reinterpret_cast<uintptr_t>(GetProcAddress(GetModuleHandleW(L"ntdll"), "RtlUserThreadStart"));
    ThreadStartBegin[1] =
        reinterpret_cast<uintptr_t>(GetProcAddress(GetModuleHandleW(L"kernel32"), "BaseThreadInitThunk"));
    Table = static_cast<Entry *>(
        VirtualAlloc(nullptr, TableSize * sizeof(Entry), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

// Entered with the slot of its own return address and the caller's RBP.
extern "C" void CaptureFromSlot(uintptr_t *frames, uintptr_t slot, uintptr_t rbp, uint32_t limit)
{
    const uintptr_t returnAddress = *reinterpret_cast<const uintptr_t *>(slot);
    uint32_t kept = 0;
    if (returnAddress - OwnImageBase > OwnImageSize && limit)
        frames[kept++] = returnAddress;
    Unwind(frames, kept, limit, returnAddress, slot + 8, rbp);
}

extern "C" bool CaptureTracedFromSlot(uintptr_t *frames, uintptr_t slot, uintptr_t rbp, WalkTrace *trace)
{
    if (ReadsAsTraced(trace, slot, rbp, 0))
        return true;
    const uintptr_t returnAddress = *reinterpret_cast<const uintptr_t *>(slot);
    trace->traced = 0;
    trace->start[0] = slot;
    trace->start[1] = rbp;
    trace->start[2] = 0;
    trace->read[0] = {slot, returnAddress};
    uint32_t kept = 0;
    if (returnAddress - OwnImageBase > OwnImageSize && RecordDepth)
        frames[kept++] = returnAddress;
    Unwind(frames, kept, RecordDepth, returnAddress, slot + 8, rbp, trace, 1);
    return false;
}

// CaptureCallStack(uintptr_t *), CaptureTracedCallStack(uintptr_t *,
// WalkTrace *) and CaptureCallStackTo(uintptr_t *, uint32_t), by their C++ names: the walk starts at the caller, as the call
// left it.
__asm__(R"(
    .text
    .globl _Z16CaptureCallStackPy
    .def _Z16CaptureCallStackPy; .scl 2; .type 32; .endef
    .seh_proc _Z16CaptureCallStackPy
_Z16CaptureCallStackPy:
    .seh_endprologue
    movl RecordDepth(%rip), %r9d
    movq %rsp, %rdx
    movq %rbp, %r8
    jmp CaptureFromSlot
    .seh_endproc

    .globl _Z22CaptureTracedCallStackPyP9WalkTrace
    .def _Z22CaptureTracedCallStackPyP9WalkTrace; .scl 2; .type 32; .endef
    .seh_proc _Z22CaptureTracedCallStackPyP9WalkTrace
_Z22CaptureTracedCallStackPyP9WalkTrace:
    .seh_endprologue
    movq %rdx, %r9
    movq %rsp, %rdx
    movq %rbp, %r8
    jmp CaptureTracedFromSlot
    .seh_endproc

    .globl _Z18CaptureCallStackToPyj
    .def _Z18CaptureCallStackToPyj; .scl 2; .type 32; .endef
    .seh_proc _Z18CaptureCallStackToPyj
_Z18CaptureCallStackToPyj:
    .seh_endprologue
    movl %edx, %r9d
    movq %rsp, %rdx
    movq %rbp, %r8
    jmp CaptureFromSlot
    .seh_endproc
)");

bool CaptureTracedCallStackFrom(uintptr_t *frames, const CallerMark *mark, WalkTrace *trace)
{
    const uintptr_t rsp = mark->slot + 8;
    if (ReadsAsTraced(trace, rsp, mark->frame, mark->returnAddress))
        return true;
    trace->traced = 0;
    trace->start[0] = rsp;
    trace->start[1] = mark->frame;
    trace->start[2] = mark->returnAddress;
    frames[0] = mark->returnAddress;
    Unwind(frames, 1, RecordDepth, mark->returnAddress, rsp, mark->frame, trace);
    return false;
}
#endif
