#include "x86_length_model.h"

namespace {

// ModRM byte plus the SIB and displacement bytes it calls for (32-bit
// addressing; 16-bit behind 0x67: no SIB, disp16 alone for mod 00 r/m 110).
uint32_t ModRmLength(const uint8_t *modRm, bool addressSize)
{
    uint32_t mod = modRm[0] >> 6;
    uint32_t rm = modRm[0] & 7;
    if (mod == 3)
        return 1;
    if (addressSize)
        return 1 + (mod == 1 ? 1 : mod == 2 || rm == 6 ? 2 : 0);
    uint32_t length = 1;
    if (rm == 4) {
        length += 1;
        if (mod == 0 && (modRm[1] & 7) == 5)
            length += 4;
    } else if (mod == 0 && rm == 5) {
        length += 4;
    }
    if (mod == 1)
        length += 1;
    if (mod == 2)
        length += 4;
    return length;
}

struct Shape {
    bool skip;
    bool modRm;
    uint32_t immediate;  // bytes after the opcode (and ModRM)
    bool relative;       // the immediate is a branch displacement
};

Shape Plain(uint32_t immediate) { return {false, false, immediate, false}; }
Shape WithModRm(uint32_t immediate) { return {false, true, immediate, false}; }
Shape Branch(uint32_t width) { return {false, false, width, true}; }
Shape Skip() { return {true, false, 0, false}; }

bool In(uint8_t b, uint8_t first, uint8_t last) { return b >= first && b <= last; }

Shape OneByteShape(uint8_t op, const uint8_t *next, uint32_t z, uint32_t addressSize,
                   Transfer &transfer)
{
    if (op < 0x40) {
        switch (op & 7) {  // the eight ALU operations share one pattern
        case 0: case 1: case 2: case 3: return WithModRm(0);
        case 4: return Plain(1);
        case 5: return Plain(z);
        default: return Plain(0);  // push/pop segment, daa/das/aaa/aas
        }
    }
    if (op <= 0x61) return Plain(0);  // inc, dec, push, pop, pusha, popa
    if ((op == 0x62 || op == 0xC4 || op == 0xC5) && next[0] >= 0xC0) return Skip();  // EVEX, VEX
    if (op == 0x62 || op == 0x63) return WithModRm(0);
    if (op == 0x68) return Plain(z);
    if (op == 0x69) return WithModRm(z);
    if (op == 0x6A) return Plain(1);
    if (op == 0x6B) return WithModRm(1);
    if (In(op, 0x6C, 0x6F)) return Plain(0);
    if (In(op, 0x70, 0x7F)) return Branch(1);
    if (op == 0x81) return WithModRm(z);
    if (In(op, 0x80, 0x83)) return WithModRm(1);
    if (In(op, 0x84, 0x8F)) return WithModRm(0);
    if (op == 0x9A) { transfer = Transfer::Dynamic; return Plain(z + 2); }
    if (In(op, 0x90, 0x9F)) return Plain(0);
    if (In(op, 0xA0, 0xA3)) return Plain(addressSize);
    if (op == 0xA8) return Plain(1);
    if (op == 0xA9) return Plain(z);
    if (In(op, 0xA4, 0xAF)) return Plain(0);
    if (In(op, 0xB0, 0xB7)) return Plain(1);
    if (In(op, 0xB8, 0xBF)) return Plain(z);
    switch (op) {
    case 0xC6:
        if (next[0] == 0xF8) transfer = Transfer::Dynamic;  // xabort
        return WithModRm(1);
    case 0xC7: return {false, true, z, next[0] == 0xF8};  // xbegin: a relative fallback
    case 0xC0: case 0xC1: return WithModRm(1);
    case 0xC2: return Plain(2);
    case 0xC3: case 0xC9: return Plain(0);
    case 0xC4: case 0xC5: return WithModRm(0);
    case 0xC8: return Plain(3);
    case 0xCA: transfer = Transfer::Dynamic; return Plain(2);
    case 0xCB: case 0xCC: case 0xCE: case 0xCF: transfer = Transfer::Dynamic; return Plain(0);
    case 0xCD: transfer = Transfer::Dynamic; return Plain(1);
    case 0xD4: case 0xD5: return Plain(1);
    case 0xD6: case 0xF1: return Skip();  // salc, int1: not copied
    case 0xD7: return Plain(0);
    case 0xE8: case 0xE9: return Branch(z);
    case 0xEA: transfer = Transfer::Dynamic; return Plain(z + 2);
    case 0xEB: return Branch(1);
    case 0xF4: case 0xF5: return Plain(0);
    case 0xF6: return WithModRm((next[0] >> 3 & 7) <= 1 ? 1 : 0);  // test: /0, and /1 alike
    case 0xF7: return WithModRm((next[0] >> 3 & 7) <= 1 ? z : 0);
    case 0xFE: return WithModRm(0);
    case 0xFF: {
        uint8_t m = next[0];
        uint32_t reg = m >> 3 & 7;
        if ((m == 0x15 || m == 0x25) && addressSize == 4)  // behind 0x67: [di], [si] by reg
            transfer = Transfer::ThroughPointer;
        else if (reg >= 2 && reg <= 5)
            transfer = Transfer::Dynamic;
        return WithModRm(0);
    }
    }
    if (In(op, 0xD0, 0xD3) || In(op, 0xD8, 0xDF)) return WithModRm(0);  // shifts, x87
    if (In(op, 0xE0, 0xE3)) return Branch(1);
    if (In(op, 0xE4, 0xE7)) return Plain(1);
    return Plain(0);  // in/out through dx, clc..std
}

// The copier's choice of which second bytes it copies, and how.
Shape TwoByteShape(uint8_t op, uint32_t z, Transfer &transfer)
{
    static const uint8_t skipped[] = {0x04, 0x05, 0x07, 0x0A, 0x0C, 0xA6, 0xA7, 0xB8, 0xB9, 0xD0,
                                      0xF0, 0xFF};
    for (uint8_t s : skipped)
        if (op == s) return Skip();
    if (In(op, 0x24, 0x27) || In(op, 0x36, 0x3F) || In(op, 0x78, 0x7D))
        return Skip();
    if (In(op, 0x20, 0x23)) return Plain(1);  // mov CR/DR: the ModRM byte names registers alone
    if (op == 0x34 || op == 0x35 || op == 0xAA) {  // sysenter, sysexit, rsm
        transfer = Transfer::Dynamic;
        return Plain(0);
    }
    if (In(op, 0x80, 0x8F)) return Branch(z);  // jcc rel
    switch (op) {
    case 0x06: case 0x08: case 0x09: case 0x0B: case 0x0E: case 0x77:
    case 0xA0: case 0xA1: case 0xA2: case 0xA8: case 0xA9: case 0xAA:
        return Plain(0);
    case 0x0F: case 0xA4: case 0xAC: case 0xBA: case 0xC2: case 0xC4: case 0xC5: case 0xC6:
        return WithModRm(1);
    }
    if (In(op, 0x30, 0x35) || In(op, 0xC8, 0xCF)) return Plain(0);  // msr/tsc/sysenter, bswap
    if (In(op, 0x70, 0x73)) return WithModRm(1);                      // pshuf, shifts by imm8
    return WithModRm(0);
}

}  // namespace

