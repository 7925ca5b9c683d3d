// Hooks on Wine's own functions, in this process: the nine allocator entries
// as this program's import table binds them, NtTerminateProcess, and a few
// dozen more exports. Each is either refused cleanly or hooked so that the
// detour runs and the trampoline behaves like the original; removal restores
// the entry byte for byte.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "hook_test_support.h"
#include "patching/hook_memory.h"
#include "patching/inline_hook.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The platform's measured entry shapes and how much of each must be saved.
uint32_t ExpectedSavedLength(const Bytes &entry)
{
    if (memcmp(entry.data(), "\x8B\xFF\x55\x8B\xEC", 5) == 0)
        return 5;
    if (memcmp(entry.data(), "\x8D\x4C\x24\x04\x83\xE4\xF0", 7) == 0)
        return 7;
    if (entry[0] == 0xFF && entry[1] == 0x25)
        return 6;
    if (entry[0] == 0xB8)
        return 5;
    if (memcmp(entry.data(), "\x48\x8D\xA4\x24\0\0\0\0", 8) == 0)  // x64 hot-patch lea rsp, [rsp+0]
        return 8;
    if (memcmp(entry.data(), "\x4C\x8B\xD1\xB8", 4) == 0)  // x64 system call: mov r10, rcx; mov eax, imm32
        return 8;
    return 0;  // no expectation
}

struct Allocator {
    const char *name;
    void *entry;
};

TEST(WineEntries, TheNineAllocatorImportsHookedTogether)
{
    Allocator nine[] = {
        {"HeapAlloc", BoundImport("kernel32.dll", "HeapAlloc")},
        {"HeapReAlloc", BoundImport("kernel32.dll", "HeapReAlloc")},
        {"HeapFree", BoundImport("kernel32.dll", "HeapFree")},
        {"GlobalAlloc", BoundImport("kernel32.dll", "GlobalAlloc")},
        {"GlobalReAlloc", BoundImport("kernel32.dll", "GlobalReAlloc")},
        {"GlobalFree", BoundImport("kernel32.dll", "GlobalFree")},
        {"LocalAlloc", BoundImport("kernel32.dll", "LocalAlloc")},
        {"LocalReAlloc", BoundImport("kernel32.dll", "LocalReAlloc")},
        {"LocalFree", BoundImport("kernel32.dll", "LocalFree")},
    };
    CountingDetour *detours[9];
    HookRecord *records[9];
    Bytes before[9];
    for (int i = 0; i < 9; ++i) {
        ASSERT_NE(nine[i].entry, nullptr) << nine[i].name;
        before[i] = BytesAt(nine[i].entry, 32);
        detours[i] = NewCountingDetour(nine[i].entry);
    }
    for (int i = 0; i < 9; ++i)
        records[i] = InstallHook(detours[i]->code, &detours[i]->slot);
    for (int i = 0; i < 9; ++i) {
        SCOPED_TRACE(nine[i].name);
        ExpectInstalled(records[i], detours[i]->code, nine[i].entry, &detours[i]->slot, before[i]);
        if (records[i] && ExpectedSavedLength(before[i])) {
            EXPECT_EQ(records[i]->savedLength, ExpectedSavedLength(before[i]));
        }
        printf("%-14s saved %u bytes\n", nine[i].name, records[i] ? records[i]->savedLength : 0);
    }
    for (HookRecord *record : records)
        ASSERT_NE(record, nullptr);

    // Each call through the import reaches its detour; nested calls inside
    // kernelbase reach the hooked RtlAllocateHeap too. No assertion runs
    // between a call and the reading of its counters: gtest allocates.
    LONG counts[9][2];
    auto mark = [&](int which, int when) { counts[which][when] = detours[which]->calls; };
    HANDLE heap = GetProcessHeap();
    mark(0, 0);
    void *block = HeapAlloc(heap, HEAP_ZERO_MEMORY, 24);
    mark(0, 1);
    mark(1, 0);
    block = HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 48);
    mark(1, 1);
    SIZE_T blockSize = HeapSize(heap, 0, block);
    mark(2, 0);
    BOOL heapFreed = HeapFree(heap, 0, block);
    mark(2, 1);
    LONG heapAllocBeforeGlobal = detours[0]->calls;
    mark(3, 0);
    HGLOBAL global = GlobalAlloc(GMEM_FIXED, 16);
    mark(3, 1);
    LONG heapAllocAfterGlobal = detours[0]->calls;
    mark(4, 0);
    global = GlobalReAlloc(global, 64, GMEM_MOVEABLE);
    mark(4, 1);
    SIZE_T globalSize = GlobalSize(global);
    mark(5, 0);
    HGLOBAL globalLeft = GlobalFree(global);
    mark(5, 1);
    mark(6, 0);
    HLOCAL local = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, 8);
    mark(6, 1);
    mark(7, 0);
    local = LocalReAlloc(local, 80, LMEM_MOVEABLE);
    mark(7, 1);
    SIZE_T localSize = LocalSize(local);
    mark(8, 0);
    HLOCAL localLeft = LocalFree(local);
    mark(8, 1);
    // The trampolines alone: the original functions, no detour.
    LONG viaEntry = detours[0]->calls;
    void *direct = reinterpret_cast<decltype(&HeapAlloc)>(detours[0]->slot)(heap, 0, 40);
    BOOL directFreed = reinterpret_cast<decltype(&HeapFree)>(detours[2]->slot)(heap, 0, direct);
    LONG viaEntryAfter = detours[0]->calls;

    EXPECT_EQ(blockSize, 48u);
    EXPECT_TRUE(heapFreed);
    EXPECT_GT(heapAllocAfterGlobal, heapAllocBeforeGlobal);
    EXPECT_EQ(globalSize, 64u);
    EXPECT_EQ(globalLeft, nullptr);
    EXPECT_EQ(localSize, 80u);
    EXPECT_EQ(localLeft, nullptr);
    EXPECT_NE(direct, nullptr);
    EXPECT_TRUE(directFreed);
    EXPECT_EQ(viaEntryAfter, viaEntry);
    for (int i = 0; i < 9; ++i)
        EXPECT_GE(counts[i][1] - counts[i][0], 1) << nine[i].name;

    // Neighbouring stubs lie within each other's 32 bytes: compare once all are gone.
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(RemoveHook(records[i]), 1) << nine[i].name;
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(BytesAt(nine[i].entry, 32), before[i]) << nine[i].name;
}

