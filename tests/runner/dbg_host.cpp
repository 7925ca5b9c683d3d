// A program for the runner tests: what it does is chosen by its first argument.
//   strings CODE   send HostStrings() to the debugger output, exit with CODE
//   exit CODE      exit with CODE at once
//   args ...       write the raw command line and each argument to stdout
//   stdio          write one line each to stdout, stderr and the debugger output
//   break          debug string, DebugBreak, debug string, exit 5
//   crash          debug string, then an access violation
// (break, crash and overflow keep a block in a global first: a leak with --all)
//   lines FILE     send each line of FILE to the report channel, as the library would
//   channel N      write HostStrings() to the launcher's report channel for this
//                  process, as the library would, and say whether there was
//                  one; with N 1, then the same for a child of its own
//   throw N        throw and catch N C++ exceptions, print their number, exit 4
//   debugger       print IsDebuggerPresent()
//   spawn CODE HOW COMMAND...  run COMMAND (the rest of the command line) through
//                  CreateProcessW (HOW w), CreateProcessA (a), or created suspended
//                  and ended unresumed (held); print its exit code, exit with CODE;
//                  HOW both: CODE times w while another thread does CODE times held
//   overflow       debug string, then a stack overflow
// Built -O0: a 64-bit C++ throw from frames with a frame pointer is what a
// debugger on Wine breaks.
#include "host_strings.h"
#include "tarnwick.h"
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static int Thrown(int i)
{
    try {
        if (i >= 0)
            throw i;
    } catch (int caught) {
        return caught;
    }
    return -1;
}

static void *volatile Kept;

// Each call keeps a frame of its own; the stack ends first.
static volatile bool Deeper = true;
static int Recurse(int depth)
{
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    return (Deeper ? Recurse(depth + 1) : 0) + frame[0];
}

// The launcher's report channel for this process, connected as the library
// connects it, or INVALID_HANDLE_VALUE.
static HANDLE Channel()
{
    std::wstring name = TARNWICK_REPORT_PIPE_PREFIX + std::to_wstring(GetCurrentProcessId());
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// One message, then the launcher's answer.
static void Send(HANDLE channel, const std::wstring &text)
{
    DWORD written, got;
    char answer;
    if (!text.empty() &&
        WriteFile(channel, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr))
        ReadFile(channel, &answer, 1, &got, nullptr);
}

// Runs the command line ways[0] once for each character of ways[1]: created
// suspended and ended unresumed (h), or run (w).
static DWORD WINAPI SpawnEach(void *argument)
{
    const std::wstring *ways = static_cast<const std::wstring *>(argument);
    for (wchar_t how : ways[1]) {
        std::wstring line = ways[0];
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child;
        if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, how == L'h' ? CREATE_SUSPENDED : 0, nullptr,
                            nullptr, &startup, &child))
            continue;
        if (how == L'h')
            TerminateProcess(child.hProcess, 98);
        WaitForSingleObject(child.hProcess, INFINITE);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
    }
    return 0;
}

static int Usage()
{
    fputs("dbg_host: unknown mode\n", stderr);
    return 99;
}

