// TarnwickSetOptions and the stored options.
#include "control/options.h"
#include "control/library.h"
#include "tracking/guarded_region.h"
#include "tarnwick.h"
#include <stddef.h>
#include <string.h>
#include <wchar.h>

StoredOptions Options = {DefaultStackDepth, 0, 0, 0, 0, 0, 0, {0}, {0}};

namespace {

// The x86 page size, the same on every system this runs on.
const uintptr_t PageBytes = 4096;

enum StringState { StringAbsent, StringFits, StringTooLong, StringUnreadable };

// Whether every byte of [address, address + bytes) lies in committed,
// readable memory. Asked of the system rather than tried, so that a bad
// pointer raises no exception that a debugger would see.
bool IsReadable(const void *address, size_t bytes)
{
    uintptr_t at = reinterpret_cast<uintptr_t>(address), end = at + bytes;
    if (end < at)
        return false;
    while (at < end) {
        MEMORY_BASIC_INFORMATION region;
        if (!VirtualQuery(reinterpret_cast<const void *>(at), &region, sizeof region) || region.State != MEM_COMMIT)
            return false;
        const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                               PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
        if (!(region.Protect & readable) || (region.Protect & PAGE_GUARD))
            return false;
        at = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
    }
    return true;
}

// Copies a caller's string into buffer only when all of it can be read and it
// fits; never reads past the buffer's size or into memory that is not there.
StringState ReadString(const wchar_t *text, uint32_t chars, wchar_t *buffer)
{
    if (!text)
        return StringAbsent;
    for (uint32_t i = 0; i < chars; i++) {
        const wchar_t *at = text + i;
        // Asked again only where a character begins or ends a page.
        uintptr_t offset = reinterpret_cast<uintptr_t>(at) % PageBytes;
        if ((i == 0 || offset == 0 || offset == PageBytes - 1) && !IsReadable(at, sizeof *at))
            return StringUnreadable;
        buffer[i] = *at;
        if (*at == 0)
            return StringFits;
    }
    return StringTooLong;
}

// What the caller handed over, read in full before anything is stored.
struct Incoming {
    const TarnwickOptions *from;
    TarnwickOptions record;
    StringState symbolPath, sourceRoot;
    wchar_t symbolPathText[SymbolPathChars];
    wchar_t sourceRootText[SourceRootChars];
};

void ReadIncoming(void *context)
{
    auto *in = static_cast<Incoming *>(context);
    in->record = *in->from;
    in->symbolPath = ReadString(in->record.symbolPath, SymbolPathChars, in->symbolPathText);
    in->sourceRoot = ReadString(in->record.sourceRoot, SourceRootChars, in->sourceRootText);
}

struct Copy {
    void *to;
    const void *from;
    size_t bytes;
};

void CopyBytes(void *context)
{
    auto *copy = static_cast<Copy *>(context);
    memcpy(copy->to, copy->from, copy->bytes);
}

// Reads bytes of the caller's memory; false when they are not all there.
bool ReadGuarded(void *to, const void *from, size_t bytes)
{
    Copy copy = {to, from, bytes};
    return IsReadable(from, bytes) && RunGuarded(CopyBytes, &copy) == 0;
}

void StoreString(wchar_t *buffer, const wchar_t *text, StringState state, const wchar_t *refusal)
{
    if (state == StringTooLong)
        WriteMessage(refusal);
    else if (state == StringFits)
        wcscpy(buffer, text);
}

// Big enough that it does not belong on the caller's stack.
Incoming Received;

}  // namespace

// The refusals both setters share: while recording, and without a record.
static bool Refused(const void *options, const wchar_t *whileRunning, const wchar_t *whenNull)
{
    if (RunningFlag || !options) {
        WriteMessage(RunningFlag ? whileRunning : whenNull);
        return true;
    }
    return false;
}

extern "C" void __stdcall TarnwickSetOptions(const TarnwickOptions *options)
{
    if (Refused(options, L"Tarnwick: cannot call TarnwickSetOptions while still running.\n",
                L"Tarnwick: TarnwickSetOptions called with a null pointer; options unchanged.\n"))
        return;
    Incoming &in = Received;
    in.from = options;
    in.symbolPath = in.sourceRoot = StringUnreadable;
    // The checks above make a fault unlikely; the guard catches memory that is
    // released while it is read.
    if (!IsReadable(options, sizeof *options) || RunGuarded(ReadIncoming, &in) != 0) {
        WriteMessage(L"Tarnwick: TarnwickSetOptions cannot read its options record; options unchanged.\n");
        return;
    }
    if (in.symbolPath == StringUnreadable || in.sourceRoot == StringUnreadable) {
        WriteMessage(in.symbolPath == StringUnreadable
                         ? L"Tarnwick: TarnwickSetOptions cannot read symbolPath; options unchanged.\n"
                         : L"Tarnwick: TarnwickSetOptions cannot read sourceRoot; options unchanged.\n");
        return;
    }
    const TarnwickOptions &record = in.record;
    if (record.stackDepth > MaxStackDepth)
        WriteMessage(L"Tarnwick: stackDepth is larger than 4096; the depth is unchanged.\n");
    else if (record.stackDepth != 0)
        Options.stackDepth = record.stackDepth;
    Options.breakOnLeak = record.breakOnLeak;
    Options.ownThreadOnly = record.ownThreadOnly;
    Options.optionsThreadId = GetCurrentThreadId();
    Options.minRepeat = record.minRepeat;
    StoreString(Options.symbolPath, in.symbolPathText, in.symbolPath,
                L"Tarnwick: symbolPath is longer than 1023 characters; the stored path is unchanged.\n");
    StoreString(Options.sourceRoot, in.sourceRootText, in.sourceRoot,
                L"Tarnwick: sourceRoot is longer than 259 characters; the stored directory is unchanged.\n");
}

extern "C" void __stdcall TarnwickSetReportOptions(const TarnwickReportOptions *options)
{
    if (Refused(options, L"Tarnwick: cannot call TarnwickSetReportOptions while still running.\n",
                L"Tarnwick: TarnwickSetReportOptions called with a null pointer; options unchanged.\n"))
        return;
    // The size first: a record of a later version is read only as far as the
    // fields known here.
    TarnwickReportOptions record = {};
    const unsigned int first = offsetof(TarnwickReportOptions, reachableWithoutStacks);
    const unsigned int known = sizeof record;
    if (!ReadGuarded(&record.size, &options->size, sizeof record.size) ||
        (record.size >= first && !ReadGuarded(&record, options, record.size < known ? record.size : known))) {
        WriteMessage(L"Tarnwick: TarnwickSetReportOptions cannot read its options record; options unchanged.\n");
        return;
    }
    if (record.size < first) {
        WriteMessage(L"Tarnwick: TarnwickSetReportOptions needs size to be at least "
                     L"sizeof(TarnwickReportOptions), 8; options unchanged.\n");
        return;
    }
    Options.classify = record.classify != 0;
    Options.reachableWithoutStacks = record.size >= known && record.reachableWithoutStacks != 0;
}
