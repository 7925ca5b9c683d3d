// Table-driven copy of one x86 or x86-64 instruction with re-basing of its
// relative branch displacement and, on x86-64, of its RIP-relative operand.
#include "patching/instruction_copier.h"

#include <string.h>
#include <windows.h>

#include "patching/opcode_tables.h"

namespace {

// The processor's limit; a longer run (redundant prefixes) is refused so that
// no copy reads or writes without bound.
const uint32_t MaxInstructionLength = 15;

// Whether length bytes from source stay within the instruction's limit.
bool Fits(const struct CopyContext *context, const uint8_t *source, uint32_t length)
{
    return uint32_t(source - context->start) + length <= MaxInstructionLength;
}

const uint8_t *Refuse(DWORD error = ERROR_INVALID_DATA)
{
    SetLastError(error);
    return nullptr;
}

uintptr_t Address(const void *p)
{
    return uintptr_t(p);
}

uint32_t Load32(const void *p)
{
    uint32_t value;
    memcpy(&value, p, 4);
    return value;
}

// The fixed part's size under the prefixes seen.
uint32_t SizeOf(const struct CopyContext *context, uint32_t word)
{
    if (word & AddressSized)
        return context->addressSizeOverride ? FixedSizeOverrideOf(word) : FixedSizeOf(word);
#if defined(_WIN64)
    // REX.W: 64-bit operands, whose immediates stay 32-bit (0x66 no longer
    // counts) but for mov r64, imm64.
    if (context->rex & 8)
        return FixedSizeOf(word) + ((word & WideImmediate) ? 4 : 0);
#endif
    return context->operandSizeOverride ? FixedSizeOverrideOf(word) : FixedSizeOf(word);
}

#if defined(_WIN64)
// Whether the 32-bit displacement at field still reaches its destination
// from the copy.
bool Reaches(const struct CopyContext *context, const uint8_t *field)
{
    intptr_t rebased = intptr_t(uintptr_t(int32_t(Load32(field))) + context->distance);
    return rebased == int32_t(rebased);
}

// Where call or jmp through [disp32] finds its destination: RIP-relative.
const uint8_t *PointerCell(const uint8_t *s, const uint8_t *end)
{
    return end + int32_t(Load32(s + 2));
}
#else
const uint8_t *PointerCell(const uint8_t *s, const uint8_t *)
{
    return reinterpret_cast<const uint8_t *>(uintptr_t(Load32(s + 2)));
}
#endif

// Re-bases the displacement already copied to d + offset; returns the
// destination of the source instruction.
uintptr_t RebaseDisplacement(struct CopyContext *context, uint8_t *d, const uint8_t *s, uint32_t size,
                             int32_t offset)
{
    uint32_t width = size - offset;
    uint8_t *field = d + offset;
    intptr_t old = width == 1   ? int8_t(field[0])
                   : width == 2 ? int16_t(field[0] | field[1] << 8)
                                : int32_t(Load32(field));
    uintptr_t result = Address(s) + size + uintptr_t(old);
    intptr_t rebased = intptr_t(uintptr_t(old) + context->distance);
    memcpy(field, &rebased, width);  // low bytes: x86 is little-endian
    if (width == 1 && (rebased < -128 || rebased > 127))
        *context->extraBytes = 3;
    if (width == 2 && (rebased < -32768 || rebased > 32767))
        *context->extraBytes = 2;
    return result;
}

// A prefix or the 0x0F escape: the rest of the instruction first, so that a
// refused instruction leaves the destination untouched, then the byte itself.
const uint8_t *CopyLeadByte(struct CopyContext *context, const OpcodeEntry *row, uint8_t *d,
                            const uint8_t *s, const OpcodeMap &next)
{
    if (!Fits(context, s, 2))
        return Refuse();
    const OpcodeEntry *nextRow = &next[s[1]];
    const uint8_t *end = nextRow->handler(context, nextRow, d + 1, s + 1);
    if (end)
        CopyFixed(context, row, d, s);
    return end;
}

const uint8_t *CopyGroupRow(struct CopyContext *context, uint8_t *d, const uint8_t *s,
                            uint32_t fixedSize, uint32_t fixedSizeOverride)
{
    OpcodeEntry row = {Describe(fixedSize, fixedSizeOverride, 1, 0, 0) | s[0], CopyFixed};
    return CopyFixed(context, &row, d, s);
}

uint32_t RegField(uint8_t modRm)
{
    return modRm >> 3 & 7;
}

}  // namespace

