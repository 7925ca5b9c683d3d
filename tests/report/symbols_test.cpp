// Frame lines through the library's DWARF reader (the program) and the real
// symbol handler (the helper DLL, whose debug information is a PDB): source
// line, symbol form, bare address; the stack printer; modules loaded on
// demand.
#include "debug_capture.h"
#include "report_test_support.h"
#include "report/dwarf_lines.h"
#include "report/export_names.h"
#include "patching/coff_symbols.h"
#include "patching/instruction_copier.h"
#include "report/image_file.h"
#include "report/symbol_modules.h"
#include "report/symbols.h"
#include "control/options.h"
#include "tracking/alloc_table.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>
#include <map>
#include <set>

__attribute__((noinline)) static uintptr_t CallerAddress()
{
    return reinterpret_cast<uintptr_t>(__builtin_return_address(0));
}

static volatile uintptr_t Sink;

__attribute__((noinline)) uintptr_t AddressWithLine(int *line, const char **file)
{
    Sink = CallerAddress(); *line = __LINE__;
    *file = __FILE__;
    return Sink;
}

std::string WinePathOf(const char *file)
{
    std::string path = "Z:";
    path += file;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

void PrepareSymbolHandler()
{
    if (!SymbolProcess) {
        InitSymbols();
        OpenSymbols();
    }
    ASSERT_TRUE(SymbolProcess);
    SymRefreshModuleList(SymbolProcess);
    ForgetSymbolModuleLoads();
}

namespace {

struct HelperModule {
    HMODULE module = LoadLibraryW(L"tarnwick_helper.dll");
    uintptr_t Base() const { return reinterpret_cast<uintptr_t>(module); }
    uintptr_t Function() const { return reinterpret_cast<uintptr_t>(GetProcAddress(module, "HelperFunction")); }
    ~HelperModule()
    {
        if (module) {
            SymUnloadModule64(SymbolProcess, Base());
            FreeLibrary(module);
        }
    }
};

// Symbols without line numbers: the module leaves the symbol handler and
// comes back, on demand, read without lines; afterwards it leaves again.
struct LinesOff {
    explicit LinesOff(uintptr_t base) : base_(base)
    {
        SymUnloadModule64(SymbolProcess, base_);
        SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS);
        ForgetSymbolModuleLoads();
    }
    ~LinesOff()
    {
        SymUnloadModule64(SymbolProcess, base_);
        SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES);
        ForgetSymbolModuleLoads();
    }
    uintptr_t base_;
};

uintptr_t ProgramBase() { return reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr)); }

std::vector<std::string> SymbolPieces(const char *module, const char *symbol, uintptr_t displacement,
                                      uintptr_t address)
{
    char rest[64];
    snprintf(rest, sizeof rest, "+0x%llx : %s\n", static_cast<unsigned long long>(displacement),
             HexAddress(address).c_str());
    if (!module)
        return {symbol, rest};
    return {module, "!", symbol, rest};
}

class Symbols : public ::testing::Test {
protected:
    void SetUp() override
    {
        PrepareSymbolHandler();
        savedRoot_ = Options.sourceRoot[0];
        Options.sourceRoot[0] = 0;
        savedDepth_ = RecordDepth;
    }
    void TearDown() override
    {
        Options.sourceRoot[0] = savedRoot_;
        RecordDepth = savedDepth_;
    }
    wchar_t savedRoot_;
    uint32_t savedDepth_;
};

TEST_F(Symbols, AddressWithLineInformationGivesOneSourceLine)
{
    int line;
    const char *file;
    uintptr_t address = AddressWithLine(&line, &file);
    DebugCapture capture;
    EXPECT_EQ(PrintFrame(address), 1);
    std::string expected = WinePathOf(file) + "(" + std::to_string(line) + ") : " + HexAddress(address) + "\n";
    EXPECT_EQ(capture.Pieces(), std::vector<std::string>{expected});
}

TEST_F(Symbols, UnavailableModuleNameLeavesTwoPieces)
{
    HelperModule helper;
    ASSERT_TRUE(helper.module);
    uintptr_t address = helper.Function() + 5;
    LinesOff off(helper.Base());
    {
        DebugCapture capture;
        ASSERT_EQ(PrintFrame(address), 1);
        EXPECT_EQ(capture.Pieces(), SymbolPieces("tarnwick_helper.dll", "HelperFunction", 5, address));
    }
    // Gone from the process, still known to the symbol handler.
    FreeLibrary(helper.module);
    helper.module = nullptr;
    DebugCapture capture;
    EXPECT_EQ(PrintFrame(address), 1);
    EXPECT_EQ(capture.Pieces(), SymbolPieces(nullptr, "HelperFunction", 5, address));
}

