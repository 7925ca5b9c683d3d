// What a launcher is told beside a frame line that names no source line, so
// that its page and SARIF file can name what a user needs to resolve the
// frame later: the frame's module and offset (the same from run to run), and,
// for a module outside the system's folders that has no line information at
// all, the PDB that its image names. The debugger output never carries it.
#pragma once
#include <stdint.h>

enum : uint32_t { FrameNotesChars = 3 * 260 + 80 };

// Writes into out (FrameNotesChars) the tab-led fields that end such a frame
// line, before its newline: "\tat NAME+0xOFFSET" for a frame without a
// symbol (bare), and "\tmissing PATH|PDB|GUID|AGE" for a module without
// lines (PDB, GUID and AGE empty when the image names no PDB).
void FrameNotes(wchar_t *out, uintptr_t address, bool bare, bool moduleWithoutLines);
