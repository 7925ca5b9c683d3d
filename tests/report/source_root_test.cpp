// Re-rooting of recorded source paths on a real directory tree, and the
// source root read from the registry when the symbol handler is set up.
#include "report/symbols.h"
#include "control/options.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>
#include <string>

namespace {

std::string Narrow(const wchar_t *text)
{
    std::string out;
    for (; *text; ++text)
        out += static_cast<char>(*text);
    return out;
}

class Reroot : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH];
        ASSERT_TRUE(GetTempPathW(MAX_PATH, temp));
        base_ = std::wstring(temp) + L"twk_reroot_" + std::to_wstring(GetCurrentProcessId());
        root_ = base_ + L"\\root";
        MakeDir(base_);
        MakeDir(root_);
        memcpy(savedRoot_, Options.sourceRoot, sizeof savedRoot_);
        SetRoot(root_);
    }
    void TearDown() override
    {
        for (auto it = files_.rbegin(); it != files_.rend(); ++it)
            DeleteFileW(it->c_str());
        for (auto it = dirs_.rbegin(); it != dirs_.rend(); ++it)
            RemoveDirectoryW(it->c_str());
        memcpy(Options.sourceRoot, savedRoot_, sizeof savedRoot_);
    }
    void MakeDir(const std::wstring &path)
    {
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << Narrow(path.c_str());
        dirs_.push_back(path);
    }
    // Creates root-relative directories and the file at their end.
    std::wstring MakeFile(const std::wstring &dir, const std::wstring &relative)
    {
        std::wstring path = dir;
        size_t start = 0;
        for (size_t slash; (slash = relative.find(L'\\', start)) != std::wstring::npos; start = slash + 1) {
            path = dir + L"\\" + relative.substr(0, slash);
            if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
                MakeDir(path);
        }
        path = dir + L"\\" + relative;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE) << Narrow(path.c_str());
        CloseHandle(file);
        files_.push_back(path);
        return path;
    }
    void SetRoot(const std::wstring &root) { lstrcpynW(Options.sourceRoot, root.c_str(), 260); }
    std::wstring Run(const std::wstring &name)
    {
        wchar_t out[260];
        RerootSourcePath(out, name.c_str());
        return out;
    }
    std::wstring base_, root_;
    std::vector<std::wstring> files_, dirs_;
    wchar_t savedRoot_[260];
};

TEST_F(Reroot, CandidatesAreTriedFromTheFirstBackslashOn)
{
    const std::wstring name = L"d:\\work\\lib\\src\\list.c";
    std::wstring inSrc = MakeFile(root_, L"src\\list.c");
    std::wstring inRoot = MakeFile(root_, L"list.c");
    EXPECT_EQ(Run(name), inSrc);
    std::wstring inLib = MakeFile(root_, L"lib\\src\\list.c");
    EXPECT_EQ(Run(name), inLib);
    std::wstring inWork = MakeFile(root_, L"work\\lib\\src\\list.c");
    EXPECT_EQ(Run(name), inWork);
    DeleteFileW(inWork.c_str());
    DeleteFileW(inLib.c_str());
    DeleteFileW(inSrc.c_str());
    EXPECT_EQ(Run(name), inRoot);
    DeleteFileW(inRoot.c_str());
    EXPECT_EQ(Run(name), name);
}

TEST_F(Reroot, ExistingRecordedPathIsKept)
{
    MakeFile(root_, L"other\\list.c");
    std::wstring recorded = MakeFile(base_, L"other\\list.c");
    EXPECT_EQ(Run(recorded), recorded);
}

TEST_F(Reroot, NameWithoutBackslashIsPrintedAsRecorded)
{
    MakeFile(root_, L"list.c");
    EXPECT_EQ(Run(L"list.c"), L"list.c");
    EXPECT_EQ(Run(L"d:/work/list.c"), L"d:/work/list.c");  // only backslashes separate
}

TEST_F(Reroot, EmptyRootCopiesTheNameCutTo259Characters)
{
    MakeFile(root_, L"list.c");
    Options.sourceRoot[0] = 0;
    EXPECT_EQ(Run(L"d:\\work\\list.c"), L"d:\\work\\list.c");
    std::wstring longName = L"d:\\" + std::wstring(300, L'a');
    EXPECT_EQ(Run(longName), longName.substr(0, 259));
}

TEST_F(Reroot, HostRootIsUsedExactlyAsStored)
{
    std::wstring file = MakeFile(root_, L"list.c");
    SetRoot(root_ + L"\\");
    EXPECT_EQ(Run(L"d:\\work\\list.c"), root_ + L"\\\\list.c");  // the doubled backslash is kept
}

