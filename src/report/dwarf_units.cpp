// Units, abbreviations, attribute forms (those GCC and clang emit, DWARF 2-5,
// GNU extensions included) and address ranges (.debug_ranges before DWARF 5,
// .debug_rnglists from it).
#include "report/dwarf_units.h"
#include <string.h>

namespace {

enum : uint32_t {
    TagInlinedSubroutine = 0x1d,
    AtStmtList = 0x10, AtLowPc = 0x11, AtHighPc = 0x12, AtCompDir = 0x1b,
    AtRanges = 0x55, AtCallFile = 0x58, AtCallLine = 0x59,
    AtStrOffsetsBase = 0x72, AtAddrBase = 0x73, AtRnglistsBase = 0x74, AtGnuAddrBase = 0x2133,
    FormAddr = 0x01, FormBlock2 = 0x03, FormBlock4 = 0x04, FormData2 = 0x05, FormData4 = 0x06, FormData8 = 0x07,
    FormInlineString = 0x08, FormBlock = 0x09, FormBlock1 = 0x0a, FormData1 = 0x0b, FormFlag = 0x0c, FormSdata = 0x0d,
    FormStrp = 0x0e, FormUdata = 0x0f, FormRefAddr = 0x10, FormRef1 = 0x11, FormRef2 = 0x12, FormRef4 = 0x13,
    FormRef8 = 0x14, FormRefUdata = 0x15, FormIndirect = 0x16, FormSecOffset = 0x17, FormExprloc = 0x18,
    FormFlagPresent = 0x19, FormStrx = 0x1a, FormAddrx = 0x1b, FormRefSup4 = 0x1c, FormStrpSup = 0x1d,
    FormData16 = 0x1e, FormLineStrp = 0x1f, FormRefSig8 = 0x20, FormImplicitConst = 0x21, FormLoclistx = 0x22,
    FormRnglistx = 0x23, FormRefSup8 = 0x24, FormStrx1 = 0x25, FormStrx4 = 0x28, FormAddrx1 = 0x29,
    FormAddrx4 = 0x2c, FormGnuAddrIndex = 0x1f01, FormGnuStrIndex = 0x1f02, FormGnuRefAlt = 0x1f20,
    FormGnuStrpAlt = 0x1f21,
    UnitCompile = 1, UnitPartial = 3, UnitSkeleton = 4,
    MaxAbbrevCode = 1 << 16,
};

struct Abbrev {
    uint32_t tag;
    bool children;
    const uint8_t *specs;  // (attribute, form[, implicit constant]) pairs up to (0, 0)
    const uint8_t *specsEnd;
};

bool IsAddressIndex(uint32_t form)
{
    return form == FormAddrx || (form >= FormAddrx1 && form <= FormAddrx4) || form == FormGnuAddrIndex;
}

uint64_t Address(const DwarfUnit &unit, const DwarfSections &sections, uint32_t form, uint64_t value)
{
    if (!IsAddressIndex(form))
        return value;
    DwarfCursor cursor = CursorAt(sections.addr, unit.addrBase + value * unit.addressSize);
    return cursor.Fixed(unit.addressSize);
}

// The attributes that place code: low and high pc, or a range list.
struct PcAttributes {
    uint32_t lowForm, highForm, rangesForm;
    uint64_t low, high, ranges;
    bool hasLow, hasHigh, hasRanges;

