// Reads the library's DWARF line answers for addresses of image files, for
// the comparison with addr2line: standard input holds "F path" lines, each
// followed by the hexadecimal addresses to look up in that file.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "report/dwarf_lines.h"

int main()
{
    wchar_t file[MAX_PATH] = {};
    char input[1024];
    while (fgets(input, sizeof input, stdin)) {
        input[strcspn(input, "\r\n")] = 0;
        if (input[0] == 'F' && input[1] == ' ') {
            MultiByteToWideChar(CP_UTF8, 0, input + 2, -1, file, MAX_PATH);
            continue;
        }
        char path[1024];
        uint32_t line = 0;
        uint64_t address = strtoull(input, nullptr, 16);
        if (DwarfLineInFile(file, address, path, sizeof path, &line) == DwarfLine)
            printf("%s %s:%u\n", input, path, line);
        else
            printf("%s ??:0\n", input);
    }
    EndDwarfLines();
    return 0;
}
