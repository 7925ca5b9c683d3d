#include "child_processes.h"
#include "launcher_choice.h"
#include "report_text.h"
#include <stdio.h>

static const std::string StartedLine = "Tarnwick: the program started ";
static const std::string HeldEnd = "), held for the launcher.\n";

struct WatchedChild {
    ChildWatch *watch;
    DWORD id = 0, parentId = 0;
    std::string label;
    HANDLE process = nullptr;
    HANDLE helper = nullptr, helperOut = nullptr;  // the other launcher and its standard output
    bool channelOpen = false;
    ReportChannel channel;
    CrashSplitter splitter;
    char answer = 0;  // to the message being taken
    bool loaded = false;  // the library is in it: its report is wanted
    std::vector<std::pair<bool, std::string>> pieces;  // (for standard error, text), kept until it ends
    HANDLE waiter = nullptr;
};

std::string ProcessLabel(HANDLE process, DWORD id)
{
    wchar_t path[MAX_PATH] = L"?";
    DWORD length = MAX_PATH;
    QueryFullProcessImageNameW(process, 0, path, &length);
    return WideToAnsi(path) + " (process id " + std::to_string(id) + ")";
}

// The process and thread ids of a "held for the launcher" line.
static bool ParseHeld(const std::string &line, DWORD &process, DWORD &thread)
{
    size_t at = line.rfind(" (process id ");
    unsigned long p, t;
    char end[40];
    if (line.compare(0, StartedLine.size(), StartedLine) != 0 || line.size() < HeldEnd.size() ||
        line.compare(line.size() - HeldEnd.size(), HeldEnd.size(), HeldEnd) != 0 || at == std::string::npos ||
        sscanf(line.c_str() + at, " (process id %lu, thread id %lu%39[^\n]", &p, &t, end) != 3 ||
        end + std::string("\n") != HeldEnd)
        return false;
    process = p;
    thread = t;
    return true;
}

// Loads the library into a held process of this launcher's kind, with its
// channel open to take what it writes; the process stays held.
static bool LoadIntoHeld(HANDLE process, DWORD id, ReportChannel &channel, const LaunchOptions &options,
                         const std::wstring &dllPath, const LibraryExports &exports, std::string &why)
{
    DWORD status;
    if (!OpenReportChannel(channel, id, status)) {
        why = "cannot create its report channel (error " + std::to_string(status) + ")";
        return false;
    }
    std::wstring own;
    switch (InjectLibrary(process, options, dllPath, exports, status, own, why)) {
    case Injection::EndedInStartUp: {
        char text[80];
        snprintf(text, sizeof text, "it ended during start-up with status 0x%08lX", status);
        why = text;
        return false;
    }
    case Injection::OwnCopy:
        fprintf(stderr, "tarnwick: %s loads its own Tarnwick.dll (%ls); it is left to that copy\n",
                ProcessLabel(process, id).c_str(), own.c_str());
        return true;
    case Injection::Loaded:
        return true;
    default:
        return false;
    }
}

// Quoted for the other launcher's command line.
static std::wstring Quoted(const std::wstring &text)
{
    return L"\"" + text + L"\"";
}

// The other launcher, loading the library into the held child and relaying
// its channel to a pipe of this launcher's.
static bool StartHelper(WatchedChild &child, DWORD thread, std::string &why)
{
    const LaunchOptions &options = *child.watch->options;
    std::wstring line = Quoted(OtherLauncherPath());
    if (options.depth)
        line += L" --depth " + std::to_wstring(options.depth);
    if (options.hasSymbolPath)
        line += L" --symbol-path " + Quoted(options.symbolPath);
    if (options.hasSourceRoot)
        line += L" --source-root " + Quoted(options.sourceRoot);
    if (!options.classify)
        line += L" --all";
    if (ReachableStacksNeeded(options))
        line += L" --show-reachable";
    line += L" --attach " + std::to_wstring(child.id) + L"," + std::to_wstring(thread);
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE write;
    if (!CreatePipe(&child.helperOut, &write, &inherited, 0)) {
        why = "cannot create a pipe (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    SetHandleInformation(child.helperOut, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION helper;
    bool started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &helper);
    if (!started)
        why = "its launcher " + WideToAnsi(OtherLauncherPath()) + " cannot be started (error " +
              std::to_string(GetLastError()) + ")";
    CloseHandle(write);
    if (!started)
        return false;
    CloseHandle(helper.hThread);
    child.helper = helper.hProcess;
    return true;
}

// Writes what the child's library wrote, headed, as the program's own
// output is written; its crash report, headed too, to standard error.
static void WriteChildOutput(WatchedChild &child)
{
    ChildWatch &watch = *child.watch;
    std::string heading = "Tarnwick: the report of " + child.label + ", started by process " +
                          std::to_string(child.parentId) + ":\n";
    EnterCriticalSection(&watch.lock);
    ReportReader reader;
    ConnectReportOutput(reader, *watch.output, child.label);
    reader.passThrough(heading);
    bool headedErr = false;
    for (const auto &piece : child.pieces) {
        if (piece.first && !headedErr)
            fputs(heading.c_str(), stderr);
        headedErr = headedErr || piece.first;
        if (piece.first)
            fwrite(piece.second.data(), 1, piece.second.size(), stderr);
        else
            reader.Feed(piece.second.data(), piece.second.size());
    }
    reader.Finish();
    watch.processes.push_back(child.label);
    LeaveCriticalSection(&watch.lock);
}

