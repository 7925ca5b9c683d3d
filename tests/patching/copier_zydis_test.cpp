// The copier against the encodings Zydis measured at build time for this
// architecture (copier_encodings.c; their file lies beside this program).
// Each is copied near its source (both ways), on x86-64 more than 4 GB away,
// and without a destination: the copy is as long as Zydis says, byte for byte
// the source but for the displacement relative to the instruction's end,
// which from the copy's own address reaches the source's destination, or the
// copy is refused (nothing written, outputs 0): ERROR_NOT_SUPPORTED when it
// cannot reach, ERROR_INVALID_DATA for what the copier does not copy; on x86
// that is skipped instead.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <vector>

#include "patching/instruction_copier.h"

namespace {

const int Guard = 32;

// One record of the file, as copier_encodings.c writes it.
struct Encoding {
    uint8_t bytes[24];
    uint8_t length, at, width;  // length 0: refused
    char transfer;
};

intptr_t Field(const uint8_t *p, uint32_t width)
{
    int32_t value;
    memcpy(&value, p, 4);
    return width == 1 ? int8_t(*p) : width == 2 ? int16_t(value) : value;
}

// What is wrong with the copy of e from s to d (null: measured only), or "".
const char *Check(const Encoding &e, const uint8_t *s, uint8_t *d)
{
    if (d)
        memset(d - Guard, 0xA5, 3 * Guard);
    uintptr_t target = 1;
    int32_t extra = 1;
    SetLastError(0);
    uint32_t skipped = 0;
    const uint8_t *end = CopyInstructionEx(d, s, &target, &extra, &skipped);
#if !defined(_WIN64)
    if (e.length == 0)
        return skipped ? "" : "not skipped";
    if (skipped)
        return "skipped";
#endif
    // x86: call and jmp through a pointer at an absolute address, copied as they are.
    const bool absolute = sizeof(void *) == 4 && e.transfer == 'P';
    intptr_t old = e.width ? Field(s + e.at, e.width) : 0;
    uintptr_t destination = absolute ? old : uintptr_t(s) + e.length + old;
    intptr_t rebased = d && !absolute ? old + (s - d) : old;
    DWORD error = e.length == 0 ? ERROR_INVALID_DATA
                  : e.width == 4 && rebased != int32_t(rebased) ? ERROR_NOT_SUPPORTED : 0;
    for (int i = -Guard; d && i < 2 * Guard; ++i)
        if (d[i] != 0xA5 && (error || i < 0 || i >= e.length))
            return "wrote outside the instruction";
    if (error)
        return end || GetLastError() != error ? "not refused" : target || extra ? "refusal set outputs" : "";
    if (end != s + e.length)
        return "length";
    uintptr_t expected = e.transfer == 'T' || e.transfer == 'L' ? destination
                         : e.transfer == 'U'                    ? UnknownBranchTarget
                                                                : 0;
    if (e.transfer == 'P')
        memcpy(&expected, reinterpret_cast<const void *>(destination), sizeof expected);
    int32_t overflow = e.width == 1 && rebased != int8_t(rebased)    ? 3
                       : e.width == 2 && rebased != int16_t(rebased) ? 2
                                                                     : 0;
    overflow = e.transfer == 'L' ? -overflow : overflow;
    if (target != expected || extra != overflow)
        return "outputs";
    for (int i = 0; d && i < e.length; ++i)
        if (d[i] != s[i] && (absolute || i < e.at || i >= e.at + e.width))
            return "byte differs from the source";
    // Decoded at its own address the copy reaches the same place; an 8-bit one
    // that cannot holds the low byte.
    if (d && e.width && !absolute &&
        (overflow ? memcmp(d + e.at, &rebased, e.width) : uintptr_t(d) + e.length + Field(d + e.at, e.width) != destination))
        return "displacement not re-based";
    return "";
}

TEST(Copier, EncodingsMeasuredByZydis)
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    strcpy(strrchr(path, '\\') + 1, "copier_encodings.bin");
    FILE *file = fopen(path, "rb");
    ASSERT_NE(file, nullptr) << path;
    fseek(file, 0, SEEK_END);
    std::vector<Encoding> encodings(ftell(file) / sizeof(Encoding));
    rewind(file);
    ASSERT_EQ(fread(encodings.data(), sizeof(Encoding), encodings.size(), file), encodings.size());
    fclose(file);

    const size_t size = 0x40000;
    uint8_t *close = static_cast<uint8_t *>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    uint8_t *distant = static_cast<uint8_t *>(
        VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE | MEM_TOP_DOWN, PAGE_READWRITE));
    ASSERT_TRUE(close && distant);
#if defined(_WIN64)
    ASSERT_GT(distant - close, INT64_C(0x100000000));
#endif
    for (size_t i = 0; i < size; ++i)  // no two pointer-sized cells alike
        close[i] = uint8_t(i ^ i >> 8);
    uint8_t *s = close + 0x8000;
    uint8_t *destinations[] = {s + 0x60, s - 0x1000, distant + 0x8000, nullptr};
    uint32_t ripRelative = 0, branches = 0, failures = 0;
    for (const Encoding &e : encodings) {
        memcpy(s, e.bytes, sizeof e.bytes);
        ripRelative += sizeof(void *) == 8 && e.width == 4 && e.transfer != 'T';
        branches += e.transfer == 'T' || e.transfer == 'L';
#if !defined(_WIN64)
        if (e.transfer == 'P') {  // the pointer's address: a cell in the region
            uint32_t cell = uint32_t(uintptr_t(close + 0x30000));
            memcpy(s + e.at, &cell, 4);
        }
#endif
        for (uint8_t *d : destinations) {
            const char *what = Check(e, s, d);
            if (*what && ++failures <= 20)
                ADD_FAILURE() << testing::PrintToString(std::vector<int>(s, s + 12)) << " copied "
                              << (d ? d - s : 0) << " away: " << what;
        }
    }
    printf("%u encodings checked, %u relative branches, %u RIP-relative operands; %u disagreements\n",
           unsigned(encodings.size()), branches, ripRelative, failures);
    EXPECT_GT(sizeof(void *) == 8 ? ripRelative : branches, 10000u);
    EXPECT_EQ(failures, 0u);
    VirtualFree(close, 0, MEM_RELEASE);
    VirtualFree(distant, 0, MEM_RELEASE);
}

}  // namespace
