// The per-dump cache of frame lines: what was written for an address is
// replayed piece for piece, for any number of addresses, until the cache ends.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "debug_capture.h"
#include "report/frame_cache.h"

namespace {

void Resolve(uint32_t address, std::initializer_list<const wchar_t *> pieces)
{
    BeginFrameEntry(address);
    for (const wchar_t *piece : pieces)
        WriteFramePiece(piece);
    EndFrameEntry();
}

}  // namespace

TEST(FrameCache, ReplaysThePiecesWrittenForAnAddress)
{
    DebugCapture capture;
    BeginFrameCache();
    Resolve(0x00401000, {L"module", L"!", L"Function", L"+0x10 : 0x00401000\n"});
    capture.Clear();
    ASSERT_EQ(1, ReplayFrame(0x00401000));
    const std::vector<std::string> expected = {"module", "!", "Function", "+0x10 : 0x00401000\n"};
    EXPECT_EQ(expected, capture.Pieces());
    EXPECT_EQ(0, ReplayFrame(0x00401001));
    EndFrameCache();
    capture.Clear();
    EXPECT_EQ(0, ReplayFrame(0x00401000)) << "nothing outlives the dump";
    EXPECT_TRUE(capture.Pieces().empty());
}

TEST(FrameCache, PiecesAreWrittenWhileTheyAreCollected)
{
    DebugCapture capture;
    BeginFrameCache();
    Resolve(0x1234, {L"a.c(1) : 0x00001234\n"});
    EXPECT_EQ(std::vector<std::string>{"a.c(1) : 0x00001234\n"}, capture.Pieces());
    EndFrameCache();
    // Without a cache the pieces are still written, and nothing is kept.
    capture.Clear();
    Resolve(0x1234, {L"x\n"});
    EXPECT_EQ(std::vector<std::string>{"x\n"}, capture.Pieces());
    EXPECT_EQ(0, ReplayFrame(0x1234));
}

TEST(FrameCache, ManyAddressesSurviveTheTableGrowing)
{
    DebugCapture capture;
    BeginFrameCache();
    wchar_t text[32];
    for (uint32_t i = 1; i <= 30000; i++) {
        wsprintfW(text, L"0x%p\n", reinterpret_cast<void *>(static_cast<uintptr_t>(i * 4096)));
        Resolve(i * 4096, {text});
    }
    capture.Clear();
    for (uint32_t k = 0; k < 31; k++)
        ASSERT_EQ(1, ReplayFrame((30000 - 997 * k) * 4096)) << k;
    ASSERT_EQ(31u, capture.Pieces().size());
    for (uint32_t k = 0; k < 31; k++)
        EXPECT_EQ(HexAddress((30000 - 997 * k) * 4096) + "\n", capture.Pieces()[k]);
    EndFrameCache();
}
