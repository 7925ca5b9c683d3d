// A C++ program linked -static that uses what sets up the C++ runtime's own
// state (iostreams, a locale, a thrown exception) and loads dbghelp to name
// its own stack, then leaks two blocks of its own. It prints their lines:
// "LEAKS line line".
#include <windows.h>
#include <dbghelp.h>
#include <stdio.h>
#include <stdlib.h>
#include <iostream>
#include <locale>
#include <sstream>
#include <stdexcept>

static void *volatile Sink;

static int NameOwnStack()
{
    SymSetOptions(SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES);
    if (!SymInitialize(GetCurrentProcess(), nullptr, TRUE))
        return 0;
    void *frames[16];
    USHORT count = CaptureStackBackTrace(0, 16, frames, nullptr);
    int named = 0;
    for (USHORT i = 0; i < count; i++) {
        char buffer[sizeof(SYMBOL_INFO) + 256];
        auto *symbol = reinterpret_cast<SYMBOL_INFO *>(buffer);
        symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
        symbol->MaxNameLen = 255;
        DWORD64 displacement;
        named += SymFromAddr(GetCurrentProcess(), reinterpret_cast<DWORD64>(frames[i]), &displacement, symbol);
    }
    return named;
}

int main()
{
    std::cout.imbue(std::locale::classic());
    std::ostringstream text;
    text << 12345.5 << " and " << NameOwnStack();
    std::cout << text.str() << std::endl;
    try {
        throw std::runtime_error("once");
    } catch (const std::exception &e) {
        std::cout << e.what() << std::endl;
    }
    int first = __LINE__; Sink = new int[7];
    int second = __LINE__; Sink = malloc(33);
    Sink = nullptr;
    printf("LEAKS %d %d\n", first, second);
    return 0;
}
