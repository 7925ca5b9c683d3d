// The product DLL's export table, as a C++ client linked against the import
// library sees it, and as a C client run under the runner sees it.
#include "debug_capture.h"
#include "run_capture.h"
#include <tarnwick.h>
#include <gtest/gtest.h>
#include <windows.h>
#include <stdint.h>
#include <string>
#include <vector>

namespace {

// In the export table's (alphabetical) order, with their ordinals: the first
// four in that order, TarnwickSetReportOptions added as the fifth.
const char *const ExportNames[] = {"TarnwickDump", "TarnwickSetOptions", "TarnwickSetReportOptions", "TarnwickStart",
                                   "TarnwickStop"};
const DWORD ExportOrdinals[] = {1, 2, 5, 3, 4};
const int Exports = 5;

HMODULE Product() { return GetModuleHandleW(L"Tarnwick.dll"); }

struct ExportTable {
    std::string dllName;
    DWORD base = 0;
    std::vector<std::string> names;   // in name-table order
    std::vector<DWORD> ordinals;      // base + name-ordinal, per name
    std::vector<void *> addresses;    // per name
    DWORD functionCount = 0;
};

ExportTable ReadExports(HMODULE module)
{
    ExportTable table;
    auto *image = reinterpret_cast<const uint8_t *>(module);
    auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(image);
    auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(image + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (!directory.VirtualAddress)
        return table;
    auto *exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(image + directory.VirtualAddress);
    auto *names = reinterpret_cast<const DWORD *>(image + exports->AddressOfNames);
    auto *nameOrdinals = reinterpret_cast<const WORD *>(image + exports->AddressOfNameOrdinals);
    auto *functions = reinterpret_cast<const DWORD *>(image + exports->AddressOfFunctions);
    table.dllName = reinterpret_cast<const char *>(image + exports->Name);
    table.base = exports->Base;
    table.functionCount = exports->NumberOfFunctions;
    for (DWORD i = 0; i < exports->NumberOfNames; i++) {
        table.names.push_back(reinterpret_cast<const char *>(image + names[i]));
        table.ordinals.push_back(exports->Base + nameOrdinals[i]);
        table.addresses.push_back(const_cast<uint8_t *>(image + functions[nameOrdinals[i]]));
    }
    return table;
}

#if !defined(_WIN64)  // x64 has one calling convention: nothing to check
// Calls a one-argument function and returns how many bytes of arguments it
// left on the stack (0 for stdcall).
uint32_t ArgumentBytesLeft(void *function, const void *argument)
{
    uint32_t before, after;
    asm volatile("mov %%esp, %0\n\t"
                 "push %3\n\t"
                 "call *%2\n\t"
                 "mov %%esp, %1\n\t"
                 "mov %0, %%esp"
                 : "=&r"(before), "=r"(after)
                 : "r"(function), "r"(argument)
                 : "eax", "ecx", "edx", "memory", "cc");
    return before - after;
}
#endif

}  // namespace

TEST(Exports, ExactlyTheFiveNamesWithTheirOrdinals)
{
    ASSERT_NE(nullptr, Product());
    ExportTable table = ReadExports(Product());
    EXPECT_STREQ("Tarnwick.dll", table.dllName.c_str());
    EXPECT_EQ(1u, table.base);
    EXPECT_EQ(5u, table.functionCount);
    ASSERT_EQ(5u, table.names.size());
    for (int i = 0; i < Exports; i++) {
        EXPECT_EQ(ExportNames[i], table.names[i]);
        EXPECT_EQ(ExportOrdinals[i], table.ordinals[i]) << ExportNames[i];
    }
}

TEST(Exports, FoundByNameAndByOrdinalAtTheSameAddress)
{
    HMODULE dll = Product();
    ASSERT_NE(nullptr, dll);
    ExportTable table = ReadExports(dll);
    ASSERT_EQ(5u, table.addresses.size());
    for (int i = 0; i < Exports; i++) {
        FARPROC byName = GetProcAddress(dll, ExportNames[i]);
        FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(ExportOrdinals[i]));
        ASSERT_NE(nullptr, byName) << ExportNames[i];
        EXPECT_EQ(byName, byOrdinal) << ExportNames[i];
        EXPECT_EQ(reinterpret_cast<void *>(byName), table.addresses[i]) << ExportNames[i];
    }
    // Five distinct functions.
    for (int i = 0; i < Exports; i++)
        for (int j = i + 1; j < Exports; j++)
            EXPECT_NE(table.addresses[i], table.addresses[j]);
    // Nothing else, and no decorated or lower-case spellings.
    EXPECT_EQ(nullptr, GetProcAddress(dll, MAKEINTRESOURCEA(6)));
    for (const char *name : {"TarnwickSetOptions@4", "_TarnwickSetOptions@4", "TarnwickStart@0", "tarnwickstart",
                             "DllMain", "Options", "RunningFlag"})
        EXPECT_EQ(nullptr, GetProcAddress(dll, name)) << name;
}