TEST_F(Reroot, OverlongCandidateIsSkippedWithoutOverflow)
{
    std::wstring inRoot = MakeFile(root_, L"list.c");
    // The first candidate is far longer than 259 characters; the second fits.
    std::wstring name = L"d:\\" + std::wstring(280, L'x') + L"\\list.c";
    wchar_t out[300];
    for (wchar_t &c : out)
        c = 0xCCCC;
    RerootSourcePath(out, name.c_str());
    EXPECT_EQ(std::wstring(out), inRoot);
    for (int i = 260; i < 300; ++i)
        ASSERT_EQ(out[i], 0xCCCC) << "written past the buffer at " << i;

    // Nothing found: the recorded name, cut, and still nothing past 260.
    DeleteFileW(inRoot.c_str());
    RerootSourcePath(out, name.c_str());
    EXPECT_EQ(std::wstring(out), name.substr(0, 259));
    for (int i = 260; i < 300; ++i)
        ASSERT_EQ(out[i], 0xCCCC) << "written past the buffer at " << i;
}

TEST_F(Reroot, CandidateOfExactly259CharactersIsUsed)
{
    size_t fileChars = 259 - root_.size() - 1;
    ASSERT_GT(fileChars, 3u);
    std::wstring fileName = std::wstring(fileChars - 2, L'f') + L".c";
    std::wstring path = MakeFile(root_, fileName);
    ASSERT_EQ(path.size(), 259u);
    EXPECT_EQ(Run(L"d:\\work\\" + fileName), path);
}

// The registry keys as the symbol set-up reads them.
const wchar_t *const StudioKey = L"SOFTWARE\\Microsoft\\VisualStudio";

