/* Writes the x86 (32) or x86-64 (64) encodings that copier_zydis_test checks,
 * measured by Zydis on the build machine: copier_encodings 32|64 FILE. Each
 * record: the bytes, the length (0: the copier must refuse it; on x86, skip
 * it), offset and width of the displacement relative to the instruction's end
 * (x86: of the absolute pointer's address for P), and what the copier reports
 * as branch target: - nothing, T that destination, L the same for loop
 * (overflow reported negated), P the pointer stored there, U unknown.
 * Encodings Zydis rejects and the copier need not refuse are left out. */
#include <Zydis/Zydis.h>
#include <stdio.h>
#include <string.h>

struct Encoding {
    unsigned char bytes[24], length, at, width;
    char transfer;
};

static const char Legacy[] = "\x26\x2E\x36\x3E\x64\x65\x66\x67\xF0\xF2\xF3";
static const char Paired[] = "\x26\x2E\x36\x3E\x64\x65\x66\x67\xF0\xF2\xF3\x40\x41\x48\x4C\x4F";
static const char ModRms[] = "\x04\x44\x84\x05\x0D\x15\x1D\x25\x2D\x35\x3D\x45\x85\xC0\xC8\xD0\xE0\xF8";
/* The copier's documented refusals: invalid in 64-bit mode (and int1), and the
 * bytes after 0F it does not measure; on x86 the opcodes it skips. */
static const char *Invalid = "\x06\x07\x0E\x16\x17\x1E\x1F\x27\x2F\x37\x3F\x60\x61\x62\x82\x9A\xC4\xC5"
                             "\xCE\xD4\xD5\xD6\xEA\xF1";
static const char *Invalid0F = "\x04\x0A\x0C\x24\x25\x26\x27\x36\x37\x38\x39\x3A\x3B\x3C\x3D\x3E\x3F"
                               "\x78\x79\x7A\x7B\x7C\x7D\xA6\xA7\xB9\xD0\xF0\xFF";
static int Long = 1; /* 64-bit mode: REX prefixes, RIP-relative operands */

static ZydisDecoder decoder;
static unsigned count;

static int In(const char *set, unsigned char b) { return b && memchr(set, b, strlen(set)) != NULL; }
static int IsRex(unsigned char b) { return Long && b >= 0x40 && b <= 0x4F; }
static int IsPrefix(unsigned char b) { return IsRex(b) || In(Legacy, b); }

