/* Writes the x86-64 encodings that copier_x64_test checks, measured by Zydis.
 * One line each: bytes (hex), length (0: the copier must refuse it), offset
 * and width of the displacement relative to the instruction's end (0 0 when
 * none), and what the copier reports as branch target: - nothing, T that
 * destination, L the same for loop (overflow reported negated), P the pointer
 * stored there, U unknown. Encodings Zydis rejects and the copier need not
 * refuse are left out. Built and run on the build machine: copier_x64_encodings FILE. */
#include <Zydis/Zydis.h>
#include <stdio.h>
#include <string.h>

static const unsigned char Legacy[] = {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3};
static const unsigned char Paired[] = {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3,
                                       0x40, 0x41, 0x48, 0x4C, 0x4F};
static const unsigned char ModRms[] = {0x04, 0x44, 0x84, 0x05, 0x0D, 0x15, 0x1D, 0x25, 0x2D, 0x35,
                                       0x3D, 0x45, 0x85, 0xC0, 0xC8, 0xD0, 0xE0, 0xF8};
/* The copier's documented refusals: invalid in 64-bit mode (and int1), and
 * the second bytes after 0F it does not measure. */
static const char Invalid[] = "\x06\x07\x0E\x16\x17\x1E\x1F\x27\x2F\x37\x3F\x60\x61\x62\x82\x9A\xC4\xC5"
                              "\xCE\xD4\xD5\xD6\xEA\xF1";
static const char Invalid0F[] = "\x04\x0A\x0C\x24\x25\x26\x27\x36\x37\x38\x39\x3A\x3B\x3C\x3D\x3E\x3F"
                                "\x78\x79\x7A\x7B\x7C\x7D\xA6\xA7\xB9\xD0\xF0\xFF";
static const unsigned char Filler[] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18, 0x29, 0x3A, 0x4B, 0x5C};

static ZydisDecoder decoder;
static unsigned count;

static int IsRex(unsigned char b) { return b >= 0x40 && b <= 0x4F; }
static int IsPrefix(unsigned char b) { return IsRex(b) || memchr(Legacy, b, sizeof Legacy) != NULL; }
static int In(const char *set, unsigned char b) { return b && memchr(set, b, strlen(set)) != NULL; }

static void Emit(const unsigned char *lead, int n)
{
    unsigned char code[32];
    int disp = -0x100 - (int)(count++ % 0x400); /* small: a pointer read there stays in the test's region */
    memcpy(code, lead, n);
    memcpy(code + n, &disp, 4);
    memcpy(code + n + 4, Filler, sizeof Filler);
    int op = 0, refuse = 0, has66 = 0, has67 = 0;
    while (IsPrefix(lead[op])) {
        refuse |= IsRex(lead[op]) && IsPrefix(lead[op + 1]);
        has66 |= lead[op] == 0x66;
        has67 |= lead[op++] == 0x67;
    }
    int rexW = op > 0 && IsRex(lead[op - 1]) && (lead[op - 1] & 8);
    refuse |= lead[op] == 0x0F ? In(Invalid0F, lead[op + 1]) : In(Invalid, lead[op]);
    ZydisDecodedInstruction in;
    ZydisDecodedOperand ops[ZYDIS_MAX_OPERAND_COUNT];
    int valid = ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder, code, n + 4 + sizeof Filler, &in, ops));
    if (!valid && !refuse)
        return;
    int at = 0, width = 0;
    char transfer = '-';
    ZydisMnemonic m = in.mnemonic;
    ZydisInstructionCategory category = in.meta.category;
    int branch = category == ZYDIS_CATEGORY_CALL || category == ZYDIS_CATEGORY_UNCOND_BR;
    for (int i = 0; valid && !refuse && i < in.operand_count; ++i) {
        ZydisRegister base = ops[i].mem.base;
        if (ops[i].type == ZYDIS_OPERAND_TYPE_MEMORY && (base == ZYDIS_REGISTER_RIP || base == ZYDIS_REGISTER_EIP)) {
            at = in.raw.disp.offset, width = 4, refuse = has67;  /* EIP-relative: refused */
            if (branch)
                transfer = in.meta.branch_type == ZYDIS_BRANCH_TYPE_NEAR ? 'P' : 'U';
        }
    }
    for (int i = 0; valid && !refuse && i < 2; ++i) {
        if (in.raw.imm[i].is_relative) {
            at = in.raw.imm[i].offset, width = in.raw.imm[i].size / 8;
            refuse = width == 2 || (width == 4 && has66 && !rexW);  /* 16 or 32 bits by processor: refused */
            transfer = m == ZYDIS_MNEMONIC_LOOP || m == ZYDIS_MNEMONIC_LOOPE || m == ZYDIS_MNEMONIC_LOOPNE ? 'L' : 'T';
        }
    }
    if (valid && transfer == '-' && !width &&
        (branch || category == ZYDIS_CATEGORY_INTERRUPT || category == ZYDIS_CATEGORY_SYSCALL ||
         category == ZYDIS_CATEGORY_SYSRET || m == ZYDIS_MNEMONIC_IRET || m == ZYDIS_MNEMONIC_IRETD ||
         m == ZYDIS_MNEMONIC_IRETQ || m == ZYDIS_MNEMONIC_SYSENTER || m == ZYDIS_MNEMONIC_SYSEXIT ||
         (m == ZYDIS_MNEMONIC_RET && in.meta.branch_type == ZYDIS_BRANCH_TYPE_FAR)))
        transfer = 'U';
    for (int i = 0; i < n + 4 + (int)sizeof Filler; ++i)
        printf("%02x", code[i]);
    printf(refuse ? " 0 0 0 -\n" : " %d %d %d %c\n", in.length, at, width, transfer);
}

/* Every opcode with every ModRM byte (SIB bases 100 and 101), then behind one
 * prefix with the ModRM forms that differ, then behind two with fewer. */
int main(int argc, char **argv)
{
    if (argc != 2 || !freopen(argv[1], "w", stdout))
        return 1;
    ZydisDecoderInit(&decoder, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
    unsigned char lead[8];
    for (int pass = 0; pass < 3; ++pass) {
        int prefixes = pass == 0 ? 1 : pass == 1 ? 27 : 16 * 16;
        for (int p = 0; p < prefixes; ++p) {
            int n = 0;
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
                int forms = pass == 0 ? 256 : pass == 1 ? sizeof ModRms : 3;
                for (int f = 0; f < forms; ++f) {
                    int modRm = pass == 0 ? f : pass == 1 ? ModRms[f] : (int[]){0x05, 0x84, 0xC0}[f];
                    lead[k] = modRm;
                    int sib = modRm < 0xC0 && (modRm & 7) == 4;
                    for (int base = 4; base <= (sib ? 5 : 4); ++base)
                        lead[k + 1] = 0x20 | base, Emit(lead, k + 1 + sib);
                }
            }
        }
    }
    return 0;
}