const uint8_t *CopyFixed(struct CopyContext *context, const OpcodeEntry *row, uint8_t *d, const uint8_t *s)
{
    uint32_t word = row->description;
    uint32_t size = SizeOf(context, word);
    uint32_t length = size;
    if (!Fits(context, s, length))
        return Refuse();
    uint32_t modRmOffset = ModRmOffsetOf(word);
    if (modRmOffset != 0) {
        uint8_t m = s[modRmOffset];
#if defined(_WIN64)
        uint8_t k = ModRmTable[m];
#else
        uint8_t k = context->addressSizeOverride ? ModRm16Table[m] : ModRmTable[m];
#endif
        length += k & 0x0F;
        if (!Fits(context, s, length))
            return Refuse();
        // A SIB base of 101 under mod 00 means a 32-bit displacement follows.
        if ((k & SibMark) && (s[modRmOffset + 1] & 7) == 5 && (m >> 6) == 0) {
            length += 4;
            if (!Fits(context, s, length))
                return Refuse();
        }
    }
    int32_t displacementOffset = DisplacementOffsetOf(word);
#if defined(_WIN64)
    // mod 00 r/m 101 without SIB: a disp32 relative to the end of the whole
    // instruction, immediate included.
    bool ripRelative = modRmOffset != 0 && (s[modRmOffset] & 0xC7) == 0x05;
    uint32_t ripField = modRmOffset + 1;
    uint32_t width = displacementOffset != 0 ? size - displacementOffset : 0;
    // Not copied: relative to EIP (0x67), and a near branch behind 0x66,
    // whose displacement is 16 bits on some processors and 32 on others.
    if ((ripRelative && context->addressSizeOverride) || width == 2)
        return Refuse();
    if ((ripRelative && !Reaches(context, s + ripField)) || (width == 4 && !Reaches(context, s + displacementOffset)))
        return Refuse(ERROR_NOT_SUPPORTED);
    memcpy(d, s, length);
    if (ripRelative) {
        int32_t rebased = int32_t(Load32(s + ripField) + uint32_t(context->distance));
        memcpy(d + ripField, &rebased, 4);
    }
#else
    memcpy(d, s, length);
#endif
    if (displacementOffset != 0)
        *context->branchTarget = RebaseDisplacement(context, d, s, size, displacementOffset);
    if (word & NegateExtra)
        *context->extraBytes = -*context->extraBytes;
    if (word & DynamicTarget)
        *context->branchTarget = UnknownBranchTarget;
    return s + length;
}

const uint8_t *CopyPrefix(struct CopyContext *context, const OpcodeEntry *row, uint8_t *d, const uint8_t *s)
{
#if defined(_WIN64)
    if (context->rex)
        return Refuse();  // a REX prefix counts only right before the opcode
#endif
    return CopyLeadByte(context, row, d, s, OpcodeTable);
}

const uint8_t *CopyOperandSizePrefix(struct CopyContext *context, const OpcodeEntry *row, uint8_t *d,
                                     const uint8_t *s)
{
    context->operandSizeOverride = 1;
    return CopyPrefix(context, row, d, s);
}

const uint8_t *CopyAddressSizePrefix(struct CopyContext *context, const OpcodeEntry *row, uint8_t *d,
                                     const uint8_t *s)
{
    context->addressSizeOverride = 1;
    return CopyPrefix(context, row, d, s);
}

const uint8_t *CopyTwoByte(struct CopyContext *context, const OpcodeEntry *row, uint8_t *d, const uint8_t *s)
{
    return CopyLeadByte(context, row, d, s, TwoByteOpcodeTable);
}

#if defined(_WIN64)
const uint8_t *CopyRex(struct CopyContext *context, const OpcodeEntry *row, uint8_t *d, const uint8_t *s)
{
    if (context->rex)
        return Refuse();
    context->rex = s[0];
    return CopyLeadByte(context, row, d, s, OpcodeTable);
}

const uint8_t *RefuseInvalid(struct CopyContext *, const OpcodeEntry *, uint8_t *, const uint8_t *)
{
    return Refuse();
}
#else
// Callers reach this only with the byte inside the 15-byte limit: the prefix
// and escape handlers check for room before handing on.
const uint8_t *SkipInvalid(struct CopyContext *context, const OpcodeEntry *, uint8_t *, const uint8_t *s)
{
    context->skipped = 1;
    return s + 1;
}

