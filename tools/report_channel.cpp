#include "report_channel.h"
#include "tarnwick.h"

// UTF-16 bytes to the ANSI code page; a leading surrogate at the end of a
// message waits for the next.
static char Deliver(ReportChannel &channel, std::string &bytes)
{
    size_t units = bytes.size() / 2;
    const wchar_t *wide = reinterpret_cast<const wchar_t *>(bytes.data());
    if (units && wide[units - 1] >= 0xD800 && wide[units - 1] < 0xDC00)
        units--;
    if (!units)
        return 0;
    int size = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
    std::string text(size, '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(units), &text[0], size, nullptr, nullptr);
    bytes.erase(0, units * 2);
    EnterCriticalSection(&channel.lock);
    char answer = channel.take(text);
    LeaveCriticalSection(&channel.lock);
    return answer;
}

static DWORD WINAPI ReadInstance(void *argument);

struct Instance {
    ReportChannel *channel;
    HANDLE pipe;
};

// One more instance of the pipe and its reader: every copy of the library in
// the program (one it loads itself beside the launcher's, one loaded again
// after an unload) connects to an instance of its own.
static bool Listen(ReportChannel &channel, DWORD &error)
{
    HANDLE pipe = CreateNamedPipeW(channel.name.c_str(),
                                   PIPE_ACCESS_DUPLEX | (channel.threads.empty() ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                   16, 1 << 16, 0, nullptr);
    Instance *start = new Instance{&channel, pipe};
    HANDLE thread = pipe == INVALID_HANDLE_VALUE ? nullptr : CreateThread(nullptr, 0, ReadInstance, start, 0, nullptr);
    if (!thread) {
        error = GetLastError();
        if (pipe != INVALID_HANDLE_VALUE)
            CloseHandle(pipe);
        delete start;
        return false;
    }
    channel.threads.push_back(thread);
    return true;
}

// Each message is answered once it has been passed on.
static DWORD WINAPI ReadInstance(void *argument)
{
    auto *start = static_cast<Instance *>(argument);
    ReportChannel &channel = *start->channel;
    HANDLE pipe = start->pipe;
    delete start;
    bool connected = ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
    EnterCriticalSection(&channel.lock);
    DWORD error;
    if (connected && !channel.ended)
        Listen(channel, error);
    LeaveCriticalSection(&channel.lock);
    std::string bytes;
    char buffer[65536];
    while (connected) {
        DWORD got = 0, written;
        bool whole = ReadFile(pipe, buffer, sizeof buffer, &got, nullptr);
        if (!whole && GetLastError() != ERROR_MORE_DATA)
            break;
        bytes.append(buffer, got);
        if (!whole)
            continue;
        char answer = Deliver(channel, bytes);
        if (!WriteFile(pipe, &answer, 1, &written, nullptr))
            break;
    }
    CloseHandle(pipe);
    return 0;
}

bool OpenReportChannel(ReportChannel &channel, DWORD processId, DWORD &error)
{
    channel.name = TARNWICK_REPORT_PIPE_PREFIX + std::to_wstring(processId);
    InitializeCriticalSection(&channel.lock);
    return Listen(channel, error);
}

void CloseReportChannel(ReportChannel &channel)
{
    EnterCriticalSection(&channel.lock);
    channel.ended = true;
    LeaveCriticalSection(&channel.lock);
    // The program's handles closed with it; the one reader still waiting for
    // a connection is given one that ends at once.
    for (size_t i = 0; i < channel.threads.size(); i++) {
        do {
            HANDLE wake = CreateFileW(channel.name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (wake != INVALID_HANDLE_VALUE)
                CloseHandle(wake);
        } while (WaitForSingleObject(channel.threads[i], 10) == WAIT_TIMEOUT);
        CloseHandle(channel.threads[i]);
    }
    channel.threads.clear();
    DeleteCriticalSection(&channel.lock);
}
