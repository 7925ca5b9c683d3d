// Why a program could not start: the system's refusal to create it, or its
// end inside the loader before its entry point (a DLL not found, a bad image).
#pragma once
#include <windows.h>
#include <string>

// For CreateProcessW's error code.
std::string DescribeCreateError(DWORD error);

// For a program that ended with status before the loader finished; imageFile
// is the program's image (from the debug event), used to name a missing DLL.
std::string DescribeStartupEnd(DWORD status, HANDLE imageFile);
