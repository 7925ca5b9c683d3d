/* Records a run, leaks one block on purpose and reports it. */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <tarnwick.h>

static char *CopyText(const char *text)
{
    char *copy = (char *)HeapAlloc(GetProcessHeap(), 0, strlen(text) + 1);
    if (copy)
        strcpy(copy, text);
    return copy;
}

int main(void)
{
    TarnwickOptions options;
    char *freed;
    char *leaked;
    int leaks;

    memset(&options, 0, sizeof options); /* all 0 and NULL: the defaults */
    options.stackDepth = 12;             /* return addresses kept per block */
    TarnwickSetOptions(&options);        /* only while not recording */

    TarnwickStart();
    freed = CopyText("freed");
    leaked = CopyText("leaked");
    HeapFree(GetProcessHeap(), 0, freed);
    TarnwickStop();
    leaks = TarnwickDump(); /* the report goes to the debugger output */
    printf("%d leaked block(s): %s\n", leaks, leaked);
    return 0;
}