void *heapAllocSlot;
volatile LONG heapAllocCalls;

LPVOID WINAPI CountingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size)
{
    __atomic_add_fetch(&heapAllocCalls, 1, __ATOMIC_SEQ_CST);
    return reinterpret_cast<decltype(&HeapAlloc)>(heapAllocSlot)(heap, flags, size);
}

TEST(WineEntries, TypedDetourForwardsThroughTheSlot)
{
    void *entry = BoundImport("kernel32.dll", "HeapAlloc");
    ASSERT_NE(entry, nullptr);
    Bytes before = BytesAt(entry, 32);
    heapAllocSlot = entry;
    heapAllocCalls = 0;
    HookRecord *record = InstallHook(reinterpret_cast<void *>(&CountingHeapAlloc), &heapAllocSlot);
    char *text = static_cast<char *>(malloc(100));  // msvcrt's heap goes through HeapAlloc
    LONG callsAfterMalloc = heapAllocCalls;
    void *block = HeapAlloc(GetProcessHeap(), 0, 10);
    LONG callsAfterHeapAlloc = heapAllocCalls;
    int removed = RemoveHook(record);
    heapAllocSlot = entry;

    ASSERT_NE(record, nullptr);
    EXPECT_EQ(removed, 1);
    EXPECT_NE(text, nullptr);
    EXPECT_NE(block, nullptr);
    EXPECT_GE(callsAfterMalloc, 0);
    EXPECT_GE(callsAfterHeapAlloc, callsAfterMalloc + 1);
    EXPECT_EQ(BytesAt(entry, 32), before);
    free(text);
    HeapFree(GetProcessHeap(), 0, block);
}

