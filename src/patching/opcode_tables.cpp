// The opcode and ModRM tables, built at compile time from their row groups
// (the x86-64 rows in the 64-bit build, the 32-bit x86 rows otherwise):
// each group lists one description and the bytes it applies to, and the
// build refuses to compile unless every byte is described exactly once.
#include "patching/opcode_tables.h"

#include <initializer_list>

namespace {

// One byte, or an inclusive run of bytes, in a row group's list.
struct Bytes {
    constexpr Bytes(int only) : first(only), last(only) {}
    constexpr Bytes(int from, int to) : first(from), last(to) {}
    int first;
    int last;
};

struct TableBuild {
    OpcodeMap map;
    uint8_t uses[256];
};

constexpr void Group(TableBuild &build, uint32_t word, CopyHandler handler,
                     std::initializer_list<Bytes> bytes)
{
    for (const Bytes &run : bytes) {
        for (int b = run.first; b <= run.last; ++b) {
            build.map.rows[b] = OpcodeEntry{word | uint32_t(b), handler};
            ++build.uses[b];
        }
    }
}

constexpr bool EveryByteOnce(const TableBuild &build)
{
    for (int b = 0; b < 256; ++b) {
        if (build.uses[b] != 1)
            return false;
    }
    return true;
}

#if defined(_WIN64)
constexpr TableBuild BuildOneByteTable()
{
    TableBuild t{};
    //                size override modRm displacement flags
    Group(t, Describe(1, 1, 0, 0, 0), CopyFixed,
          {{0x50, 0x5F}, {0x6C, 0x6F}, {0x90, 0x99}, {0x9B, 0x9F}, {0xA4, 0xA7}, {0xAA, 0xAF}, 0xC3,
           0xC9, 0xD7, {0xEC, 0xEF}, 0xF4, 0xF5, {0xF8, 0xFD}});
    Group(t, Describe(1, 1, 0, 0, DynamicTarget), CopyFixed, {0xCB, 0xCC, 0xCF});
    Group(t, Describe(2, 2, 0, 0, 0), CopyFixed,
          {0x04, 0x0C, 0x14, 0x1C, 0x24, 0x2C, 0x34, 0x3C, 0x6A, 0xA8, {0xB0, 0xB7}, {0xE4, 0xE7}});
    Group(t, Describe(2, 2, 0, 0, DynamicTarget), CopyFixed, {0xCD});
    Group(t, Describe(3, 3, 0, 0, 0), CopyFixed, {0xC2});
    Group(t, Describe(3, 3, 0, 0, DynamicTarget), CopyFixed, {0xCA});
    Group(t, Describe(4, 4, 0, 0, 0), CopyFixed, {0xC8});
    Group(t, Describe(5, 3, 0, 0, 0), CopyFixed, {0x05, 0x0D, 0x15, 0x1D, 0x25, 0x2D, 0x35, 0x3D, 0x68, 0xA9});
    Group(t, Describe(5, 3, 0, 0, WideImmediate), CopyFixed, {{0xB8, 0xBF}});
    Group(t, Describe(9, 5, 0, 0, AddressSized), CopyFixed, {{0xA0, 0xA3}});  // 64-bit moffs
    Group(t, Describe(2, 2, 1, 0, 0), CopyFixed,
          {{0x00, 0x03}, {0x08, 0x0B}, {0x10, 0x13}, {0x18, 0x1B}, {0x20, 0x23}, {0x28, 0x2B},
           {0x30, 0x33}, {0x38, 0x3B}, 0x63, {0x84, 0x8F}, {0xD0, 0xD3}, {0xD8, 0xDF}, 0xFE});
    Group(t, Describe(3, 3, 1, 0, 0), CopyFixed, {0x6B, 0x80, 0x83, 0xC0, 0xC1});
    Group(t, Describe(6, 4, 1, 0, 0), CopyFixed, {0x69, 0x81});
    Group(t, Describe(2, 2, 0, 1, 0), CopyFixed, {{0x70, 0x7F}, 0xE3, 0xEB});
    Group(t, Describe(2, 2, 0, 1, NegateExtra), CopyFixed, {{0xE0, 0xE2}});
    Group(t, Describe(5, 3, 0, 1, 0), CopyFixed, {0xE8, 0xE9});
    Group(t, Describe(1, 1, 0, 0, 0), CopyPrefix,
          {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0xF0, 0xF2, 0xF3});
    Group(t, Describe(1, 1, 0, 0, 0), CopyOperandSizePrefix, {0x66});
    Group(t, Describe(1, 1, 0, 0, 0), CopyAddressSizePrefix, {0x67});
    Group(t, Describe(1, 1, 0, 0, 0), CopyRex, {{0x40, 0x4F}});
    Group(t, Describe(1, 1, 0, 0, 0), CopyTwoByte, {0x0F});
    // Invalid in 64-bit mode (C4, C5 and 62 start VEX and EVEX), and int1.
    Group(t, Describe(0, 0, 0, 0, 0), RefuseInvalid,
          {0x06, 0x07, 0x0E, 0x16, 0x17, 0x1E, 0x1F, 0x27, 0x2F, 0x37, 0x3F, 0x60, 0x61, 0x62, 0x82,
           0x9A, 0xC4, 0xC5, 0xCE, 0xD4, 0xD5, 0xD6, 0xEA, 0xF1});
    Group(t, Describe(0, 0, 0, 0, 0), CopyGroupF6, {0xF6});
    Group(t, Describe(0, 0, 0, 0, 0), CopyGroupF7, {0xF7});
    Group(t, Describe(0, 0, 0, 0, 0), CopyGroupC6C7, {0xC6, 0xC7});
    Group(t, Describe(0, 0, 0, 0, 0), CopyGroupFF, {0xFF});
    return t;
}

// Indexed by the byte after 0x0F; sizes count from that byte.
constexpr TableBuild BuildTwoByteTable()
{
    TableBuild t{};
    //                size override modRm displacement flags
    Group(t, Describe(1, 1, 0, 0, 0), CopyFixed,
          {0x06, 0x08, 0x09, 0x0B, 0x0E, {0x30, 0x33}, 0x77, {0xA0, 0xA2}, 0xA8, 0xA9, {0xC8, 0xCF}});
    // syscall, sysret, sysenter, sysexit, rsm
    Group(t, Describe(1, 1, 0, 0, DynamicTarget), CopyFixed, {0x05, 0x07, 0x34, 0x35, 0xAA});
    Group(t, Describe(2, 2, 0, 0, 0), CopyFixed, {{0x20, 0x23}});  // mov to and from CR/DR: registers only
    Group(t, Describe(2, 2, 1, 0, 0), CopyFixed,
          {{0x00, 0x03}, 0x0D, {0x10, 0x1F}, {0x28, 0x2F}, {0x40, 0x6F}, {0x74, 0x76},
           0x7E, 0x7F, {0x90, 0x9F}, 0xA3, 0xA5, 0xAB, {0xAD, 0xB8}, {0xBB, 0xC1}, 0xC3, 0xC7,
           {0xD1, 0xEF}, {0xF1, 0xFE}});
    Group(t, Describe(3, 3, 1, 0, 0), CopyFixed,
          {0x0F, {0x70, 0x73}, 0xA4, 0xAC, 0xBA, 0xC2, {0xC4, 0xC6}});
    Group(t, Describe(5, 3, 0, 1, 0), CopyFixed, {{0x80, 0x8F}});
    // Not instructions, or not measured (the three-byte maps 0F 38 and 0F 3A among them).
    Group(t, Describe(0, 0, 0, 0, 0), RefuseInvalid,
          {0x04, 0x0A, 0x0C, {0x24, 0x27}, {0x36, 0x3F}, {0x78, 0x7D}, 0xA6, 0xA7, 0xB9, 0xD0,
           0xF0, 0xFF});
    return t;
}
#else
constexpr TableBuild BuildOneByteTable()
{
    TableBuild t{};
    //                size override modRm displacement flags
    Group(t, Describe(1, 1, 0, 0, 0), CopyFixed,
          {0x06, 0x07, 0x0E, 0x16, 0x17, 0x1E, 0x1F, 0x27, 0x2F, 0x37, {0x3F, 0x61}, {0x6C, 0x6F},
           {0x90, 0x99}, {0x9B, 0x9F}, {0xA4, 0xA7}, {0xAA, 0xAF}, 0xC3, 0xC9, 0xD7, {0xEC, 0xEF},
           0xF4, 0xF5, {0xF8, 0xFD}});
    Group(t, Describe(1, 1, 0, 0, DynamicTarget), CopyFixed, {0xCB, 0xCC, 0xCE, 0xCF});
    Group(t, Describe(2, 2, 0, 0, 0), CopyFixed,
          {0x04, 0x0C, 0x14, 0x1C, 0x24, 0x2C, 0x34, 0x3C, 0x6A, 0xA8, {0xB0, 0xB7}, 0xD4, 0xD5,
           {0xE4, 0xE7}});
    Group(t, Describe(2, 2, 0, 0, DynamicTarget), CopyFixed, {0xCD});
    Group(t, Describe(3, 3, 0, 0, 0), CopyFixed, {0xC2});
    Group(t, Describe(3, 3, 0, 0, DynamicTarget), CopyFixed, {0xCA});
    Group(t, Describe(4, 4, 0, 0, 0), CopyFixed, {0xC8});
    Group(t, Describe(5, 3, 0, 0, 0), CopyFixed,
          {0x05, 0x0D, 0x15, 0x1D, 0x25, 0x2D, 0x35, 0x3D, 0x68, 0xA9, {0xB8, 0xBF}});
    Group(t, Describe(5, 3, 0, 0, AddressSized), CopyFixed, {{0xA0, 0xA3}});
    Group(t, Describe(7, 5, 0, 0, DynamicTarget), CopyFixed, {0x9A, 0xEA});
    Group(t, Describe(2, 2, 1, 0, 0), CopyFixed,
          {{0x00, 0x03}, {0x08, 0x0B}, {0x10, 0x13}, {0x18, 0x1B}, {0x20, 0x23}, {0x28, 0x2B},
           {0x30, 0x33}, {0x38, 0x3B}, 0x63, {0x84, 0x8F}, {0xD0, 0xD3}, {0xD8, 0xDF}, 0xFE});
    Group(t, Describe(2, 2, 1, 0, 0), CopyUnlessVex, {0x62, 0xC4, 0xC5});
    Group(t, Describe(3, 3, 1, 0, 0), CopyFixed, {0x6B, 0x80, 0x82, 0x83, 0xC0, 0xC1});
    Group(t, Describe(6, 4, 1, 0, 0), CopyFixed, {0x69, 0x81});
    Group(t, Describe(2, 2, 0, 1, 0), CopyFixed, {{0x70, 0x7F}, 0xE3, 0xEB});
    Group(t, Describe(2, 2, 0, 1, NegateExtra), CopyFixed, {{0xE0, 0xE2}});
    Group(t, Describe(5, 3, 0, 1, 0), CopyFixed, {0xE8, 0xE9});
    Group(t, Describe(1, 1, 0, 0, 0), CopyPrefix,
          {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0xF0, 0xF2, 0xF3});
    Group(t, Describe(1, 1, 0, 0, 0), CopyOperandSizePrefix, {0x66});
    Group(t, Describe(1, 1, 0, 0, 0), CopyAddressSizePrefix, {0x67});
    Group(t, Describe(1, 1, 0, 0, 0), CopyTwoByte, {0x0F});
    Group(t, Describe(1, 1, 0, 0, 0), SkipInvalid, {0xD6, 0xF1});
    Group(t, Describe(0, 0, 0, 0, 0), CopyGroupF6, {0xF6});
    Group(t, Describe(0, 0, 0, 0, 0), CopyGroupF7, {0xF7});
    Group(t, Describe(0, 0, 0, 0, 0), CopyGroupC6C7, {0xC6, 0xC7});
    Group(t, Describe(0, 0, 0, 0, 0), CopyGroupFF, {0xFF});
    return t;
}

// Indexed by the byte after 0x0F; sizes count from that byte.
constexpr TableBuild BuildTwoByteTable()
{
    TableBuild t{};
    //                size override modRm displacement flags
    Group(t, Describe(1, 1, 0, 0, 0), CopyFixed,
          {0x06, 0x08, 0x09, 0x0B, 0x0E, {0x30, 0x33}, 0x77, {0xA0, 0xA2}, 0xA8, 0xA9, {0xC8, 0xCF}});
    // sysenter, sysexit, rsm
    Group(t, Describe(1, 1, 0, 0, DynamicTarget), CopyFixed, {0x34, 0x35, 0xAA});
    Group(t, Describe(2, 2, 0, 0, 0), CopyFixed, {{0x20, 0x23}});  // mov to and from CR/DR: registers only
    Group(t, Describe(2, 2, 1, 0, 0), CopyFixed,
          {{0x00, 0x03}, 0x0D, {0x10, 0x1F}, {0x28, 0x2F}, {0x40, 0x6F},
           {0x74, 0x76}, 0x7E, 0x7F, {0x90, 0x9F}, 0xA3, 0xA5, 0xAB, {0xAD, 0xB7}, {0xBB, 0xC1},
           0xC3, 0xC7, {0xD1, 0xEF}, {0xF1, 0xFE}});
    Group(t, Describe(3, 3, 1, 0, 0), CopyFixed,
          {0x0F, {0x70, 0x73}, 0xA4, 0xAC, 0xBA, 0xC2, {0xC4, 0xC6}});
    Group(t, Describe(5, 3, 0, 1, 0), CopyFixed, {{0x80, 0x8F}});
    Group(t, Describe(1, 1, 0, 0, 0), SkipInvalid,
          {0x04, 0x05, 0x07, 0x0A, 0x0C, {0x24, 0x27}, {0x36, 0x3F}, {0x78, 0x7D},
           0xA6, 0xA7, 0xB8, 0xB9, 0xD0, 0xF0, 0xFF});
    return t;
}
#endif

constexpr TableBuild OneByte = BuildOneByteTable();
constexpr TableBuild TwoByte = BuildTwoByteTable();
static_assert(EveryByteOnce(OneByte), "every first byte is described exactly once");
static_assert(EveryByteOnce(TwoByte), "every byte after 0x0F is described exactly once");

// Addressing bytes after a ModRM byte under 32-bit addressing (and 64-bit,
// laid out alike), by mod (rows)
// and by r/m 100, r/m 101, any other r/m (columns).
constexpr uint8_t AddressingBytes[4][3] = {
    {1 | SibMark, 4, 0},  // mod 00
    {2, 1, 1},            // mod 01
    {5, 4, 4},            // mod 10
    {0, 0, 0},            // mod 11
};

constexpr ModRmMap BuildModRmTable()
{
    ModRmMap map{};
    for (int m = 0; m < 256; ++m) {
        int rm = m & 7;
        map.rows[m] = AddressingBytes[m >> 6][rm == 4 ? 0 : rm == 5 ? 1 : 2];
    }
    return map;
}

constexpr ModRmMap ModRm = BuildModRmTable();

#if !defined(_WIN64)
// Under 16-bit addressing (0x67 on x86): no SIB; a disp16 alone for mod 00
// r/m 110, a disp8 or disp16 for mod 01 or 10.
constexpr ModRmMap BuildModRm16Table()
{
    ModRmMap map{};
    for (int m = 0; m < 256; ++m) {
        int mod = m >> 6;
        map.rows[m] = mod == 1 ? 1 : mod == 2 ? 2 : mod == 0 && (m & 7) == 6 ? 2 : 0;
    }
    return map;
}

constexpr ModRmMap ModRm16 = BuildModRm16Table();
#endif

}  // namespace

// Copies of compile-time constants: constant-initialised, nothing runs at load.
const OpcodeMap OpcodeTable = OneByte.map;
const OpcodeMap TwoByteOpcodeTable = TwoByte.map;
const ModRmMap ModRmTable = ModRm;
#if !defined(_WIN64)
const ModRmMap ModRm16Table = ModRm16;
#endif
