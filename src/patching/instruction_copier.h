// Copies one 32-bit x86 instruction, measured from constant tables, and
// re-bases its relative branch displacement for the new address.
#pragma once
#include <stdint.h>

// Returns the address after the source instruction, or null (ERROR_INVALID_DATA)
// when source is null. A null destination copies into a discarded scratch area
// and measures only: extraBytes is then 0, as for a copy left in place. Null
// output pointers discard those outputs.
const uint8_t *CopyInstruction(void *destination, const void *source,
                               uint32_t *branchTarget, int32_t *extraBytes);

// As CopyInstruction, and *skipped (when not null) becomes 1 if an opcode was
// counted but not written (the copy is then not faithful), else 0. Either
// copy refuses an instruction longer than 15 bytes: null, ERROR_INVALID_DATA,
// nothing written.
const uint8_t *CopyInstructionEx(void *destination, const void *source, uint32_t *branchTarget,
                                 int32_t *extraBytes, uint32_t *skipped);
