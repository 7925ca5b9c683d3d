// The whole opcode space against the independent model: every first byte,
// every byte after 0x0F and every ModRM byte (with SIB bases 100 and 101),
// bare and behind one or two prefixes. Each copy must write exactly the
// bytes it counts (guard bytes around the destination stay), return the
// address the model measures, and re-base and report as the model says.
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "patching/instruction_copier.h"
#include "x86_length_model.h"

namespace {

const uint8_t Prefixes[] = {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3};
const int GuardBefore = 16;
const int GuardAfter = 64;

int32_t SignExtend(const uint8_t *field, uint32_t width)
{
    if (width == 1)
        return int8_t(field[0]);
    if (width == 2)
        return int16_t(field[0] | field[1] << 8);
    int32_t value;
    memcpy(&value, field, 4);
    return value;
}

class OpcodeSpace : public ::testing::Test {
protected:
    void SetUp() override
    {
        region = static_cast<uint8_t *>(
            VirtualAlloc(nullptr, 0x40000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        ASSERT_NE(region, nullptr);
        source = region + 0x8000;
        // The pointer that FF 15 / FF 25 name; its low byte 00 as a ModRM is harmless.
        uint8_t *cell = region + 0x30100;
        uint32_t value = 0xC0DE1234;
        memcpy(cell, &value, 4);
        pointer = uint32_t(uintptr_t(cell));
    }
    void TearDown() override
    {
        VirtualFree(region, 0, MEM_RELEASE);
        EXPECT_EQ(failures, 0u) << firstFailures;
        EXPECT_GT(cases, 0u);
        std::printf("%u instructions checked\n", cases);
    }

    // Explicit bytes, then the pointer repeated as immediates and displacements.
    void Case(std::initializer_list<uint8_t> explicitBytes, int sib = -1)
    {
        uint8_t *p = source;
        for (uint8_t b : explicitBytes)
            *p++ = b;
        if (sib >= 0)
            *p++ = uint8_t(sib);
        while (p < source + 40) {
            memcpy(p, &pointer, 4);
            p += 4;
        }
        ++cases;
        ModelResult model = ModelInstruction(source);
        Check(model, 0x40, 0xA5);
        Check(model, 0x10000, 0x5A);
    }

    // Every ModRM byte after the given bytes, with both SIB bases where a SIB follows.
    void EveryModRm(std::vector<uint8_t> lead)
    {
        for (int m = 0; m < 256; ++m) {
            std::vector<uint8_t> bytes = lead;
            bytes.push_back(uint8_t(m));
            bool sib = (m >> 6) != 3 && (m & 7) == 4;
            if (sib) {
                CaseOf(bytes, 0x24);
                CaseOf(bytes, 0x25);
            } else {
                CaseOf(bytes, -1);
            }
        }
    }
    void CaseOf(const std::vector<uint8_t> &bytes, int sib)
    {
        switch (bytes.size()) {
        case 2: Case({bytes[0], bytes[1]}, sib); break;
        case 3: Case({bytes[0], bytes[1], bytes[2]}, sib); break;
        case 4: Case({bytes[0], bytes[1], bytes[2], bytes[3]}, sib); break;
        }
    }

    void Fail(const std::string &what)
    {
        if (++failures <= 20) {
            std::ostringstream line;
            line << std::hex;
            for (int i = 0; i < 8; ++i)
                line << int(source[i]) << ' ';
            firstFailures += line.str() + ": " + what + "\n";
        }
    }

    void Check(const ModelResult &model, int32_t distance, uint8_t guard)
    {
        uint8_t *d = source + distance;
        memset(d - GuardBefore, guard, GuardBefore + GuardAfter);
        uint32_t branchTarget = 1, nullTarget = 1;
        int32_t extraBytes = 1, nullExtra = 1;
        SetLastError(0);
        const uint8_t *result = CopyInstruction(d, source, &branchTarget, &extraBytes);
        const uint8_t *nullResult = CopyInstruction(nullptr, source, &nullTarget, &nullExtra);
        if (nullResult != result || nullTarget != branchTarget || nullExtra != 0)
            Fail("null destination gives another result");
        for (int i = -GuardBefore; i < 0; ++i)
            if (d[i] != guard)
                return Fail("wrote before the destination");
        if (model.refused) {
            if (result != nullptr || GetLastError() != ERROR_INVALID_DATA)
                return Fail("instruction over 15 bytes not refused");
            for (int i = 0; i < GuardAfter; ++i)
                if (d[i] != guard)
                    return Fail("refused instruction wrote");
            if (branchTarget != 0 || extraBytes != 0)
                return Fail("refused instruction set outputs");
            return;
        }
        if (result != source + model.length) {
            std::ostringstream what;
            what << "length " << (result ? result - source : -1) << ", model " << model.length;
            return Fail(what.str());
        }
        for (int i = int(model.length); i < GuardAfter; ++i)
            if (d[i] != guard)
                return Fail("wrote past the counted bytes");
        uint32_t w = model.displacementWidth;
        uint32_t at = model.displacementAt;
        for (uint32_t i = 0; i < model.length; ++i) {
            if (int(i) == model.skippedAt) {
                if (d[i] != guard)
                    return Fail("wrote the skipped opcode");
            } else if (!(w && i >= at && i < at + w) && d[i] != source[i]) {
                return Fail("byte differs from the source");
            }
        }
        uint32_t expectedTarget = 0;
        int32_t expectedExtra = 0;
        switch (model.transfer) {
        case Transfer::None: break;
        case Transfer::Dynamic: expectedTarget = 0xFFFFFFFF; break;
        case Transfer::ThroughPointer: expectedTarget = 0xC0DE1234; break;
        case Transfer::Relative: {
            int32_t old = SignExtend(source + at, w);
            expectedTarget = uint32_t(uintptr_t(source)) + model.length + uint32_t(old);
            int32_t rebased = int32_t(uint32_t(old) - uint32_t(distance));
            if (memcmp(d + at, &rebased, w) != 0)
                return Fail("displacement not re-based");
            if (w == 1 && (rebased < -128 || rebased > 127))
                expectedExtra = 3;
            if (w == 2 && (rebased < -32768 || rebased > 32767))
                expectedExtra = 2;
            if (model.negateExtra)
                expectedExtra = -expectedExtra;
            break;
        }
        }
        if (branchTarget != expectedTarget)
            return Fail("branch target");
        if (extraBytes != expectedExtra)
            return Fail("extra bytes");
    }

    uint8_t *region = nullptr;
    uint8_t *source = nullptr;
    uint32_t pointer = 0;
    uint32_t cases = 0;
    uint32_t failures = 0;
    std::string firstFailures;
};

TEST_F(OpcodeSpace, EveryFirstByteWithEveryModRm)
{
    for (int op = 0; op < 256; ++op)
        if (!IsPrefixByte(uint8_t(op)) && op != 0x0F)
            EveryModRm({uint8_t(op)});
}

TEST_F(OpcodeSpace, EveryByteAfterEscapeWithEveryModRm)
{
    for (int op = 0; op < 256; ++op)
        EveryModRm({0x0F, uint8_t(op)});
}

TEST_F(OpcodeSpace, EveryOpcodeBehindEachPrefix)
{
    for (uint8_t prefix : Prefixes)
        for (int op = 0; op < 256; ++op)
            EveryModRm({prefix, uint8_t(op)});
}

TEST_F(OpcodeSpace, EveryOpcodeBehindTwoPrefixes)
{
    const uint8_t modRms[] = {0x00, 0x05, 0x15, 0x25, 0x45, 0x85, 0xC0, 0xC8, 0xD0, 0xE0, 0xF8};
    for (uint8_t first : Prefixes)
        for (uint8_t second : Prefixes)
            for (int op = 0; op < 256; ++op) {
                for (uint8_t m : modRms)
                    Case({first, second, uint8_t(op), m});
                Case({first, second, uint8_t(op), 0x04}, 0x25);
                Case({first, second, uint8_t(op), 0x84}, 0x24);
            }
}

TEST_F(OpcodeSpace, RunsOfPrefixesUpToAndPastTheLimit)
{
    const uint8_t ends[][6] = {{0x90}, {0xB8}, {0x0F, 0x31}, {0xC7, 0x05}, {0xE9}, {0xF1}, {0x0F, 0xFF}};
    for (uint8_t prefix : Prefixes)
        for (auto &end : ends)
            for (int run = 0; run <= 16; ++run) {
                std::vector<uint8_t> bytes(run, prefix);
                bytes.insert(bytes.end(), end, end + (end[1] ? 2 : 1));
                memcpy(source, bytes.data(), bytes.size());
                for (size_t i = bytes.size(); i < 40; ++i)
                    source[i] = 0x11;
                ++cases;
                ModelResult model = ModelInstruction(source);
                Check(model, 0x40, 0xA5);
                Check(model, 0x10000, 0x5A);
            }
}

}  // namespace
