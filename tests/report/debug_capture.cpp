#include "debug_capture.h"
#include <windows.h>
#include <stdio.h>

static std::vector<std::string> *ActivePieces;

DebugCapture::DebugCapture()
{
    ActivePieces = &pieces_;
    handle_ = AddVectoredExceptionHandler(1, Handler);
}

DebugCapture::~DebugCapture()
{
    RemoveVectoredExceptionHandler(handle_);
    ActivePieces = nullptr;
}

long __stdcall DebugCapture::Handler(EXCEPTION_POINTERS *pointers)
{
    const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
    if (record->ExceptionCode != 0x40010006 || !ActivePieces || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    // Information[0] counts the terminating zero.
    size_t length = record->ExceptionInformation[0];
    const char *text = reinterpret_cast<const char *>(record->ExceptionInformation[1]);
    ActivePieces->push_back(std::string(text, length ? length - 1 : 0));
    return EXCEPTION_CONTINUE_EXECUTION;
}

std::string DebugCapture::Text() const
{
    std::string all;
    for (const std::string &piece : pieces_)
        all += piece;
    return all;
}

std::string Hex8(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}
