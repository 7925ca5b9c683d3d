/* Tarnwick: memory-leak detector for Windows programs, 32-bit (x86) and
 * 64-bit (x64). Each architecture has its own build of Tarnwick.dll, with the
 * same exports, options and report; a program loads the one of its own kind.
 *
 * A program loads Tarnwick.dll (by linking against its import library,
 * libTarnwick.dll.a, or with LoadLibraryW) and calls TarnwickStart where
 * recording is to begin. From then on every block that any module of the
 * process allocates through the Heap, Global or Local functions is recorded
 * with its call stack, and released blocks are forgotten (those of a heap
 * destroyed with HeapDestroy included). A block obtained
 * through the C runtime (malloc, operator new, strdup and the like, from
 * msvcrt.dll, ucrtbase.dll, libstdc++-6.dll or linked into the program) is
 * the caller's: its stack starts at the call of the runtime function; what
 * the runtimes allocate for themselves is left out of the report. TarnwickStop ends
 * recording and TarnwickDump reports what is still allocated. If the process
 * ends while recording, the library stops and reports by itself.
 *
 * Everything the library says goes to the debugger output
 * (OutputDebugStringW): the report, and a message beginning with "Tarnwick: "
 * for every refused call; under a launcher that announces a report channel,
 * to that channel instead (see TARNWICK_REPORT_PIPE_PREFIX). Nothing is
 * written to a file or a console.
 *
 * Exports, by name and by ordinal (all __stdcall, names undecorated; x64
 * has one calling convention and no decoration):
 *   1 TarnwickDump   2 TarnwickSetOptions   3 TarnwickStart   4 TarnwickStop
 *   5 TarnwickSetReportOptions
 *
 * Threads: call the five functions from one thread at a time (they take no
 * lock of their own). While recording, any thread of the process may
 * allocate and free; its calls are recorded unless ownThreadOnly says not.
 *
 * The report prints addresses in all their hexadecimal digits: 8 on x86, 16
 * on x64.
 *
 * For readable stacks, build an x86 program under test with frame pointers
 * (-fno-omit-frame-pointer: the x86 stack is walked through them; x64 is
 * unwound through the modules' unwind tables, and under Wine 8 a 64-bit
 * mingw C++ program built with frame pointers dies at its first throw
 * whenever a debugger is attached; the launcher attaches none) and with
 * debug information (-g: the library reads DWARF 2 to 5 itself; a PDB is
 * read by dbghelp, found through its symbol path). */
#ifndef TARNWICK_H
#define TARNWICK_H

#define TARNWICK_VERSION_MAJOR 0
#define TARNWICK_VERSION_MINOR 1
#define TARNWICK_VERSION_PATCH 0
#define TARNWICK_VERSION_STRING "0.1.0"

#if !defined(RC_INVOKED) /* resource scripts take the version macros only */

#include <stddef.h> /* wchar_t, for C programs */

