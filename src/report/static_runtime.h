// The runtime a program links in itself (mingw's -static: libgcc's
// thread-local emulation and unwinder, winpthreads, the C++ runtime's locale
// and exception machinery, the start-up code), found by name in the
// program's COFF symbol table. What that code allocates for itself on first
// use (a mutex, a thread key, a locale's facets) is the runtime's own and is
// left out of the report, as the runtime DLLs' own blocks are. What it
// allocates for the program (a string's characters, a container's buffer)
// comes from functions not named here and stays the program's.
#pragma once
#include <stdint.h>

// Whether address lies in such a function. The program's table is read on
// first use and kept until ForgetStaticRuntime.
bool IsStaticRuntimeCode(uintptr_t address);
void ForgetStaticRuntime();