class SourceRootRegistry : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteKeys();
        memcpy(savedRoot_, Options.sourceRoot, sizeof savedRoot_);
        memcpy(savedPath_, Options.symbolPath, sizeof savedPath_);
    }
    void TearDown() override
    {
        DeleteKeys();
        memcpy(Options.symbolPath, savedPath_, sizeof savedPath_);
        Options.sourceRoot[0] = 0;
        Reinit();  // leave a symbol handler opened without the keys
        memcpy(Options.sourceRoot, savedRoot_, sizeof savedRoot_);
    }
    static void DeleteKeys()
    {
        HKEY studio;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, StudioKey, 0, KEY_ALL_ACCESS, &studio) == ERROR_SUCCESS) {
            RegDeleteTreeW(studio, L"9.0");
            RegDeleteTreeW(studio, L"8.0");
            RegCloseKey(studio);
        }
    }
    static HKEY CreateKey(const wchar_t *version)
    {
        std::wstring path = std::wstring(StudioKey) + L"\\" + version + L"\\Setup\\VC";
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        return key;
    }
    static void SetValue(const wchar_t *version, const void *data, DWORD bytes, DWORD type = REG_SZ)
    {
        HKEY key = CreateKey(version);
        EXPECT_EQ(RegSetValueExW(key, L"ProductDir", 0, type, static_cast<const BYTE *>(data), bytes),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void SetString(const wchar_t *version, const std::wstring &value)
    {
        SetValue(version, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
    }
    // A fresh symbol set-up with an empty source root, as at a first start.
    static void Reinit()
    {
        if (SymbolProcess)
            SymCleanup(SymbolProcess);
        SymbolProcess = 0;
        InitSymbols();
        OpenSymbols();
        ASSERT_TRUE(SymbolProcess);
    }
    static std::wstring RootAfterFirstStart()
    {
        Options.sourceRoot[0] = 0;
        Reinit();
        return Options.sourceRoot;
    }
    wchar_t savedRoot_[260];
    wchar_t savedPath_[1024];
};

TEST_F(SourceRootRegistry, NoKeysLeaveTheRootEmpty)
{
    EXPECT_EQ(RootAfterFirstStart(), L"");
}

TEST_F(SourceRootRegistry, OneTrailingBackslashIsRemoved)
{
    SetString(L"9.0", L"C:\\Tools\\VC\\");
    EXPECT_EQ(RootAfterFirstStart(), L"C:\\Tools\\VC");
    SetString(L"9.0", L"C:\\Tools\\VC\\\\");
    EXPECT_EQ(RootAfterFirstStart(), L"C:\\Tools\\VC\\");
    SetString(L"9.0", L"C:\\Tools\\VC");
    EXPECT_EQ(RootAfterFirstStart(), L"C:\\Tools\\VC");
    SetString(L"9.0", L"\\");
    EXPECT_EQ(RootAfterFirstStart(), L"");
    SetString(L"9.0", L"");
    EXPECT_EQ(RootAfterFirstStart(), L"");
}

TEST_F(SourceRootRegistry, NewerVersionIsPreferred)
{
    SetString(L"8.0", L"D:\\Old\\VC\\");
    EXPECT_EQ(RootAfterFirstStart(), L"D:\\Old\\VC");
    SetString(L"9.0", L"C:\\New\\VC\\");
    EXPECT_EQ(RootAfterFirstStart(), L"C:\\New\\VC");
}

TEST_F(SourceRootRegistry, NewerKeyWithoutValueEndsTheLookUp)
{
    SetString(L"8.0", L"D:\\Old\\VC\\");
    RegCloseKey(CreateKey(L"9.0"));
    EXPECT_EQ(RootAfterFirstStart(), L"");
}

TEST_F(SourceRootRegistry, AnyValueTypeIsAccepted)
{
    std::wstring value = L"C:\\Expand\\VC\\";
    SetValue(L"9.0", value.c_str(), (value.size() + 1) * sizeof(wchar_t), REG_EXPAND_SZ);
    EXPECT_EQ(RootAfterFirstStart(), L"C:\\Expand\\VC");
}

TEST_F(SourceRootRegistry, ValueThatDoesNotFitLeavesTheRootEmpty)
{
    std::wstring fits(259, L'a');
    SetString(L"9.0", fits);
    EXPECT_EQ(RootAfterFirstStart(), fits);
    SetString(L"9.0", std::wstring(260, L'b'));  // 522 bytes with its zero
    EXPECT_EQ(RootAfterFirstStart(), L"");
    SetString(L"9.0", std::wstring(400, L'c'));
    EXPECT_EQ(RootAfterFirstStart(), L"");
}

TEST_F(SourceRootRegistry, ValueWithoutTerminatingZeroIsTerminated)
{
    std::wstring ten = L"C:\\Ten\\VC\\";
    SetValue(L"9.0", ten.c_str(), ten.size() * sizeof(wchar_t));
    EXPECT_EQ(RootAfterFirstStart(), L"C:\\Ten\\VC");
    // 520 bytes without a zero: 260 characters do not fit ...
    // (stored as binary: some registries refuse a string that has no room
    // for its zero)
    std::wstring full(260, L'd');
    SetValue(L"9.0", full.c_str(), 520, REG_BINARY);
    EXPECT_EQ(RootAfterFirstStart(), L"");
    // ... unless the trailing backslash goes, which leaves 259.
    full[259] = L'\\';
    SetValue(L"9.0", full.c_str(), 520, REG_BINARY);
    EXPECT_EQ(RootAfterFirstStart(), full.substr(0, 259));
}

TEST_F(SourceRootRegistry, HostRootIsNotReplaced)
{
    SetString(L"9.0", L"C:\\Tools\\VC\\");
    lstrcpyW(Options.sourceRoot, L"E:\\Mine\\");
    Reinit();
    EXPECT_STREQ(Options.sourceRoot, L"E:\\Mine\\");
}

TEST_F(SourceRootRegistry, LaterStartsChangeNeitherRootNorSymbolPath)
{
    lstrcpyW(Options.symbolPath, L"C:\\SymbolsA");
    EXPECT_EQ(RootAfterFirstStart(), L"");
    EXPECT_EQ(SymGetOptions(), 0x16u);
    wchar_t searchPath[1024];
    ASSERT_TRUE(SymGetSearchPathW(SymbolProcess, searchPath, 1024));
    EXPECT_NE(std::wstring(searchPath).find(L"C:\\SymbolsA"), std::wstring::npos);

    SetString(L"9.0", L"C:\\Tools\\VC\\");
    lstrcpyW(Options.symbolPath, L"C:\\SymbolsB");
    HANDLE before = SymbolProcess;
    InitSymbols();
    EXPECT_EQ(SymbolProcess, before);
    EXPECT_STREQ(Options.sourceRoot, L"");
    ASSERT_TRUE(SymGetSearchPathW(SymbolProcess, searchPath, 1024));
    EXPECT_NE(std::wstring(searchPath).find(L"C:\\SymbolsA"), std::wstring::npos);
    EXPECT_EQ(std::wstring(searchPath).find(L"C:\\SymbolsB"), std::wstring::npos);
}

}  // namespace
