// dbgrun: runs a program under the Windows debug API and writes every debug
// string it outputs to standard output (or a file), byte for byte, in order.
//
//   dbgrun [--out FILE] [--] PROGRAM [ARGUMENTS...]
//
// Breakpoints (DebugBreak) are reported on standard error and continued.
// The exit code is the program's; 125 for bad usage or an unwritable output
// file, 126 when the program cannot be started.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <wchar.h>

enum { ExitUsage = 125, ExitCannotStart = 126 };

static const char Usage[] =
    "usage: dbgrun [--out FILE] [--] PROGRAM [ARGUMENTS...]\n"
    "Runs PROGRAM under the debug API and writes each string it sends to the\n"
    "debugger output (OutputDebugString) to standard output, exactly as sent.\n"
    "  --out FILE  write the debug strings to FILE instead\n"
    "  --help      show this text\n"
    "Exit code: the program's; 125 for bad usage, 126 if it cannot be started.\n";

// Splits off one command-line token as the C runtime would, returning where
// the rest begins; the token (unquoted) goes to out when out is not null.
static const wchar_t *NextToken(const wchar_t *p, wchar_t *out, size_t outChars)
{
    while (*p == L' ' || *p == L'\t')
        p++;
    bool quoted = false;
    size_t n = 0;
    for (; *p && (quoted || (*p != L' ' && *p != L'\t')); p++) {
        if (*p == L'"') {
            quoted = !quoted;
            continue;
        }
        if (out && n + 1 < outChars)
            out[n++] = *p;
    }
    if (out && outChars)
        out[n] = 0;
    return p;
}

static const wchar_t *SkipBlanks(const wchar_t *p)
{
    while (*p == L' ' || *p == L'\t')
        p++;
    return p;
}

// Writes one debug string from the debuggee to the output.
static void CopyDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO &info, FILE *out)
{
    DWORD units = info.nDebugStringLength;
    if (units == 0)
        return;
    DWORD unitSize = info.fUnicode ? 2 : 1;
    char *raw = static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, units * unitSize));
    if (!raw)
        return;
    SIZE_T got = 0;
    if (ReadProcessMemory(process, info.lpDebugStringData, raw, units * unitSize, &got) && got == units * unitSize) {
        if (info.fUnicode) {
            const wchar_t *text = reinterpret_cast<const wchar_t *>(raw);
            int chars = static_cast<int>(wcsnlen(text, units));
            int bytes = WideCharToMultiByte(CP_ACP, 0, text, chars, nullptr, 0, nullptr, nullptr);
            char *narrow = static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, bytes + 1));
            if (narrow) {
                WideCharToMultiByte(CP_ACP, 0, text, chars, narrow, bytes, nullptr, nullptr);
                fwrite(narrow, 1, bytes, out);
                HeapFree(GetProcessHeap(), 0, narrow);
            }
        } else {
            fwrite(raw, 1, strnlen(raw, units), out);
        }
        fflush(out);
    }
    HeapFree(GetProcessHeap(), 0, raw);
}

int wmain()
{
    // Exact bytes on both streams: no CR added before LF. Wide stdio writes
    // raw UTF-16 in binary mode, so messages go through narrow fprintf.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    const wchar_t *rest = NextToken(GetCommandLineW(), nullptr, 0);
    const wchar_t *outPath = nullptr;
    static wchar_t token[32768], outBuffer[32768];
    for (;;) {
        rest = SkipBlanks(rest);
        const wchar_t *after = NextToken(rest, token, 32768);
        if (wcscmp(token, L"--help") == 0 || wcscmp(token, L"-h") == 0) {
            fputs(Usage, stdout);
            return 0;
        }
        if (wcscmp(token, L"--out") == 0) {
            rest = SkipBlanks(NextToken(after, outBuffer, 32768));
            outPath = outBuffer;
            continue;
        }
        if (wcscmp(token, L"--") == 0) {
            rest = SkipBlanks(after);
            break;
        }
        if (token[0] == L'-' && token[1] == L'-') {
            fprintf(stderr, "dbgrun: unknown option %ls\n", token);
            fputs(Usage, stderr);
            return ExitUsage;
        }
        break;
    }
    if (!*rest || (outPath && !*outPath)) {
        fputs(Usage, stderr);
        return ExitUsage;
    }

    FILE *out = stdout;
    if (outPath) {
        out = _wfopen(outPath, L"wb");
        if (!out) {
            fprintf(stderr, "dbgrun: cannot open %ls for writing\n", outPath);
            return ExitUsage;
        }
    }

    // The child gets its command line exactly as it followed our options.
    size_t length = wcslen(rest);
    wchar_t *commandLine = static_cast<wchar_t *>(HeapAlloc(GetProcessHeap(), 0, (length + 1) * sizeof(wchar_t)));
    wmemcpy(commandLine, rest, length + 1);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr,
                        &startup, &child)) {
        DWORD error = GetLastError();
        NextToken(rest, token, 32768);
        fprintf(stderr, "dbgrun: cannot start %ls (error %lu)\n", token, error);
        return ExitCannotStart;
    }

    DWORD exitCode = 0;
    bool initialBreakSeen = false;
    for (;;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, INFINITE)) {
            fprintf(stderr, "dbgrun: lost the program (error %lu)\n", GetLastError());
            return ExitCannotStart;
        }
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case OUTPUT_DEBUG_STRING_EVENT:
            CopyDebugString(child.hProcess, event.u.DebugString, out);
            break;
        case EXCEPTION_DEBUG_EVENT: {
            const EXCEPTION_RECORD &record = event.u.Exception.ExceptionRecord;
            if (record.ExceptionCode == EXCEPTION_BREAKPOINT) {
                // The loader's own break at start-up is not the program's.
                if (initialBreakSeen)
                    fprintf(stderr, "dbgrun: break at 0x%08lX\n", reinterpret_cast<unsigned long>(record.ExceptionAddress));
                initialBreakSeen = true;
            } else {
                status = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        }
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile)
                CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile)
                CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            exitCode = event.u.ExitProcess.dwExitCode;
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
            break;
    }
    if (out != stdout)
        fclose(out);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return static_cast<int>(exitCode);
}