static DWORD WINAPI AwaitChild(void *argument)
{
    WatchedChild &child = *static_cast<WatchedChild *>(argument);
    if (child.helper) {
        char buffer[65536];
        DWORD got;
        while (ReadFile(child.helperOut, buffer, sizeof buffer, &got, nullptr) && got)
            child.splitter.Feed(std::string(buffer, got));
        WaitForSingleObject(child.helper, INFINITE);
        DWORD code = 1;
        GetExitCodeProcess(child.helper, &code);
        child.loaded = code == 0;
    } else {
        WaitForSingleObject(child.process, INFINITE);
    }
    if (child.channelOpen)
        CloseReportChannel(child.channel);
    child.splitter.Finish();
    if (child.loaded)
        WriteChildOutput(child);
    return 0;
}

void BeginChildWatch(ChildWatch &watch, const LaunchOptions &options, const std::wstring &dllPath,
                     const LibraryExports &exports, ReportOutput &output)
{
    watch.options = &options;
    watch.dllPath = dllPath;
    watch.exports = exports;
    watch.output = &output;
    InitializeCriticalSection(&watch.lock);
}

bool TakeChildLine(ChildWatch &watch, const std::string &line, DWORD parentId)
{
    DWORD id, threadId;
    if (!ParseHeld(line, id, threadId)) {
        fputs(line.c_str(), stderr);
        return false;
    }
    std::string named = line.substr(0, line.rfind(", thread id ")) + "), which runs without the detector";
    if (!watch.options->children || !watch.options->inject) {
        fprintf(stderr, "%s.\n", named.c_str());
        return false;
    }
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, threadId);
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, id);
    if (!thread || !process) {
        fprintf(stderr, "%s: it cannot be opened (error %lu).\n", named.c_str(), GetLastError());
        if (thread)
            CloseHandle(thread);
        if (process)
            CloseHandle(process);
        return false;
    }
    WatchedChild *child = new WatchedChild;
    child->watch = &watch;
    child->id = id;
    child->parentId = parentId;
    child->process = process;
    child->label = ProcessLabel(process, id);
    child->splitter.crashText = [child](const std::string &text) { child->pieces.emplace_back(true, text); };
    child->splitter.otherText = [child](const std::string &text) { child->pieces.emplace_back(false, text); };
    child->splitter.childText = [child](const std::string &text) {
        child->answer = TakeChildLine(*child->watch, text, child->id) ? 'w' : 0;
    };
    std::string why;
    bool watched;
    if (OtherKindProcess(process)) {
        // The other launcher resumes it.
        watched = StartHelper(*child, threadId, why);
    } else {
        child->channel.take = [child](const std::string &text) {
            child->answer = 0;
            child->splitter.Feed(text);
            return child->answer;
        };
        child->channelOpen = true;
        watched = child->loaded = LoadIntoHeld(process, id, child->channel, *watch.options, watch.dllPath,
                                               watch.exports, why);
    }
    if (!watched)
        fprintf(stderr, "%s: %s.\n", named.c_str(), why.c_str());
    if (!child->helper)
        ResumeThread(thread);
    CloseHandle(thread);
    child->waiter = CreateThread(nullptr, 0, AwaitChild, child, 0, nullptr);
    EnterCriticalSection(&watch.lock);
    watch.children.push_back(child);
    LeaveCriticalSection(&watch.lock);
    return true;
}

void FinishChildWatch(ChildWatch &watch)
{
    for (size_t i = 0;; i++) {
        EnterCriticalSection(&watch.lock);
        WatchedChild *child = i < watch.children.size() ? watch.children[i] : nullptr;
        LeaveCriticalSection(&watch.lock);
        if (!child)
            break;
        // A child that outlives the program is waited for: its report is wanted.
        if (WaitForSingleObject(child->process, 0) == WAIT_TIMEOUT)
            fprintf(stderr, "tarnwick: waiting for %s, which still runs, for its report\n", child->label.c_str());
        WaitForSingleObject(child->waiter, INFINITE);
    }
}

int AttachHeld(const LaunchOptions &options, const std::wstring &dllPath, const LibraryExports &exports)
{
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, options.attachProcess);
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, options.attachThread);
    if (!process || !thread) {
        fprintf(stderr, "tarnwick: cannot open process %lu (error %lu)\n", options.attachProcess, GetLastError());
        return 1;
    }
    ReportChannel channel;
    // Children of the child are the first launcher's to watch: it resumes them.
    channel.take = [](const std::string &text) {
        fwrite(text.data(), 1, text.size(), stdout);
        fflush(stdout);
        DWORD process, thread;
        return ParseHeld(text, process, thread) ? 'w' : '\0';
    };
    std::string why;
    bool loaded = LoadIntoHeld(process, options.attachProcess, channel, options, dllPath, exports, why);
    if (!loaded)
        fprintf(stderr, "Tarnwick: the program started %s, which runs without the detector: %s.\n",
                ProcessLabel(process, options.attachProcess).c_str(), why.c_str());
    ResumeThread(thread);
    WaitForSingleObject(process, INFINITE);
    CloseReportChannel(channel);
    return loaded ? 0 : 1;
}
