// Questions about the modules loaded in this process, asked cheaply. Under
// Wine, GetModuleHandleW of a module that is not loaded searches the DLL
// path on disk (about 0.7 ms a name), and GetModuleInformation reads the
// loader's list through server round trips: together milliseconds at every
// start.
#pragma once
#include <windows.h>
#include <stdint.h>

// The loaded module of that name ("ucrtbase", "kernel32.dll"), the first in
// load order, as GetModuleHandleW finds it; null when none is loaded.
HMODULE LoadedModule(const wchar_t *name);
// The module's image size from its mapped headers; 0 for null.
uint32_t LoadedImageSize(HMODULE module);
