// A small program with leaks, run under dbgrun to show Tarnwick's report.
#include <windows.h>
#include <stdio.h>
#include "tarnwick.h"

int main()
{
    TarnwickOptions options = {};
    options.stackDepth = 8;
    TarnwickSetOptions(&options);
    TarnwickStart();
    TarnwickStop();
    int leaks = TarnwickDump();
    printf("leaked blocks: %d\n", leaks);
    return 0;
}
