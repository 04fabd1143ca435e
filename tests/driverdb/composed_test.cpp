// Composed sequences over small stand-in tables: empty pieces, computed
// pieces, failing pieces and the size protocol.
#include "drv_support.h"

#include "drvtables.h"

namespace
{

const BYTE kPieceBytes[] = {0x1B, 0x40, 0x0C};

DWORD Leaf(DWORD type, DWORD offset)
{
    return (type << 24) | offset;
}
DWORD Tag(DWORD id, DWORD count)
{
    return (id << 16) | count;
}

const EntryDescriptor kEntries[] = {
    {Leaf(1, 0), Tag(20488, 2)},  // 0: ESC @
    {Leaf(18, 0), Tag(20488, 9)}, // 1: a builder that yields nothing
    {Leaf(1, 2), Tag(20488, 1)},  // 2: form feed
    {Leaf(18, 0), Tag(20488, 5)}, // 3: the clock block
    {Leaf(1, 0), Tag(4099, 2)},   // 4: answers another id only
};
const WORD kKeys[] = {4099};
const DWORD kKeyEntries[] = {4};
const ModelTables kModel = {kEntries, 5,       kKeys, kKeyEntries, 1, kPieceBytes, 3, nullptr,
                            0,        nullptr, 0,     nullptr,     0};

const DWORD kParts[] = {0, 1, 2, 3, 4, 4};
const ComposedSequenceRow kRows[] = {
    {4123, 0, 3}, // ESC @, nothing, form feed
    {4120, 3, 2}, // clock block, nothing
    {4122, 4, 1}, // nothing at all
    {4124, 0, 7}, // runs past the part list
};

class Composed : public DrvTest
{
  protected:
    void SetUp() override
    {
        DrvTest::SetUp();
        tables_ = *CurrentDriverTables();
        tables_.ComposedSequences = {kRows, 4, kParts, 6};
        SwapModelTables(&kModel);
        SwapDriverTables(&tables_);
    }
    void TearDown() override
    {
        SwapDriverTables(nullptr);
        SwapModelTables(nullptr);
        DrvTest::TearDown();
    }
    DriverTables tables_{};
};

TEST_F(Composed, PiecesThatSelectNothingAddNothing)
{
    TestRequest request;
    Answer query = Drv(4123, request.Get(), 0);
    EXPECT_EQ(query.result, DB_MORE_DATA);
    EXPECT_EQ(query.size, 3u);
    Answer a = Drv(4123, request.Get(), 8);
    ASSERT_EQ(a.result, DB_OK);
    EXPECT_EQ(a.size, 3u);
    EXPECT_EQ(std::vector<BYTE>(a.bytes.begin(), a.bytes.begin() + 3), Hex("1B 40 0C"));
    EXPECT_EQ(std::vector<BYTE>(a.bytes.begin() + 3, a.bytes.end()), std::vector<BYTE>(5, kFill));
}

TEST_F(Composed, ShortBufferGetsTheTotal)
{
    TestRequest request;
    Answer a = Drv(4123, request.Get(), 2);
    EXPECT_EQ(a.result, DB_MORE_DATA);
    EXPECT_EQ(a.size, 3u);
    EXPECT_TRUE(a.AllFill());
}

TEST_F(Composed, EmptySequenceAnswersWithSizeZero)
{
    TestRequest request;
    Answer a = Drv(4122, request.Get(), 0);
    EXPECT_EQ(a.result, DB_OK);
    EXPECT_EQ(a.size, 0u);
}

TEST_F(Composed, ComputedPieceAndItsFailure)
{
    TestRequest request;
    SYSTEMTIME t{};
    t.wYear = 2026;
    t.wMonth = 12;
    t.wDay = 7;
    UmSetLocalTime(&t);
    Answer a = DrvRead(4120, request.Get());
    ASSERT_EQ(a.result, DB_OK);
    EXPECT_EQ(a.size, 65u);

    t.wYear = 10000; // does not format to fourteen digits
    UmSetLocalTime(&t);
    Answer failed = Drv(4120, request.Get(), 65);
    EXPECT_EQ(failed.result, DB_FAILED);
    EXPECT_TRUE(failed.AllFill());
}

TEST_F(Composed, BadPartIndexFailsAndMissingTableAnswersNothing)
{
    TestRequest request;
    EXPECT_EQ(Drv(4124, request.Get(), 0).result, DB_FAILED);
    EXPECT_EQ(Drv(4125, request.Get(), 0).result, DB_NO_ANSWER); // no row
    tables_.ComposedSequences.Parts = nullptr;
    EXPECT_EQ(Drv(4123, request.Get(), 0).result, DB_NO_ANSWER);
}

} // namespace
