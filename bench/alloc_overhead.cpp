// Prints what recording costs an allocating program: the time of allocation
// and release pairs of each family without Tarnwick, while recording, and
// while recording with every block left alive until the stop.
#include <windows.h>
#include <stdio.h>
#include "tarnwick.h"

namespace {

enum { Pairs = 200000, Live = 100000 };

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

// Nanoseconds per allocate-and-free pair.
double HeapPairs()
{
    HANDLE heap = GetProcessHeap();
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < Pairs; i++)
        HeapFree(heap, 0, HeapAlloc(heap, 0, 16 + (i & 255)));
    QueryPerformanceCounter(&end);
    return Seconds(start, end) * 1e9 / Pairs;
}

double LocalPairs()
{
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < Pairs; i++)
        LocalFree(LocalAlloc(LMEM_FIXED, 16 + (i & 255)));
    QueryPerformanceCounter(&end);
    return Seconds(start, end) * 1e9 / Pairs;
}

// Allocates Live blocks, then frees them: the table holds them all at once.
double LiveBlocks()
{
    static void *blocks[Live];
    HANDLE heap = GetProcessHeap();
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < Live; i++)
        blocks[i] = HeapAlloc(heap, 0, 32);
    for (int i = 0; i < Live; i++)
        HeapFree(heap, 0, blocks[i]);
    QueryPerformanceCounter(&end);
    return Seconds(start, end) * 1e9 / Live;
}

}  // namespace

int main()
{
    double heapPlain = HeapPairs(), localPlain = LocalPairs(), livePlain = LiveBlocks();
    TarnwickStart();
    double heapHooked = HeapPairs(), localHooked = LocalPairs(), liveHooked = LiveBlocks();
    TarnwickStop();
    TarnwickDump();
    printf("%-34s %10s %10s %7s\n", "ns per operation", "plain", "recording", "ratio");
    printf("%-34s %10.0f %10.0f %7.2f\n", "HeapAlloc+HeapFree pair", heapPlain, heapHooked, heapHooked / heapPlain);
    printf("%-34s %10.0f %10.0f %7.2f\n", "LocalAlloc+LocalFree pair", localPlain, localHooked, localHooked / localPlain);
    printf("%-34s %10.0f %10.0f %7.2f\n", "HeapAlloc then HeapFree, 100k live", livePlain, liveHooked,
           liveHooked / livePlain);
    return 0;
}