bool IsPrefixByte(uint8_t b)
{
    switch (b) {
    case 0x26: case 0x2E: case 0x36: case 0x3E: case 0x64: case 0x65:
    case 0x66: case 0x67: case 0xF0: case 0xF2: case 0xF3:
        return true;
    }
    return false;
}

ModelResult ModelInstruction(const uint8_t *s)
{
    ModelResult r = {false, 0, -1, 0, 0, false, Transfer::None};
    bool operandSize = false, addressSize = false;
    uint32_t i = 0;
    while (IsPrefixByte(s[i]) && i < 16) {
        operandSize |= s[i] == 0x66;
        addressSize |= s[i] == 0x67;
        ++i;
    }
    uint32_t z = operandSize ? 2 : 4;
    Shape shape;
    if (s[i] == 0x0F) {
        ++i;
        shape = TwoByteShape(s[i], z, r.transfer);
    } else {
        shape = OneByteShape(s[i], s + i + 1, z, addressSize ? 2 : 4, r.transfer);
        if (s[i] == 0xE0 || s[i] == 0xE1 || s[i] == 0xE2)
            r.negateExtra = true;
    }
    uint32_t opcodeAt = i;
    ++i;
    if (shape.skip) {
        r.skippedAt = int(opcodeAt);
    } else {
        if (shape.modRm)
            i += ModRmLength(s + i, addressSize);
        if (shape.relative) {
            r.displacementAt = i;
            r.displacementWidth = shape.immediate;
            r.transfer = Transfer::Relative;
        }
        i += shape.immediate;
    }
    r.length = i;
    r.refused = i > 15;
    return r;
}