TEST(WineEntries, NtTerminateProcessHookedAndRemovedOnly)
{
    void *entry = reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtTerminateProcess"));
    ASSERT_NE(entry, nullptr);
    Bytes before = BytesAt(entry, 32);
    CountingDetour *detour = NewCountingDetour(entry);
    HookRecord *record = InstallHook(detour->code, &detour->slot);
    ExpectInstalled(record, detour->code, entry, &detour->slot, before);
    ASSERT_NE(record, nullptr);
    if (ExpectedSavedLength(before)) {
        EXPECT_EQ(record->savedLength, ExpectedSavedLength(before));
    }
    EXPECT_EQ(RemoveHook(record), 1);
    EXPECT_EQ(BytesAt(entry, 32), before);
}

// Self-checking calls, made through the patched entry and through the trampoline.
DWORD processId, threadId;

bool CallGetCurrentProcessId(void *f) { return reinterpret_cast<DWORD(WINAPI *)()>(f)() == processId; }
bool CallGetCurrentThreadId(void *f) { return reinterpret_cast<DWORD(WINAPI *)()>(f)() == threadId; }
bool CallLstrlenW(void *f) { return reinterpret_cast<int(WINAPI *)(LPCWSTR)>(f)(L"tarnwick") == 8; }
bool CallLstrlenA(void *f) { return reinterpret_cast<int(WINAPI *)(LPCSTR)>(f)("abc") == 3; }
bool CallMulDiv(void *f) { return reinterpret_cast<int(WINAPI *)(int, int, int)>(f)(10, 20, 5) == 40; }
bool CallGetLastError(void *f)
{
    SetLastError(777);
    return reinterpret_cast<DWORD(WINAPI *)()>(f)() == 777;
}
bool CallSetLastError(void *f)
{
    reinterpret_cast<void(WINAPI *)(DWORD)>(f)(4321);
    return GetLastError() == 4321;
}
bool CallCrc32(void *f)
{
    return reinterpret_cast<DWORD(WINAPI *)(DWORD, const BYTE *, INT)>(f)(
               0, reinterpret_cast<const BYTE *>("123456789"), 9) == 0xCBF43926;
}
bool CallCompareMemory(void *f)
{
    return reinterpret_cast<SIZE_T(WINAPI *)(const void *, const void *, SIZE_T)>(f)("abcdef", "abcxef", 6) == 3;
}
bool CallStatusToDosError(void *f)
{
    return reinterpret_cast<ULONG(WINAPI *)(LONG)>(f)(LONG(0xC0000005)) == ERROR_NOACCESS;
}
struct BasicInformation {
    LONG exitStatus;
    void *peb;
    ULONG_PTR affinity;
    LONG priority;
    ULONG_PTR processId;
    ULONG_PTR parentId;
};
bool CallQueryInformationProcess(void *f)
{
    BasicInformation info = {};
    ULONG length = 0;
    LONG status = reinterpret_cast<LONG(WINAPI *)(HANDLE, int, void *, ULONG, ULONG *)>(f)(
        GetCurrentProcess(), 0, &info, sizeof info, &length);
    return status == 0 && info.processId == processId && length == sizeof info;
}
struct CountedString {
    USHORT length;
    USHORT maximumLength;
    void *buffer;
};
bool CallInitUnicodeString(void *f)
{
    CountedString s = {};
    reinterpret_cast<void(WINAPI *)(CountedString *, LPCWSTR)>(f)(&s, L"abc");
    return s.length == 6 && s.maximumLength == 8;
}
CRITICAL_SECTION section;
bool CallEnterCriticalSection(void *f)
{
    reinterpret_cast<LONG(WINAPI *)(CRITICAL_SECTION *)>(f)(&section);
    bool owned = section.RecursionCount == 1 && DWORD(uintptr_t(section.OwningThread)) == threadId;
    LeaveCriticalSection(&section);
    return owned;
}
bool CallLeaveCriticalSection(void *f)
{
    EnterCriticalSection(&section);
    reinterpret_cast<LONG(WINAPI *)(CRITICAL_SECTION *)>(f)(&section);
    return section.RecursionCount == 0;
}
bool CallTryEnterCriticalSection(void *f)
{
    BOOL entered = reinterpret_cast<BOOL(WINAPI *)(CRITICAL_SECTION *)>(f)(&section);
    bool owned = entered && section.RecursionCount == 1;
    if (entered)
        LeaveCriticalSection(&section);
    return owned;
}
#if !defined(_WIN64)
bool CallInterlockedIncrement(void *f)
{
    volatile LONG value = 41;
    return reinterpret_cast<LONG(WINAPI *)(volatile LONG *)>(f)(&value) == 42 && value == 42;
}
#endif
bool CallQueryPerformanceCounter(void *f)
{
    LARGE_INTEGER now = {};
    return reinterpret_cast<BOOL(WINAPI *)(LARGE_INTEGER *)>(f)(&now) && now.QuadPart > 0;
}
bool CallIsBadReadPtr(void *f)
{
    int x = 0;
    auto isBad = reinterpret_cast<BOOL(WINAPI *)(const void *, UINT_PTR)>(f);
    return !isBad(&x, sizeof x) && isBad(nullptr, 4);
}
bool CallVirtualQuery(void *f)
{
    MEMORY_BASIC_INFORMATION info;
    int x = 0;
    return reinterpret_cast<SIZE_T(WINAPI *)(const void *, MEMORY_BASIC_INFORMATION *, SIZE_T)>(f)(
               &x, &info, sizeof info) == sizeof info &&
           info.State == MEM_COMMIT;
}
bool CallMultiByteToWideChar(void *f)
{
    wchar_t out[8] = {};
    int n = reinterpret_cast<int(WINAPI *)(UINT, DWORD, LPCSTR, int, LPWSTR, int)>(f)(CP_ACP, 0, "abc", -1, out, 8);
    return n == 4 && wcscmp(out, L"abc") == 0;
}
bool CallWideCharToMultiByte(void *f)
{
    char out[8] = {};
    int n = reinterpret_cast<int(WINAPI *)(UINT, DWORD, LPCWSTR, int, LPSTR, int, LPCSTR, LPBOOL)>(f)(
        CP_ACP, 0, L"xyz", -1, out, 8, nullptr, nullptr);
    return n == 4 && strcmp(out, "xyz") == 0;
}
bool CallCompareStringW(void *f)
{
    return reinterpret_cast<int(WINAPI *)(LCID, DWORD, LPCWSTR, int, LPCWSTR, int)>(f)(
               LOCALE_INVARIANT, 0, L"apple", -1, L"banana", -1) == CSTR_LESS_THAN;
}
bool CallStrlen(void *f) { return reinterpret_cast<size_t (*)(const char *)>(f)("hello") == 5; }
bool CallWcslen(void *f) { return reinterpret_cast<size_t (*)(const wchar_t *)>(f)(L"hello!") == 6; }
bool CallStrcmp(void *f)
{
    auto compare = reinterpret_cast<int (*)(const char *, const char *)>(f);
    return compare("abc", "abd") < 0 && compare("abc", "abc") == 0;
}
bool CallWcsicmp(void *f) { return reinterpret_cast<int (*)(const wchar_t *, const wchar_t *)>(f)(L"ABC", L"abc") == 0; }
bool CallStricmp(void *f) { return reinterpret_cast<int (*)(const char *, const char *)>(f)("ABC", "abc") == 0; }
bool CallMemcpy(void *f)
{
    char out[8] = {};
    void *r = reinterpret_cast<void *(*)(void *, const void *, size_t)>(f)(out, "copy me", 7);
    return r == out && memcmp(out, "copy me", 7) == 0;
}
bool CallMemset(void *f)
{
    char out[4] = {};
    reinterpret_cast<void *(*)(void *, int, size_t)>(f)(out, 'z', 3);
    return memcmp(out, "zzz", 4) == 0;
}
bool CallStrchr(void *f)
{
    const char *text = "find";
    return reinterpret_cast<const char *(*)(const char *, int)>(f)(text, 'n') == text + 2;
}
bool CallAtoi(void *f) { return reinterpret_cast<int (*)(const char *)>(f)("-1234") == -1234; }
bool CallAbs(void *f) { return reinterpret_cast<int (*)(int)>(f)(-5) == 5; }
bool CallToupper(void *f) { return reinterpret_cast<int (*)(int)>(f)('q') == 'Q'; }
bool CallSprintf(void *f)
{
    char out[16] = {};
    int n = reinterpret_cast<int (*)(char *, const char *, ...)>(f)(out, "%d-%s", 42, "x");
    return n == 4 && strcmp(out, "42-x") == 0;
}
bool CallMalloc(void *f)
{
    void *p = reinterpret_cast<void *(*)(size_t)>(f)(32);
    memset(p, 1, 32);
    free(p);
    return p != nullptr;
}
bool CallGetTickCount(void *f)
{
    DWORD a = GetTickCount();
    DWORD b = reinterpret_cast<DWORD(WINAPI *)()>(f)();
    return b - a < 10000;
}
bool CallSleep(void *f)
{
    reinterpret_cast<void(WINAPI *)(DWORD)>(f)(0);
    return true;
}