int wmain(int argc, wchar_t **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    if (argc < 2)
        return Usage();
    const wchar_t *mode = argv[1];
    DWORD code = argc > 2 ? wcstoul(argv[2], nullptr, 0) : 0;
    if (!wcscmp(mode, L"strings")) {
        for (const std::wstring &text : HostStrings())
            OutputDebugStringW(text.c_str());
        return static_cast<int>(code);
    }
    if (!wcscmp(mode, L"exit"))
        ExitProcess(code);
    if (!wcscmp(mode, L"args")) {
        // ASCII arguments only: written as one byte per character.
        printf("raw:%ls\n", GetCommandLineW());
        for (int i = 2; i < argc; i++)
            printf("[%ls]\n", argv[i]);
        return 0;
    }
    if (!wcscmp(mode, L"stdio")) {
        fputs("to stdout\n", stdout);
        fflush(stdout);
        fputs("to stderr\n", stderr);
        fflush(stderr);
        OutputDebugStringW(L"to debugger\n");
        return 0;
    }
    if (!wcscmp(mode, L"break")) {
        Kept = malloc(24);
        OutputDebugStringW(L"before break\n");
        DebugBreak();
        OutputDebugStringW(L"after break\n");
        return 5;
    }
    if (!wcscmp(mode, L"lines") && argc > 2) {
        FILE *file = _wfopen(argv[2], L"rb");
        HANDLE channel = Channel();
        char line[4096];
        wchar_t wide[4096];
        while (file && fgets(line, sizeof line, file) && MultiByteToWideChar(CP_ACP, 0, line, -1, wide, 4096))
            Send(channel, wide);
        return file ? 0 : 98;
    }
    if (!wcscmp(mode, L"crash")) {
        Kept = malloc(24);
        OutputDebugStringW(L"before crash\n");
        *static_cast<volatile int *>(nullptr) = 1;
        OutputDebugStringW(L"after crash\n");
        return 0;
    }
    if (!wcscmp(mode, L"channel")) {
        HANDLE channel = Channel();
        bool announced = channel != INVALID_HANDLE_VALUE;
        for (const std::wstring &text : HostStrings())
            if (announced)
                Send(channel, text);
        if (announced)
            CloseHandle(channel);
        printf(announced ? "announced\n" : "not announced\n");
        fflush(stdout);
        std::wstring child = L"\"" + std::wstring(_wpgmptr) + L"\" channel 0";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process;
        if (code && CreateProcessW(nullptr, &child[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
            WaitForSingleObject(process.hProcess, INFINITE);
        return 0;
    }
    if (!wcscmp(mode, L"throw")) {
        Kept = malloc(77);  // still reachable at the end
        unsigned long sum = 0;
        for (DWORD i = 0; i < code; i++)
            sum += static_cast<unsigned long>(Thrown(static_cast<int>(i)));
        printf("caught %lu, sum %lu\n", static_cast<unsigned long>(code), sum);
        return 4;
    }
    if (!wcscmp(mode, L"spawn") && argc > 4) {
        const wchar_t *command = GetCommandLineW();
        for (int i = 0; i < 4; i++) {  // past the program, the mode, CODE and HOW (only the first quoted)
            command += wcsspn(command, L" ");
            command = *command == L'"' ? wcschr(command + 1, L'"') + 1 : command + wcscspn(command, L" ");
        }
        command += wcsspn(command, L" ");
        char narrow[1024];
        snprintf(narrow, sizeof narrow, "%ls", command);
        STARTUPINFOA startupA = {};
        startupA.cb = sizeof startupA;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process;
        std::wstring line = command;
        bool held = !wcscmp(argv[3], L"held");
        if (!wcscmp(argv[3], L"both")) {
            // Two threads naming children to the launcher at once.
            std::wstring ways[2][2] = {{command, std::wstring(code, L'h')}, {command, std::wstring(code, L'w')}};
            HANDLE other = CreateThread(nullptr, 0, SpawnEach, ways[0], 0, nullptr);
            SpawnEach(ways[1]);
            WaitForSingleObject(other, INFINITE);
            return static_cast<int>(code);
        }
        bool started = !wcscmp(argv[3], L"a")
                           ? CreateProcessA(nullptr, narrow, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startupA,
                                            &process)
                           : CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, held ? CREATE_SUSPENDED : 0,
                                            nullptr, nullptr, &startup, &process);
        DWORD exitCode = 99;
        if (started && held)
            TerminateProcess(process.hProcess, 98);
        if (started) {
            WaitForSingleObject(process.hProcess, INFINITE);
            GetExitCodeProcess(process.hProcess, &exitCode);
        }
        Kept = malloc(40);
        Kept = nullptr;
        printf("child exit %lu\n", exitCode);
        return static_cast<int>(code);
    }
    if (!wcscmp(mode, L"debugger")) {
        printf("IsDebuggerPresent %d\n", IsDebuggerPresent() ? 1 : 0);
        return 0;
    }
    if (!wcscmp(mode, L"overflow")) {
        Kept = malloc(24);
        OutputDebugStringW(L"before overflow\n");
        return Recurse(0);
    }
    return Usage();
}
