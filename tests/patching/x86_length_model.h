// An independent model of what the copier must do with one instruction,
// written from the x86 opcode map (ALU patterns, immediates, ModRM/SIB
// addressing) rather than from the copier's row tables.
#pragma once
#include <stdint.h>

enum class Transfer { None, Relative, Dynamic, ThroughPointer };

struct ModelResult {
    bool refused;                // longer than 15 bytes
    uint32_t length;             // bytes counted, the skipped one included
    int skippedAt;               // offset of the byte counted but not written, or -1
    uint32_t displacementAt;     // offset of a relative displacement
    uint32_t displacementWidth;  // its width, 0 when none
    bool negateExtra;            // loop/loopz/loopnz
    Transfer transfer;
};

ModelResult ModelInstruction(const uint8_t *source);
bool IsPrefixByte(uint8_t byte);