TEST_F(Symbols, ModuleIsLoadedOnDemandOncePerDump)
{
    HelperModule helper;
    ASSERT_TRUE(helper.module);
    uintptr_t address = helper.Function() + 1;
    SymUnloadModule64(SymbolProcess, helper.Base());  // unknown, whatever the platform knew before
    ForgetSymbolModuleLoads();
    const std::string source = WinePathOf(__FILE__).replace(WinePathOf(__FILE__).rfind('\\') + 1,
                                                            std::string::npos, "helper_module.cpp(");
    {
        DebugCapture capture;
        EXPECT_EQ(PrintFrame(address), 1);
        ASSERT_EQ(capture.Pieces().size(), 1u);
        EXPECT_EQ(capture.Pieces()[0].rfind(source, 0), 0u) << capture.Pieces()[0];
    }
    // Unknown again within the same dump: no second load, nothing printed.
    SymUnloadModule64(SymbolProcess, helper.Base());
    {
        DebugCapture capture;
        EXPECT_EQ(PrintFrame(address), 0);
        EXPECT_TRUE(capture.Pieces().empty());
    }
    ForgetSymbolModuleLoads();  // the next dump tries again
    DebugCapture capture;
    EXPECT_EQ(PrintFrame(address), 1);
    ASSERT_EQ(capture.Pieces().size(), 1u);
    EXPECT_EQ(capture.Pieces()[0].rfind(source, 0), 0u) << capture.Pieces()[0];
}

TEST_F(Symbols, AddressOfNoModuleIsPrintedBare)
{
    void *page = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
    ASSERT_TRUE(page);
    uintptr_t address = reinterpret_cast<uintptr_t>(page) + 0x10;
    uintptr_t frames[3] = {address, 0x80001234u, 0};
    RecordDepth = 3;
    {
        DebugCapture capture;
        EXPECT_EQ(PrintFrame(address), 0);
        EXPECT_TRUE(capture.Pieces().empty());
    }
    DebugCapture capture;
    PrintStack(frames, false);
    EXPECT_EQ(capture.Pieces(), (std::vector<std::string>{HexAddress(address) + "\n", HexAddress(0x80001234u) + "\n"}));
    VirtualFree(page, 0, MEM_RELEASE);
}

namespace tw_names {
struct Widget {
    static int Touch(int x);
};
int Widget::Touch(int x) { return x + static_cast<int>(Sink); }
namespace {
__attribute__((noinline)) int Hidden(int x) { return x * static_cast<int>(Sink); }
}  // namespace
}  // namespace tw_names

// The COFF symbol table's name of the function at address, as the start
// gating reads the table.
static std::string CoffNameAt(uintptr_t address)
{
    static std::pair<uintptr_t, std::string> wanted;
    wanted = {address, ""};
    VisitProgramSymbols([](const CoffSymbol &symbol, void *) {
        if (symbol.code && symbol.address == wanted.first && symbol.name[0] != '.')
            wanted.second = symbol.name;
    }, nullptr);
    return wanted.second;
}

// Functions are named from DWARF as C++ spells them; code without DWARF (the
// static libstdc++'s operator new, Wine's thread start) as the COFF symbol
// table names it, less x86's decoration; the
// names that the table and the C runtime's DWARF give agree (below).
TEST_F(Symbols, DwarfNamesFunctions)
{
    const uintptr_t linkedNew = reinterpret_cast<uintptr_t>(static_cast<void *(*)(size_t)>(&::operator new));
    struct Case {
        uintptr_t address;
        std::string name;
        int (*nameOf)(uintptr_t, char *, uint32_t, uint32_t *);
    } cases[] = {{reinterpret_cast<uintptr_t>(&tw_names::Widget::Touch), "(anonymous namespace)::tw_names::Widget::Touch",
                  DwarfFunctionOf},
                 {reinterpret_cast<uintptr_t>(&tw_names::Hidden),
                  "(anonymous namespace)::tw_names::(anonymous namespace)::Hidden", DwarfFunctionOf},
                 {linkedNew, sizeof(void *) == 4 ? "_Znwj" : "_Znwy", CoffFunctionOf},
                 // Wine's kernel32 carries DWARF and a COFF table, where x86's
                 // name is "@BaseThreadInitThunk@12".
                 {reinterpret_cast<uintptr_t>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "BaseThreadInitThunk")),
                  "BaseThreadInitThunk", CoffFunctionOf}};
    EXPECT_EQ(cases[2].name, CoffNameAt(linkedNew));
    for (const Case &c : cases) {
        char name[256];
        uint32_t displacement = 0;
        ASSERT_TRUE(c.nameOf(c.address + 1, name, sizeof name, &displacement)) << c.name;
        EXPECT_EQ(c.name, name);
        EXPECT_EQ(1u, displacement);
    }
}

