// Reading DWARF: bounds-checked cursors over the sections, the fields of a
// unit that its attributes need, and attribute values of every form GCC and
// clang emit (DWARF 2-5, GNU extensions included).
#pragma once
#include "report/image_file.h"
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
    const uint8_t *start, *dies, *end;  // start: the header, which unit references count from
    uint16_t version;
    uint8_t offsetSize, addressSize;
    uint64_t abbrevOffset;
    uint64_t base, addrBase, rnglistsBase, strOffsetsBase, stmtList;
    bool hasLines;
    const char *compDir;
};

// One attribute value of the given form: a number, an offset or an index
// in u, or the bytes of a block or inline string at block.
struct FormValue {
    uint64_t u;
    const uint8_t *block;
};
int ReadForm(DwarfCursor *cursor, uint32_t form, const DwarfUnit &unit, int64_t implicitConst, FormValue *value);
// The string a string-class value names; null for other forms.
const char *FormString(uint32_t form, const FormValue &value, const DwarfUnit &unit, const DwarfSections &sections);

// Attribute forms.
enum DwarfForm : uint32_t {
    FormAddr = 0x01, FormBlock2 = 0x03, FormBlock4 = 0x04, FormData2 = 0x05, FormData4 = 0x06, FormData8 = 0x07,
    FormInlineString = 0x08, FormBlock = 0x09, FormBlock1 = 0x0a, FormData1 = 0x0b, FormFlag = 0x0c,
    FormSdata = 0x0d, FormStrp = 0x0e, FormUdata = 0x0f, FormRefAddr = 0x10, FormRef1 = 0x11, FormRef2 = 0x12,
    FormRef4 = 0x13, FormRef8 = 0x14, FormRefUdata = 0x15, FormIndirect = 0x16, FormSecOffset = 0x17,
    FormExprloc = 0x18, FormFlagPresent = 0x19, FormStrx = 0x1a, FormAddrx = 0x1b, FormRefSup4 = 0x1c,
    FormStrpSup = 0x1d, FormData16 = 0x1e, FormLineStrp = 0x1f, FormRefSig8 = 0x20, FormImplicitConst = 0x21,
    FormLoclistx = 0x22, FormRnglistx = 0x23, FormRefSup8 = 0x24, FormStrx1 = 0x25, FormStrx4 = 0x28,
    FormAddrx1 = 0x29, FormAddrx4 = 0x2c, FormGnuAddrIndex = 0x1f01, FormGnuStrIndex = 0x1f02,
    FormGnuRefAlt = 0x1f20, FormGnuStrpAlt = 0x1f21,
};