    void Take(uint32_t attribute, uint32_t form, const FormValue &value)
    {
        if (attribute == AtLowPc) {
            lowForm = form, low = value.u, hasLow = true;
        } else if (attribute == AtHighPc) {
            highForm = form, high = value.u, hasHigh = true;
        } else if (attribute == AtRanges) {
            rangesForm = form, ranges = value.u, hasRanges = true;
        }
    }
};

// Calls add(lo, hi) for every range the attributes describe.
template <class Add>
void ForEachRange(const PcAttributes &pc, const DwarfUnit &unit, const DwarfSections &sections, Add add)
{
    if (pc.hasLow && pc.hasHigh) {
        uint64_t lo = Address(unit, sections, pc.lowForm, pc.low);
        bool absolute = pc.highForm == FormAddr || IsAddressIndex(pc.highForm);
        add(lo, absolute ? Address(unit, sections, pc.highForm, pc.high) : lo + pc.high);
        return;
    }
    if (!pc.hasRanges)
        return;
    const uint64_t all = unit.addressSize == 8 ? ~uint64_t(0) : 0xFFFFFFFFu;
    uint64_t base = unit.base;
    if (unit.version < 5) {
        DwarfCursor cursor = CursorAt(sections.ranges, pc.ranges);
        while (!cursor.bad) {
            uint64_t begin = cursor.Fixed(unit.addressSize), end = cursor.Fixed(unit.addressSize);
            if (cursor.bad || (begin == 0 && end == 0))
                return;
            if (begin == all)
                base = end;
            else
                add(base + begin, base + end);
        }
        return;
    }
    uint64_t offset = pc.ranges;
    if (pc.rangesForm == FormRnglistx) {
        DwarfCursor table = CursorAt(sections.rngLists, unit.rnglistsBase + pc.ranges * unit.offsetSize);
        offset = unit.rnglistsBase + table.Fixed(unit.offsetSize);
        if (table.bad)
            return;
    }
    DwarfCursor cursor = CursorAt(sections.rngLists, offset);
    while (!cursor.bad) {
        uint64_t a, b;
        switch (cursor.Fixed(1)) {
        case 0:  // end of list
            return;
        case 1:  // base addressx
            base = Address(unit, sections, FormAddrx, cursor.Uleb());
            break;
        case 2:  // startx, endx
            a = cursor.Uleb(), b = cursor.Uleb();
            add(Address(unit, sections, FormAddrx, a), Address(unit, sections, FormAddrx, b));
            break;
        case 3:  // startx, length
            a = Address(unit, sections, FormAddrx, cursor.Uleb());
            add(a, a + cursor.Uleb());
            break;
        case 4:  // offset pair
            a = cursor.Uleb(), b = cursor.Uleb();
            add(base + a, base + b);
            break;
        case 5:  // base address
            base = cursor.Fixed(unit.addressSize);
            break;
        case 6:  // start, end
            a = cursor.Fixed(unit.addressSize), b = cursor.Fixed(unit.addressSize);
            add(a, b);
            break;
        case 7:  // start, length
            a = cursor.Fixed(unit.addressSize);
            add(a, a + cursor.Uleb());
            break;
        default:
            return;
        }
    }
}

// Reads one DIE's attributes as abbrev describes them, handing each to take.
template <class Take> bool ReadAttributes(DwarfCursor *cursor, const Abbrev &abbrev, const DwarfUnit &unit, Take take)
{
    DwarfCursor specs = {abbrev.specs, abbrev.specsEnd, false};
    for (;;) {
        uint32_t attribute = static_cast<uint32_t>(specs.Uleb()), form = static_cast<uint32_t>(specs.Uleb());
        if (specs.bad)
            return false;
        if (!attribute && !form)
            return true;
        int64_t implicitConst = form == FormImplicitConst ? specs.Sleb() : 0;
        FormValue value;
        if (!ReadForm(cursor, form, unit, implicitConst, &value))
            return false;
        take(attribute, form, value);
    }
}

// Reads one abbreviation declaration; its code, or 0 at the table's end.
uint64_t ReadAbbrev(DwarfCursor *cursor, Abbrev *abbrev)
{
    uint64_t code = cursor->Uleb();
    if (!code || cursor->bad)
        return 0;
    abbrev->tag = static_cast<uint32_t>(cursor->Uleb());
    abbrev->children = cursor->Fixed(1) != 0;
    abbrev->specs = cursor->at;
    abbrev->specsEnd = cursor->end;
    for (;;) {
        uint64_t attribute = cursor->Uleb(), form = cursor->Uleb();
        if (cursor->bad)
            return 0;
        if (!attribute && !form)
            return code;
        if (form == FormImplicitConst)
            cursor->Sleb();
    }
}

template <class T> T *Grow(ScratchArena *arena, T *items, uint32_t count, uint32_t *capacity)
{
    if (count < *capacity)
        return items;
    uint32_t larger = *capacity ? *capacity * 2 : 64;
    T *copy = static_cast<T *>(ArenaAlloc(arena, larger * sizeof(T)));
    if (copy && count)
        memcpy(copy, items, count * sizeof(T));
    *capacity = larger;
    return copy;
}

// A unit header; false at the end of the section or for a unit that holds no code.
bool ReadUnitHeader(DwarfCursor *cursor, DwarfUnit *unit, bool *code)
{
    uint32_t offsetSize;
    uint64_t length = ReadInitialLength(cursor, &offsetSize);
    if (cursor->bad || length > static_cast<uint64_t>(cursor->end - cursor->at))
        return false;
    const uint8_t *end = cursor->at + length;
    DwarfCursor header = {cursor->at, end, false};
    cursor->at = end;
    *unit = {};
    unit->version = static_cast<uint16_t>(header.Fixed(2));
    unit->offsetSize = static_cast<uint8_t>(offsetSize);
    unit->end = end;
    *code = true;
    if (unit->version >= 5) {
        uint32_t type = static_cast<uint32_t>(header.Fixed(1));
        unit->addressSize = static_cast<uint8_t>(header.Fixed(1));
        unit->abbrevOffset = header.Fixed(offsetSize);
        *code = type == UnitCompile || type == UnitPartial || type == UnitSkeleton;
        if (type == UnitSkeleton)
            header.Skip(8);  // the split unit's id
    } else {
        unit->abbrevOffset = header.Fixed(offsetSize);
        unit->addressSize = static_cast<uint8_t>(header.Fixed(1));
    }
    unit->dies = header.at;
    if (header.bad || unit->version < 2 || unit->version > 5 || (unit->addressSize != 4 && unit->addressSize != 8))
        *code = false;
    return true;
}

}  // namespace

