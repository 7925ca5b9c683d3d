// The parts of DWARF 2-5 .debug_info that the line reader needs: the compile
// units and the addresses each covers, and, per unit, the outermost inlined
// calls (where the containing function's own source line is the call's).
// Everything is read straight from the mapped image file; what a unit needs
// is decoded when a frame first falls into it.
#pragma once
#include "report/image_file.h"
#include "report/scratch_arena.h"
#include <stdint.h>

struct DwarfSections {
    ImageSection info, abbrev, line, str, lineStr, addr, ranges, rngLists, strOffsets;
};

// Bounds-checked reading: past the end, reads give 0 and set bad.
struct DwarfCursor {
    const uint8_t *at, *end;
    bool bad;

    uint64_t Fixed(uint32_t bytes)
    {
        if (static_cast<size_t>(end - at) < bytes) {
            bad = true;
            at = end;
            return 0;
        }
        uint64_t value = 0;
        for (uint32_t i = 0; i < bytes; i++)
            value |= uint64_t(at[i]) << (8 * i);
        at += bytes;
        return value;
    }
    uint64_t Uleb()
    {
        uint64_t value = 0;
        for (uint32_t shift = 0;; shift += 7) {
            if (at >= end) {
                bad = true;
                return 0;
            }
            uint8_t byte = *at++;
            if (shift < 64)
                value |= uint64_t(byte & 0x7F) << shift;
            if (!(byte & 0x80))
                return value;
        }
    }
    int64_t Sleb()
    {
        uint64_t value = 0;
        uint32_t shift = 0;
        uint8_t byte;
        do {
            if (at >= end) {
                bad = true;
                return 0;
            }
            byte = *at++;
            if (shift < 64)
                value |= uint64_t(byte & 0x7F) << shift;
            shift += 7;
        } while (byte & 0x80);
        if (shift < 64 && (byte & 0x40))
            value |= ~uint64_t(0) << shift;
        return static_cast<int64_t>(value);
    }
    const char *String()
    {
        const uint8_t *start = at;
        while (at < end && *at)
            at++;
        if (at == end) {
            bad = true;
            return "";
        }
        at++;
        return reinterpret_cast<const char *>(start);
    }
    void Skip(uint64_t bytes)
    {
        if (static_cast<uint64_t>(end - at) < bytes) {
            bad = true;
            at = end;
        } else {
            at += bytes;
        }
    }
};

// A cursor over section from offset; bad when the offset lies outside it.
DwarfCursor CursorAt(const ImageSection &section, uint64_t offset);
// A unit's or line table's initial length: the content's size and the width
// of its offsets (4, or 8 in the 64-bit format).
uint64_t ReadInitialLength(DwarfCursor *cursor, uint32_t *offsetSize);

struct DwarfUnit {
    const uint8_t *dies, *end;
    uint16_t version;
    uint8_t offsetSize, addressSize;
    uint64_t abbrevOffset;
    uint64_t base, addrBase, rnglistsBase, strOffsetsBase, stmtList;
    bool hasLines;
    const char *compDir;
};

// An address range with two values: the unit index, or an inlined call's file and line.
struct Interval {
    uint64_t lo, hi;
    uint32_t value, extra;
};

struct IntervalIndex {
    Interval *items;   // sorted by lo
    uint64_t *maxHi;   // the highest end among items[0..i]
    uint32_t count;
};

// Takes items (arena memory) and sorts them; 0 when memory runs out.
int BuildIntervalIndex(ScratchArena *arena, Interval *items, uint32_t count, IntervalIndex *index);
// The innermost-starting interval holding pc, or null.
const Interval *FindInterval(const IntervalIndex &index, uint64_t pc);

// Every compile unit, and their address ranges (value: the unit's index).
int ReadUnits(const DwarfSections &sections, ScratchArena *arena, DwarfUnit **units, uint32_t *count,
              IntervalIndex *ranges);
// A unit's outermost inlined calls (value: call file, extra: call line).
int ReadInlineSites(const DwarfSections &sections, const DwarfUnit &unit, ScratchArena *arena, IntervalIndex *sites);

// One attribute value of the given form: a number, an offset or an index
// in u, or the bytes of a block or inline string at block.
struct FormValue {
    uint64_t u;
    const uint8_t *block;
};
int ReadForm(DwarfCursor *cursor, uint32_t form, const DwarfUnit &unit, int64_t implicitConst, FormValue *value);
// The string a string-class value names; null for other forms.
const char *FormString(uint32_t form, const FormValue &value, const DwarfUnit &unit, const DwarfSections &sections);
