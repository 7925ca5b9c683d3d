// The debugger output. A debugger takes one debug event per string, about
// 0.2 ms each under Wine, which makes a large report slow; the launcher
// announces that it relays the output as a whole by an event named for this
// process, and then a dump's pieces go out in batches of whole pieces. Each
// batch stays below the 65,535 bytes that a debug event can carry once the
// string is converted to the ANSI code page (at most 3 bytes a character).
// While the launcher's report channel is connected, everything goes there
// instead, in the same batches.
#include "control/library.h"
#include "control/report_channel.h"
#include "report/text_format.h"
#include "tarnwick.h"
#include <string.h>

enum : uint32_t { BatchChars = 20 * 1024 };

static wchar_t *Batch;  // VirtualAlloc memory while a batch is open
static uint32_t BatchUsed;
static DWORD BatchThread;

bool LauncherRelays()
{
    if (ReportChannelConnected())
        return true;
    wchar_t name[64];
    FormatText(name, 64, L"%s%u", TARNWICK_RELAY_EVENT_PREFIX, GetCurrentProcessId());
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name);
    if (!event)
        return false;
    CloseHandle(event);
    return true;
}

static void Write(const wchar_t *text, uint32_t length)
{
    if (!ReportChannelConnected() || !WriteToReportChannel(text, length))
        OutputDebugStringW(text);
}

static void FlushBatch()
{
    if (BatchUsed == 0)
        return;
    Batch[BatchUsed] = 0;
    Write(Batch, BatchUsed);
    BatchUsed = 0;
}

void WriteMessage(const wchar_t *text)
{
    uint32_t length = lstrlenW(text);
    if (!Batch || GetCurrentThreadId() != BatchThread) {
        Write(text, length);
        return;
    }
    if (BatchUsed + length > BatchChars)
        FlushBatch();
    if (length > BatchChars) {
        Write(text, length);
        return;
    }
    memcpy(Batch + BatchUsed, text, length * sizeof(wchar_t));
    BatchUsed += length;
}

void OpenBatch()
{
    if (Batch || !LauncherRelays())
        return;
    Batch = static_cast<wchar_t *>(
        VirtualAlloc(nullptr, (BatchChars + 1) * sizeof(wchar_t), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    BatchUsed = 0;
    BatchThread = GetCurrentThreadId();
}

void CloseBatch()
{
    if (!Batch || GetCurrentThreadId() != BatchThread)
        return;
    FlushBatch();
    VirtualFree(Batch, 0, MEM_RELEASE);
    Batch = nullptr;
}
