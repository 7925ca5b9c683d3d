#include "run_capture.h"
#include <process.h>

std::wstring ProgramDir()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    size_t slash = dir.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : dir.substr(0, slash + 1);
}

std::wstring QuoteArgument(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    // Backslashes are literal except before a quote, where they are doubled.
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        if (c == L'"')
            quoted.append(backslashes * 2 + 1, L'\\');
        else
            quoted.append(backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

namespace {

struct Reader {
    HANDLE pipe;
    std::string *sink;
};

// Drains one pipe until the writer side is gone, so that neither pipe can
// fill up and stall the child while the other is read.
unsigned __stdcall Drain(void *argument)
{
    Reader *reader = static_cast<Reader *>(argument);
    char buffer[4096];
    DWORD got;
    while (ReadFile(reader->pipe, buffer, sizeof buffer, &got, nullptr) && got)
        reader->sink->append(buffer, got);
    return 0;
}

}  // namespace

CapturedRun RunCapture(const std::wstring &commandLine, DWORD timeoutMs)
{
    CapturedRun run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0))
        return run;
    if (!CreatePipe(&errRead, &errWrite, &inherit, 0)) {
        CloseHandle(outRead);
        CloseHandle(outWrite);
        return run;
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION child = {};
    std::wstring line = commandLine;
    run.started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child);
    // Our copies of the write ends must go, or the readers never see the end.
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (nul != INVALID_HANDLE_VALUE)
        CloseHandle(nul);

    Reader outReader = {outRead, &run.out}, errReader = {errRead, &run.err};
    HANDLE readers[2] = {
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Drain, &outReader, 0, nullptr)),
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Drain, &errReader, 0, nullptr)),
    };
    if (run.started) {
        if (WaitForSingleObject(child.hProcess, timeoutMs) == WAIT_TIMEOUT) {
            run.timedOut = true;
            TerminateProcess(child.hProcess, 0xDEAD);
            WaitForSingleObject(child.hProcess, INFINITE);
        }
        GetExitCodeProcess(child.hProcess, &run.exitCode);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    // A grandchild may still hold the pipes; give it a bounded time, then
    // stop reading (a blocked ReadFile is not ended by closing its handle).
    if (WaitForMultipleObjects(2, readers, TRUE, run.timedOut ? 5000 : timeoutMs) == WAIT_TIMEOUT) {
        run.timedOut = true;
        for (HANDLE reader : readers)
            if (WaitForSingleObject(reader, 0) == WAIT_TIMEOUT)
                TerminateThread(reader, 0);
    }
    for (HANDLE reader : readers)
        CloseHandle(reader);
    CloseHandle(outRead);
    CloseHandle(errRead);
    return run;
}

CapturedRun RunTarnwick(const std::wstring &tarnwickArgs, DWORD timeoutMs)
{
    return RunCapture(QuoteArgument(ProgramDir() + L"tarnwick.exe") + L" " + tarnwickArgs, timeoutMs);
}

CapturedRun RunUnderRunner(const std::wstring &host, const std::wstring &hostArgs, DWORD timeoutMs)
{
    std::wstring args = L"--no-inject --show-reachable " + QuoteArgument(ProgramDir() + host);
    if (!hostArgs.empty())
        args += L" " + hostArgs;
    return RunTarnwick(args, timeoutMs);
}