DwarfCursor CursorAt(const ImageSection &section, uint64_t offset)
{
    if (!section.data || offset > section.size)
        return {nullptr, nullptr, true};
    return {section.data + offset, section.data + section.size, false};
}

uint64_t ReadInitialLength(DwarfCursor *cursor, uint32_t *offsetSize)
{
    uint64_t length = cursor->Fixed(4);
    *offsetSize = 4;
    if (length == 0xFFFFFFFFu) {
        *offsetSize = 8;
        length = cursor->Fixed(8);
    }
    return length;
}

int ReadForm(DwarfCursor *cursor, uint32_t form, const DwarfUnit &unit, int64_t implicitConst, FormValue *value)
{
    value->u = 0;
    value->block = nullptr;
    switch (form) {
    case FormAddr: value->u = cursor->Fixed(unit.addressSize); break;
    case FormBlock1: value->block = cursor->at, cursor->Skip(cursor->Fixed(1)); break;
    case FormBlock2: value->block = cursor->at, cursor->Skip(cursor->Fixed(2)); break;
    case FormBlock4: value->block = cursor->at, cursor->Skip(cursor->Fixed(4)); break;
    case FormBlock:
    case FormExprloc: value->block = cursor->at, cursor->Skip(cursor->Uleb()); break;
    case FormData1: case FormRef1: case FormFlag: case FormStrx1: case FormAddrx1: value->u = cursor->Fixed(1); break;
    case FormData2: case FormRef2: case 0x26: case 0x2a: value->u = cursor->Fixed(2); break;
    case 0x27: case 0x2b: value->u = cursor->Fixed(3); break;  // strx3, addrx3
    case FormData4: case FormRef4: case FormRefSup4: case FormStrx4: case FormAddrx4: value->u = cursor->Fixed(4); break;
    case FormData8: case FormRef8: case FormRefSig8: case FormRefSup8: value->u = cursor->Fixed(8); break;
    case FormData16: value->block = cursor->at, cursor->Skip(16); break;
    case FormInlineString: value->block = reinterpret_cast<const uint8_t *>(cursor->String()); break;
    case FormSdata: value->u = static_cast<uint64_t>(cursor->Sleb()); break;
    case FormUdata: case FormRefUdata: case FormStrx: case FormAddrx: case FormLoclistx: case FormRnglistx:
    case FormGnuAddrIndex: case FormGnuStrIndex:
        value->u = cursor->Uleb();
        break;
    case FormStrp: case FormSecOffset: case FormStrpSup: case FormLineStrp: case FormGnuRefAlt: case FormGnuStrpAlt:
        value->u = cursor->Fixed(unit.offsetSize);
        break;
    case FormRefAddr: value->u = cursor->Fixed(unit.version == 2 ? unit.addressSize : unit.offsetSize); break;
    case FormFlagPresent: value->u = 1; break;
    case FormImplicitConst: value->u = static_cast<uint64_t>(implicitConst); break;
    case FormIndirect: {
        uint32_t actual = static_cast<uint32_t>(cursor->Uleb());
        if (actual == FormIndirect || actual == FormImplicitConst)
            return 0;
        return ReadForm(cursor, actual, unit, 0, value);
    }
    default: return 0;  // a form this reader does not know: the unit cannot be read on
    }
    return !cursor->bad;
}