TEST(Exports, ImportLibraryBindsEachNameToItsExport)
{
    HMODULE dll = Product();
    ASSERT_NE(nullptr, dll);
    // With dllimport, taking the address reads the import table slot.
    const void *imported[] = {reinterpret_cast<void *>(&TarnwickDump), reinterpret_cast<void *>(&TarnwickSetOptions),
                              reinterpret_cast<void *>(&TarnwickSetReportOptions),
                              reinterpret_cast<void *>(&TarnwickStart), reinterpret_cast<void *>(&TarnwickStop)};
    for (int i = 0; i < Exports; i++)
        EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(dll, ExportNames[i])), imported[i]) << ExportNames[i];
}

TEST(Exports, SetOptionsIsStdcallAndAnswersMisuseWithMessages)
{
    ASSERT_TRUE(debug_capture::Install());
    debug_capture::Take();
    TarnwickOptions options = {24, 0, 0, 1, L"C:\\symbols", L"C:\\src"};
    TarnwickSetOptions(&options);
    EXPECT_TRUE(debug_capture::Take().empty());

    TarnwickSetOptions(nullptr);
    std::vector<std::string> strings = debug_capture::Take();
    ASSERT_EQ(1u, strings.size());
    EXPECT_EQ("Tarnwick: TarnwickSetOptions called with a null pointer; options unchanged.\n", strings[0]);

#if !defined(_WIN64)
    void *function = reinterpret_cast<void *>(GetProcAddress(Product(), "TarnwickSetOptions"));
    ASSERT_NE(nullptr, function);
    EXPECT_EQ(0u, ArgumentBytesLeft(function, &options));
    EXPECT_EQ(0u, ArgumentBytesLeft(function, nullptr));
#endif
    debug_capture::Take();
}

TEST(Exports, CClientLinksAndRunsUnderTheRunner)
{
    CapturedRun run = RunUnderRunner(L"c_client.exe", L"");
    ASSERT_TRUE(run.started);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(0x42u, run.exitCode);
    EXPECT_EQ("", run.err);
    // The announcement at load, then one message per refused call.
    std::vector<std::string> lines;
    for (size_t start = 0; start < run.out.size();) {
        size_t end = run.out.find('\n', start);
        end = end == std::string::npos ? run.out.size() : end + 1;
        lines.push_back(run.out.substr(start, end - start));
        start = end;
    }
    ASSERT_EQ(3u, lines.size()) << run.out;
    for (const std::string &line : lines) {
        EXPECT_EQ(0u, line.find("Tarnwick: ")) << line;
        EXPECT_EQ('\n', line.back()) << line;
    }
    EXPECT_GT(lines[0].size(), 12u);
    EXPECT_EQ("Tarnwick: TarnwickSetOptions called with a null pointer; options unchanged.\n", lines[1]);
    EXPECT_EQ("Tarnwick: stackDepth is larger than 4096; the depth is unchanged.\n", lines[2]);
}
