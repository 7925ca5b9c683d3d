// TarnwickSetOptions, through TarnwickTest.dll (linked) and through the product
// DLL (loaded here; its unexported state found by symbol offsets).
#include "control/library.h"
#include "control/options.h"
#include "debug_capture.h"
#include "product_symbols.h"
#include "tarnwick.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <process.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

struct Library {
    const char *name;
    void(__stdcall *setOptions)(const TarnwickOptions *);
    StoredOptions *options;
    volatile LONG *running;
};

std::vector<std::string> AnnouncementOfProduct;

const Library *ProductDll()
{
    static Library product = [] {
        debug_capture::Install();
        debug_capture::Take();
        HMODULE dll = LoadLibraryW(L"Tarnwick.dll");
        AnnouncementOfProduct = debug_capture::Take();
        auto *base = reinterpret_cast<char *>(dll);
        Library library = {"Tarnwick", nullptr, nullptr, nullptr};
        if (dll) {
            library.setOptions = reinterpret_cast<void(__stdcall *)(const TarnwickOptions *)>(
                reinterpret_cast<void *>(GetProcAddress(dll, "TarnwickSetOptions")));
            library.options = reinterpret_cast<StoredOptions *>(base + PRODUCT_Options_RVA);
            library.running = reinterpret_cast<volatile LONG *>(base + PRODUCT_RunningFlag_RVA);
        }
        return library;
    }();
    return &product;
}

const Library *TestDll()
{
    static Library test = {"TarnwickTest", &TarnwickSetOptions, &Options, &RunningFlag};
    return &test;
}

// Calls setOptions and returns the debug strings it wrote; each must be one
// "Tarnwick: ..." line.
std::vector<std::string> Call(const Library &library, const TarnwickOptions *options)
{
    debug_capture::Take();
    library.setOptions(options);
    std::vector<std::string> strings = debug_capture::Take();
    for (const std::string &text : strings) {
        EXPECT_EQ(0u, text.find("Tarnwick: ")) << text;
        EXPECT_EQ(text.size() - 1, text.find('\n')) << text;
    }
    return strings;
}

std::vector<std::string> Strings(std::initializer_list<const char *> texts)
{
    return std::vector<std::string>(texts.begin(), texts.end());
}

template <typename Body>
void OnOtherThread(Body body)
{
    struct Call {
        static unsigned __stdcall Run(void *argument)
        {
            (*static_cast<Body *>(argument))();
            return 0;
        }
    };
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Call::Run, &body, 0, nullptr));
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

// The bytes from the end of the stored options to the end of their page.
std::string BytesAfter(const StoredOptions *options)
{
    const char *end = reinterpret_cast<const char *>(options + 1);
    MEMORY_BASIC_INFORMATION region;
    if (!VirtualQuery(end, &region, sizeof region) || region.State != MEM_COMMIT)
        return std::string();
    const char *regionEnd = static_cast<const char *>(region.BaseAddress) + region.RegionSize;
    size_t length = regionEnd - end < 512 ? regionEnd - end : 512;
    return std::string(end, length);
}

// A string of `length` characters that ends exactly where an inaccessible page
// begins and has no terminator: reading one character too far faults.
struct FencedString {
    char *pages;
    const wchar_t *text;
    explicit FencedString(size_t length, wchar_t fill)
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        size_t page = info.dwPageSize, bytes = length * sizeof(wchar_t);
        size_t usable = (bytes + page - 1) / page * page;
        pages = static_cast<char *>(VirtualAlloc(nullptr, usable + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(pages + usable, page, PAGE_NOACCESS, &old);
        wchar_t *start = reinterpret_cast<wchar_t *>(pages + usable - bytes);
        for (size_t i = 0; i < length; i++)
            start[i] = fill;
        text = start;
    }
    ~FencedString() { VirtualFree(pages, 0, MEM_RELEASE); }
};

const char RunningMessage[] = "Tarnwick: cannot call TarnwickSetOptions while still running.\n";
const char NullMessage[] = "Tarnwick: TarnwickSetOptions called with a null pointer; options unchanged.\n";
const char DepthMessage[] = "Tarnwick: stackDepth is larger than 4096; the depth is unchanged.\n";
const char SymbolPathMessage[] =
    "Tarnwick: symbolPath is longer than 1023 characters; the stored path is unchanged.\n";
const char SourceRootMessage[] =
    "Tarnwick: sourceRoot is longer than 259 characters; the stored directory is unchanged.\n";

}  // namespace

