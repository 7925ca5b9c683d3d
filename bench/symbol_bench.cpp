// The cost of resolving a report's lines in a program with about 20 MB of
// DWARF 4 (this one: eight generated units heavy with the C++ library's
// types) and 1,000 groups (a frame in each of 1,000 functions spread over
// the units), in one run: through dbghelp as the report did before the
// library read DWARF itself (Wine's dbghelp reads DWARF 4), and through the
// library's own reader. Prints both times, the difference, and the memory
// the reader holds at the end; then what a start of such a program without
// its COFF symbol table spends finding main and new in the DWARF, and
// resolving the 1,000 frames as functions without lines would be named.
#include "report/dwarf_lines.h"
#include "report/image_file.h"
#include <windows.h>
#include <dbghelp.h>
#include <stdio.h>
#include <initializer_list>

extern "C" const void *const BenchFunctions[];
extern "C" const unsigned BenchFunctionCount;

static double Seconds()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart) / double(frequency.QuadPart);
}

int main()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    ImageFile image;
    size_t dwarfBytes = 0;
    if (OpenImageFile(path, &image)) {
        for (const char *name : {".debug_info", ".debug_abbrev", ".debug_line", ".debug_str", ".debug_line_str",
                                 ".debug_ranges", ".debug_rnglists", ".debug_loc", ".debug_loclists",
                                 ".debug_aranges", ".debug_addr", ".debug_str_offsets", ".debug_frame"})
            dwarfBytes += FindImageSection(image, name).size;
        CloseImageFile(&image);
    }

    double readerStart = Seconds();
    unsigned readerLines = 0;
    for (unsigned i = 0; i < BenchFunctionCount; i++) {
        char file[1024];
        uint32_t line;
        readerLines += DwarfLineOf(reinterpret_cast<uintptr_t>(BenchFunctions[i]) + 1, file, sizeof file, &line) ==
                       DwarfLine;
    }
    double readerDone = Seconds();
    size_t memory = DwarfLinesMemory();
    EndDwarfLines();

    double start = Seconds();
    SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES);
    HANDLE process = GetCurrentProcess();
    if (!SymInitializeW(process, nullptr, TRUE)) {
        printf("SymInitializeW failed\n");
        return 1;
    }
    double opened = Seconds();
    unsigned dbghelpLines = 0;
    for (unsigned i = 0; i < BenchFunctionCount; i++) {
        IMAGEHLP_LINEW64 line = {};
        line.SizeOfStruct = sizeof line;
        DWORD displacement;
        dbghelpLines += SymGetLineFromAddrW64(process, reinterpret_cast<uintptr_t>(BenchFunctions[i]) + 1,
                                              &displacement, &line) != 0;
    }
    double dbghelpDone = Seconds();

    double before = dbghelpDone - opened, after = readerDone - readerStart;
    printf("%.1f MB of DWARF, %u frames; opening dbghelp %.3f s (both ways)\n", dwarfBytes / 1e6, BenchFunctionCount,
           opened - start);
    printf("dbghelp's lines (before): %.3f s, %u lines\n", before, dbghelpLines);
    printf("the library's reader (now): %.3f s, %u lines, %.1f MB held\n", after, readerLines, memory / 1e6);
    printf("difference: %+.3f s (now - before)\n", after - before);

    double namesStart = Seconds();
    unsigned names = 0;
    VisitDwarfNames(GetModuleHandleW(nullptr), [](const char *, uintptr_t, uintptr_t, void *count) {
        ++*static_cast<unsigned *>(count);
    }, &names);
    double namesDone = Seconds();
    unsigned functions = 0;
    for (unsigned i = 0; i < BenchFunctionCount; i++) {
        char name[256];
        uint32_t displacement;
        functions += DwarfFunctionOf(reinterpret_cast<uintptr_t>(BenchFunctions[i]) + 1, name, sizeof name,
                                     &displacement);
    }
    double functionsDone = Seconds();
    printf("names at a start without the COFF table: %.3f s, %u names; %u function names: %.3f s, %.1f MB held\n",
           namesDone - namesStart, names, functions, functionsDone - namesDone, DwarfLinesMemory() / 1e6);
    EndDwarfLines();
    return 0;
}
