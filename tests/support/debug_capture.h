// Collects this process's own debug strings while no debugger is attached:
// OutputDebugStringW/A raise DBG_PRINTEXCEPTION_C, which a vectored handler
// sees first and swallows.
#pragma once
#include <windows.h>
#include <stdint.h>
#include <string.h>
#include <string>
#include <vector>

namespace debug_capture {

constexpr DWORD PrintException = 0x40010006;  // DBG_PRINTEXCEPTION_C

struct State {
    CRITICAL_SECTION lock;
    std::vector<std::string> strings;
    State() { InitializeCriticalSection(&lock); }
};

inline State &Captured()
{
    static State state;
    return state;
}

inline LONG CALLBACK Handler(EXCEPTION_POINTERS *pointers)
{
    const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
    if (record->ExceptionCode != PrintException || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    // Information[0]: length including the terminating zero; [1]: the text.
    size_t length = record->ExceptionInformation[0];
    const char *text = reinterpret_cast<const char *>(record->ExceptionInformation[1]);
    State &state = Captured();
    EnterCriticalSection(&state.lock);
    state.strings.emplace_back(text, length ? strnlen(text, length - 1) : 0);
    LeaveCriticalSection(&state.lock);
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Installs the handler once; false when a debugger would take the strings.
inline bool Install()
{
    static PVOID handle = AddVectoredExceptionHandler(1, Handler);
    return handle && !IsDebuggerPresent();
}

// The strings captured since the last call, in order.
inline std::vector<std::string> Take()
{
    State &state = Captured();
    EnterCriticalSection(&state.lock);
    std::vector<std::string> taken;
    taken.swap(state.strings);
    LeaveCriticalSection(&state.lock);
    return taken;
}

}  // namespace debug_capture

// The strings written from now on, one per OutputDebugString call.
class DebugCapture {
public:
    DebugCapture()
    {
        debug_capture::Install();
        debug_capture::Take();
    }
    const std::vector<std::string> &Pieces();
    std::string Text();
    void Clear();

private:
    std::vector<std::string> pieces_;
};

// "0x" and the upper-case hexadecimal digits of an address, all of them: 8
// on x86, 16 on x64.
std::string HexAddress(uintptr_t value);
