// The constant tables that measure x86 instructions for the copier (x86-64
// ones in the 64-bit build), and the handlers their rows name.
#pragma once
#include <stdint.h>

struct OpcodeEntry;

// Shared by every handler that takes part in copying one instruction. Named
// with "struct" where used: the platform headers declare a function CopyContext.
struct CopyContext {
    uint32_t operandSizeOverride;
    uint32_t addressSizeOverride;
    uintptr_t *branchTarget;
    int32_t *extraBytes;
    const uint8_t *start;  // first byte of the instruction: no copy runs past 15 bytes from it
    uint32_t skipped;      // set when an opcode was counted but not written
    uintptr_t distance;    // source minus destination, 0 when only measuring
#if defined(_WIN64)
    uint32_t rex;          // the REX prefix seen, 0 when none
#endif
};

// Handlers get destination and source at the byte the row describes and
// return the source address after the instruction, or null when refused.
typedef const uint8_t *(*CopyHandler)(struct CopyContext *context, const OpcodeEntry *row,
                                      uint8_t *destination, const uint8_t *source);

struct OpcodeEntry {
    uint32_t description;
    CopyHandler handler;
};

struct OpcodeMap {
    OpcodeEntry rows[256];
    constexpr const OpcodeEntry &operator[](uint32_t index) const { return rows[index]; }
};

struct ModRmMap {
    uint8_t rows[256];
    constexpr uint8_t operator[](uint32_t index) const { return rows[index]; }
};

// Description word: opcode 0-7, fixedSize 8-11, fixedSizeOverride 12-15,
// modRmOffset 16-19, signed displacementOffset 20-23, flags 28-31.
const uint32_t DynamicTarget = 1u << 28;
const uint32_t AddressSized = 1u << 29;
const uint32_t NegateExtra = 1u << 30;
const uint32_t WideImmediate = 1u << 31;  // x86-64: REX.W makes the immediate 8 bytes

constexpr uint32_t Describe(uint32_t fixedSize, uint32_t fixedSizeOverride, uint32_t modRmOffset,
                            int32_t displacementOffset, uint32_t flags)
{
    return fixedSize << 8 | fixedSizeOverride << 12 | modRmOffset << 16 |
           (uint32_t(displacementOffset) & 0xF) << 20 | flags;
}
constexpr uint32_t OpcodeOf(uint32_t word) { return word & 0xFF; }
constexpr uint32_t FixedSizeOf(uint32_t word) { return word >> 8 & 0xF; }
constexpr uint32_t FixedSizeOverrideOf(uint32_t word) { return word >> 12 & 0xF; }
constexpr uint32_t ModRmOffsetOf(uint32_t word) { return word >> 16 & 0xF; }
constexpr int32_t DisplacementOffsetOf(uint32_t word) { return int32_t(word << 8) >> 28; }

// ModRmTable: addressing bytes after the ModRM byte in the low four bits;
// SibMark: a SIB byte follows whose base field must be looked at.
const uint8_t SibMark = 0x10;

extern const OpcodeMap OpcodeTable;
extern const OpcodeMap TwoByteOpcodeTable;
extern const ModRmMap ModRmTable;
#if !defined(_WIN64)
extern const ModRmMap ModRm16Table;  // x86 behind 0x67, laid out alike
#endif

const uint8_t *CopyFixed(struct CopyContext *context, const OpcodeEntry *row, uint8_t *destination,
                         const uint8_t *source);
const uint8_t *CopyPrefix(struct CopyContext *context, const OpcodeEntry *row, uint8_t *destination,
                          const uint8_t *source);
const uint8_t *CopyOperandSizePrefix(struct CopyContext *context, const OpcodeEntry *row,
                                     uint8_t *destination, const uint8_t *source);
const uint8_t *CopyAddressSizePrefix(struct CopyContext *context, const OpcodeEntry *row,
                                     uint8_t *destination, const uint8_t *source);
const uint8_t *CopyTwoByte(struct CopyContext *context, const OpcodeEntry *row, uint8_t *destination,
                           const uint8_t *source);
#if defined(_WIN64)
const uint8_t *CopyRex(struct CopyContext *context, const OpcodeEntry *row, uint8_t *destination,
                       const uint8_t *source);
// Opcodes that are no instruction in 64-bit mode, or that the copier does not
// measure: null, ERROR_INVALID_DATA.
const uint8_t *RefuseInvalid(struct CopyContext *context, const OpcodeEntry *row, uint8_t *destination,
                             const uint8_t *source);
#else
const uint8_t *SkipInvalid(struct CopyContext *context, const OpcodeEntry *row, uint8_t *destination,
                           const uint8_t *source);
// 62, C4 and C5: with a register operand they start EVEX and VEX, which are skipped.
const uint8_t *CopyUnlessVex(struct CopyContext *context, const OpcodeEntry *row, uint8_t *destination,
                             const uint8_t *source);
#endif
const uint8_t *CopyGroupF6(struct CopyContext *context, const OpcodeEntry *row, uint8_t *destination,
                           const uint8_t *source);
const uint8_t *CopyGroupF7(struct CopyContext *context, const OpcodeEntry *row, uint8_t *destination,
                           const uint8_t *source);
const uint8_t *CopyGroupC6C7(struct CopyContext *context, const OpcodeEntry *row, uint8_t *destination,
                           const uint8_t *source);
const uint8_t *CopyGroupFF(struct CopyContext *context, const OpcodeEntry *row, uint8_t *destination,
                           const uint8_t *source);