struct Export {
    const wchar_t *module;
    const char *name;
    bool (*call)(void *function);  // null: hooked and removed, not called
};

const Export Exports[] = {
    {L"ntdll.dll", "RtlFreeHeap", nullptr},
    {L"ntdll.dll", "RtlSizeHeap", nullptr},
    {L"ntdll.dll", "RtlCompareMemory", CallCompareMemory},
    {L"ntdll.dll", "RtlComputeCrc32", CallCrc32},
    {L"ntdll.dll", "RtlGetLastWin32Error", CallGetLastError},
    {L"ntdll.dll", "RtlSetLastWin32Error", CallSetLastError},
    {L"ntdll.dll", "RtlNtStatusToDosError", CallStatusToDosError},
    {L"ntdll.dll", "RtlInitUnicodeString", CallInitUnicodeString},
    {L"ntdll.dll", "RtlEnterCriticalSection", CallEnterCriticalSection},
    {L"ntdll.dll", "RtlLeaveCriticalSection", CallLeaveCriticalSection},
    {L"ntdll.dll", "RtlTryEnterCriticalSection", CallTryEnterCriticalSection},
    {L"ntdll.dll", "NtQueryInformationProcess", CallQueryInformationProcess},
    {L"ntdll.dll", "NtClose", nullptr},
    {L"ntdll.dll", "NtAllocateVirtualMemory", nullptr},
    {L"ntdll.dll", "NtFreeVirtualMemory", nullptr},
    {L"ntdll.dll", "NtProtectVirtualMemory", nullptr},
    {L"ntdll.dll", "NtFlushInstructionCache", nullptr},
    {L"ntdll.dll", "RtlUnwind", nullptr},
    {L"ntdll.dll", "RtlCaptureStackBackTrace", nullptr},
    {L"ntdll.dll", "LdrGetProcedureAddress", nullptr},
    {L"ntdll.dll", "memcpy", CallMemcpy},
    {L"ntdll.dll", "strlen", CallStrlen},
    {L"ntdll.dll", "_wcsicmp", CallWcsicmp},
    {L"kernel32.dll", "GetCurrentProcessId", CallGetCurrentProcessId},
    {L"kernel32.dll", "GetCurrentThreadId", CallGetCurrentThreadId},
    {L"kernel32.dll", "GetLastError", CallGetLastError},
    {L"kernel32.dll", "SetLastError", CallSetLastError},
    {L"kernel32.dll", "lstrlenW", CallLstrlenW},
    {L"kernel32.dll", "lstrlenA", CallLstrlenA},
    {L"kernel32.dll", "MulDiv", CallMulDiv},
#if !defined(_WIN64)  // an intrinsic on x64
    {L"kernel32.dll", "InterlockedIncrement", CallInterlockedIncrement},
#endif
    {L"kernel32.dll", "QueryPerformanceCounter", CallQueryPerformanceCounter},
    {L"kernel32.dll", "GetTickCount", CallGetTickCount},
    {L"kernel32.dll", "Sleep", CallSleep},
    {L"kernel32.dll", "IsBadReadPtr", CallIsBadReadPtr},
    {L"kernel32.dll", "VirtualQuery", CallVirtualQuery},
    {L"kernel32.dll", "VirtualProtect", nullptr},
    {L"kernel32.dll", "VirtualAlloc", nullptr},
    {L"kernel32.dll", "VirtualFree", nullptr},
    {L"kernel32.dll", "FlushInstructionCache", nullptr},
    {L"kernel32.dll", "GetProcAddress", nullptr},
    {L"kernel32.dll", "CloseHandle", nullptr},
    {L"kernelbase.dll", "MultiByteToWideChar", CallMultiByteToWideChar},
    {L"kernelbase.dll", "WideCharToMultiByte", CallWideCharToMultiByte},
    {L"kernelbase.dll", "CompareStringW", CallCompareStringW},
    {L"kernelbase.dll", "lstrlenW", CallLstrlenW},
    {L"kernelbase.dll", "GetCurrentProcessId", CallGetCurrentProcessId},
    {L"kernelbase.dll", "LocalAlloc", nullptr},
    {L"kernelbase.dll", "GlobalAlloc", nullptr},
    {L"kernelbase.dll", "VirtualProtect", nullptr},
    {L"msvcrt.dll", "malloc", CallMalloc},
    {L"msvcrt.dll", "free", nullptr},
    {L"msvcrt.dll", "strlen", CallStrlen},
    {L"msvcrt.dll", "wcslen", CallWcslen},
    {L"msvcrt.dll", "strcmp", CallStrcmp},
    {L"msvcrt.dll", "_stricmp", CallStricmp},
    {L"msvcrt.dll", "memcpy", CallMemcpy},
    {L"msvcrt.dll", "memset", CallMemset},
    {L"msvcrt.dll", "strchr", CallStrchr},
    {L"msvcrt.dll", "atoi", CallAtoi},
    {L"msvcrt.dll", "abs", CallAbs},
    {L"msvcrt.dll", "toupper", CallToupper},
    {L"msvcrt.dll", "sprintf", CallSprintf},
};

