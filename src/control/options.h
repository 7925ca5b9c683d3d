// The options set by TarnwickSetOptions, as stored by the library.
#pragma once
#include <stdint.h>

enum : uint32_t {
    SymbolPathChars = 1024,
    SourceRootChars = 260,
    DefaultStackDepth = 16,
    // A call stack deeper than this is not a call stack; it also keeps the
    // record size (16 + 4 * depth) far from 32-bit wrap-around.
    MaxStackDepth = 4096,
};

struct StoredOptions {
    uint32_t stackDepth;
    int32_t breakOnLeak;
    int32_t ownThreadOnly;
    uint32_t minRepeat;
    uint32_t optionsThreadId;
    int32_t classify;  // TarnwickSetReportOptions: the report tells lost from still reachable blocks
    int32_t reachableWithoutStacks;  // and writes the reachable groups without frame lines
    wchar_t symbolPath[SymbolPathChars];
    wchar_t sourceRoot[SourceRootChars];
};

extern StoredOptions Options;
