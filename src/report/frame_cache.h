// The lines written for each frame address during one dump, so that every
// distinct address is resolved once and later occurrences replay its lines.
#pragma once
#include <stdint.h>

void BeginFrameCache();
// Releases the cache's memory.
void EndFrameCache();
// Writes the pieces cached for address; 0 when it has none.
int ReplayFrame(uintptr_t address);
// Collects the pieces written for address until EndFrameEntry stores them.
void BeginFrameEntry(uintptr_t address);
// Writes a piece of a frame line, and keeps it for the open entry.
void WriteFramePiece(const wchar_t *piece);
void EndFrameEntry();
