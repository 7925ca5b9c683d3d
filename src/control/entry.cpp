// The loader notification: process and thread attach and detach.
#include "control/child_notice.h"
#include "control/crash_report.h"
#include "control/library.h"
#include "control/report_channel.h"
#include "control/thread_registry.h"
#include "patching/loaded_modules.h"
#include "tracking/call_stack.h"
#include "tarnwick.h"

uintptr_t OwnImageBase;
uint32_t OwnImageSize;
HMODULE NtdllHandle;
volatile LONG RunningFlag;

BOOL OnProcessAttach(HMODULE self)
{
    OwnImageBase = reinterpret_cast<uintptr_t>(self);
    NtdllHandle = GetModuleHandleW(L"ntdll");
    OwnImageSize = LoadedImageSize(self);
    RegistryHeap = HeapCreate(0, 0, 0);
    if (!RegistryHeap) {
        WriteMessage(L"Tarnwick: out of memory.\n");
        return FALSE;
    }
    InitThreadRegistry();
    PrepareStackCapture();
    ConnectReportChannel();
    if (ReportChannelConnected()) {
        InstallCrashFilter();
        WatchProcessCreation();
    }
    WriteMessage(L"Tarnwick: memory leak detector loaded; see the README for how to read its report.\n");
    return TRUE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        return OnProcessAttach(instance);
    case DLL_THREAD_ATTACH:
        if (ThreadEntry *entry = CurrentThreadEntry())
            entry->depth = 0;
        break;
    case DLL_THREAD_DETACH:
        RemoveCurrentThreadEntry();
        break;
    case DLL_PROCESS_DETACH:
        // Unloaded by FreeLibrary while recording: the patched entries would
        // jump into unmapped code. At process exit everything stays in place
        // for the exit hook.
        if (!reserved && RunningFlag)
            TarnwickStop();
        if (!reserved) {
            RemoveCrashFilter();
            StopWatchingProcessCreation();
            DisconnectReportChannel();
        }
        break;
    }
    return TRUE;
}
