#include "command_line.h"
#include <stdio.h>
#include <wchar.h>

const char UsageText[] =
    "usage: tarnwick [OPTIONS] [--] PROGRAM [ARGUMENTS...]\n"
    "Runs PROGRAM with Tarnwick.dll loaded and recording from before its entry\n"
    "point, and writes the library's output (the leak report at exit) to\n"
    "standard output, a crash report to standard error. PROGRAM runs as it\n"
    "runs alone: its arguments, standard streams, exit code and debug strings\n"
    "are its own.\n"
    "A program of the other kind (32-bit, 64-bit) goes to the launcher for it,\n"
    "x64\\tarnwick.exe beside the 32-bit one, ..\\tarnwick.exe from the 64-bit one.\n"
    "  --depth N           return addresses kept per leaked block (1-4096)\n"
    "  --min-repeat N      print only leak groups of at least N blocks\n"
    "  --symbol-path PATH  symbol search path for the report\n"
    "  --source-root DIR   look for moved source files under DIR\n"
    "  --out FILE          write the library's output to FILE instead\n"
    "  --leak-exit-code N  exit with N when the report lists a lost block (with\n"
    "                      --all: any block)\n"
    "  --all               list every block alive, not told lost or still reachable\n"
    "  --show-reachable    print still reachable groups in full\n"
    "  --suppress FILE     leave out groups that a rule in FILE matches (repeatable)\n"
    "  --alloc-fn PATTERN  leave out the leading frames of each group that PATTERN\n"
    "                      matches (a suppression rule), and merge the groups\n"
    "                      whose stacks become the same (repeatable)\n"
    "  --html FILE         also write the report as a page to look at\n"
    "  --sarif FILE        also write the report as SARIF 2.1.0\n"
    "  --no-children       leave the processes that PROGRAM starts unwatched\n"
    "                      (named on standard error); else each is watched too\n"
    "                      and its report follows, headed, when it ends\n"
    "  --attach PID,TID    (between the launchers) load the library into the\n"
    "                      held child PID, resume TID, relay its channel\n"
    "  --dll PATH          the Tarnwick.dll to load, of the program's kind\n"
    "                      (default: beside tarnwick.exe)\n"
    "  --no-inject         load nothing: only relay the output of a Tarnwick.dll\n"
    "                      that the program loads itself\n"
    "  --version           show the version\n"
    "  --help              show this text\n"
    "Exit code: the program's (or N, see --leak-exit-code); 123 Tarnwick.dll\n"
    "could not be loaded into the program, 124 Tarnwick.dll (or the launcher for\n"
    "the program's kind) not found or not usable, 125 bad usage, 126 the program\n"
    "cannot be started.\n";

static const wchar_t *SkipBlanks(const wchar_t *p)
{
    while (*p == L' ' || *p == L'\t')
        p++;
    return p;
}

const wchar_t *NextToken(const wchar_t *p, std::wstring *out)
{
    p = SkipBlanks(p);
    bool quoted = false;
    if (out)
        out->clear();
    for (; *p && (quoted || (*p != L' ' && *p != L'\t')); p++) {
        if (*p == L'"') {
            quoted = !quoted;
            continue;
        }
        if (out)
            *out += *p;
    }
    return p;
}

static std::string Narrow(const std::wstring &text)
{
    char buffer[1024];
    snprintf(buffer, sizeof buffer, "%ls", text.c_str());
    return buffer;
}

static bool ParseNumber(const std::wstring &text, unsigned long &value)
{
    if (text.empty() || text[0] < L'0' || text[0] > L'9')
        return false;
    wchar_t *end;
    value = wcstoul(text.c_str(), &end, 10);
    return *end == 0;
}

bool ParseLaunchOptions(const wchar_t *rest, LaunchOptions &options, std::string &error)
{
    std::wstring token, value;
    for (;;) {
        rest = SkipBlanks(rest);
        const wchar_t *after = NextToken(rest, &token);
        if (token == L"--help" || token == L"-h") {
            options.help = true;
            return true;
        }
        if (token == L"--version") {
            options.version = true;
            return true;
        }
        if (token == L"--") {
            rest = SkipBlanks(after);
            break;
        }
        if (token == L"--show-reachable") {
            options.showReachable = true;
            rest = after;
            continue;
        }
        if (token == L"--no-children") {
            options.children = false;
            rest = after;
            continue;
        }
        if (token == L"--no-inject" || token == L"--all") {
            (token == L"--all" ? options.classify : options.inject) = false;
            rest = after;
            continue;
        }
        if (token.compare(0, 2, L"--") != 0)
            break;
        static const wchar_t *const valued[] = {L"--depth", L"--min-repeat", L"--symbol-path", L"--source-root",
                                                L"--out", L"--dll", L"--leak-exit-code",
                                                L"--suppress", L"--alloc-fn", L"--html", L"--sarif", L"--attach"};
        bool known = false;
        for (const wchar_t *name : valued)
            known = known || token == name;
        if (!known) {
            error = "unknown option " + Narrow(token);
            return false;
        }
        if (!*SkipBlanks(after)) {
            error = Narrow(token) + " needs a value";
            return false;
        }
        rest = NextToken(after, &value);
        unsigned long number = 0;
        bool numeric = token == L"--depth" || token == L"--min-repeat" || token == L"--leak-exit-code";
        if (numeric && (!ParseNumber(value, number) || (token == L"--depth" && (number < 1 || number > 4096)))) {
            error = Narrow(token) + " takes a number" + (token == L"--depth" ? " from 1 to 4096" : "") + ", not \"" +
                    Narrow(value) + "\"";
            return false;
        }
        if (token == L"--attach" &&
            (swscanf(value.c_str(), L"%lu,%lu", &options.attachProcess, &options.attachThread) != 2 ||
             !options.attachProcess)) {
            error = "--attach takes a process id and a thread id, as in 284,285";
            return false;
        }
        if (!numeric && value.empty()) {
            error = Narrow(token) + " needs a value";
            return false;
        }
        if (token == L"--depth") {
            options.depth = number;
        } else if (token == L"--min-repeat") {
            options.minRepeat = number;
        } else if (token == L"--leak-exit-code") {
            options.hasLeakExitCode = true;
            options.leakExitCode = number;
        } else if (token == L"--symbol-path") {
            options.hasSymbolPath = true;
            options.symbolPath = value;
        } else if (token == L"--source-root") {
            options.hasSourceRoot = true;
            options.sourceRoot = value;
        } else if (token == L"--out") {
            options.outPath = value;
        } else if (token == L"--suppress") {
            options.suppressFiles.push_back(value);
        } else if (token == L"--alloc-fn") {
            options.allocFns.push_back(value);
        } else if (token == L"--html") {
            options.htmlPath = value;
        } else if (token == L"--sarif") {
            options.sarifPath = value;
        } else if (token == L"--attach") {
            // The other launcher's hand-over of a child: no program follows.
            return true;
        } else {
            options.dllPath = value;
        }
    }
    if (!*rest) {
        error = "no program given";
        return false;
    }
    options.programLine = rest;
    NextToken(rest, &options.program);
    return true;
}