// Lines of modules that carry DWARF come from the library's own reader, with
// dbghelp out of use, as on Windows, whose dbghelp reads no DWARF; so do
// the names of functions without lines.
TEST_F(Symbols, WithoutSymbolHandlerOnlyDwarfLinesResolve)
{
    int line;
    const char *file;
    uintptr_t withLine = AddressWithLine(&line, &file);
    HelperModule helper;
    uintptr_t frames[4] = {withLine, helper.Function() + 3, ProgramBase() + 0x1000, 0};
    RecordDepth = 4;
    HANDLE saved = SymbolProcess;
    SymbolProcess = 0;
    DebugCapture capture;
    PrintStack(frames, false);
    SymbolProcess = saved;
    const std::string coffName = CoffNameAt(ProgramBase() + 0x1000);
    EXPECT_EQ(capture.Pieces(), (std::vector<std::string>{
                                    WinePathOf(file) + "(" + std::to_string(line) + ") : " + HexAddress(withLine) + "\n",
                                    HexAddress(frames[1]) + "\n", "report_tests.exe", "!", coffName,
                                    "+0x0 : " + HexAddress(frames[2]) + "\n"}));
}

TEST_F(Symbols, StackPrintsRecordDepthFramesAndStopsAtZero)
{
    HANDLE saved = SymbolProcess;
    SymbolProcess = 0;
    uintptr_t full[5] = {0x10, 0x20, 0x30, 0x40, 0x50};
    uintptr_t empty[3] = {0, 0x20, 0x30};
    uintptr_t gap[3] = {0x10, 0, 0x30};
    uint32_t savedStackDepth = Options.stackDepth;
    Options.stackDepth = 1;  // the option as changed after the run: not what records hold
    RecordDepth = 4;
    DebugCapture capture;
    PrintStack(full, false);
    std::vector<std::string> fullLines = capture.Pieces();
    capture.Clear();
    RecordDepth = 3;
    PrintStack(empty, false);
    std::vector<std::string> emptyLines = capture.Pieces();
    capture.Clear();
    PrintStack(gap, false);
    std::vector<std::string> gapLines = capture.Pieces();
    SymbolProcess = saved;
    Options.stackDepth = savedStackDepth;
    EXPECT_EQ(fullLines, (std::vector<std::string>{HexAddress(0x10) + "\n", HexAddress(0x20) + "\n", HexAddress(0x30) + "\n",
                                                   HexAddress(0x40) + "\n"}));
    EXPECT_TRUE(emptyLines.empty());
    EXPECT_EQ(gapLines, std::vector<std::string>{HexAddress(0x10) + "\n"});
}

TEST_F(Symbols, StackMixesTheThreeForms)
{
    int line;
    const char *file;
    uintptr_t withLine = AddressWithLine(&line, &file);
    {
        DebugCapture loadWithLines;  // the program's module known with its lines
        ASSERT_EQ(PrintFrame(withLine), 1);
    }
    HelperModule helper;
    ASSERT_TRUE(helper.module);
    LinesOff off(helper.Base());
    uintptr_t frames[3] = {withLine, helper.Function() + 2, 0x80000010u};
    RecordDepth = 3;
    DebugCapture capture;
    PrintStack(frames, false);
    std::vector<std::string> expected = {WinePathOf(file) + "(" + std::to_string(line) + ") : " + HexAddress(withLine) +
                                         "\n"};
    for (const std::string &piece : SymbolPieces("tarnwick_helper.dll", "HelperFunction", 2, frames[1]))
        expected.push_back(piece);
    expected.push_back(HexAddress(0x80000010u) + "\n");
    EXPECT_EQ(capture.Pieces(), expected);
}

}  // namespace

