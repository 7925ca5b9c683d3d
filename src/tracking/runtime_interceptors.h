// Hooks on the C and C++ runtimes' allocating entries: malloc, operator new
// and the like.
#pragma once
#include <stdint.h>

// Set while the program's own start-up code runs: from a start made before
// it began (the launcher starts at the entry point) until main is entered.
// It copies the arguments and runs the static constructors, among them the
// C++ and thread runtimes' own set-up: nothing of that is recorded.
extern volatile bool InProgramStartup;

// Hooks the entries of the runtimes loaded now; a runtime loaded later is
// hooked at the next start. Returns how many are in place. Each hooked
// runtime is kept loaded until its hooks are out and released.
uint32_t InstallRuntimeHooks();
// Puts the entries back. A thread may still be inside a hook afterwards.
void RemoveRuntimeHooks();
// Once no thread is inside a hook any more: lets go of the runtimes whose
// hooks are out, so that they can be unloaded.
void ReleaseRuntimeModules();
