// The copier's documented cases: re-basing, lengths of every addressing
// form, prefixes, the groups, the opcodes it does not copy, bad input.
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>

#include <vector>

#include "patching/instruction_copier.h"

namespace {

// Source and destination in one region, so that their distance is chosen.
class CopierCase : public ::testing::Test {
protected:
    void SetUp() override
    {
        region = static_cast<uint8_t *>(
            VirtualAlloc(nullptr, 0x20000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        ASSERT_NE(region, nullptr);
        memset(region, 0xA5, 0x20000);
        source = region + 0x8000;
    }
    void TearDown() override { VirtualFree(region, 0, MEM_RELEASE); }

    // Copies bytes placed at the source to source + distance.
    const uint8_t *Copy(std::vector<uint8_t> bytes, int32_t distance)
    {
        destination = source + distance;
        memset(destination, 0xA5, 48);
        memcpy(source, bytes.data(), bytes.size());
        branchTarget = 0x12345678;
        extraBytes = 0x1234;
        return CopyInstruction(destination, source, &branchTarget, &extraBytes);
    }
    uint32_t At(uint32_t offset) { return uint32_t(uintptr_t(source)) + offset; }
    std::vector<uint8_t> Copied(size_t n) { return {destination, destination + n}; }

    uint8_t *region = nullptr;
    uint8_t *source = nullptr;
    uint8_t *destination = nullptr;
    uint32_t branchTarget = 0;
    int32_t extraBytes = 0;
};

using Bytes = std::vector<uint8_t>;

TEST_F(CopierCase, NearCallIsRebasedAtFullWidth)
{
    EXPECT_EQ(Copy({0xE8, 0, 0, 0, 0}, 0x1000), source + 5);
    EXPECT_EQ(Copied(5), (Bytes{0xE8, 0x00, 0xF0, 0xFF, 0xFF}));
    EXPECT_EQ(branchTarget, At(5));
    EXPECT_EQ(extraBytes, 0);
    // Backwards by more than 2 GB wraps modulo 2^32 and still reaches.
    memcpy(source, "\xE9\x00\x00\x00\x80", 5);
    uint8_t distant[8];
    EXPECT_EQ(CopyInstruction(distant, source, &branchTarget, &extraBytes), source + 5);
    int32_t rebased;
    memcpy(&rebased, distant + 1, 4);
    EXPECT_EQ(uint32_t(uintptr_t(distant)) + 5 + uint32_t(rebased), At(5) + 0x80000000u);
    EXPECT_EQ(branchTarget, At(5) + 0x80000000u);
    EXPECT_EQ(extraBytes, 0);
}

TEST_F(CopierCase, ShortJumpFitsNearAndOverflowsFar)
{
    EXPECT_EQ(Copy({0xEB, 0x10}, 0x80), source + 2);
    EXPECT_EQ(Copied(2), (Bytes{0xEB, 0x90}));
    EXPECT_EQ(branchTarget, At(0x12));
    EXPECT_EQ(extraBytes, 0);

    EXPECT_EQ(Copy({0xEB, 0x10}, 0x1000), source + 2);
    EXPECT_EQ(Copied(2), (Bytes{0xEB, 0x10}));  // -0xFF0 truncated
    EXPECT_EQ(branchTarget, At(0x12));
    EXPECT_EQ(extraBytes, 3);

    // Limits of 8 bits: -128 fits, 128 does not; copying backwards adds.
    EXPECT_EQ(Copy({0x74, 0x00}, 0x80), source + 2);
    EXPECT_EQ(Copied(2), (Bytes{0x74, 0x80}));
    EXPECT_EQ(extraBytes, 0);
    EXPECT_EQ(Copy({0x74, 0x00}, -0x7F), source + 2);
    EXPECT_EQ(Copied(2), (Bytes{0x74, 0x7F}));
    EXPECT_EQ(extraBytes, 0);
    EXPECT_EQ(Copy({0x74, 0x00}, -0x80), source + 2);
    EXPECT_EQ(Copied(2), (Bytes{0x74, 0x80}));
    EXPECT_EQ(extraBytes, 3);
    EXPECT_EQ(Copy({0x7F, 0xFE}, 0x81), source + 2);  // -2 - 0x81 = -0x83
    EXPECT_EQ(branchTarget, At(0));
    EXPECT_EQ(extraBytes, 3);
}

TEST_F(CopierCase, LoopReportsOverflowNegatedJecxzDoesNot)
{
    EXPECT_EQ(Copy({0xE2, 0x10}, 0x1000), source + 2);
    EXPECT_EQ(extraBytes, -3);
    EXPECT_EQ(branchTarget, At(0x12));
    EXPECT_EQ(Copy({0xE0, 0x10}, 0x1000), source + 2);
    EXPECT_EQ(extraBytes, -3);
    EXPECT_EQ(Copy({0xE2, 0x10}, 0x10), source + 2);
    EXPECT_EQ(extraBytes, 0);  // fits: nothing to negate
    EXPECT_EQ(Copied(2), (Bytes{0xE2, 0x00}));
    EXPECT_EQ(Copy({0xE3, 0x10}, 0x1000), source + 2);
    EXPECT_EQ(extraBytes, 3);
}

TEST_F(CopierCase, ConditionalNearJumpAfterEscape)
{
    EXPECT_EQ(Copy({0x0F, 0x84, 0x20, 0x01, 0x00, 0x00}, 0x3000), source + 6);
    EXPECT_EQ(branchTarget, At(6 + 0x120));
    EXPECT_EQ(Copied(6), (Bytes{0x0F, 0x84, 0x20, 0xD1, 0xFF, 0xFF}));
    EXPECT_EQ(extraBytes, 0);
}

TEST_F(CopierCase, OperandSizePrefixMakesSixteenBitDisplacement)
{
    EXPECT_EQ(Copy({0x66, 0xE9, 0x10, 0x00, 0x90, 0x90}, 0x100), source + 4);
    EXPECT_EQ(branchTarget, At(4 + 0x10));
    EXPECT_EQ(Copied(5), (Bytes{0x66, 0xE9, 0x10, 0xFF, 0xA5}));  // only 4 bytes written
    EXPECT_EQ(extraBytes, 0);
    // 16-bit limits: 32767 fits, 32768 does not.
    EXPECT_EQ(Copy({0x66, 0xE9, 0x00, 0x00}, -0x7FFF), source + 4);
    EXPECT_EQ(extraBytes, 0);
    EXPECT_EQ(Copy({0x66, 0xE9, 0x00, 0x00}, -0x8000), source + 4);
    EXPECT_EQ(Copied(4), (Bytes{0x66, 0xE9, 0x00, 0x80}));
    EXPECT_EQ(extraBytes, 2);
    EXPECT_EQ(Copy({0x66, 0x0F, 0x85, 0xF0, 0xFF}, 0x10000), source + 5);
    EXPECT_EQ(branchTarget, At(5 - 0x10));
    EXPECT_EQ(extraBytes, 2);
}

TEST_F(CopierCase, IndirectTransfersThroughGroupFF)
{
    uint32_t cell = 0xCAFEF00D;
    uint32_t address = uint32_t(uintptr_t(&cell));
    Bytes jmp = {0xFF, 0x25};
    jmp.insert(jmp.end(), reinterpret_cast<uint8_t *>(&address), reinterpret_cast<uint8_t *>(&address) + 4);
    EXPECT_EQ(Copy(jmp, 0x1000), source + 6);
    EXPECT_EQ(Copied(6), jmp);
    EXPECT_EQ(branchTarget, 0xCAFEF00Du);
    jmp[1] = 0x15;  // call through the same pointer
    EXPECT_EQ(Copy(jmp, 0x1000), source + 6);
    EXPECT_EQ(branchTarget, 0xCAFEF00Du);

    EXPECT_EQ(Copy({0xFF, 0xD0}, 0x1000), source + 2);  // call eax
    EXPECT_EQ(branchTarget, 0xFFFFFFFFu);
    EXPECT_EQ(Copy({0xFF, 0x60, 0x08}, 0x1000), source + 3);  // jmp [eax+8]
    EXPECT_EQ(branchTarget, 0xFFFFFFFFu);
    EXPECT_EQ(Copy({0xFF, 0x2C, 0x24}, 0x1000), source + 3);  // jmp distant [esp]
    EXPECT_EQ(branchTarget, 0xFFFFFFFFu);
    EXPECT_EQ(Copy({0xFF, 0x30}, 0x1000), source + 2);  // push [eax]
    EXPECT_EQ(branchTarget, 0u);
    EXPECT_EQ(Copy({0xFF, 0xC0}, 0x1000), source + 2);  // inc eax
    EXPECT_EQ(branchTarget, 0u);
    EXPECT_EQ(Copy({0xFF, 0xB4, 0x24, 1, 2, 3, 4}, 0x1000), source + 7);  // push [esp+disp32]
    EXPECT_EQ(branchTarget, 0u);
}

TEST_F(CopierCase, ReturnsAndInterrupts)
{
    EXPECT_EQ(Copy({0xC3}, 0x10), source + 1);
    EXPECT_EQ(branchTarget, 0u);
    EXPECT_EQ(Copy({0xC2, 0x08, 0x00}, 0x10), source + 3);
    EXPECT_EQ(branchTarget, 0u);
    EXPECT_EQ(Copy({0xCB}, 0x10), source + 1);
    EXPECT_EQ(branchTarget, 0xFFFFFFFFu);
    EXPECT_EQ(Copy({0xCC}, 0x10), source + 1);
    EXPECT_EQ(branchTarget, 0xFFFFFFFFu);
    EXPECT_EQ(Copy({0xCD, 0x2E}, 0x10), source + 2);
    EXPECT_EQ(branchTarget, 0xFFFFFFFFu);
    EXPECT_EQ(Copy({0xCA, 0x04, 0x00}, 0x10), source + 3);
    EXPECT_EQ(branchTarget, 0xFFFFFFFFu);
    EXPECT_EQ(Copy({0xEA, 1, 2, 3, 4, 5, 6}, 0x10), source + 7);
    EXPECT_EQ(branchTarget, 0xFFFFFFFFu);
    EXPECT_EQ(Copy({0x66, 0x9A, 1, 2, 3, 4}, 0x10), source + 6);
    EXPECT_EQ(branchTarget, 0xFFFFFFFFu);
}

TEST_F(CopierCase, EveryModRmAndSibForm)
{
    struct { Bytes bytes; uint32_t length; } forms[] = {
        {{0x8B, 0xC1}, 2},                           // mod 11
        {{0x8B, 0x01}, 2},                           // mod 00 [ecx]
        {{0x8B, 0x05, 1, 2, 3, 4}, 6},               // mod 00 disp32
        {{0x8B, 0x04, 0x24}, 3},                     // mod 00 SIB base esp
        {{0x8B, 0x04, 0x25, 1, 2, 3, 4}, 7},         // mod 00 SIB base 101: disp32
        {{0x8B, 0x04, 0x8D, 1, 2, 3, 4}, 7},         // index*4, no base
        {{0x8B, 0x41, 0x08}, 3},                     // mod 01 disp8
        {{0x8B, 0x44, 0x24, 0x08}, 4},               // mod 01 SIB disp8
        {{0x8B, 0x45, 0x08}, 3},                     // mod 01 [ebp+8]
        {{0x8B, 0x44, 0x25, 0x08}, 4},               // mod 01 SIB base 101 is ebp
        {{0x8B, 0x81, 1, 2, 3, 4}, 6},               // mod 10 disp32
        {{0x8B, 0x84, 0x24, 1, 2, 3, 4}, 7},         // mod 10 SIB disp32
        {{0x8B, 0x85, 1, 2, 3, 4}, 6},               // mod 10 [ebp+disp32]
        {{0x8B, 0x84, 0x25, 1, 2, 3, 4}, 7},         // mod 10 SIB base 101
        {{0xC7, 0x44, 0x24, 0x04, 1, 2, 3, 4}, 8},   // mov [esp+4], imm32
        {{0xC7, 0x04, 0x25, 1, 2, 3, 4, 5, 6, 7, 8}, 11},
        {{0x81, 0xEC, 0x00, 0x01, 0x00, 0x00}, 6},   // sub esp, imm32
        {{0x83, 0xEC, 0x10}, 3},                     // sub esp, imm8
        {{0x69, 0x45, 0x08, 1, 2, 3, 4}, 7},         // imul eax, [ebp+8], imm32
        {{0x0F, 0xB6, 0x44, 0x24, 0x04}, 5},         // movzx eax, byte [esp+4]
        {{0x0F, 0xBA, 0xE0, 0x03}, 4},               // bt eax, 3
    };
    for (auto &form : forms) {
        Bytes bytes = form.bytes;
        EXPECT_EQ(Copy(bytes, 0x100), source + form.length) << "first bytes " << std::hex
                                                             << int(bytes[0]) << ' ' << int(bytes[1]);
        EXPECT_EQ(Copied(form.length), Bytes(bytes.begin(), bytes.begin() + form.length));
        EXPECT_EQ(destination[form.length], 0xA5);
        EXPECT_EQ(branchTarget, 0u);
        EXPECT_EQ(extraBytes, 0);
    }
}

TEST_F(CopierCase, Prefixes)
{
    EXPECT_EQ(Copy({0xA1, 1, 2, 3, 4}, 0x100), source + 5);
    EXPECT_EQ(Copy({0x67, 0xA1, 1, 2}, 0x100), source + 4);
    EXPECT_EQ(Copy({0x66, 0xA1, 1, 2, 3, 4}, 0x100), source + 6);
    EXPECT_EQ(Copy({0x66, 0x67, 0xA3, 1, 2}, 0x100), source + 5);
    EXPECT_EQ(Copy({0x67, 0x8B, 0x06, 1, 2, 3, 4}, 0x100), source + 5);  // 16-bit ModRM: [disp16]
    EXPECT_EQ(Copy({0x67, 0xB8, 1, 2, 3, 4}, 0x100), source + 6);        // 67 leaves imm32
    EXPECT_EQ(Copy({0x66, 0xB8, 1, 2}, 0x100), source + 4);
    EXPECT_EQ(Copy({0x66, 0xC7, 0x45, 0xF8, 1, 2}, 0x100), source + 6);
    EXPECT_EQ(Copy({0x66, 0x6A, 1}, 0x100), source + 3);  // no 16-bit form of an imm8
    EXPECT_EQ(Copy({0x64, 0xA1, 0x18, 0, 0, 0}, 0x100), source + 6);  // fs:[0x18]
    EXPECT_EQ(Copied(6), (Bytes{0x64, 0xA1, 0x18, 0, 0, 0}));
    EXPECT_EQ(Copy({0xF0, 0x0F, 0xC1, 0x02}, 0x100), source + 4);  // lock xadd
    EXPECT_EQ(Copy({0xF3, 0xA5}, 0x100), source + 2);              // rep movsd
    EXPECT_EQ(Copy({0xF3, 0xC3}, 0x100), source + 2);              // rep ret
    EXPECT_EQ(Copy({0xF2, 0x0F, 0x10, 0x45, 0x08}, 0x100), source + 5);
    // Several in a row, flags kept to the end.
    EXPECT_EQ(Copy({0x2E, 0x66, 0x3E, 0xF0, 0x26, 0x81, 0x00, 1, 2}, 0x100), source + 9);
    EXPECT_EQ(Copied(9), (Bytes{0x2E, 0x66, 0x3E, 0xF0, 0x26, 0x81, 0x00, 1, 2}));
    EXPECT_EQ(Copy({0x66, 0x66, 0x66, 0x0F, 0x1F, 0x84, 0x00, 1, 2, 3, 4}, 0x100), source + 11);
    EXPECT_EQ(branchTarget, 0u);
}

TEST_F(CopierCase, GroupsF6AndF7)
{
    EXPECT_EQ(Copy({0xF6, 0xC0, 0x01}, 0x100), source + 3);  // test al, 1
    EXPECT_EQ(Copy({0xF6, 0xD0}, 0x100), source + 2);        // not al
    EXPECT_EQ(Copy({0xF6, 0x45, 0x08, 0x01}, 0x100), source + 4);  // test byte [ebp+8], 1
    EXPECT_EQ(Copy({0xF6, 0x5D, 0x08}, 0x100), source + 3);  // neg byte [ebp+8]
    EXPECT_EQ(Copy({0xF7, 0xC0, 1, 2, 3, 4}, 0x100), source + 6);
    EXPECT_EQ(Copy({0x66, 0xF7, 0xC0, 1, 2}, 0x100), source + 5);
    EXPECT_EQ(Copy({0xF7, 0x04, 0x25, 1, 2, 3, 4, 5, 6, 7, 8}, 0x100), source + 11);
    EXPECT_EQ(Copy({0xF7, 0xE1}, 0x100), source + 2);        // mul ecx
    EXPECT_EQ(Copy({0xF7, 0x7C, 0x24, 0x04}, 0x100), source + 4);  // idiv [esp+4]
    EXPECT_EQ(branchTarget, 0u);
    EXPECT_EQ(extraBytes, 0);
}

TEST_F(CopierCase, TwoByteForms)
{
    EXPECT_EQ(Copy({0x0F, 0x31}, 0x100), source + 2);
    EXPECT_EQ(Copy({0x0F, 0x0F, 0xC1, 0x9E}, 0x100), source + 4);
    EXPECT_EQ(Copy({0x0F, 0xC2, 0xC1, 0x01}, 0x100), source + 4);
    EXPECT_EQ(Copy({0x0F, 0xC8}, 0x100), source + 2);  // bswap eax
    EXPECT_EQ(Copy({0x0F, 0xA2}, 0x100), source + 2);  // cpuid
    EXPECT_EQ(Copy({0x0F, 0xAF, 0x44, 0x24, 0x08}, 0x100), source + 5);
}

TEST_F(CopierCase, SkipInvalidCountsWithoutWriting)
{
    EXPECT_EQ(Copy({0xF1, 0x90}, 0x100), source + 1);
    EXPECT_EQ(destination[0], 0xA5);
    EXPECT_EQ(branchTarget, 0u);
    EXPECT_EQ(extraBytes, 0);
    EXPECT_EQ(Copy({0xD6}, 0x200), source + 1);
    EXPECT_EQ(destination[0], 0xA5);
    EXPECT_EQ(Copy({0x0F, 0xFF, 0x90}, 0x300), source + 2);
    EXPECT_EQ(Copied(3), (Bytes{0x0F, 0xA5, 0xA5}));
    EXPECT_EQ(Copy({0x66, 0x0F, 0x38, 0x00, 0xC1}, 0x400), source + 3);
    EXPECT_EQ(Copied(3), (Bytes{0x66, 0x0F, 0xA5}));
    uint32_t skipped = 7;
    EXPECT_EQ(CopyInstructionEx(nullptr, source, nullptr, nullptr, &skipped), source + 3);
    EXPECT_EQ(skipped, 1u);
    memcpy(source, "\x8B\xFF", 2);
    EXPECT_EQ(CopyInstructionEx(nullptr, source, nullptr, nullptr, &skipped), source + 2);
    EXPECT_EQ(skipped, 0u);
}

TEST_F(CopierCase, NullDestinationMeasuresInPlace)
{
    const Bytes samples[] = {{0xE8, 0, 0, 0, 0}, {0xEB, 0x10}, {0xE2, 0x10}, {0xC7, 0x04, 0x25, 1, 2, 3, 4, 5, 6, 7, 8},
                             {0x66, 0xE9, 0x00, 0x80}, {0xF1}, {0xCC}, {0x0F, 0x85, 1, 2, 3, 4}};
    for (const Bytes &sample : samples) {
        const uint8_t *withDestination = Copy(sample, 0x1000);
        uint32_t target = branchTarget;
        uint8_t before = source[0x1000];
        uint32_t target2 = 1;
        int32_t extra2 = 1;
        EXPECT_EQ(CopyInstruction(nullptr, source, &target2, &extra2), withDestination);
        EXPECT_EQ(target2, target);
        EXPECT_EQ(extra2, 0);  // no place to overflow from
        EXPECT_EQ(source[0x1000], before);
        EXPECT_EQ(CopyInstruction(nullptr, source, nullptr, nullptr), withDestination);
    }
}

TEST_F(CopierCase, NullSourceIsInvalidData)
{
    uint8_t out[16];
    memset(out, 0xA5, sizeof out);
    SetLastError(0);
    branchTarget = 5;
    extraBytes = 5;
    EXPECT_EQ(CopyInstruction(out, nullptr, &branchTarget, &extraBytes), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    EXPECT_EQ(branchTarget, 0u);
    EXPECT_EQ(extraBytes, 0);
    EXPECT_EQ(out[0], 0xA5);
    SetLastError(0);
    EXPECT_EQ(CopyInstruction(nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
}

// Refused: null, ERROR_INVALID_DATA, nothing written, outputs 0.
void ExpectRefused(const uint8_t *result, const uint8_t *destination, uint32_t branchTarget,
                   int32_t extraBytes)
{
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(destination[i], 0xA5) << "offset " << i;
    EXPECT_EQ(branchTarget, 0u);
    EXPECT_EQ(extraBytes, 0);
}

TEST_F(CopierCase, InstructionsPastFifteenBytesAreRefused)
{
    Bytes fourteen(14, 0x66);
    fourteen.push_back(0x90);
    EXPECT_EQ(Copy(fourteen, 0x100), source + 15);
    EXPECT_EQ(destination[15], 0xA5);

    Bytes fifteen(15, 0x2E);
    fifteen.push_back(0x90);
    SetLastError(0);
    ExpectRefused(Copy(fifteen, 0x100), destination, branchTarget, extraBytes);

    Bytes endless(40, 0xF3);  // a run of prefixes that never reaches an opcode
    SetLastError(0);
    ExpectRefused(Copy(endless, 0x100), destination, branchTarget, extraBytes);

    // Fifteen exactly with an immediate; one more prefix makes sixteen.
    Bytes movImm(10, 0x3E);
    movImm.insert(movImm.end(), {0xB8, 1, 2, 3, 4});
    EXPECT_EQ(Copy(movImm, 0x100), source + 15);
    movImm.insert(movImm.begin(), 0x3E);
    SetLastError(0);
    ExpectRefused(Copy(movImm, 0x100), destination, branchTarget, extraBytes);

    // The ModRM, SIB and displacement bytes count too, and a jump is not re-based.
    Bytes sib(5, 0x64);
    sib.insert(sib.end(), {0xC7, 0x04, 0x25, 1, 2, 3, 4, 5, 6, 7, 8});  // 5 + 11
    SetLastError(0);
    ExpectRefused(Copy(sib, 0x100), destination, branchTarget, extraBytes);
    Bytes jump(11, 0x3E);
    jump.insert(jump.end(), {0xE9, 0, 0, 0, 0});
    SetLastError(0);
    ExpectRefused(Copy(jump, 0x1000), destination, branchTarget, extraBytes);
    Bytes escape(14, 0x3E);
    escape.insert(escape.end(), {0x0F, 0x31});
    SetLastError(0);
    ExpectRefused(Copy(escape, 0x100), destination, branchTarget, extraBytes);
    Bytes group(14, 0x3E);
    group.insert(group.end(), {0xFF, 0x15, 0, 0, 0, 0});
    SetLastError(0);
    ExpectRefused(Copy(group, 0x100), destination, branchTarget, extraBytes);
}

}  // namespace