static void Emit(const unsigned char *lead, int n)
{
    struct Encoding e = {{0}, 0, 0, 0, '-'};
    int disp = -0x100 - (int)(count++ % 0x400); /* a pointer read there stays in the test's region */
    memcpy(e.bytes, lead, n);
    memcpy(e.bytes + n, &disp, 4);
    memcpy(e.bytes + n + 4, "\xA1\xB2\xC3\xD4\xE5\xF6\x07\x18\x29\x3A\x4B\x5C", 12);
    int op = 0, refuse = 0, has66 = 0, has67 = 0;
    for (; IsPrefix(lead[op]); ++op) {
        refuse |= IsRex(lead[op]) && IsPrefix(lead[op + 1]);
        has66 |= lead[op] == 0x66, has67 |= lead[op] == 0x67;
    }
    int rexW = op > 0 && IsRex(lead[op - 1]) && (lead[op - 1] & 8);
    refuse |= lead[op] == 0x0F ? In(Invalid0F, lead[op + 1]) : In(Invalid, lead[op]);
    /* x86: VEX and EVEX, where a register operand would make les, lds, bound */
    refuse |= !Long && In("\x62\xC4\xC5", lead[op]) && lead[op + 1] >= 0xC0;
    ZydisDecodedInstruction in = {0};
    ZydisDecodedOperand ops[ZYDIS_MAX_OPERAND_COUNT];
    if (!refuse && !ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder, e.bytes, n + 16, &in, ops)))
        return;
    ZydisMnemonic m = in.mnemonic;
    ZydisInstructionCategory category = in.meta.category;
    int branch = category == ZYDIS_CATEGORY_CALL || category == ZYDIS_CATEGORY_UNCOND_BR;
    for (int i = 0; !refuse && i < in.operand_count; ++i) {
        if (ops[i].type == ZYDIS_OPERAND_TYPE_MEMORY && (ops[i].mem.base == ZYDIS_REGISTER_RIP || ops[i].mem.base == ZYDIS_REGISTER_EIP)) {
            e.at = in.raw.disp.offset, e.width = 4, refuse = has67; /* EIP-relative */
            e.transfer = !branch ? '-' : in.meta.branch_type == ZYDIS_BRANCH_TYPE_NEAR ? 'P' : 'U';
        }
        /* x86: call and jmp through a pointer at an absolute address */
        if (!Long && branch && !has67 && (lead[op + 1] == 0x15 || lead[op + 1] == 0x25) && lead[op] == 0xFF)
            e.at = in.raw.disp.offset, e.width = 4, e.transfer = 'P';
    }
    for (int i = 0; !refuse && i < 2; ++i) {
        if (in.raw.imm[i].is_relative) {
            e.at = in.raw.imm[i].offset, e.width = in.raw.imm[i].size / 8;
            refuse = Long && (e.width == 2 || (e.width == 4 && has66 && !rexW)); /* 16 or 32 bits by processor */
            e.transfer = m == ZYDIS_MNEMONIC_LOOP || m == ZYDIS_MNEMONIC_LOOPE || m == ZYDIS_MNEMONIC_LOOPNE ? 'L' : 'T';
        }
    }
    if (!refuse && !e.width &&
        (branch || (category == ZYDIS_CATEGORY_INTERRUPT && m != ZYDIS_MNEMONIC_BOUND) || category == ZYDIS_CATEGORY_SYSCALL ||
         category == ZYDIS_CATEGORY_SYSRET || m == ZYDIS_MNEMONIC_IRET || m == ZYDIS_MNEMONIC_IRETD ||
         m == ZYDIS_MNEMONIC_IRETQ || m == ZYDIS_MNEMONIC_SYSENTER || m == ZYDIS_MNEMONIC_SYSEXIT ||
         (m == ZYDIS_MNEMONIC_RET && in.meta.branch_type == ZYDIS_BRANCH_TYPE_FAR)))
        e.transfer = 'U';
    if (refuse)
        e.at = e.width = 0, e.transfer = '-';
    else
        e.length = in.length;
    fwrite(&e, sizeof e, 1, stdout);
}

/* Every opcode with every ModRM byte (SIB bases 100 and 101), then behind one
 * prefix with the ModRM forms that differ, then behind two with fewer. */
int main(int argc, char **argv)
{
    if (argc != 3 || !freopen(argv[2], "wb", stdout))
        return 1;
    Long = !strcmp(argv[1], "64");
    if (!Long) {
        Invalid = "\xD6\xF1";
        Invalid0F = "\x04\x05\x07\x0A\x0C\x24\x25\x26\x27\x36\x37\x38\x39\x3A\x3B\x3C\x3D\x3E\x3F"
                    "\x78\x79\x7A\x7B\x7C\x7D\xA6\xA7\xB8\xB9\xD0\xF0\xFF";
    }
    ZydisDecoderInit(&decoder, Long ? ZYDIS_MACHINE_MODE_LONG_64 : ZYDIS_MACHINE_MODE_LEGACY_32,
                     Long ? ZYDIS_STACK_WIDTH_64 : ZYDIS_STACK_WIDTH_32);
    unsigned char lead[8];
    for (int pass = 0; pass < 3; ++pass) {
        for (int p = 0; p < (pass == 0 ? 1 : pass == 1 ? 27 : 256); ++p) {
            int n = 0;
            if (!Long && (pass == 1 ? p >= 11 : pass == 2 && (p / 16 >= 11 || p % 16 >= 11)))
                continue; /* x86: no REX */
            if (pass == 1)
                lead[n++] = p < 11 ? Legacy[p] : 0x40 + p - 11;
            if (pass == 2)
                lead[n++] = Paired[p / 16], lead[n++] = Paired[p % 16];
            for (int op = 0; op < 512; ++op) {
                int k = n;
                if (op >= 256)
                    lead[k++] = 0x0F;
                else if (op == 0x0F || IsPrefix(op))
                    continue;
                lead[k++] = op;
                for (int f = 0; f < (pass == 0 ? 256 : pass == 1 ? 18 : 3); ++f) {
                    lead[k] = pass == 0 ? f : pass == 1 ? ModRms[f] : "\x05\x84\xC0"[f];
                    int sib = lead[k] < 0xC0 && (lead[k] & 7) == 4;
                    for (int base = 4; base <= 4 + sib; ++base)
                        lead[k + 1] = 0x20 | base, Emit(lead, k + 1 + sib);
                }
            }
        }
    }
    return 0;
}