const uint8_t *CopyUnlessVex(struct CopyContext *context, const OpcodeEntry *row, uint8_t *d, const uint8_t *s)
{
    if (!Fits(context, s, 2))
        return Refuse();
    return s[1] >= 0xC0 ? SkipInvalid(context, row, d, s) : CopyFixed(context, row, d, s);
}
#endif

const uint32_t TestForms = 2;  // F6 and F7 with reg 0 and 1: processors decode /1 as test too

const uint8_t *CopyGroupF6(struct CopyContext *context, const OpcodeEntry *, uint8_t *d, const uint8_t *s)
{
    if (!Fits(context, s, 2))
        return Refuse();
    return RegField(s[1]) < TestForms ? CopyGroupRow(context, d, s, 3, 3)  // test r/m8, imm8
                                      : CopyGroupRow(context, d, s, 2, 2);
}

const uint8_t *CopyGroupF7(struct CopyContext *context, const OpcodeEntry *, uint8_t *d, const uint8_t *s)
{
    if (!Fits(context, s, 2))
        return Refuse();
    return RegField(s[1]) < TestForms ? CopyGroupRow(context, d, s, 6, 4)  // test r/m, imm16/32
                                      : CopyGroupRow(context, d, s, 2, 2);
}

// C6 F8 xabort and C7 F8 xbegin go to the transaction's fallback: xbegin
// names it with a rel16/32 after the ModRM byte.
const uint8_t *CopyGroupC6C7(struct CopyContext *context, const OpcodeEntry *, uint8_t *d, const uint8_t *s)
{
    if (!Fits(context, s, 2))
        return Refuse();
    bool wide = s[0] == 0xC7;
    if (s[1] != 0xF8)
        return wide ? CopyGroupRow(context, d, s, 6, 4) : CopyGroupRow(context, d, s, 3, 3);
    OpcodeEntry row = {wide ? Describe(6, 4, 0, 2, 0) | 0xC7 : Describe(3, 3, 0, 0, DynamicTarget) | 0xC6,
                       CopyFixed};
    return CopyFixed(context, &row, d, s);
}

const uint8_t *CopyGroupFF(struct CopyContext *context, const OpcodeEntry *, uint8_t *d, const uint8_t *s)
{
    if (!Fits(context, s, 2))
        return Refuse();
    const uint8_t *end = CopyGroupRow(context, d, s, 2, 2);
    if (!end)
        return nullptr;
    uint8_t m = s[1];
    uint32_t reg = RegField(m);
    if ((m == 0x15 || m == 0x25) && !context->addressSizeOverride)  // call or jmp through a pointer in memory
        memcpy(context->branchTarget, PointerCell(s, end), sizeof(uintptr_t));
    else if (reg >= 2 && reg <= 5)  // other indirect near and far call and jmp
        *context->branchTarget = UnknownBranchTarget;
    return end;
}

const uint8_t *CopyInstructionEx(void *destination, const void *source, uintptr_t *branchTarget,
                                 int32_t *extraBytes, uint32_t *skipped)
{
    uintptr_t localTarget;
    int32_t localExtra;
    // Measured without a place, the copy is re-based as if it stayed at the
    // source: the scratch area's distance means nothing.
    struct CopyContext context = {};
    context.branchTarget = branchTarget ? branchTarget : &localTarget;
    context.extraBytes = extraBytes ? extraBytes : &localExtra;
    context.start = static_cast<const uint8_t *>(source);
    context.distance = destination ? Address(source) - Address(destination) : 0;
    *context.branchTarget = 0;
    *context.extraBytes = 0;
    if (skipped)
        *skipped = 0;
    if (!source)
        return Refuse();
    uint8_t scratch[64];
    uint8_t *d = destination ? static_cast<uint8_t *>(destination) : scratch;
    const uint8_t *s = context.start;
    const OpcodeEntry *row = &OpcodeTable[s[0]];
    const uint8_t *end = row->handler(&context, row, d, s);
    if (skipped)
        *skipped = context.skipped;
    return end;
}

const uint8_t *CopyInstruction(void *destination, const void *source, uintptr_t *branchTarget,
                               int32_t *extraBytes)
{
    return CopyInstructionEx(destination, source, branchTarget, extraBytes, nullptr);
}