const char *FormString(uint32_t form, const FormValue &value, const DwarfUnit &unit, const DwarfSections &sections)
{
    uint64_t offset = value.u;
    const ImageSection *section = &sections.str;
    switch (form) {
    case FormInlineString: return reinterpret_cast<const char *>(value.block);
    case FormStrp: break;
    case FormLineStrp: section = &sections.lineStr; break;
    case FormStrx: case FormStrx1: case 0x26: case 0x27: case FormStrx4: case FormGnuStrIndex: {
        DwarfCursor table = CursorAt(sections.strOffsets, unit.strOffsetsBase + value.u * unit.offsetSize);
        offset = table.Fixed(unit.offsetSize);
        if (table.bad)
            return nullptr;
        break;
    }
    default: return nullptr;
    }
    DwarfCursor cursor = CursorAt(*section, offset);
    const char *text = cursor.String();
    return cursor.bad ? nullptr : text;
}

int BuildIntervalIndex(ScratchArena *arena, Interval *items, uint32_t count, IntervalIndex *index)
{
    // Heap sort by lo: no recursion, no extra memory.
    auto less = [&](uint32_t a, uint32_t b) { return items[a].lo < items[b].lo; };
    auto sift = [&](uint32_t root, uint32_t size) {
        for (uint32_t child; (child = 2 * root + 1) < size; root = child) {
            if (child + 1 < size && less(child, child + 1))
                child++;
            if (!less(root, child))
                return;
            Interval swap = items[root];
            items[root] = items[child];
            items[child] = swap;
        }
    };
    for (uint32_t i = count / 2; i-- > 0;)
        sift(i, count);
    for (uint32_t size = count; size > 1; size--) {
        Interval swap = items[0];
        items[0] = items[size - 1];
        items[size - 1] = swap;
        sift(0, size - 1);
    }
    index->items = items;
    index->count = count;
    index->maxHi = static_cast<uint64_t *>(ArenaAlloc(arena, (count ? count : 1) * sizeof(uint64_t)));
    if (!index->maxHi)
        return 0;
    for (uint32_t i = 0; i < count; i++)
        index->maxHi[i] = i && index->maxHi[i - 1] > items[i].hi ? index->maxHi[i - 1] : items[i].hi;
    return 1;
}

const Interval *FindInterval(const IntervalIndex &index, uint64_t pc)
{
    uint32_t low = 0, high = index.count;  // the first item with lo > pc
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (index.items[middle].lo <= pc)
            low = middle + 1;
        else
            high = middle;
    }
    for (uint32_t i = low; i-- > 0 && index.maxHi[i] > pc;)
        if (index.items[i].hi > pc)
            return &index.items[i];
    return nullptr;
}

