/* Tarnwick: memory-leak detector for 32-bit Windows programs.
 *
 * Link against libTarnwick.a (mingw) or the import library, or load
 * Tarnwick.dll with LoadLibrary and look the functions up by name.
 * The report goes to the debugger output (OutputDebugStringW). */
#ifndef TARNWICK_H
#define TARNWICK_H

#include <stddef.h> /* wchar_t, for C clients */

#ifdef __cplusplus
extern "C" {
#endif

#ifdef TARNWICK_BUILDING_DLL
#define TARNWICK_API /* exported through the .def file, by undecorated name */
#else
#define TARNWICK_API __declspec(dllimport)
#endif

typedef struct TarnwickOptions {
    unsigned int stackDepth;      /* return addresses kept per block; 0 keeps the current value (16 at load) */
    int breakOnLeak;              /* DebugBreak after a dump that found leaks */
    int ownThreadOnly;            /* record only the thread that calls TarnwickSetOptions */
    unsigned int minRepeat;       /* print a leak group only if it has at least this many blocks */
    const wchar_t *symbolPath;    /* symbol search path (up to 1023 characters); NULL keeps the stored one */
    const wchar_t *sourceRoot;    /* directory to re-root source paths (up to 259 characters); NULL keeps it */
} TarnwickOptions;

typedef char TarnwickOptionsIs24Bytes[sizeof(TarnwickOptions) == 24 ? 1 : -1];

TARNWICK_API void __stdcall TarnwickSetOptions(const TarnwickOptions *options);
TARNWICK_API void __stdcall TarnwickStart(void);
TARNWICK_API void __stdcall TarnwickStop(void);
TARNWICK_API int __stdcall TarnwickDump(void);

#ifdef __cplusplus
}
#endif

#endif
