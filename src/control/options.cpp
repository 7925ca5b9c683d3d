// TarnwickSetOptions and the stored options.
#include "control/options.h"
#include "control/library.h"
#include "tarnwick.h"
#include <wchar.h>

StoredOptions Options = {DefaultStackDepth, 0, 0, 0, 0, {0}, {0}};

// Copies a caller's string only when it fits, so that a path is never stored
// cut short. The scan stops at the buffer size: an over-long string is not read
// further than that.
static void StoreString(wchar_t *buffer, uint32_t chars, const wchar_t *text, const wchar_t *refusal)
{
    if (!text)
        return;
    size_t length = wcsnlen(text, chars);
    if (length >= chars) {
        WriteMessage(refusal);
        return;
    }
    wmemcpy(buffer, text, length + 1);
}

extern "C" void __stdcall TarnwickSetOptions(const TarnwickOptions *options)
{
    if (RunningFlag) {
        WriteMessage(L"Tarnwick: cannot call TarnwickSetOptions while still running.\n");
        return;
    }
    if (!options) {
        WriteMessage(L"Tarnwick: TarnwickSetOptions called with a null pointer; options unchanged.\n");
        return;
    }
    if (options->stackDepth > MaxStackDepth)
        WriteMessage(L"Tarnwick: stackDepth is larger than 4096; the depth is unchanged.\n");
    else if (options->stackDepth != 0)
        Options.stackDepth = options->stackDepth;
    Options.breakOnLeak = options->breakOnLeak;
    Options.ownThreadOnly = options->ownThreadOnly;
    Options.optionsThreadId = GetCurrentThreadId();
    Options.minRepeat = options->minRepeat;
    StoreString(Options.symbolPath, SymbolPathChars, options->symbolPath,
                L"Tarnwick: symbolPath is longer than 1023 characters; the stored path is unchanged.\n");
    StoreString(Options.sourceRoot, SourceRootChars, options->sourceRoot,
                L"Tarnwick: sourceRoot is longer than 259 characters; the stored directory is unchanged.\n");
}
