// The leak dump on constructed tables: exact report text, grouping, marks,
// minRepeat and the system-module exclusion.
#include "debug_capture.h"
#include "tarnwick.h"
#include "report_test_support.h"
#include "report/leak_dump.h"
#include "report/symbols.h"
#include "report/system_modules.h"
#include "control/library.h"
#include "control/options.h"
#include "tracking/alloc_table.h"
#include "tracking/record_slots.h"
#include "tracking/stack_depot.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <random>
#include <string.h>

namespace {

const std::string Heading = "\nTarnwick: Memory leak dump\n";
const std::string NoLeak = "No memory leak.\n\n";
const std::string Separator = "\n\n";

std::string Entry(uint32_t size, uintptr_t address, uint32_t count)
{
    char text[128];
    snprintf(text, sizeof text, "Memory block %d bytes at %s (%d times)\n", static_cast<int>(size),
             HexAddress(address).c_str(), static_cast<int>(count));
    return text;
}

// The bucket of an address as the table's layout defines it, written out
// here so that a changed formula in the library cannot pass unnoticed.
uint32_t BucketOf(uint32_t address) { return ((address >> 3) ^ (address >> 16)) % 127; }

// The n-th address (counting from 0) that falls into the given bucket.
uint32_t AddressInBucket(uint32_t bucket, int n = 0)
{
    for (uint32_t address = 0x00510000;; address += 8)
        if (BucketOf(address) == bucket && n-- == 0)
            return address;
}

// The frozen table in the dump's walk order.
std::vector<AllocRecord *> Walked()
{
    FreezeAllocTable();
    std::vector<AllocRecord *> records;
    RecordWalk walk;
    StartRecordWalk(&walk);
    while (AllocRecord *record = NextRecord(&walk))
        records.push_back(record);
    return records;
}

class LeakDump : public ::testing::Test {
protected:
    void SetUp() override
    {
        memcpy(savedModules_, SystemModuleTable, sizeof savedModules_);
        for (uint32_t i = 0; i < SystemModuleCount; ++i) {
            SystemModuleTable[i].base = ModuleBase(i);
            SystemModuleTable[i].size = 0x2000;
        }
        savedSymbols_ = SymbolProcess;
        SymbolProcess = 0;  // frames (0x301000 and the like: in no module) print bare unless a test opens the handler
        savedDepth_ = RecordDepth;
        RecordDepth = 4;
        savedStackDepth_ = Options.stackDepth;
        savedMinRepeat_ = Options.minRepeat;
        Options.minRepeat = 0;
        NewTable();
    }
    void TearDown() override
    {
        DropTable();
        memcpy(SystemModuleTable, savedModules_, sizeof savedModules_);
        SymbolProcess = savedSymbols_;
        RecordDepth = savedDepth_;
        Options.stackDepth = savedStackDepth_;
        Options.minRepeat = savedMinRepeat_;
    }
    static uint32_t ModuleBase(uint32_t i) { return 0x60000000u + i * 0x01000000u; }
    void NewTable()
    {
        RecordHeap = HeapCreate(0, 0, 0);
        ASSERT_TRUE(RecordHeap);
        ClearAllocTable();
        InitTableLock();
        ASSERT_TRUE(ResetStackDepot(false));
    }
    void DropTable()
    {
        HeapDestroy(RecordHeap);
        RecordHeap = nullptr;
        ClearAllocTable();
        ReleaseStackDepot();
    }
    AllocRecord *Add(uint32_t address, uint32_t size, std::vector<uintptr_t> frames, uint32_t kind = 1)
    {
        AllocRecord *record = NewRecord();
        EXPECT_TRUE(record);
        record->address = address;
        record->size = size;
        record->kind = kind;
        frames.resize(RecordDepth);
        record->stack = InternStack(frames.data());
        InsertRecord(record);
        return record;
    }
    static std::vector<std::string> Frames(std::vector<uintptr_t> frames)
    {
        std::vector<std::string> lines;
        for (uintptr_t frame : frames)
            lines.push_back(HexAddress(frame) + "\n");
        return lines;
    }
    // The pieces of one printed group with bare frames.
    static std::vector<std::string> Group(uint32_t size, uint32_t address, uint32_t count,
                                          std::vector<uintptr_t> frames)
    {
        std::vector<std::string> pieces = {Entry(size, address, count)};
        for (const std::string &line : Frames(frames))
            pieces.push_back(line);
        pieces.push_back(Separator);
        return pieces;
    }
    static std::vector<std::string> Report(std::vector<std::vector<std::string>> groups)
    {
        std::vector<std::string> pieces = {Heading};
        for (const auto &group : groups)
            pieces.insert(pieces.end(), group.begin(), group.end());
        if (groups.empty())
            pieces.push_back(NoLeak);
        return pieces;
    }
    uint32_t Dump(std::vector<std::string> *pieces)
    {
        DebugCapture capture;
        uint32_t total = DumpLeaks();
        *pieces = capture.Pieces();
        return total;
    }

