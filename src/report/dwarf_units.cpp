// Units, abbreviations, DIEs and address ranges (.debug_ranges before
// DWARF 5, .debug_rnglists from it).
#include "report/dwarf_units.h"
#include <string.h>

struct DwarfAbbrev {
    uint32_t tag;
    bool children;
    const uint8_t *attributes;  // (attribute, form[, implicit constant]) pairs up to (0, 0)
    const uint8_t *attributesEnd;
};

namespace {

enum : uint32_t {
    TagInlinedSubroutine = 0x1d, TagSubprogram = 0x2e, TagVariable = 0x34, TagClass = 0x02, TagStructure = 0x13,
    TagUnion = 0x17, TagNamespace = 0x39, AtName = 0x03, AtLocation = 0x02, AtDeclaration = 0x3c,
    AtSpecification = 0x47, AtAbstractOrigin = 0x31, AtLinkageName = 0x6e, AtMipsLinkageName = 0x2007,
    OpAddr = 0x03, AtStmtList = 0x10, AtLowPc = 0x11, AtHighPc = 0x12, AtCompDir = 0x1b,
    AtRanges = 0x55, AtCallFile = 0x58, AtCallLine = 0x59, AtStrOffsetsBase = 0x72, AtAddrBase = 0x73,
    AtRnglistsBase = 0x74, AtGnuAddrBase = 0x2133, UnitCompile = 1, UnitPartial = 3, UnitSkeleton = 4,
    MaxAbbrevCode = 1 << 16,
};

using Abbrev = DwarfAbbrev;

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
    DwarfCursor attributes = {abbrev.attributes, abbrev.attributesEnd, false};
    for (;;) {
        uint32_t attribute = static_cast<uint32_t>(attributes.Uleb()), form = static_cast<uint32_t>(attributes.Uleb());
        if (attributes.bad)
            return false;
        if (!attribute && !form)
            return true;
        int64_t implicitConst = form == FormImplicitConst ? attributes.Sleb() : 0;
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
    abbrev->attributes = cursor->at;
    abbrev->attributesEnd = cursor->end;
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

// Appends {lo, hi, value, extra} for every non-empty range the attributes
// describe; false when the arena runs out.
bool AppendRanges(ScratchArena *arena, const PcAttributes &pc, const DwarfUnit &unit, const DwarfSections &sections,
                  uint32_t value, uint32_t extra, Interval **items, uint32_t *count, uint32_t *capacity)
{
    ForEachRange(pc, unit, sections, [&](uint64_t lo, uint64_t hi) {
        if (hi <= lo || !(*items = Grow(arena, *items, *count, capacity)))
            return;
        (*items)[(*count)++] = {lo, hi, value, extra};
    });
    return !*capacity || *items;
}

// A unit header; false at the end of the section or for a unit that holds no code.
bool ReadUnitHeader(DwarfCursor *cursor, DwarfUnit *unit, bool *code)
{
    uint32_t offsetSize;
    const uint8_t *start = cursor->at;
    uint64_t length = ReadInitialLength(cursor, &offsetSize);
    if (cursor->bad || length > static_cast<uint64_t>(cursor->end - cursor->at))
        return false;
    const uint8_t *end = cursor->at + length;
    DwarfCursor header = {cursor->at, end, false};
    cursor->at = end;
    *unit = {};
    unit->start = start;
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

// A unit's abbreviations by code, in abbrevs[0, limit).
bool ReadAbbrevTable(const DwarfSections &sections, const DwarfUnit &unit, ScratchArena *arena, Abbrev **out,
                     uint32_t *outLimit)
{
    DwarfCursor table = CursorAt(sections.abbrev, unit.abbrevOffset);
    Abbrev *abbrevs = nullptr;
    uint32_t limit = 0;
    Abbrev abbrev;
    for (uint64_t code; (code = ReadAbbrev(&table, &abbrev));) {
        if (code >= MaxAbbrevCode)
            return false;
        if (code >= limit) {
            uint32_t larger = limit ? limit : 64;
            while (larger <= code)
                larger *= 2;
            auto *copy = static_cast<Abbrev *>(ArenaAlloc(arena, larger * sizeof(Abbrev)));
            if (!copy)
                return false;
            if (limit)
                memcpy(copy, abbrevs, limit * sizeof(Abbrev));
            abbrevs = copy;
            limit = larger;
        }
        abbrevs[code] = abbrev;
    }

    *out = abbrevs;
    *outLimit = limit;
    return true;
}

// The names a DIE gives itself or through the DIE it completes (its
// declaration, or the abstract instance of inlined code), the linkage name
// first; hops bounds how far references are followed.
struct DieNames {
    const char *name, *linkage;
    const uint8_t *named;  // the DIE that holds the name
};

void NamesOf(const DwarfSections &sections, const DwarfUnit &unit, const Abbrev *abbrevs, uint32_t limit,
             const uint8_t *die, DieNames *names, uint32_t hops = 3)
{
    DwarfCursor cursor = {die, unit.end, false};
    uint64_t code = cursor.Uleb();
    if (cursor.bad || !code || code >= limit || !abbrevs[code].attributes)
        return;
    const uint8_t *reference = nullptr;
    ReadAttributes(&cursor, abbrevs[code], unit, [&](uint32_t attribute, uint32_t form, const FormValue &value) {
        if (attribute == AtName && !names->name) {
            names->name = FormString(form, value, unit, sections);
            names->named = die;
        } else if ((attribute == AtLinkageName || attribute == AtMipsLinkageName) && !names->linkage) {
            names->linkage = FormString(form, value, unit, sections);
        } else if ((attribute == AtSpecification || attribute == AtAbstractOrigin) && form != FormRefAddr &&
                   value.u < static_cast<uint64_t>(unit.end - unit.start)) {
            reference = unit.start + value.u;  // within the unit: what GCC and clang write
        }
    });
    if (reference && hops && (!names->name || !names->linkage))
        NamesOf(sections, unit, abbrevs, limit, reference, names, hops - 1);
}

// Walks a unit's DIEs in order: visit(die, depth, abbrev, cursor) reads the
// DIE's attributes from cursor (through ReadAttributes) and returns false to
// stop. False when the unit cannot be read to its end.
template <class Visit>
bool WalkDies(const DwarfUnit &unit, const Abbrev *abbrevs, uint32_t limit, Visit visit)
{
    uint32_t depth = 0;
    DwarfCursor cursor = {unit.dies, unit.end, false};
    while (cursor.at < cursor.end) {
        const uint8_t *die = cursor.at;
        uint64_t code = cursor.Uleb();
        if (cursor.bad)
            return false;
        if (!code) {
            if (depth == 0)
                return true;
            depth--;
            continue;
        }
        if (code >= limit || !abbrevs[code].attributes)
            return false;
        if (!visit(die, depth, abbrevs[code], &cursor) || cursor.bad)
            return !cursor.bad;
        if (abbrevs[code].children)
            depth++;
    }
    return true;
}

}  // namespace

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
        if (!AppendRanges(arena, pc, unit, sections, index, 0, &items, &itemCount, &itemCapacity))
            return 0;
    }
    *units = list;
    *count = unitCount;
    return BuildIntervalIndex(arena, items, itemCount, ranges);
}