// Runs first: nothing has called TarnwickSetOptions yet.
TEST(OptionsAtLoad, DefaultsAndTheAnnouncement)
{
    ASSERT_TRUE(debug_capture::Install()) << "a debugger would take the debug strings";
    const Library &product = *ProductDll();
    ASSERT_NE(nullptr, product.setOptions);
    ASSERT_EQ(1u, AnnouncementOfProduct.size());
    const std::string &line = AnnouncementOfProduct[0];
    EXPECT_EQ(0u, line.find("Tarnwick: ")) << line;
    EXPECT_GT(line.size(), 12u);
    EXPECT_EQ(line.size() - 1, line.find('\n')) << "one line ending in a newline: " << line;

    for (const Library *library : {&product, TestDll()}) {
        const StoredOptions &options = *library->options;
        SCOPED_TRACE(library->name);
        EXPECT_EQ(16u, options.stackDepth);
        EXPECT_EQ(0, options.breakOnLeak);
        EXPECT_EQ(0, options.ownThreadOnly);
        EXPECT_EQ(0u, options.minRepeat);
        EXPECT_EQ(0u, options.optionsThreadId);
        EXPECT_EQ(0, options.symbolPath[0]);
        EXPECT_EQ(0, options.sourceRoot[0]);
        EXPECT_EQ(0, *library->running);
    }
}

class SetOptions : public testing::TestWithParam<const Library *(*)()> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(debug_capture::Install());
        library = GetParam()();
        ASSERT_NE(nullptr, library->setOptions);
        stored = library->options;
    }
    const Library *library = nullptr;
    StoredOptions *stored = nullptr;
};

TEST_P(SetOptions, StoresFieldsAndKeepsWhatIsNotGiven)
{
    TarnwickOptions options = {40, 1, 1, 3, L"C:\\symbols;D:\\more", L"D:\\src"};
    EXPECT_TRUE(Call(*library, &options).empty());
    EXPECT_EQ(40u, stored->stackDepth);
    EXPECT_EQ(1, stored->breakOnLeak);
    EXPECT_EQ(1, stored->ownThreadOnly);
    EXPECT_EQ(3u, stored->minRepeat);
    EXPECT_EQ(GetCurrentThreadId(), stored->optionsThreadId);
    EXPECT_STREQ(L"C:\\symbols;D:\\more", stored->symbolPath);
    EXPECT_STREQ(L"D:\\src", stored->sourceRoot);

    // Depth 0 and null strings keep; the flags and minRepeat are overwritten.
    options = {0, 0, 0, 0, nullptr, nullptr};
    EXPECT_TRUE(Call(*library, &options).empty());
    EXPECT_EQ(40u, stored->stackDepth);
    EXPECT_EQ(0, stored->breakOnLeak);
    EXPECT_EQ(0, stored->ownThreadOnly);
    EXPECT_EQ(0u, stored->minRepeat);
    EXPECT_STREQ(L"C:\\symbols;D:\\more", stored->symbolPath);
    EXPECT_STREQ(L"D:\\src", stored->sourceRoot);

    // An empty string is a value: it clears.
    options = {1, -1, 7, 0xFFFFFFFFu, L"", nullptr};
    EXPECT_TRUE(Call(*library, &options).empty());
    EXPECT_EQ(1u, stored->stackDepth);
    EXPECT_EQ(-1, stored->breakOnLeak);
    EXPECT_EQ(7, stored->ownThreadOnly);
    EXPECT_EQ(0xFFFFFFFFu, stored->minRepeat);
    EXPECT_STREQ(L"", stored->symbolPath);
    EXPECT_STREQ(L"D:\\src", stored->sourceRoot);

    // A shorter path after a longer one leaves no remains of the longer.
    options = {16, 0, 0, 0, L"C:\\a\\long\\symbol\\path", L"C:\\a\\long\\source\\root"};
    Call(*library, &options);
    options = {0, 0, 0, 0, L"X:", L"Y:"};
    EXPECT_TRUE(Call(*library, &options).empty());
    EXPECT_STREQ(L"X:", stored->symbolPath);
    EXPECT_STREQ(L"Y:", stored->sourceRoot);
    EXPECT_EQ(16u, stored->stackDepth);
}