    SystemModule savedModules_[SystemModuleCount];
    HANDLE savedSymbols_;
    uint32_t savedDepth_, savedStackDepth_, savedMinRepeat_;
};

TEST_F(LeakDump, EmptyTableReportsNoLeak)
{
    std::vector<std::string> pieces;
    EXPECT_EQ(Dump(&pieces), 0u);
    EXPECT_EQ(pieces, Report({}));
}

TEST_F(LeakDump, GroupShowsFirstRecordInWalkOrderAndTheCount)
{
    uint32_t a = AddressInBucket(40), b = AddressInBucket(7), c = AddressInBucket(90);
    AllocRecord *ra = Add(a, 10, {0x301000, 0x302000, 0x303000});
    AllocRecord *rb = Add(b, 20, {0x301000, 0x302000, 0x303000});
    AllocRecord *rc = Add(c, 30, {0x301000, 0x302000, 0x303000});
    std::vector<std::string> pieces;
    EXPECT_EQ(Dump(&pieces), 3u);
    EXPECT_EQ(pieces, Report({Group(20, b, 3, {0x301000, 0x302000, 0x303000})}));
    EXPECT_EQ(rb->kind, 1u);
    EXPECT_EQ(ra->kind, 0u);
    EXPECT_EQ(rc->kind, 0u);
}

TEST_F(LeakDump, WithinABucketTheLastInsertedLeads)
{
    uint32_t first = AddressInBucket(12, 0), second = AddressInBucket(12, 1);
    Add(first, 10, {0x301000});
    Add(second, 20, {0x301000});
    std::vector<std::string> pieces;
    EXPECT_EQ(Dump(&pieces), 2u);
    EXPECT_EQ(pieces, Report({Group(20, second, 2, {0x301000})}));
}

TEST_F(LeakDump, StacksDifferingInAnySlotAreSeparateGroups)
{
    uint32_t a = AddressInBucket(1), b = AddressInBucket(2), c = AddressInBucket(3), d = AddressInBucket(4),
             e = AddressInBucket(5), f = AddressInBucket(6);
    Add(a, 8, {0x301000, 0x302000, 0x303000, 0x304000});
    Add(b, 8, {0x301000, 0x302000, 0x303000, 0x304001});  // last slot
    Add(c, 8, {0x301000, 0x302000, 0x303000});            // 0 against nonzero
    Add(d, 8, {0x301000, 0x302000});                      // a shorter prefix
    Add(e, 8, {0x301001, 0x302000});                      // first slot
    Add(f, 8, {0x301000, 0x302000});                      // same as d
    std::vector<std::string> pieces;
    EXPECT_EQ(Dump(&pieces), 6u);
    EXPECT_EQ(pieces, Report({Group(8, a, 1, {0x301000, 0x302000, 0x303000, 0x304000}),
                              Group(8, b, 1, {0x301000, 0x302000, 0x303000, 0x304001}),
                              Group(8, c, 1, {0x301000, 0x302000, 0x303000}),
                              Group(8, d, 2, {0x301000, 0x302000}), Group(8, e, 1, {0x301001, 0x302000})}));
}

TEST_F(LeakDump, StackIsPrintedToTheRunDepthNotTheOption)
{
    Options.stackDepth = 2;
    uint32_t a = AddressInBucket(9);
    Add(a, 4, {0x301000, 0x302000, 0x303000, 0x304000});
    std::vector<std::string> pieces;
    EXPECT_EQ(Dump(&pieces), 1u);
    EXPECT_EQ(pieces, Report({Group(4, a, 1, {0x301000, 0x302000, 0x303000, 0x304000})}));
}

class LeakDumpRepeat : public LeakDump {
protected:
    // One single block in bucket 20, a group of three led by bucket 10.
    void Fill()
    {
        single_ = AddressInBucket(20);
        lead_ = AddressInBucket(10);
        Add(single_, 100, {0x311000});
        Add(lead_, 200, {0x322000, 0x333000});
        members_[0] = Add(AddressInBucket(30), 300, {0x322000, 0x333000});
        members_[1] = Add(AddressInBucket(126), 400, {0x322000, 0x333000});
    }
    uint32_t DumpWith(uint32_t minRepeat, std::vector<std::string> *pieces)
    {
        DropTable();
        NewTable();
        Fill();
        Options.minRepeat = minRepeat;
        return Dump(pieces);
    }
    uint32_t single_, lead_;
    AllocRecord *members_[2];
};

TEST_F(LeakDumpRepeat, ZeroAndOnePrintEveryGroup)
{
    for (uint32_t minRepeat : {0u, 1u}) {
        std::vector<std::string> pieces;
        EXPECT_EQ(DumpWith(minRepeat, &pieces), 4u) << minRepeat;
        EXPECT_EQ(pieces, Report({Group(200, lead_, 3, {0x322000, 0x333000}), Group(100, single_, 1, {0x311000})}))
            << minRepeat;
    }
}

TEST_F(LeakDumpRepeat, TwoLeavesOutTheSingleBlock)
{
    std::vector<std::string> pieces;
    EXPECT_EQ(DumpWith(2, &pieces), 3u);
    EXPECT_EQ(pieces, Report({Group(200, lead_, 3, {0x322000, 0x333000})}));
}

TEST_F(LeakDumpRepeat, ThresholdAboveEveryCountReportsNoLeakButMarks)
{
    for (uint32_t minRepeat : {4u, 0x80000000u, 0xFFFFFFFFu}) {  // unsigned: never below 0
        std::vector<std::string> pieces;
        EXPECT_EQ(DumpWith(minRepeat, &pieces), 0u) << minRepeat;
        EXPECT_EQ(pieces, Report({})) << minRepeat;
        EXPECT_EQ(members_[0]->kind, 0u);
        EXPECT_EQ(members_[1]->kind, 0u);
    }
}

TEST_F(LeakDump, RecordsFromSystemModulesAreLeftOut)
{
    uint32_t inGdi = ModuleBase(3) + 0x10;
    uint32_t atEnd = ModuleBase(9) + 0x2000;  // the inclusive end
    AllocRecord *x1 = Add(AddressInBucket(5), 16, {inGdi, 0x301000});
    AllocRecord *x2 = Add(AddressInBucket(6), 16, {inGdi, 0x301000});
    AllocRecord *x3 = Add(AddressInBucket(7), 16, {atEnd, 0x301000});
    // Allocated outside, called from inside further up: printed.
    uint32_t kept = AddressInBucket(8);
    Add(kept, 16, {0x301000, inGdi});
    std::vector<std::string> pieces;
    EXPECT_EQ(Dump(&pieces), 1u);
    EXPECT_EQ(pieces, Report({Group(16, kept, 1, {0x301000, inGdi})}));
    EXPECT_EQ(x1->kind, 1u);  // neither counted nor marked
    EXPECT_EQ(x2->kind, 1u);
    EXPECT_EQ(x3->kind, 1u);
}

TEST_F(LeakDump, OnlySystemModuleRecordsReportNoLeak)
{
    Add(AddressInBucket(5), 16, {ModuleBase(0)});
    std::vector<std::string> pieces;
    EXPECT_EQ(Dump(&pieces), 0u);
    EXPECT_EQ(pieces, Report({}));
}

TEST_F(LeakDump, RecordsWithoutFramesDependOnMissingModules)
{
    uint32_t a = AddressInBucket(3), b = AddressInBucket(50);
    Add(a, 1, {});
    Add(b, 2, {});
    std::vector<std::string> pieces;
    EXPECT_EQ(Dump(&pieces), 2u);  // all ten "loaded": 0 is outside
    EXPECT_EQ(pieces, (std::vector<std::string>{Heading, Entry(1, a, 2), Separator}));

    DropTable();
    NewTable();
    SystemModuleTable[7].base = 0;
    SystemModuleTable[7].size = 0;
    Add(a, 1, {});
    Add(b, 2, {});
    EXPECT_EQ(Dump(&pieces), 0u);
    EXPECT_EQ(pieces, Report({}));
}

TEST_F(LeakDump, RecordsOfOtherKindsAreNeitherPrintedNorGrouped)
{
    AllocRecord *counted = Add(AddressInBucket(2), 5, {0x301000}, 0);
    AllocRecord *other = Add(AddressInBucket(3), 6, {0x301000}, 2);
    uint32_t live = AddressInBucket(4);
    Add(live, 7, {0x301000});
    std::vector<std::string> pieces;
    EXPECT_EQ(Dump(&pieces), 1u);
    EXPECT_EQ(pieces, Report({Group(7, live, 1, {0x301000})}));
    EXPECT_EQ(counted->kind, 0u);
    EXPECT_EQ(other->kind, 2u);
}

TEST_F(LeakDump, CountDuplicatesCountsAndMarksTheRestOfTheGroup)
{
    AllocRecord *early = Add(AddressInBucket(1), 1, {0x301000, 0x302000});
    AllocRecord *self = Add(AddressInBucket(60), 2, {0x301000, 0x302000});
    AllocRecord *late = Add(AddressInBucket(120), 3, {0x301000, 0x302000});
    AllocRecord *different = Add(AddressInBucket(61), 4, {0x301000, 0x302001});
    AllocRecord *otherKind = Add(AddressInBucket(62), 5, {0x301000, 0x302000}, 2);
    FreezeAllocTable();
    EXPECT_EQ(CountDuplicates(self), 3u);  // buckets before it included
    EXPECT_EQ(self->kind, 1u);
    EXPECT_EQ(early->kind, 0u);
    EXPECT_EQ(late->kind, 0u);
    EXPECT_EQ(different->kind, 1u);
    EXPECT_EQ(otherKind->kind, 2u);
    EXPECT_EQ(CountDuplicates(self), 1u);  // the others are marked now
    EXPECT_EQ(CountDuplicates(otherKind), 1u);
}

TEST_F(LeakDump, SingleBlockUsesTheGroupFormat)
{
    uint32_t a = AddressInBucket(0);
    Add(a, 0x7FFFFFFF, {0xFFFFFFF0u});
    std::vector<std::string> pieces;
    EXPECT_EQ(Dump(&pieces), 1u);
    EXPECT_EQ(pieces, Report({Group(0x7FFFFFFF, a, 1, {0xFFFFFFF0u})}));
    EXPECT_EQ(pieces[1], "Memory block 2147483647 bytes at " + HexAddress(a) + " (1 times)\n");
}

TEST_F(LeakDump, StacksAreResolvedThroughTheSymbolHandler)
{
    SymbolProcess = savedSymbols_;
    PrepareSymbolHandler();
    int line;
    const char *file;
    uintptr_t withLine = AddressWithLine(&line, &file);
    void *page = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
    uintptr_t bare = reinterpret_cast<uintptr_t>(page);
    uint32_t a = AddressInBucket(44);
    Add(a, 64, {withLine, bare});
    Add(AddressInBucket(45), 64, {withLine, bare});
    std::vector<std::string> pieces;
    EXPECT_EQ(Dump(&pieces), 2u);
    std::string source = WinePathOf(file) + "(" + std::to_string(line) + ") : " + HexAddress(withLine) + "\n";
    EXPECT_EQ(pieces, (std::vector<std::string>{Heading, Entry(64, a, 2), source, HexAddress(bare) + "\n", Separator}));
    savedSymbols_ = SymbolProcess;
    VirtualFree(page, 0, MEM_RELEASE);
}

TEST_F(LeakDump, BucketsFollowTheAddressFormula)
{
    // ((address >> 3) XOR (address >> 16)) mod 127, worked out by hand.
    const struct {
        uint32_t address, bucket;
    } cases[] = {
        {0x00010000, 65},   // (0x2000 ^ 0x1) = 8193 = 64 * 127 + 65
        {0x00000008, 1},    // 1 ^ 0
        {0x00000400, 1},    // 0x80 = 128 = 127 + 1
        {0x12345678, 89},   // 0x2468ACF ^ 0x1234 = 0x24698FB = 38181115 = 300638 * 127 + 89
        {0xFFFFFFF8, 125},  // 0x1FFFFFFF ^ 0xFFFF = 0x1FFF0000 = 536805376 = 4226813 * 127 + 125
        {0x00510000, 58},   // 0xA2000 ^ 0x51 = 0xA2051 = 663633 = 5225 * 127 + 58
    };
    for (const auto &c : cases) {
        EXPECT_EQ(BucketOf(c.address), c.bucket) << std::hex << c.address;
        Add(c.address, 1, {0x301000});
    }
    // The walk meets the buckets in order, each newest first.
    std::vector<std::pair<uint32_t, uint32_t>> expected, walked;
    for (size_t i = std::size(cases); i-- > 0;)
        expected.push_back({cases[i].bucket, cases[i].address});
    std::stable_sort(expected.begin(), expected.end(), [](auto a, auto b) { return a.first < b.first; });
    for (AllocRecord *record : Walked())
        walked.push_back({BucketOf(record->address), record->address});
    EXPECT_EQ(walked, expected);
}

TEST_F(LeakDump, ChainsHoldTheNewestFirstAndAStaleRecordIsDropped)
{
    uint32_t a = AddressInBucket(33, 0), b = AddressInBucket(33, 1), c = AddressInBucket(33, 2);
    AllocRecord *ra = Add(a, 1, {0x301000});
    Add(b, 2, {0x301000});
    Add(c, 3, {0x301000});
    // Taken and put back (as a resize does): newest again.
    ASSERT_EQ(ra, TakeRecord(a, 1));
    InsertRecord(ra);
    // The same address again: the older record is stale and goes.
    AllocRecord *newer = Add(c, 4, {0x302000});
    std::vector<AllocRecord *> walked = Walked();
    std::vector<uint32_t> sizes;
    for (AllocRecord *record : walked)
        sizes.push_back(record->size);
    EXPECT_EQ(sizes, (std::vector<uint32_t>{4, 1, 2}));
    EXPECT_EQ(walked[0], newer);
}

// The report as the plain quadratic walk gives it, grouping by the frames
// themselves; the dump (by depot reference) must print exactly this and leave
// the same marks.
uint32_t ReferenceReport(std::vector<std::string> *pieces)
{
    pieces->assign(1, Heading);
    std::vector<AllocRecord *> walked = Walked();
    auto frames = [](const AllocRecord *record) {
        const uintptr_t *first = StackFrames(record->stack);
        return std::vector<uintptr_t>(first, first + RecordDepth);
    };
    uint32_t total = 0;
    for (AllocRecord *record : walked) {
        if (record->kind != 1 || IsSystemCode(frames(record)[0]))
            continue;
        uint32_t count = 1;
        for (AllocRecord *other : walked)
            if (other != record && other->kind == 1 && frames(other) == frames(record)) {
                other->kind = 0;
                count++;
            }
        if (count < Options.minRepeat)
            continue;
        pieces->push_back(Entry(record->size, record->address, count));
        for (uint32_t i = 0; i < RecordDepth && frames(record)[i]; ++i)
            pieces->push_back(HexAddress(frames(record)[i]) + "\n");
        pieces->push_back(Separator);
        total += count;
    }
    if (total == 0)
        pieces->push_back(NoLeak);
    return total;
}

TEST_F(LeakDump, LargeMixedTableMatchesThePlainWalk)
{
    RecordDepth = 6;
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        std::mt19937 random(seed);
        // A pool of stacks: some shared by many records, some from system
        // modules, some differing only late or by a trailing 0.
        std::vector<std::vector<uintptr_t>> stacks;
        for (int s = 0; s < 60; ++s) {
            std::vector<uintptr_t> frames;
            uint32_t depth = 1 + random() % 6;
            for (uint32_t i = 0; i < depth; ++i)
                frames.push_back(0x00301000 + (random() % 8) * 0x10);
            if (s % 10 == 0)
                frames[0] = ModuleBase(s / 10) + random() % 0x2001;
            stacks.push_back(frames);
        }
        stacks.push_back({});
        std::vector<uint32_t> addresses, sizes, kinds, stackOf;
        for (int n = 0; n < 3000; ++n) {
            addresses.push_back(0x00600000 + (random() % 200000) * 8);
            sizes.push_back(random() % 5000);
            uint32_t k = random() % 20;
            kinds.push_back(k == 0 ? 0 : k == 1 ? 2 : 1);
            stackOf.push_back(n % 7 == 0 ? 1000 + n : random() % stacks.size());
        }
        auto fill = [&] {
            DropTable();
            NewTable();
            std::vector<AllocRecord *> records;
            for (size_t n = 0; n < addresses.size(); ++n) {
                std::vector<uintptr_t> frames = stackOf[n] >= 1000
                                                   ? std::vector<uintptr_t>{0x00280000 + stackOf[n], 0x00301000}
                                                   : stacks[stackOf[n]];
                records.push_back(Add(addresses[n], sizes[n], frames, kinds[n]));
            }
            return records;
        };
        for (uint32_t minRepeat : {0u, 2u, 5u}) {
            Options.minRepeat = minRepeat;
            std::vector<AllocRecord *> records = fill();
            std::vector<std::string> expected;
            uint32_t expectedTotal = ReferenceReport(&expected);
            std::vector<uint32_t> expectedKinds;
            for (AllocRecord *record : records)
                expectedKinds.push_back(record->kind);

            records = fill();
            std::vector<std::string> pieces;
            EXPECT_EQ(Dump(&pieces), expectedTotal) << "seed " << seed << " minRepeat " << minRepeat;
            EXPECT_EQ(pieces, expected) << "seed " << seed << " minRepeat " << minRepeat;
            std::vector<uint32_t> kindsAfter;
            for (AllocRecord *record : records)
                kindsAfter.push_back(record->kind);
            EXPECT_EQ(kindsAfter, expectedKinds) << "seed " << seed << " minRepeat " << minRepeat;
        }
    }
}