int ReadInlineSites(const DwarfSections &sections, const DwarfUnit &unit, ScratchArena *arena, IntervalIndex *sites)
{
    Abbrev *abbrevs;
    uint32_t limit;
    if (!ReadAbbrevTable(sections, unit, arena, &abbrevs, &limit))
        return 0;

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
        if (code >= limit || !abbrevs[code].attributes)
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
            if (!AppendRanges(arena, pc, unit, sections, file, line, &items, &count, &capacity))
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

int VisitUnitNames(const DwarfSections &sections, const DwarfUnit *units, uint32_t count, ScratchArena *arena,
                   void (*visit)(const char *name, uint64_t address, uint64_t end, void *context), void *context)
{
    for (uint32_t u = 0; u < count; u++) {
        const DwarfUnit &unit = units[u];
        Abbrev *abbrevs;
        uint32_t limit;
        if (!ReadAbbrevTable(sections, unit, arena, &abbrevs, &limit))
            continue;
        WalkDies(unit, abbrevs, limit, [&](const uint8_t *die, uint32_t depth, const Abbrev &entry, DwarfCursor *cursor) {
            const bool wanted = depth == 1 && (entry.tag == TagSubprogram || entry.tag == TagVariable);
            PcAttributes pc = {};
            const uint8_t *location = nullptr;
            bool declaration = false;
            bool read = ReadAttributes(cursor, entry, unit, [&](uint32_t attribute, uint32_t form, const FormValue &value) {
                if (!wanted)
                    return;
                pc.Take(attribute, form, value);
                if (attribute == AtLocation && (form == FormExprloc || form == FormBlock1))
                    location = value.block;
                else if (attribute == AtDeclaration)
                    declaration = value.u != 0 || form == FormFlagPresent;
            });
            if (!read || !wanted || declaration)
                return read;
            uint64_t address = 0, end = 0;
            if (entry.tag == TagSubprogram && pc.hasLow) {
                ForEachRange(pc, unit, sections, [&](uint64_t lo, uint64_t hi) { address = lo, end = hi; });
            } else if (entry.tag == TagVariable && location && location[0] == 1 + unit.addressSize &&
                       location[1] == OpAddr) {
                DwarfCursor at = {location + 2, location + 2 + unit.addressSize, false};
                end = address = at.Fixed(unit.addressSize);
            } else {
                return true;
            }
            DieNames names = {};
            NamesOf(sections, unit, abbrevs, limit, die, &names);
            if (const char *name = names.linkage ? names.linkage : names.name)
                visit(name, address, end, context);
            return true;
        });
    }
    return 1;
}

int ReadUnitNames(const DwarfSections &sections, const DwarfUnit &unit, ScratchArena *arena, UnitNames *names)
{
    *names = {};
    Abbrev *abbrevs;
    uint32_t limit;
    if (!ReadAbbrevTable(sections, unit, arena, &abbrevs, &limit))
        return 0;
    names->abbrevs = abbrevs, names->limit = limit;
    Interval *functions = nullptr, *scopes = nullptr;
    uint32_t functionCount = 0, functionCapacity = 0, scopeCount = 0, scopeCapacity = 0;
    // Per open DIE with children: the index of the scope it opened, or none.
    enum : uint32_t { MaxDepth = 256, NoScope = ~0u };
    uint32_t open[MaxDepth], depth = 0, around = 0;  // around: the offset of the innermost open scope
    DwarfCursor cursor = {unit.dies, unit.end, false};
    while (cursor.at < cursor.end) {
        const uint32_t offset = static_cast<uint32_t>(cursor.at - unit.start);
        uint64_t code = cursor.Uleb();
        if (cursor.bad)
            break;
        if (!code) {
            if (depth == 0)
                break;
            if (--depth < MaxDepth && open[depth] != NoScope) {
                Interval &scope = scopes[open[depth]];
                scope.hi = offset;
                around = scope.extra;
            }
            continue;
        }
        if (code >= limit || !abbrevs[code].attributes)
            break;
        const Abbrev &entry = abbrevs[code];
        PcAttributes pc = {};
        bool read = ReadAttributes(&cursor, entry, unit, [&](uint32_t attribute, uint32_t form, const FormValue &value) {
            if (entry.tag == TagSubprogram)
                pc.Take(attribute, form, value);
        });
        if (!read)
            break;
        if (!AppendRanges(arena, pc, unit, sections, offset, 0, &functions, &functionCount, &functionCapacity))
            return 0;
        if (!entry.children)
            continue;
        uint32_t opened = NoScope;
        if (entry.tag == TagNamespace || entry.tag == TagClass || entry.tag == TagStructure || entry.tag == TagUnion) {
            if (!(scopes = Grow(arena, scopes, scopeCount, &scopeCapacity)))
                return 0;
            // Its end is set when its children end; until then it holds the rest of the unit.
            scopes[scopeCount] = {offset, static_cast<uint64_t>(unit.end - unit.start), offset, around};
            opened = scopeCount++;
            around = offset;
        }
        if (depth < MaxDepth)
            open[depth] = opened;
        depth++;
    }
    return BuildIntervalIndex(arena, functions, functionCount, &names->functions) &&
           BuildIntervalIndex(arena, scopes, scopeCount, &names->scopes);
}

int FunctionNameAt(const DwarfSections &sections, const DwarfUnit &unit, const UnitNames &names, uint64_t pc,
                   char *out, uint32_t bytes, uint64_t *start)
{
    const Interval *function = FindInterval(names.functions, pc);
    DieNames found = {};
    if (!bytes || !function)
        return 0;
    NamesOf(sections, unit, names.abbrevs, names.limit, unit.start + function->value, &found);
    if (!found.name)
        return 0;
    *start = function->lo;
    // Qualified by the namespaces and classes around the DIE that holds the
    // name, as C++ spells it: innermost first here, written outermost first.
    enum : uint32_t { MaxScopes = 32 };
    const char *chain[MaxScopes];
    uint32_t count = 0;
    for (const Interval *scope = FindInterval(names.scopes, found.named - unit.start); scope && count < MaxScopes;
         scope = scope->extra ? FindInterval(names.scopes, scope->extra) : nullptr) {
        DieNames scopeNames = {};
        NamesOf(sections, unit, names.abbrevs, names.limit, unit.start + scope->value, &scopeNames, 0);
        chain[count++] = scopeNames.name ? scopeNames.name : "(anonymous namespace)";
    }
    uint32_t used = 0;
    auto put = [&](const char *text) {
        while (*text && used + 1 < bytes)
            out[used++] = *text++;
    };
    while (count)
        put(chain[--count]), put("::");
    put(found.name);
    out[used] = 0;
    return 1;
}