TEST(WineEntries, ManyExportsAreHookedFaithfullyOrRefusedCleanly)
{
    processId = GetCurrentProcessId();
    threadId = GetCurrentThreadId();
    InitializeCriticalSection(&section);
    int hooked = 0, refused = 0;
    for (const Export &e : Exports) {
        SCOPED_TRACE(e.name);
        void *entry = reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(e.module), e.name));
        ASSERT_NE(entry, nullptr);
        if (e.call) {
            ASSERT_TRUE(e.call(entry)) << "the call itself does not hold before hooking";
        }
        Bytes before = BytesAt(entry, 32);
        CountingDetour *detour = NewCountingDetour(entry);
        SetLastError(0);
        HookRecord *record = InstallHook(detour->code, &detour->slot);
        DWORD error = GetLastError();
        if (!record) {
            ++refused;
            printf("%ls!%s refused, entry %02X %02X %02X %02X %02X %02X\n", e.module, e.name, before[0],
                   before[1], before[2], before[3], before[4], before[5]);
            EXPECT_EQ(error, DWORD(ERROR_NOT_SUPPORTED));
            EXPECT_EQ(detour->slot, entry);
            EXPECT_EQ(BytesAt(entry, 32), before);
            continue;
        }
        ++hooked;
        bool throughEntry = true, throughTrampoline = true;
        LONG callsBefore = detour->calls, callsAfter = callsBefore;
        if (e.call) {
            throughEntry = e.call(entry);
            callsAfter = detour->calls;
            throughTrampoline = e.call(detour->slot);
        }
        ExpectInstalled(record, detour->code, entry, &detour->slot, before);
        uint32_t saved = record->savedLength;
        EXPECT_EQ(RemoveHook(record), 1);
        EXPECT_EQ(BytesAt(entry, 32), before);
        if (e.call) {
            EXPECT_TRUE(throughEntry);
            EXPECT_TRUE(throughTrampoline);
            EXPECT_GE(callsAfter - callsBefore, 1);
        }
        printf("%ls!%s saved %u bytes%s\n", e.module, e.name, saved, e.call ? ", called" : "");
    }
    DeleteCriticalSection(&section);
    printf("%d hooked, %d refused\n", hooked, refused);
    EXPECT_GE(hooked, 40);
}

