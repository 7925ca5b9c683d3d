// Cursors, initial lengths and attribute values.
#include "report/dwarf_forms.h"

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