TEST_P(SetOptions, ThreadFilterMovesToTheLastCaller)
{
    TarnwickOptions own = {0, 0, 1, 0, nullptr, nullptr};
    DWORD first = 0, second = 0;
    OnOtherThread([&] {
        first = GetCurrentThreadId();
        library->setOptions(&own);
    });
    EXPECT_EQ(first, stored->optionsThreadId);
    EXPECT_EQ(1, stored->ownThreadOnly);
    OnOtherThread([&] {
        second = GetCurrentThreadId();
        library->setOptions(&own);
    });
    EXPECT_NE(first, second);
    EXPECT_EQ(second, stored->optionsThreadId);
    // Stored whatever ownThreadOnly says.
    TarnwickOptions off = {0, 0, 0, 0, nullptr, nullptr};
    EXPECT_TRUE(Call(*library, &off).empty());
    EXPECT_EQ(GetCurrentThreadId(), stored->optionsThreadId);
    EXPECT_EQ(0, stored->ownThreadOnly);
}

TEST_P(SetOptions, LongestStringsAreAcceptedWhole)
{
    const std::wstring symbolPath = L"S" + std::wstring(1021, L's') + L"Z";  // 1023
    const std::wstring sourceRoot = L"R" + std::wstring(257, L'r') + L"Z";   // 259
    TarnwickOptions options = {0, 0, 0, 0, symbolPath.c_str(), sourceRoot.c_str()};
    EXPECT_TRUE(Call(*library, &options).empty());
    EXPECT_EQ(symbolPath, std::wstring(stored->symbolPath));
    EXPECT_EQ(sourceRoot, std::wstring(stored->sourceRoot));
    EXPECT_EQ(0, stored->symbolPath[1023]);
    EXPECT_EQ(0, stored->sourceRoot[259]);
}

TEST_P(SetOptions, OverLongStringsAreRefusedWithoutOverrun)
{
    TarnwickOptions options = {0, 0, 0, 0, L"C:\\kept\\symbols", L"C:\\kept\\src"};
    ASSERT_TRUE(Call(*library, &options).empty());
    const std::string after = BytesAfter(stored);
    ASSERT_FALSE(after.empty());

    const std::wstring path1024(1024, L'p'), root260(260, L'q'), huge(40000, L'h');
    options = {24, 0, 0, 2, path1024.c_str(), L"C:\\new\\src"};
    EXPECT_EQ(Strings({SymbolPathMessage}), Call(*library, &options));
    EXPECT_STREQ(L"C:\\kept\\symbols", stored->symbolPath);
    EXPECT_STREQ(L"C:\\new\\src", stored->sourceRoot) << "the valid string is still taken";
    EXPECT_EQ(24u, stored->stackDepth);
    EXPECT_EQ(2u, stored->minRepeat);

    options = {0, 0, 0, 0, nullptr, root260.c_str()};
    EXPECT_EQ(Strings({SourceRootMessage}), Call(*library, &options));
    EXPECT_STREQ(L"C:\\kept\\symbols", stored->symbolPath);
    EXPECT_STREQ(L"C:\\new\\src", stored->sourceRoot);

    options = {0, 0, 0, 0, huge.c_str(), huge.c_str()};
    EXPECT_EQ(Strings({SymbolPathMessage, SourceRootMessage}), Call(*library, &options));
    EXPECT_STREQ(L"C:\\kept\\symbols", stored->symbolPath);
    EXPECT_STREQ(L"C:\\new\\src", stored->sourceRoot);
    EXPECT_EQ(after, BytesAfter(stored)) << "bytes after the buffers changed";

    // Unterminated strings that end at an inaccessible page: only the
    // characters up to the buffer size may be read.
    FencedString fencedPath(1024, L'f'), fencedRoot(260, L'g');
    options = {0, 0, 0, 0, fencedPath.text, fencedRoot.text};
    EXPECT_EQ(Strings({SymbolPathMessage, SourceRootMessage}), Call(*library, &options));
    EXPECT_STREQ(L"C:\\kept\\symbols", stored->symbolPath);
    EXPECT_STREQ(L"C:\\new\\src", stored->sourceRoot);
    EXPECT_LT(wcsnlen(stored->symbolPath, SymbolPathChars), static_cast<size_t>(SymbolPathChars));
    EXPECT_LT(wcsnlen(stored->sourceRoot, SourceRootChars), static_cast<size_t>(SourceRootChars));
    EXPECT_EQ(after, BytesAfter(stored));
}