#if defined(_WIN64)
// Every function of kernel32's function table, an address inside each: an
// export names it exactly when the function begins at that export.
TEST(ExportNames, AnExportNamesOnlyItsOwnFunction)
{
    const BYTE *base = reinterpret_cast<const BYTE *>(GetModuleHandleW(L"kernel32.dll"));
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &exportData = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const IMAGE_DATA_DIRECTORY &table = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
    const auto *exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + exportData.VirtualAddress);
    const DWORD *rvas = reinterpret_cast<const DWORD *>(base + exports->AddressOfFunctions);
    const DWORD *names = reinterpret_cast<const DWORD *>(base + exports->AddressOfNames);
    const WORD *ordinals = reinterpret_cast<const WORD *>(base + exports->AddressOfNameOrdinals);
    std::map<uint32_t, std::set<std::string>> named;
    for (DWORD i = 0; i < exports->NumberOfNames; i++)
        named[rvas[ordinals[i]]].insert(reinterpret_cast<const char *>(base + names[i]));
    const auto *functions = reinterpret_cast<const RUNTIME_FUNCTION *>(base + table.VirtualAddress);
    int inside = 0, outside = 0;
    for (size_t i = 0; i < table.Size / sizeof(RUNTIME_FUNCTION); i++) {
        if ((base[functions[i].UnwindData] >> 3) & 4)
            continue;  // a later part of a function
        uintptr_t address = reinterpret_cast<uintptr_t>(base) + functions[i].BeginAddress + 1;
        wchar_t moduleName[260], name[256];
        uint32_t offset = 0;
        int found = FindExportBelow(address, moduleName, name, 256, &offset);
        auto exported = named.find(functions[i].BeginAddress);
        if (exported == named.end()) {
            outside++;
            EXPECT_EQ(0, found) << std::hex << functions[i].BeginAddress;
            continue;
        }
        inside++;
        ASSERT_EQ(1, found) << std::hex << functions[i].BeginAddress;
        std::string narrow;
        for (const wchar_t *c = name; *c; c++)
            narrow += static_cast<char>(*c);
        EXPECT_EQ(1u, exported->second.count(narrow)) << narrow;
        EXPECT_EQ(1u, offset);
    }
    EXPECT_GT(inside, 10);
    EXPECT_GT(outside, 10);
}
#else
// Every function that the library's test DLL's COFF symbol table names, an
// address inside each (past its first instruction): an export names it only
// when the function begins at that export. Of the functions that begin at
// none, those that follow an exported function's early return are counted
// apart: such a return address would be named after that export.
TEST(ExportNames, AnExportNamesOnlyItsOwnFunction)
{
    HMODULE dll = GetModuleHandleW(L"TarnwickTest.dll");
    const BYTE *base = reinterpret_cast<const BYTE *>(dll);
    wchar_t path[MAX_PATH];
    ImageFile file;
    ASSERT_TRUE(GetModuleFileNameW(dll, path, MAX_PATH) && OpenImageFile(path, &file) && file.symbols);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &exportData = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto *exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + exportData.VirtualAddress);
    const DWORD *rvas = reinterpret_cast<const DWORD *>(base + exports->AddressOfFunctions);
    std::set<uint32_t> exported(rvas, rvas + exports->NumberOfFunctions);
    int inside = 0, outside = 0, named = 0;
    for (uint32_t i = 0; i < file.symbolCount; i += 1 + file.symbols[i].NumberOfAuxSymbols) {
        const IMAGE_SYMBOL &symbol = file.symbols[i];
        if (symbol.SectionNumber <= 0 || (symbol.Type >> 4) != IMAGE_SYM_DTYPE_FUNCTION ||
            !(file.sections[symbol.SectionNumber - 1].Characteristics & IMAGE_SCN_CNT_CODE))
            continue;
        uint32_t rva = file.sections[symbol.SectionNumber - 1].VirtualAddress + symbol.Value;
        auto next = reinterpret_cast<uintptr_t>(CopyInstruction(nullptr, base + rva, nullptr, nullptr));
        if (base[rva] == 0xC3)
            continue;  // a function of one ret: past it is the next

        wchar_t moduleName[260], name[256];
        uint32_t offset = 0;
        int found = next ? FindExportBelow(next, moduleName, name, 256, &offset) : 0;
        if (exported.count(rva)) {
            inside++;
            EXPECT_EQ(1, found) << std::hex << rva;
            EXPECT_EQ(next - reinterpret_cast<uintptr_t>(base) - rva, offset);
        } else {
            outside++;
            named += found;
        }
    }
    CloseImageFile(&file);
    EXPECT_GT(inside, 100);
    EXPECT_GT(outside, 100);
    EXPECT_EQ(0, named) << "of " << outside << " functions that begin at no export";
}
#endif