#ifdef __cplusplus
extern "C" {
#endif

#ifdef TARNWICK_BUILDING_DLL
#define TARNWICK_API /* exported through the .def file, by undecorated name */
#else
#define TARNWICK_API __declspec(dllimport)
#endif

/* The options, set with TarnwickSetOptions. The library keeps its own copy,
 * which lasts until the process ends: a setting holds for every later
 * recording run until it is set again. Each call overwrites breakOnLeak,
 * ownThreadOnly and minRepeat (0 in those fields is a value like any other);
 * stackDepth, symbolPath and sourceRoot change only when given (nonzero,
 * non-null). */
typedef struct TarnwickOptions {
    /* Return addresses kept per block, 1 to 4096; 16 until set. 0 keeps the
     * stored value. A value above 4096 is refused with a message and the
     * depth is unchanged (the other fields are still taken). Read at
     * TarnwickStart: a run keeps the depth it started with. Each distinct
     * stack is kept once per run, in an area of its own (64 MB of address
     * space reserved in a 32-bit process, over 900,000 stacks of 16 frames;
     * 4 GB in a 64-bit one); should it fill, later blocks from new stacks are
     * still recorded and reported, without their stack. */
    unsigned int stackDepth;
    /* Nonzero: call DebugBreak after a dump that reported at least one leak
     * (without a debugger attached, that ends the process). */
    int breakOnLeak;
    /* Nonzero: record only allocations made by the thread that called
     * TarnwickSetOptions (each call moves the filter to its own thread). */
    int ownThreadOnly;
    /* A group of blocks with the same call stack is reported only if it has
     * at least this many blocks; 0 and 1 report every group. */
    unsigned int minRepeat;
    /* Symbol search path for dbghelp, at most 1023 characters; NULL keeps the
     * stored path (empty until set). While it is empty, dbghelp searches
     * where it does by default: the current directory, _NT_SYMBOL_PATH and
     * _NT_ALT_SYMBOL_PATH, the image's folder, the PDB path the image
     * records. A longer string is refused with a message. It is read once, at the first TarnwickStart (dbghelp itself
     * is opened when a dump first has a frame to resolve, with that path): a
     * path set after that has no effect. */
    const wchar_t *symbolPath;
    /* Directory under which source files that are not found at their
     * recorded path are looked for, at most 259 characters; NULL keeps the
     * stored directory. A longer string is refused with a message. While it
     * is empty when the first run starts, it is read from the registry
     * (HKLM\SOFTWARE\Microsoft\VisualStudio\9.0, else 8.0, \Setup\VC,
     * value ProductDir), and that value is then kept like a set one. */
    const wchar_t *sourceRoot;
} TarnwickOptions;

/* Stores the options (see TarnwickOptions); the record is only read and need
 * not outlive the call. Refused with a message, changing nothing, while
 * recording runs or when options is NULL. */
TARNWICK_API void __stdcall TarnwickSetOptions(const TarnwickOptions *options);

/* Begins a recording run: clears the records of any earlier run that was not
 * dumped and hooks the allocator functions. Refused with a message while
 * already recording. If the record heap cannot be created it writes
 * "Tarnwick: out of memory." and does not record; if some allocator
 * function cannot be hooked it writes "Tarnwick: cannot detect memory
 * leak." and records what the other hooks see. The C runtimes loaded now
 * are hooked too (one loaded later, from the next start) and kept loaded
 * until TarnwickStop. Called before a mingw program's start-up code has run
 * (at its entry point), it records nothing until main is entered. */
TARNWICK_API void __stdcall TarnwickStart(void);

/* Ends the recording run: waits until allocator calls in progress on other
 * threads have left the hooks, then removes the hooks. The records are kept
 * for TarnwickDump. Refused with a message while not recording. */
TARNWICK_API void __stdcall TarnwickStop(void);

/* Writes the report of the stopped run to the debugger output and forgets
 * its records. Returns the number of leaked blocks reported (blocks in
 * groups below minRepeat, and blocks allocated directly by Windows system
 * modules, are not counted), 0 when there are none; in the classifying mode
 * (TarnwickSetReportOptions) the number of lost blocks reported. Refused with a message,
 * returning 0, while recording and when no run has been stopped since the
 * last dump. */
TARNWICK_API int __stdcall TarnwickDump(void);

/* How the report is written, set with TarnwickSetReportOptions. The record
 * may grow in later versions: size says how much of it the caller filled. */
typedef struct TarnwickReportOptions {
    /* sizeof(TarnwickReportOptions), or 8 for a record of the first version
     * (size and classify): at least 8. A larger record (from a later version
     * of this header) is accepted; only the fields known here are read. */
    unsigned int size;
    /* Nonzero: the report tells lost blocks from still reachable ones. At
     * every dump (TarnwickDump and the dump at process exit) the library then
     * scans the program's memory for aligned pointer-sized values (4 bytes on
     * x86, 8 on x64) that point to the
     * first byte of a recorded block or anywhere inside it: in the writable
     * sections of every loaded module, the other threads' stacks and
     * registers (the threads are suspended while they are read; at process
     * exit they have already ended and do not count), the calling thread's
     * stack above the library's frames, every thread's TLS slots (expansion
     * slots included) and fiber-local storage, and the heap blocks that are
     * not recorded (allocated before TarnwickStart, for example). A block
     * that such a value points into is still reachable, and so is every
     * block that a value inside a reachable block points into; every other
     * block is lost. A movable Global or Local block counts as reached
     * through its handle or through any address inside its data. After
     * "Tarnwick: Memory leak dump" the report then prints the line
     * "Tarnwick: Lost blocks (nothing in the program's memory points to them
     * any more):" and the lost groups, then the line "Tarnwick: Still
     * reachable blocks (the program still holds a pointer to them):" and the
     * reachable groups, each group in the usual format; blocks with one call
     * stack that fall in both sections form a group in each. A section
     * without groups shows "None." and an empty line. TarnwickDump then
     * returns the number of lost blocks reported. The scan is conservative:
     * any value that happens to equal an address inside a block keeps it
     * reachable. 0 (the default): the report lists every block alive, as
     * described at TarnwickDump. */
    int classify;
    /* Nonzero, with classify: each still reachable group is written as its
     * "Memory block" line alone, without frame lines, so that the dump
     * resolves no stack for it (opening the symbols costs tens of
     * milliseconds when nothing is lost). For a caller that counts the
     * reachable groups without showing them. Read only when size covers it
     * (12 and up); 0 when not. */
    int reachableWithoutStacks;
} TarnwickReportOptions;

/* Stores the report options (see TarnwickReportOptions); they last until the
 * process ends or they are set again, and a dump uses the ones set at its
 * time. Refused with a message, changing nothing, while recording runs, when
 * options is NULL or cannot be read, and when options->size is below 8. */
TARNWICK_API void __stdcall TarnwickSetReportOptions(const TarnwickReportOptions *options);

/* The report in batches. A debugger receives one event per debug string,
 * which makes a report of many pieces slow to arrive. A debugger that relays
 * the output as a whole creates an event named
 * TARNWICK_RELAY_EVENT_PREFIX followed by the program's process id in
 * decimal ("TarnwickRelay.1234"), before the program runs, and keeps it while
 * it debugs the program. While that event exists, TarnwickDump writes the
 * same text in fewer, longer strings (whole pieces, at most 20,480
 * characters each) and writes what it holds before it returns; a group
 * whose blocks differ in size then also tells their sum in its line:
 * "Memory block N bytes at ADDRESS (K times, B bytes in all)", and a frame
 * line without a source line ends, before its newline, in tab-led fields:
 * "\tat MODULE+0xOFFSET" (lower-case hexadecimal) for a frame without a
 * symbol, and "\tmissing PATH|PDB|GUID|AGE" for a frame in a module outside
 * the system's folders that has no line information (PDB, GUID and AGE from
 * the image's CodeView record, all three empty when it has none). Without it,
 * every piece is a string of its own. Other processes, the program's own
 * children included, have other ids and are not affected. */
#define TARNWICK_RELAY_EVENT_PREFIX L"TarnwickRelay."

/* The report channel. A launcher that reads the library's output from a
 * channel of its own (tarnwick.exe does) creates a duplex message-mode named
 * pipe called TARNWICK_REPORT_PIPE_PREFIX followed by the program's process
 * id in decimal ("\\.\pipe\TarnwickReport.1234") before the library loads.
 * The library connects to it when it loads and then writes everything it
 * would write to the debugger output there instead, as UTF-16 text, one
 * message per write, and waits for a one-byte answer to each: messages at
 * once, a dump in batches of whole pieces (at most 20,480 characters each)
 * written as each fills, with the additions to a dump that a relaying
 * debugger gets (above). While connected, it also reports an unhandled
 * exception itself: a line "Tarnwick: the program died of exception 0xCODE
 * at 0xADDRESS; its call stack:", the faulting thread's stack in the frame
 * lines of a leak group and an empty line, then the exit report when
 * recording; the process then ends with the exception code. Each process
 * that the program creates, it creates suspended and names in a message
 * "Tarnwick: the program started PATH (process id N, thread id T), held
 * for the launcher.": an answer 'w' means the launcher resumes that thread
 * (after loading the library into the child), any other the library resumes
 * it. A child the program creates suspended, under a debugger or protected
 * is left alone and named in a line "Tarnwick: the program started PATH
 * (process id N), which runs without the detector: REASON.". When a write
 * fails (the reader is gone), the output goes to the debugger output again.
 * Without the pipe nothing of this changes anything. */
#define TARNWICK_REPORT_PIPE_PREFIX L"\\\\.\\pipe\\TarnwickReport."

/* The functions' types, for programs that load Tarnwick.dll with LoadLibraryW.
 * GetProcAddress returns FARPROC; converting through void (*)(void) keeps
 * GCC's -Wcast-function-type quiet:
 *   TarnwickStartFn start =
 *       (TarnwickStartFn)(void (*)(void))GetProcAddress(dll, "TarnwickStart"); */
typedef void(__stdcall *TarnwickSetOptionsFn)(const TarnwickOptions *options);
typedef void(__stdcall *TarnwickStartFn)(void);
typedef void(__stdcall *TarnwickStopFn)(void);
typedef int(__stdcall *TarnwickDumpFn)(void);
typedef void(__stdcall *TarnwickSetReportOptionsFn)(const TarnwickReportOptions *options);

#ifdef __cplusplus
}
#endif

#endif /* not a resource script */
#endif /* TARNWICK_H */
