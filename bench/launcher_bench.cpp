// What the launcher costs, from one run, in seconds and ratios (medians):
//   fixed      a program that leaks nothing, alone, under tarnwick.exe and
//              under tarnwick.exe --no-inject;
//   work       whole runs of a program that throws and catches 200,000 C++
//              exceptions, and of one that sends 100,000 debug strings,
//              under tarnwick.exe against alone;
//   delivery   TarnwickDump of 1,000 and 10,000 groups in a program that
//              calls the library itself: its own work (alone; the program
//              announces the relay itself, so that the batches go to the
//              debugger output that nobody reads), and delivered to
//              tarnwick.exe --no-inject --out through its report channel.
// Usage: launcher_bench [fixed|work|delivery] [LAUNCHER]: the launcher is
// tarnwick.exe beside this program; the fixed cost and the work are also
// measured for LAUNCHER, another build's tarnwick.exe with the Tarnwick.dll
// beside it (its work once: under a debugger it takes a minute or more).
#include "bench_clock.h"
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <algorithm>
#include <string>
#include <vector>
#include "tarnwick.h"

namespace {

std::wstring Beside(const wchar_t *name)
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1) + name;
}

std::wstring Quoted(const std::wstring &path) { return L"\"" + path + L"\""; }

// Runs commandLine with its standard error discarded; its standard output,
// up to 4 KB, goes to out when given. Returns the seconds it took.
double Run(const std::wstring &commandLine, std::string *out = nullptr)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    CreatePipe(&read, &write, &inherit, 1 << 16);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    HANDLE null = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = null;
    PROCESS_INFORMATION process;
    std::wstring line = commandLine;
    double start = Now();
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        fprintf(stderr, "launcher_bench: cannot run %ls\n", commandLine.c_str());
        exit(1);
    }
    CloseHandle(write);
    // Read to the end (a launcher that relays debug strings writes them all),
    // keeping the first 4 KB.
    char buffer[4096], rest[4096];
    DWORD got, total = 0;
    while (ReadFile(read, total < sizeof buffer - 1 ? buffer + total : rest,
                    total < sizeof buffer - 1 ? sizeof buffer - 1 - total : sizeof rest, &got, nullptr) &&
           got)
        total = total < sizeof buffer - 1 ? total + got : total;
    WaitForSingleObject(process.hProcess, INFINITE);
    double seconds = Now() - start;
    buffer[total] = 0;
    if (out)
        *out = buffer;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(read);
    CloseHandle(null);
    return seconds;
}

// Rounds interleave the bare run with every launcher, so that a busy
// machine weighs on all of them alike.
void Fixed(const std::vector<std::wstring> &launchers)
{
    const std::wstring idle = Quoted(Beside(L"launcher_bench.exe")) + L" idle";
    std::vector<double> bare;
    std::vector<std::vector<double>> launched(launchers.size()), runner(launchers.size());
    for (int round = 0; round < 15; ++round) {
        bare.push_back(Run(idle));
        for (size_t i = 0; i < launchers.size(); ++i) {
            launched[i].push_back(Run(Quoted(launchers[i]) + L" " + idle));
            runner[i].push_back(Run(Quoted(launchers[i]) + L" --no-inject " + idle));
        }
    }
    double alone = Median(bare);
    printf("fixed cost, a program that leaks nothing (median of 15): alone %.3f s\n", alone);
    for (size_t i = 0; i < launchers.size(); ++i) {
        double full = Median(launched[i]), relay = Median(runner[i]);
        printf("  %ls: launched %.3f s (+%.3f s, %.2fx), --no-inject %.3f s (+%.3f s)\n", launchers[i].c_str(), full,
               full - alone, full / alone, relay, relay - alone);
    }
}

// The catching and throwing functions without frame pointers: on x64 Wine
// such frames break a throw when a debugger is attached, and the launcher of
// another build may be one.
__attribute__((noinline, optimize("omit-frame-pointer"))) void Throw(unsigned i) { throw i; }

__attribute__((optimize("omit-frame-pointer"))) int Exceptions(unsigned count)
{
    unsigned long long sum = 0;
    for (unsigned i = 0; i < count; i++) {
        try {
            Throw(i);
        } catch (unsigned caught) {
            sum += caught;
        }
    }
    return sum == static_cast<unsigned long long>(count) * (count - 1) / 2 ? 0 : 1;
}

int Strings(unsigned count)
{
    for (unsigned i = 0; i < count; i++)
        OutputDebugStringA("launcher_bench: one debug string of a program that writes many\n");
    return 0;
}

