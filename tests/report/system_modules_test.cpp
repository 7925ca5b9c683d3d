// The system-module snapshot and the inclusive range test.
#include "report/system_modules.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>
#include <string.h>

namespace {

class SystemModules : public ::testing::Test {
protected:
    void SetUp() override { memcpy(saved_, SystemModuleTable, sizeof saved_); }
    void TearDown() override { memcpy(SystemModuleTable, saved_, sizeof saved_); }
    // Every entry a distinct, non-zero range: all "loaded".
    void SetAllLoaded()
    {
        for (uint32_t i = 0; i < SystemModuleCount; ++i) {
            SystemModuleTable[i].base = 0x60000000u + i * 0x01000000u;
            SystemModuleTable[i].size = 0x2000;
        }
    }
    SystemModule saved_[SystemModuleCount];
};

TEST_F(SystemModules, TableNamesAndOrderAreFixed)
{
    // The ten classic modules keep their order; kernelbase, combase and the
    // other C runtime follow.
    const wchar_t *expected[] = {L"kernel32", L"ntdll",    L"msvcrt",     L"GDI32",   L"RPCRT4",
                                 L"USER32",   L"IMM32",    L"USP10",      L"ole32",   L"ADVAPI32",
                                 L"kernelbase", L"combase", L"ucrtbase"};
    ASSERT_EQ(SystemModuleCount, 13u);
    for (uint32_t i = 0; i < SystemModuleCount; ++i)
        EXPECT_STREQ(SystemModuleTable[i].name, expected[i]) << "entry " << i;
}

TEST_F(SystemModules, SnapshotRecordsBaseAndImageSize)
{
    SnapshotSystemModules();
    int loaded = 0;
    for (const SystemModule &module : SystemModuleTable) {
        HMODULE handle = GetModuleHandleW(module.name);
        EXPECT_EQ(module.base, reinterpret_cast<uintptr_t>(handle));
        if (handle) {
            ++loaded;
            MODULEINFO info = {};
            ASSERT_TRUE(GetModuleInformation(GetCurrentProcess(), handle, &info, sizeof info));
            EXPECT_EQ(module.size, info.SizeOfImage);
        } else {
            EXPECT_EQ(module.size, 0u);
        }
    }
    EXPECT_GE(loaded, 2);  // kernel32 and ntdll at least
}

TEST_F(SystemModules, BoundsAreInclusive)
{
    SetAllLoaded();
    const SystemModule &gdi = SystemModuleTable[3];
    EXPECT_EQ(IsInSystemModule(gdi.base), 1);
    EXPECT_EQ(IsInSystemModule(gdi.base + 0x1000), 1);
    EXPECT_EQ(IsInSystemModule(gdi.base + gdi.size), 1);
    EXPECT_EQ(IsInSystemModule(gdi.base - 1), 0);
    EXPECT_EQ(IsInSystemModule(gdi.base + gdi.size + 1), 0);
    EXPECT_EQ(IsInSystemModule(SystemModuleTable[9].base + 5), 1);
    EXPECT_EQ(IsInSystemModule(0xFFFFFFFFu), 0);
}

TEST_F(SystemModules, AddressZeroIsInsideOnlyWhileAModuleIsMissing)
{
    SetAllLoaded();
    EXPECT_EQ(IsInSystemModule(0), 0);
    SystemModuleTable[7].base = 0;
    SystemModuleTable[7].size = 0;
    EXPECT_EQ(IsInSystemModule(0), 1);
    EXPECT_EQ(IsInSystemModule(1), 0);
}

TEST_F(SystemModules, RangeEndWrapsAtTheTopOfTheAddressSpace)
{
    SetAllLoaded();
    SystemModuleTable[0].base = UINTPTR_MAX - 0xFFF;
    SystemModuleTable[0].size = 0x2000;  // the end wraps to 0x1000: the entry covers nothing
    EXPECT_EQ(IsInSystemModule(UINTPTR_MAX - 0x7FF), 0);
    EXPECT_EQ(IsInSystemModule(0x800), 0);
}

TEST_F(SystemModules, ModuleLoadedAfterSnapshotIsNotCovered)
{
    SnapshotSystemModules();
    const SystemModule *missing = nullptr;
    for (const SystemModule &module : SystemModuleTable)
        if (!module.base) {
            missing = &module;
            break;
        }
    if (!missing)
        GTEST_SKIP() << "all ten modules are loaded in this process";
    HMODULE handle = LoadLibraryW(missing->name);
    ASSERT_TRUE(handle) << "cannot load a listed module";
    uintptr_t inside = reinterpret_cast<uintptr_t>(handle) + 0x100;
    bool coveredByOther = IsInSystemModule(inside);
    EXPECT_FALSE(coveredByOther);
    SnapshotSystemModules();
    EXPECT_EQ(missing->base, reinterpret_cast<uintptr_t>(handle));
    EXPECT_EQ(IsInSystemModule(inside), 1);
}

}  // namespace
