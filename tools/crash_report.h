// A program that dies of an unhandled exception: the message that says so,
// and sending its dying thread into the process's exit, where the library's
// exit hook writes the report that an abrupt end would skip.
#pragma once
#include <windows.h>
#include <stdint.h>
#include <string>

// "0x" and the address in upper-case hexadecimal, as wide as a pointer of
// this build (8 digits, 16 on x64), as the library prints addresses.
std::string HexAddress(uintptr_t address);

// "tarnwick: the program died of exception 0x... at 0x... (where)\n"; where is
// the source file(line) or module+offset of the address when known.
std::string DescribeCrash(HANDLE process, const EXCEPTION_RECORD &record);

// Makes the thread, stopped at its last-chance exception, call
// NtTerminateProcess(current process, code) as if the program had ended.
bool RedirectToTermination(HANDLE thread, HANDLE process, DWORD code);
