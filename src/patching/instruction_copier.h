// Copies one x86 instruction (x86-64 in the 64-bit build), measured from
// constant tables, and re-bases its relative displacement for the new address.
#pragma once
#include <stdint.h>

// branchTarget of a transfer to a place the copier does not know.
const uintptr_t UnknownBranchTarget = ~uintptr_t(0);

// Returns the address after the source instruction, or null (ERROR_INVALID_DATA)
// when source is null. A null destination copies into a discarded scratch area
// and measures only: extraBytes is then 0, as for a copy left in place. Null
// output pointers discard those outputs.
const uint8_t *CopyInstruction(void *destination, const void *source,
                               uintptr_t *branchTarget, int32_t *extraBytes);

// x86-64: rel32 branches and RIP-relative operands (disp32 relative to the end
// of the whole instruction) are re-based; when the new displacement does not
// fit in 32 bits (never when only measuring) the copy is refused: null,
// ERROR_NOT_SUPPORTED, nothing written, outputs 0. Refused with
// ERROR_INVALID_DATA instead: opcodes that are invalid in 64-bit mode, int1,
// VEX and EVEX, the 0F 38 and 0F 3A maps, a REX prefix not right before the
// opcode, 0x66 before a rel32 branch without REX.W (16 or 32 bits by
// processor) and 0x67 before a RIP-relative operand. call and jmp through
// [rip+disp32] report the pointer stored there. Nothing is skipped on x86-64.

// x86: behind 0x67 the ModRM byte is read with 16-bit addressing. Skipped
// (see CopyInstructionEx): salc, int1, VEX and EVEX (C4, C5, 62 with a
// register operand), and the bytes after 0F that are not measured, the maps
// 0F 38 and 0F 3A among them.

// As CopyInstruction, and *skipped (when not null) becomes 1 if an opcode was
// counted but not written (the copy is then not faithful), else 0. Either
// copy refuses an instruction longer than 15 bytes: null, ERROR_INVALID_DATA,
// nothing written.
const uint8_t *CopyInstructionEx(void *destination, const void *source, uintptr_t *branchTarget,
                                 int32_t *extraBytes, uint32_t *skipped);