// Every named export of the system DLLs that lies in code (forwarders point
// into the export directory, data into pages that are not executable), hooked
// a DLL at a time in batches: every call into the DLL then runs through
// trampolines. What a batch gives up (aliases, stubs within a neighbour's
// patch) goes into the next; what a batch gives up entirely is refused.
TEST(WineEntries, EveryExportOfTheSystemDllsIsHookedOrRefused)
{
    for (const wchar_t *module : {L"ntdll.dll", L"kernel32.dll", L"kernelbase.dll", L"msvcrt.dll", L"ucrtbase.dll"}) {
        auto *base = reinterpret_cast<uint8_t *>(LoadLibraryW(module));
        ASSERT_NE(base, nullptr);
        auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY &directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        auto *exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY *>(base + directory.VirtualAddress);
        auto *functions = reinterpret_cast<DWORD *>(base + exports->AddressOfFunctions);
        auto *ordinals = reinterpret_cast<WORD *>(base + exports->AddressOfNameOrdinals);
        std::vector<uint8_t *> left, next;
        for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
            uint8_t *entry = base + functions[ordinals[i]];
            MEMORY_BASIC_INFORMATION info;
            if (DWORD(entry - base) - directory.VirtualAddress >= directory.Size &&
                VirtualQuery(entry, &info, sizeof info) && (info.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ)))
                left.push_back(entry);
        }
        uint32_t hooked = 0;
        for (uint32_t installed = 1; installed && !left.empty(); left.swap(next), next.clear()) {
            size_t count = left.size();
            std::vector<Bytes> before(count);
            std::vector<CountingDetour *> detours(count);
            std::vector<HookRecord *> records(count);
            std::vector<HookRequest> requests(count);
            for (size_t i = 0; i < count; ++i) {
                before[i] = BytesAt(left[i], 32);
                detours[i] = NewCountingDetour(left[i]);
                requests[i] = {detours[i]->code, &detours[i]->slot, &records[i]};
            }
            installed = InstallHooks(requests.data(), uint32_t(count));
            EXPECT_TRUE(installed || GetLastError() == ERROR_NOT_SUPPORTED);
            for (size_t i = 0; i < count; ++i) {
                if (records[i])
                    ExpectInstalled(records[i], detours[i]->code, left[i], &detours[i]->slot, before[i]);
                else
                    next.push_back(left[i]);
            }
            EXPECT_EQ(RemoveHooks(requests.data(), uint32_t(count), nullptr, nullptr), installed);
            for (size_t i = 0; i < count; ++i) {
                EXPECT_EQ(BytesAt(left[i], 32), before[i]);
                EXPECT_EQ(detours[i]->slot, static_cast<void *>(left[i]));
                if (records[i])
                    FreeHookRecord(records[i]);  // no thread is in it: thousands kept would slow the tests after
            }
            hooked += installed;
        }
        printf("%ls: %u hooked, %zu refused\n", module, hooked, left.size());
        EXPECT_GT(hooked, 9 * left.size()) << module;
    }
}

}  // namespace
