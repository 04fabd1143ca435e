// Composed sequences over small stand-in tables: empty pieces, computed
// pieces, failing pieces and the size protocol.
#include "request.h"

#include "driverdb.h"
#include "store.h"

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

class Composed : public ModelDbTest
{
  protected:
    void SetUp() override
    {
        ModelDbTest::SetUp();
        tables_ = *CurrentDriverTables();
        composed_ = {kRows, 4, kParts, 6};
        tables_.ComposedSequences = &composed_;
        SwapModelTables(&kModel);
        SwapDriverTables(&tables_);
    }
    void TearDown() override
    {
        SwapDriverTables(nullptr);
        SwapModelTables(nullptr);
        ModelDbTest::TearDown();
    }
    DriverTables tables_{};
    ComposedSequenceTable composed_{};
};

TEST_F(Composed, PiecesThatSelectNothingAddNothing)
{
    Request request;
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
    Request request;
    Answer a = Drv(4123, request.Get(), 2);
    EXPECT_EQ(a.result, DB_MORE_DATA);
    EXPECT_EQ(a.size, 3u);
    EXPECT_TRUE(a.AllFill());
}

TEST_F(Composed, EmptySequenceAnswersWithSizeZero)
{
    Request request;
    Answer a = Drv(4122, request.Get(), 0);
    EXPECT_EQ(a.result, DB_OK);
    EXPECT_EQ(a.size, 0u);
}

TEST_F(Composed, ComputedPieceAndItsFailure)
{
    Request request;
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
    Request request;
    EXPECT_EQ(Drv(4124, request.Get(), 0).result, DB_FAILED);
    EXPECT_EQ(Drv(4125, request.Get(), 0).result, DB_NO_ANSWER); // no row
    composed_.Parts = nullptr;
    EXPECT_EQ(Drv(4123, request.Get(), 0).result, DB_NO_ANSWER);
}

} // namespace

namespace
{

using ModelSequences = ModelDbTest;

TEST_F(ModelSequences, ResetSequence)
{
    Request request;
    Answer query = Drv(4123, request.Get(), 0);
    EXPECT_EQ(query.result, DB_MORE_DATA);
    EXPECT_EQ(query.size, 2u);
    Answer at = Drv(4123, request.Get(), 2);
    ASSERT_EQ(at.result, DB_OK);
    EXPECT_EQ(at.bytes, Hex("1B 40"));
}

TEST_F(ModelSequences, JobSetupTakesThePaperSizeFromThePaperTree)
{
    Request request;
    request.Set(4, 3).Set(5, 1).Set(8, 3).Set(6, 1).Set(28, 9).Set(7, 7);
    Answer a = DrvRead(4121, request.Get());
    ASSERT_EQ(a.result, DB_OK);
    ASSERT_EQ(a.bytes.size(), 130u);
    EXPECT_EQ(std::vector<BYTE>(a.bytes.begin() + 115, a.bytes.end()),
              Hex("1B 28 50 02 00 00 03 1B 28 6C 03 00 34 00 00"));
    // A paper the printer has no command for: no page format, no paper size.
    request.Set(28, 66);
    Answer unknown = DrvRead(4121, request.Get());
    ASSERT_EQ(unknown.result, DB_OK);
    EXPECT_EQ(unknown.bytes.size(), 130u - 51 - 7);
}

// The print-mode record exists exactly for the settings whose job setup
// sequence carries a print mode block, and both name the same ESC ( c mode.
TEST_F(ModelSequences, PrintModeRecordAgreesWithTheJobSetupSequence)
{
    const LONG media[] = {1, 281, 285, 284, 277, 271, 283, 262, 287, 288, 273, 2, 263, 99};
    int withBlock = 0;
    for (LONG s5 : media)
        for (LONG s8 = 1; s8 <= 5; ++s8)
            for (LONG s6 = 1; s6 <= 3; ++s6)
                for (LONG s81 = 0; s81 <= 1; ++s81)
                    for (LONG s9 = 0; s9 <= 1; ++s9) {
                        Request request;
                        request.Set(4, 3).Set(9, s9).Set(5, s5).Set(8, s8).Set(6, s6);
                        request.Set(81, s81).Set(28, 9).Set(7, 7);
                        Answer setup = DrvRead(4121, request.Get());
                        ASSERT_EQ(setup.result, DB_OK);
                        bool hasBlock = setup.bytes.size() > 11 && setup.bytes[6] == 0x1B &&
                                        setup.bytes[8] == 0x63;
                        Answer record = Drv(4126, request.Get(), 192);
                        ASSERT_EQ(record.result, hasBlock ? DB_OK : DB_NO_ANSWER)
                            << s5 << "/" << s8 << "/" << s6 << "/" << s81 << "/" << s9;
                        if (hasBlock) {
                            ++withBlock;
                            EXPECT_EQ(std::vector<BYTE>(setup.bytes.begin() + 11,
                                                        setup.bytes.begin() + 14),
                                      std::vector<BYTE>(record.bytes.begin() + 2,
                                                        record.bytes.begin() + 5));
                        }
                    }
    EXPECT_EQ(withBlock, int(CurrentDriverTables()->PrintModes->RowCount));
}

} // namespace
