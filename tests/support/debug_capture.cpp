#include "debug_capture.h"
#include <stdio.h>

const std::vector<std::string> &DebugCapture::Pieces()
{
    std::vector<std::string> taken = debug_capture::Take();
    pieces_.insert(pieces_.end(), taken.begin(), taken.end());
    return pieces_;
}

std::string DebugCapture::Text()
{
    std::string all;
    for (const std::string &piece : Pieces())
        all += piece;
    return all;
}

void DebugCapture::Clear()
{
    debug_capture::Take();
    pieces_.clear();
}

std::string HexAddress(uintptr_t value)
{
    char text[24];
    snprintf(text, sizeof text, "0x%0*llX", int(2 * sizeof value), static_cast<unsigned long long>(value));
    return text;
}
