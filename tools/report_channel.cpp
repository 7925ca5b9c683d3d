#include "report_channel.h"
#include "tarnwick.h"

// UTF-16 bytes to the ANSI code page; a leading surrogate at the end of a
// message waits for the next.
static void Deliver(ReportChannel &channel, std::string &bytes)
{
    size_t units = bytes.size() / 2;
    const wchar_t *wide = reinterpret_cast<const wchar_t *>(bytes.data());
    if (units && wide[units - 1] >= 0xD800 && wide[units - 1] < 0xDC00)
        units--;
    if (!units)
        return;
    int size = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
    std::string text(size, '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(units), &text[0], size, nullptr, nullptr);
    bytes.erase(0, units * 2);
    channel.take(text);
}

// One connection after another: a program may load the library, unload it
// and load it again. Each message is answered once it has been passed on.
static DWORD WINAPI ReadChannel(void *argument)
{
    ReportChannel &channel = *static_cast<ReportChannel *>(argument);
    std::string bytes;
    char buffer[65536];
    while (!channel.ended) {
        if (!ConnectNamedPipe(channel.pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
            break;
        for (;;) {
            DWORD got = 0, written;
            bool whole = ReadFile(channel.pipe, buffer, sizeof buffer, &got, nullptr);
            if (!whole && GetLastError() != ERROR_MORE_DATA)
                break;
            bytes.append(buffer, got);
            if (!whole)
                continue;
            Deliver(channel, bytes);
            if (!WriteFile(channel.pipe, "", 1, &written, nullptr))
                break;
        }
        DisconnectNamedPipe(channel.pipe);
        bytes.clear();
    }
    return 0;
}

bool OpenReportChannel(ReportChannel &channel, DWORD processId, DWORD &error)
{
    channel.name = TARNWICK_REPORT_PIPE_PREFIX + std::to_wstring(processId);
    channel.pipe = CreateNamedPipeW(channel.name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 16, 1 << 16, 0, nullptr);
    if (channel.pipe == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    channel.thread = CreateThread(nullptr, 0, ReadChannel, &channel, 0, nullptr);
    if (!channel.thread) {
        error = GetLastError();
        CloseHandle(channel.pipe);
        channel.pipe = INVALID_HANDLE_VALUE;
        return false;
    }
    return true;
}

void CloseReportChannel(ReportChannel &channel)
{
    if (!channel.thread)
        return;
    channel.ended = 1;
    // The program's handles closed with it; a reader still waiting for a
    // connection is given one that ends at once.
    while (WaitForSingleObject(channel.thread, 10) == WAIT_TIMEOUT) {
        HANDLE wake = CreateFileW(channel.name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (wake != INVALID_HANDLE_VALUE)
            CloseHandle(wake);
    }
    CloseHandle(channel.thread);
    CloseHandle(channel.pipe);
    channel.thread = nullptr;
}
