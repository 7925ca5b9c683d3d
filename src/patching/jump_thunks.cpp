// kernel32's Heap, Global and Local entries are mostly stubs that jump into
// ntdll or kernelbase (Windows 7 and later, and Wine). The code there is also
// reached directly, by kernelbase itself, so that is where a hook must sit.
#include "patching/jump_thunks.h"
#include <stdint.h>
#include <string.h>

namespace {

// A chain longer than this is not a chain of stubs.
const int MaxThunks = 4;

const uint8_t IndirectJump[] = {0xFF, 0x25};
#if defined(_WIN64)
const uint8_t HotPatchFrame[] = {0x48, 0x8D, 0xA4, 0x24, 0x00, 0x00, 0x00, 0x00};
#else
const uint8_t HotPatchFrame[] = {0x8B, 0xFF, 0x55, 0x8B, 0xEC, 0x5D};
#endif

// The target of a `jmp [abs32]` (x64: `jmp [rip+disp32]`, with or without
// REX.W) at code, or null.
void *IndirectTarget(const uint8_t *code)
{
#if defined(_WIN64)
    if (code[0] == 0x48)
        ++code;
#endif
    if (memcmp(code, IndirectJump, sizeof IndirectJump) != 0)
        return nullptr;
#if defined(_WIN64)
    int32_t displacement;
    memcpy(&displacement, code + sizeof IndirectJump, 4);
    void *const *pointer = reinterpret_cast<void *const *>(code + sizeof IndirectJump + 4 + displacement);
#else
    void *const *pointer;
    memcpy(&pointer, code + sizeof IndirectJump, sizeof pointer);
#endif
    return *pointer;
}

}  // namespace

void *FollowJumpThunks(void *entry)
{
    for (int i = 0; entry && i < MaxThunks; i++) {
        const auto *code = static_cast<const uint8_t *>(entry);
        if (memcmp(code, HotPatchFrame, sizeof HotPatchFrame) == 0)
            code += sizeof HotPatchFrame;
        void *target = IndirectTarget(code);
        if (!target)
            break;
        entry = target;
    }
    return entry;
}
