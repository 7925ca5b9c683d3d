// Capture of the allocating call stack by walking the frame-pointer chain.
#pragma once
#include <stdint.h>

// Upper bound on the library's own frames passed over per walk, beside the
// RecordDepth frames kept: a chain running through the library still ends.
enum : uint32_t { MaxOwnFramesPassed = 1024 };

// Writes up to RecordDepth return addresses outside the library's image into
// frames, innermost first, and 0 into the rest of its RecordDepth entries.
void CaptureCallStack(uint32_t *frames);
// Whether the two words at frame lie inside the stack [stackLimit, stackBase)
// and are 4-byte aligned.
bool IsStackFrame(uint32_t frame, uint32_t stackLimit, uint32_t stackBase);
