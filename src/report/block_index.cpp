// Records sorted by address (a radix sort, passes of 16 bits) with, per
// 64 KB page of the address space, the first entry that begins in it (x64:
// per 1/65536 of the span from the lowest to the highest address): a word
// is first compared with the lowest and highest indexed address, then looked
// up by a binary search among the entries of its page, the one before them
// included. Marks are a byte per record; the work list holds each record at
// most once, so it never grows while threads are suspended.
#include "report/block_index.h"
#include "tracking/alloc_table.h"

namespace {

// An address range of a record; record: its number in the walk of the table.
struct Entry {
    uintptr_t begin, end;
    uint32_t record;
};

#if defined(_WIN64)
enum : uint32_t { Pages = 1u << 16 };
#else
enum : uint32_t { PageShift = 16, Pages = 1u << (32 - PageShift) };
#endif

Array<Entry> Entries;   // ascending by begin, ends clipped to the next begin
Array<Span> Contents;   // per record: where its words are read
Array<uint8_t> Marks;   // per record
Array<uint32_t> Work;   // marked records not yet read
Array<uint32_t> PageFirst;  // Pages + 1 entries
uintptr_t Low, High;    // the first begin and the last end

#if defined(_WIN64)
// Movable handles are 8 modulo 16; heap blocks are 16-aligned.
inline bool IsHandle(uintptr_t address) { return (address & 15) == 8; }

uint32_t PageShift = 16;  // set so that [Low, High) spans at most Pages pages
inline uint32_t PageOf(uintptr_t address) { return (address - Low) >> PageShift; }
#else
// Movable handles are 4 modulo 8; heap blocks are 8-aligned.
inline bool IsHandle(uintptr_t address) { return (address & 7) == 4; }

inline uint32_t PageOf(uintptr_t address) { return address >> PageShift; }
#endif

inline uintptr_t EndOf(uintptr_t begin, uintptr_t size)
{
    return size > UINTPTR_MAX - begin ? UINTPTR_MAX : begin + size;
}

void SortEntries(Entry *spare)
{
    Entry *from = Entries.items, *to = spare;
    uint32_t *counts = PageFirst.items;
    for (uint32_t shift = 0; shift < 8 * sizeof(uintptr_t); shift += 16) {
        memset(counts, 0, Pages * sizeof(uint32_t));
        for (uint32_t i = 0; i < Entries.count; i++)
            counts[(from[i].begin >> shift) & 0xFFFF]++;
        for (uint32_t digit = 0, sum = 0; digit < Pages; digit++) {
            uint32_t count = counts[digit];
            counts[digit] = sum;
            sum += count;
        }
        for (uint32_t i = 0; i < Entries.count; i++)
            to[counts[(from[i].begin >> shift) & 0xFFFF]++] = from[i];
        Entry *swap = from;
        from = to;
        to = swap;
    }
}

// PageFirst[p]: the number of entries that begin below page p.
void IndexPages()
{
    uint32_t *first = PageFirst.items;
    Low = Entries.count ? Entries.items[0].begin : 1;
#if defined(_WIN64)
    uintptr_t span = Entries.count ? Entries.items[Entries.count - 1].end - Low : 0;
    for (PageShift = 16; span >> PageShift >= Pages; PageShift++) {
    }
#endif
    memset(first, 0, (Pages + 1) * sizeof(uint32_t));
    for (uint32_t i = 0; i < Entries.count; i++)
        first[PageOf(Entries.items[i].begin) + 1]++;
    for (uint32_t page = 1; page <= Pages; page++)
        first[page] += first[page - 1];
    for (uint32_t i = 0; i + 1 < Entries.count; i++)
        if (Entries.items[i].end > Entries.items[i + 1].begin)
            Entries.items[i].end = Entries.items[i + 1].begin;
    High = Entries.count ? Entries.items[Entries.count - 1].end : 0;
}

// The position of the first entry that begins above address.
inline uint32_t FirstAbove(uintptr_t address)
{
    uint32_t page = PageOf(address);
    uint32_t low = PageFirst.items[page], high = PageFirst.items[page + 1];
    while (low < high) {
        uint32_t middle = (low + high) / 2;
        if (Entries.items[middle].begin <= address)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

// The entry that holds address, or null.
inline const Entry *Holder(uintptr_t address)
{
    if (address - Low >= High - Low)
        return nullptr;
    uint32_t above = FirstAbove(address);
    if (above == 0 || address >= Entries.items[above - 1].end)
        return nullptr;
    return &Entries.items[above - 1];
}

// One record's entries (two for a movable block: its handle and its data)
// and the range its words are read from.
bool AddRecord(const AllocRecord *record, uint32_t number)
{
    uintptr_t address = record->address, size = record->size;
    Span content = {address, EndOf(address, size)};
    bool added;
    if (IsHandle(address)) {
        added = Push(&Entries, Entry{address, address + 1, number});
        // The data's address, while the block stays where it is.
        HLOCAL handle = reinterpret_cast<HLOCAL>(address);
        uintptr_t data = reinterpret_cast<uintptr_t>(LocalLock(handle));
        content = {data, data ? EndOf(data, size) : 0};
        if (data) {
            LocalUnlock(handle);
            added = added && Push(&Entries, Entry{data, content.end, number});
        }
    } else {
        added = Push(&Entries, Entry{address, size ? content.end : EndOf(address, 1), number});
    }
    return added && Push(&Contents, content);
}

}  // namespace

bool IndexBlocks()
{
    RecordWalk walk;
    StartRecordWalk(&walk);
    bool ready = true;
    for (AllocRecord *record; ready && (record = NextRecord(&walk));)
        ready = AddRecord(record, Contents.count);
    Array<Entry> spare = {};
    uint32_t records = Contents.count;
    ready = ready && Reserve(&Marks, records) && Reserve(&Work, records) && Reserve(&PageFirst, Pages + 1) &&
            Reserve(&spare, Entries.count);
    if (!ready) {
        Release(&spare);
        ReleaseBlockIndex();
        return false;
    }
    memset(Marks.items, 0, records);
    SortEntries(spare.items);
    Release(&spare);
    IndexPages();
    return true;
}

void ReleaseBlockIndex()
{
    Release(&Entries);
    Release(&Contents);
    Release(&Marks);
    Release(&Work);
    Release(&PageFirst);
}

bool HoldsIndexedBlock(const Span &span)
{
    if (!Entries.count || span.begin >= High || span.end <= Low)
        return false;
    // The first entry at or above span.begin.
    uint32_t first = span.begin > Low ? FirstAbove(span.begin - 1) : 0;
    return first < Entries.count && Entries.items[first].begin < span.end;
}

bool IsMarked(uintptr_t address)
{
    const Entry *entry = Holder(address);
    return entry && Marks.items[entry->record];
}

void ScanWords(uintptr_t begin, uintptr_t end, bool startsOnly)
{
    const uintptr_t align = sizeof(uintptr_t) - 1;
    const uintptr_t *word = reinterpret_cast<const uintptr_t *>((begin + align) & ~align);
    const uintptr_t *stop = reinterpret_cast<const uintptr_t *>(end & ~align);
    const uintptr_t low = Low, range = High - Low;
    for (; word < stop; word++) {
        uintptr_t value = *word;
        if (value - low >= range)
            continue;
        const Entry *entry = Holder(value);
        if (entry && !Marks.items[entry->record] && (!startsOnly || value == entry->begin)) {
            Marks.items[entry->record] = 1;
            Work.items[Work.count++] = entry->record;
        }
    }
}

bool NextMarkedContent(Span *content)
{
    if (!Work.count)
        return false;
    *content = Contents.items[Work.items[--Work.count]];
    return true;
}