TEST_P(SetOptions, NullRecordChangesNothing)
{
    TarnwickOptions options = {33, 1, 1, 4, L"C:\\s", L"C:\\r"};
    Call(*library, &options);
    const StoredOptions before = *stored;
    std::vector<std::string> strings;
    OnOtherThread([&] { strings = Call(*library, nullptr); });
    EXPECT_EQ(Strings({NullMessage}), strings);
    EXPECT_EQ(0, memcmp(&before, stored, sizeof before));
}

namespace {

volatile LONG AccessViolations;

LONG CALLBACK CountAccessViolation(EXCEPTION_POINTERS *pointers)
{
    DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (code == EXCEPTION_ACCESS_VIOLATION || code == STATUS_GUARD_PAGE_VIOLATION)
        InterlockedIncrement(&AccessViolations);
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

// A record or string that cannot be read: one message, nothing stored, and
// not even a first-chance exception (a debugger would stop on it).
TEST_P(SetOptions, UnreadablePointersChangeNothingAndRaiseNothing)
{
    TarnwickOptions options = {33, 1, 1, 4, L"C:\\s", L"C:\\r"};
    Call(*library, &options);
    const StoredOptions before = *stored;
    char *freed = static_cast<char *>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(nullptr, freed);
    VirtualFree(freed, 4096, MEM_DECOMMIT);  // reserved, so nothing else lands there
    FencedString fenced(10, L'x');  // unterminated, then an inaccessible page
    const auto *freedRecord = reinterpret_cast<const TarnwickOptions *>(freed);
    const auto *straddling = reinterpret_cast<const TarnwickOptions *>(reinterpret_cast<const char *>(fenced.text + 10) - 12);
    const auto *freedText = reinterpret_cast<const wchar_t *>(freed);
    const std::string record = "Tarnwick: TarnwickSetOptions cannot read its options record; options unchanged.\n";
    const std::string symbol = "Tarnwick: TarnwickSetOptions cannot read symbolPath; options unchanged.\n";
    const std::string source = "Tarnwick: TarnwickSetOptions cannot read sourceRoot; options unchanged.\n";
    TarnwickOptions badSymbol = {8, 0, 0, 1, freedText, L"C:\\new"};
    TarnwickOptions oddSymbol = {8, 0, 0, 1, reinterpret_cast<const wchar_t *>(1), nullptr};
    TarnwickOptions badSource = {8, 0, 0, 1, L"C:\\new", fenced.text};
    // Odd-aligned: the last character's second byte lies on the inaccessible page.
    TarnwickOptions straddlingEnd = {8, 0, 0, 1, reinterpret_cast<const wchar_t *>(
                                                     reinterpret_cast<const char *>(fenced.text) + 1), nullptr};
    // A guard page, as the program's stack grows by: never to be touched.
    char *guarded = static_cast<char *>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    memcpy(guarded, &options, sizeof options);
    wcscpy(reinterpret_cast<wchar_t *>(guarded + 64), L"C:\\g");
    DWORD old;
    VirtualProtect(guarded, 4096, PAGE_READWRITE | PAGE_GUARD, &old);
    TarnwickOptions guardedSource = {8, 0, 0, 1, nullptr, reinterpret_cast<const wchar_t *>(guarded + 64)};
    struct Case {
        const TarnwickOptions *options;
        std::string message;
    } cases[] = {
        {reinterpret_cast<const TarnwickOptions *>(1), record},
        {freedRecord, record},
        {straddling, record},
        {&badSymbol, symbol},
        {&oddSymbol, symbol},
        {&badSource, source},
        {&straddlingEnd, symbol},
        {reinterpret_cast<const TarnwickOptions *>(guarded), record},
        {&guardedSource, source},
    };
    PVOID handler = AddVectoredExceptionHandler(1, CountAccessViolation);
    AccessViolations = 0;
    for (const Case &c : cases) {
        std::vector<std::string> strings = Call(*library, c.options);
        EXPECT_EQ(Strings({c.message.c_str()}), strings) << c.message;
        EXPECT_EQ(0, memcmp(&before, stored, sizeof before)) << c.message;
    }
    RemoveVectoredExceptionHandler(handler);
    EXPECT_EQ(0, AccessViolations);
    MEMORY_BASIC_INFORMATION region;
    VirtualQuery(guarded, &region, sizeof region);
    EXPECT_TRUE(region.Protect & PAGE_GUARD) << "the guard page was touched";
    VirtualFree(guarded, 0, MEM_RELEASE);
    VirtualFree(freed, 0, MEM_RELEASE);
}

TEST_P(SetOptions, HugeStackDepthIsRefused)
{
    TarnwickOptions options = {4096, 0, 0, 0, nullptr, nullptr};
    EXPECT_TRUE(Call(*library, &options).empty());
    EXPECT_EQ(4096u, stored->stackDepth);
    options.stackDepth = 50;
    Call(*library, &options);
    for (uint32_t depth : {4097u, 0x40000000u, 0x80000000u, 0xFFFFFFFFu}) {
        options = {depth, 1, 0, 9, nullptr, nullptr};
        EXPECT_EQ(Strings({DepthMessage}), Call(*library, &options)) << depth;
        EXPECT_EQ(50u, stored->stackDepth) << depth;
        EXPECT_EQ(9u, stored->minRepeat) << "the other fields are still taken";
    }
}

TEST_P(SetOptions, RefusedWhileRunning)
{
    TarnwickOptions options = {20, 0, 0, 1, L"C:\\before", L"C:\\before"};
    Call(*library, &options);
    const StoredOptions before = *stored;
    *library->running = 1;
    TarnwickOptions other = {99, 1, 1, 5, L"C:\\after", L"C:\\after"};
    std::vector<std::string> strings;
    OnOtherThread([&] { strings = Call(*library, &other); });
    std::vector<std::string> whenNull = Call(*library, nullptr);
    *library->running = 0;
    EXPECT_EQ(Strings({RunningMessage}), strings);
    EXPECT_EQ(Strings({RunningMessage}), whenNull);
    EXPECT_EQ(0, memcmp(&before, stored, sizeof before));

    // Stopped again: accepted.
    EXPECT_TRUE(Call(*library, &other).empty());
    EXPECT_EQ(99u, stored->stackDepth);
    EXPECT_STREQ(L"C:\\after", stored->symbolPath);
}

INSTANTIATE_TEST_SUITE_P(BothDlls, SetOptions, testing::Values(&ProductDll, &TestDll),
                         [](const testing::TestParamInfo<const Library *(*)()> &info) {
                             return std::string(info.param()->name);
                         });
