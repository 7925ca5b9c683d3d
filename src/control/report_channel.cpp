// The report channel's writing end. Each write is one message, which the
// launcher answers with one byte once it has passed the text on: the text
// keeps its place among what the program writes to the same console or
// file, as it did when a debugger took each string before the program went
// on, and a report cut short by the end of the process loses only the write
// in flight.
#include "control/report_channel.h"
#include "patching/owner_lock.h"
#include "report/text_format.h"
#include "tarnwick.h"
#include <windows.h>

static HANDLE Channel = INVALID_HANDLE_VALUE;
// One message and its answer at a time: threads writing at once would read
// each other's answers (a held child's 'w' taken by another thread, whose
// child then goes on without the launcher's work).
static volatile LONG ChannelOwner;

void ConnectReportChannel()
{
    wchar_t name[64];
    FormatText(name, 64, L"%s%u", TARNWICK_REPORT_PIPE_PREFIX, GetCurrentProcessId());
    // Not inherited: a child has a pipe of its own, or none.
    Channel = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool ReportChannelConnected() { return Channel != INVALID_HANDLE_VALUE; }

void DisconnectReportChannel()
{
    if (Channel != INVALID_HANDLE_VALUE)
        CloseHandle(Channel);
    Channel = INVALID_HANDLE_VALUE;
}

bool WriteToReportChannel(const wchar_t *text, uint32_t chars, char *reply)
{
    if (chars == 0)
        return Channel != INVALID_HANDLE_VALUE;
    DWORD error = GetLastError();  // a message must not change what the program sees
    // Nested (a fault in the middle of a write, reported by the same thread):
    // the thread holds it already.
    const DWORD self = GetCurrentThreadId();
    const bool nested = ChannelOwner == LONG(self);
    if (!nested)
        TakeOwnerLock(&ChannelOwner, self);
    DWORD written = 0, got = 0;
    char answer;
    bool done = Channel != INVALID_HANDLE_VALUE &&
                WriteFile(Channel, text, chars * sizeof(wchar_t), &written, nullptr) &&
                written == chars * sizeof(wchar_t) && ReadFile(Channel, &answer, 1, &got, nullptr) && got == 1;
    if (!done && Channel != INVALID_HANDLE_VALUE) {
        CloseHandle(Channel);
        Channel = INVALID_HANDLE_VALUE;
    }
    if (!nested)
        ReleaseOwnerLock(&ChannelOwner);
    if (reply)
        *reply = done ? answer : 0;
    SetLastError(error);
    return done;
}