int ReadUnits(const DwarfSections &sections, ScratchArena *arena, DwarfUnit **units, uint32_t *count,
              IntervalIndex *ranges)
{
    DwarfUnit *list = nullptr;
    Interval *items = nullptr;
    uint32_t unitCount = 0, unitCapacity = 0, itemCount = 0, itemCapacity = 0;
    DwarfCursor cursor = CursorAt(sections.info, 0);
    DwarfUnit unit;
    bool code;
    while (cursor.at < cursor.end && ReadUnitHeader(&cursor, &unit, &code)) {
        if (!code)
            continue;
        // The unit's own DIE: its abbreviation found by a scan of the unit's table.
        DwarfCursor dies = {unit.dies, unit.end, false};
        uint64_t wanted = dies.Uleb();
        DwarfCursor table = CursorAt(sections.abbrev, unit.abbrevOffset);
        Abbrev abbrev = {};
        uint64_t found;
        while ((found = ReadAbbrev(&table, &abbrev)) && found != wanted) {
        }
        if (!wanted || found != wanted)
            continue;
        PcAttributes pc = {};
        uint32_t compDirForm = 0;
        FormValue compDir = {};
        bool read = ReadAttributes(&dies, abbrev, unit, [&](uint32_t attribute, uint32_t form, const FormValue &value) {
            pc.Take(attribute, form, value);
            if (attribute == AtStmtList)
                unit.stmtList = value.u, unit.hasLines = true;
            else if (attribute == AtCompDir)
                compDirForm = form, compDir = value;
            else if (attribute == AtAddrBase || attribute == AtGnuAddrBase)
                unit.addrBase = value.u;
            else if (attribute == AtRnglistsBase)
                unit.rnglistsBase = value.u;
            else if (attribute == AtStrOffsetsBase)
                unit.strOffsetsBase = value.u;
        });
        if (!read)
            continue;
        // Indexed strings and addresses are resolved once every base is known.
        unit.compDir = compDirForm ? FormString(compDirForm, compDir, unit, sections) : nullptr;
        if (!unit.compDir)
            unit.compDir = "";
        if (pc.hasLow)
            unit.base = Address(unit, sections, pc.lowForm, pc.low);
        list = Grow(arena, list, unitCount, &unitCapacity);
        if (!list)
            return 0;
        uint32_t index = unitCount;
        list[unitCount++] = unit;
        ForEachRange(pc, unit, sections, [&](uint64_t lo, uint64_t hi) {
            if (hi <= lo || !(items = Grow(arena, items, itemCount, &itemCapacity)))
                return;
            items[itemCount++] = {lo, hi, index, 0};
        });
        if (itemCapacity && !items)
            return 0;
    }
    *units = list;
    *count = unitCount;
    return BuildIntervalIndex(arena, items, itemCount, ranges);
}

int ReadInlineSites(const DwarfSections &sections, const DwarfUnit &unit, ScratchArena *arena, IntervalIndex *sites)
{
    // The unit's abbreviations by code.
    DwarfCursor table = CursorAt(sections.abbrev, unit.abbrevOffset);
    Abbrev *abbrevs = nullptr;
    uint32_t limit = 0;
    Abbrev abbrev;
    for (uint64_t code; (code = ReadAbbrev(&table, &abbrev));) {
        if (code >= MaxAbbrevCode)
            return 0;
        if (code >= limit) {
            uint32_t larger = limit ? limit : 64;
            while (larger <= code)
                larger *= 2;
            auto *copy = static_cast<Abbrev *>(ArenaAlloc(arena, larger * sizeof(Abbrev)));
            if (!copy)
                return 0;
            if (limit)
                memcpy(copy, abbrevs, limit * sizeof(Abbrev));
            abbrevs = copy;
            limit = larger;
        }
        abbrevs[code] = abbrev;
    }

    Interval *items = nullptr;
    uint32_t count = 0, capacity = 0;
    const uint32_t Outside = ~0u;
    uint32_t depth = 0, insideFrom = Outside;  // DIEs at insideFrom and deeper are within an inlined call
    DwarfCursor cursor = {unit.dies, unit.end, false};
    while (cursor.at < cursor.end) {
        uint64_t code = cursor.Uleb();
        if (cursor.bad)
            break;
        if (!code) {
            if (depth == 0)
                break;
            if (--depth < insideFrom)
                insideFrom = Outside;
            continue;
        }
        if (code >= limit || !abbrevs[code].specs)
            break;  // the rest of the unit cannot be read
        const Abbrev &entry = abbrevs[code];
        bool outermost = entry.tag == TagInlinedSubroutine && depth < insideFrom;
        PcAttributes pc = {};
        uint32_t file = 0, line = 0;
        bool read = ReadAttributes(&cursor, entry, unit, [&](uint32_t attribute, uint32_t form, const FormValue &value) {
            if (!outermost)
                return;
            pc.Take(attribute, form, value);
            if (attribute == AtCallFile)
                file = static_cast<uint32_t>(value.u);
            else if (attribute == AtCallLine)
                line = static_cast<uint32_t>(value.u);
        });
        if (!read)
            break;
        if (outermost && line) {
            ForEachRange(pc, unit, sections, [&](uint64_t lo, uint64_t hi) {
                if (hi <= lo || !(items = Grow(arena, items, count, &capacity)))
                    return;
                items[count++] = {lo, hi, file, line};
            });
            if (capacity && !items)
                return 0;
        }
        if (entry.children) {
            if (outermost)
                insideFrom = depth + 1;
            depth++;
        }
    }
    return BuildIntervalIndex(arena, items, count, sites);
}