// Whole runs of the program in mode with count, alone and under each
// launcher; the first launcher (this build's) and the bare run in three
// rounds, the others once.
void Work(const std::vector<std::wstring> &launchers, const wchar_t *mode, unsigned count, const char *what)
{
    const std::wstring program = Quoted(Beside(L"launcher_bench.exe")) + L" " + mode + L" " + std::to_wstring(count);
    std::vector<double> bare;
    std::vector<std::vector<double>> launched(launchers.size());
    for (int round = 0; round < 3; ++round) {
        bare.push_back(Run(program));
        for (size_t i = 0; i < launchers.size(); ++i)
            if (round == 0 || i == 0)
                launched[i].push_back(Run(Quoted(launchers[i]) + L" " + program));
    }
    double alone = Median(bare);
    printf("%u %s (median of 3; another launcher: 1 run): alone %.3f s\n", count, what, alone);
    for (size_t i = 0; i < launchers.size(); ++i) {
        double full = Median(launched[i]);
        printf("  %ls: launched %.3f s, ratio %.2f\n", launchers[i].c_str(), full, full / alone);
    }
    fflush(stdout);
}

// Ten functions per decimal digit of n: four digits give every n below
// 10,000 a call stack of its own.
void *Descend(unsigned n, int digits);

template <int Digit>
__attribute__((noinline)) void *Branch(unsigned n, int digits)
{
    void *block = Descend(n, digits);
    asm volatile("" ::: "memory");  // keeps the call from becoming a jump
    return block;
}

__attribute__((noinline)) void *Descend(unsigned n, int digits)
{
    if (digits == 0)
        return HeapAlloc(GetProcessHeap(), 0, 16);
    void *(*const branches[])(unsigned, int) = {Branch<0>, Branch<1>, Branch<2>, Branch<3>, Branch<4>,
                                                Branch<5>, Branch<6>, Branch<7>, Branch<8>, Branch<9>};
    void *block = branches[n % 10](n / 10, digits - 1);
    asm volatile("" ::: "memory");
    return block;
}

// The program that calls the library (loaded here, so that the idle program
// knows nothing of it): leaks one block from each of groups stacks and
// prints how long TarnwickDump took.
int Leak(unsigned groups, bool announce)
{
    HMODULE dll = LoadLibraryW(Beside(L"Tarnwick.dll").c_str());
    auto start = (TarnwickStartFn)(void (*)(void))GetProcAddress(dll, "TarnwickStart");
    auto stop = (TarnwickStopFn)(void (*)(void))GetProcAddress(dll, "TarnwickStop");
    auto dump = (TarnwickDumpFn)(void (*)(void))GetProcAddress(dll, "TarnwickDump");
    if (!start || !stop || !dump)
        return 1;
    HANDLE relay = nullptr;
    if (announce) {
        std::wstring name = TARNWICK_RELAY_EVENT_PREFIX + std::to_wstring(GetCurrentProcessId());
        relay = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    }
    start();
    for (unsigned n = 0; n < groups; ++n)
        Descend(n, 4);
    stop();
    double begin = Now();
    int blocks = dump();
    printf("%.4f %d\n", Now() - begin, blocks);
    if (relay)
        CloseHandle(relay);
    return 0;
}

double Dump(const std::wstring &commandLine, unsigned groups)
{
    std::string out;
    Run(commandLine, &out);
    double seconds = 0;
    int blocks = 0;
    if (sscanf(out.c_str(), "%lf %d", &seconds, &blocks) != 2 || blocks != static_cast<int>(groups)) {
        fprintf(stderr, "launcher_bench: unexpected output \"%s\" from %ls\n", out.c_str(), commandLine.c_str());
        exit(1);
    }
    return seconds;
}

void Delivery(const std::wstring &launcher)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring out = L" --no-inject --out " + Quoted(std::wstring(temp) + L"launcher_bench report.txt") + L" ";
    const std::wstring program = Quoted(Beside(L"launcher_bench.exe"));
    printf("TarnwickDump of N groups (median of 3): own work, delivered through the report channel\n");
    for (unsigned groups : {1000u, 10000u}) {
        const std::wstring leak = program + L" leak " + std::to_wstring(groups);
        std::vector<double> own, delivered;
        for (int round = 0; round < 3; ++round) {
            own.push_back(Dump(leak + L" announce", groups));
            delivered.push_back(Dump(Quoted(launcher) + out + leak, groups));
        }
        double o = Median(own), d = Median(delivered);
        printf("  %5u groups: own %.3f s, delivered %.3f s (%.2fx own)\n", groups, o, d, d / o);
        fflush(stdout);
    }
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"idle")
        return 0;
    if (mode == L"leak")
        return Leak(argc > 2 ? wcstoul(argv[2], nullptr, 10) : 1000, argc > 3);
    if (mode == L"throw")
        return Exceptions(argc > 2 ? wcstoul(argv[2], nullptr, 10) : 0);
    if (mode == L"strings")
        return Strings(argc > 2 ? wcstoul(argv[2], nullptr, 10) : 0);
    std::vector<std::wstring> launchers = {Beside(L"tarnwick.exe")};
    if (argc > 2)
        launchers.push_back(argv[2]);
    if (mode.empty() || mode == L"fixed")
        Fixed(launchers);
    if (mode.empty() || mode == L"work") {
        Work(launchers, L"throw", 200000, "C++ exceptions thrown and caught");
        Work(launchers, L"strings", 100000, "debug strings");
    }
    if (mode.empty() || mode == L"delivery")
        Delivery(launchers[0]);
    return 0;
}
