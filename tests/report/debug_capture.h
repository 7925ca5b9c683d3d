// Catches this process's own debug output, one string per OutputDebugString
// call, while no debugger is attached.
#pragma once
#include <string>
#include <vector>

class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    const std::vector<std::string> &Pieces() const { return pieces_; }
    std::string Text() const;
    void Clear() { pieces_.clear(); }

private:
    static long __stdcall Handler(struct _EXCEPTION_POINTERS *pointers);
    void *handle_;
    std::vector<std::string> pieces_;
};

// "0x" and the eight upper-case hexadecimal digits of a 32-bit value.
std::string Hex8(uint32_t value);
