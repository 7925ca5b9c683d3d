// Recording control: start, stop, dump.
#include "control/library.h"
#include "tarnwick.h"

// Placeholders until recording is built: they only say so.
extern "C" void __stdcall TarnwickStart(void)
{
    WriteMessage(L"Tarnwick: recording is not available in this build.\n");
}

extern "C" void __stdcall TarnwickStop(void)
{
    WriteMessage(L"Tarnwick: recording is not available in this build.\n");
}

extern "C" int __stdcall TarnwickDump(void)
{
    WriteMessage(L"Tarnwick: recording is not available in this build.\n");
    return 0;
}
