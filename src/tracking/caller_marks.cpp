// The caller-mark rule (see caller_marks.h): the tables of runtime code.
#include "tracking/caller_marks.h"

CodeRange RuntimeCode[MaxRuntimeCode];
volatile uint32_t RuntimeCodeCount;
CodeRange ProgramImage;

void ClearRuntimeCode(uintptr_t programBegin, uintptr_t programEnd)
{
    RuntimeCodeCount = 0;
    ProgramImage = {programBegin, programEnd};
}

void AddRuntimeCode(uintptr_t begin, uintptr_t end)
{
    uint32_t count = RuntimeCodeCount;
    if (count == MaxRuntimeCode || begin >= end)
        return;
    RuntimeCode[count] = {begin, end};
    RuntimeCodeCount = count + 1;  // the range is whole before it counts
}