// Announced by the launcher's event for this process, a dump's pieces come
// in strings of whole pieces, each as long as the 20,480-character bound
// allows; the text is the same. Unannounced, each piece is a string.
TEST_F(LeakDump, RelayedDumpComesInFullBatchesOfWholePieces)
{
    auto dump = [this](bool announced) {
        DropTable();
        NewTable();
        for (uint32_t n = 0; n < 700; ++n)
            Add(0x00510000 + n * 8, 8, {0x301000 + n, 0x302000, 0x303000});
        std::wstring name = TARNWICK_RELAY_EVENT_PREFIX + std::to_wstring(GetCurrentProcessId());
        HANDLE relay = announced ? CreateEventW(nullptr, TRUE, FALSE, name.c_str()) : nullptr;
        DebugCapture capture;
        OpenBatch();
        DumpLeaks();
        CloseBatch();
        if (relay)
            CloseHandle(relay);
        return capture.Pieces();
    };
    const std::vector<std::string> pieces = dump(false), batches = dump(true);
    ASSERT_EQ(pieces.size(), 1u + 700 * 5);
    std::string text;
    size_t piece = 0;
    for (size_t b = 0; b < batches.size(); ++b) {
        size_t length = 0;
        while (piece < pieces.size() && length + pieces[piece].size() <= 20480)
            length += pieces[piece++].size();
        EXPECT_EQ(batches[b].size(), length) << "batch " << b;
        text += batches[b];
    }
    EXPECT_EQ(piece, pieces.size());
    EXPECT_GT(batches.size(), 1u);
    std::string joined;
    for (const std::string &p : pieces)
        joined += p;
    EXPECT_EQ(text, joined);
}

}  // namespace
