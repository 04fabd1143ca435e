// The print-mode record, settings adjustment and request copies.
#include "request.h"

#include "driverdb.h"
#include "store.h"

#include "drvtables.h"

namespace
{

using PrintModeRecord = ModelDbTest;

// Settings 4, 9, 5, 8, 6, 81 of a print mode.
Request ModeRequest(LONG s4, LONG s9, LONG s5, LONG s8, LONG s6, LONG s81, size_t count = 132)
{
    Request request(count);
    request.Set(4, s4).Set(9, s9).Set(5, s5).Set(8, s8).Set(6, s6).Set(81, s81);
    return request;
}

TEST_F(PrintModeRecord, NeedsSettingEightyOne)
{
    Request short81(81);
    EXPECT_EQ(Drv(4126, short81.Get(), 192).result, DB_NO_SETTINGS);
    EXPECT_EQ(Drv(4126, nullptr, 192).result, DB_NO_REQUEST); // refused by the export
}

TEST_F(PrintModeRecord, CountWithoutSettingsArrayIsRefused)
{
    Request request(82);
    DataBaseRequest record = *request.Get();
    record.Settings = nullptr;
    Answer a = Drv(4126, &record, 192);
    EXPECT_EQ(a.result, DB_NO_SETTINGS);
    EXPECT_TRUE(a.AllFill());
}

TEST_F(PrintModeRecord, NoMatchingRowLeavesTheBufferCleared)
{
    Request request = ModeRequest(3, 0, 1, 3, 1, 0, 82);
    request.Set(4, 2);
    Answer a = Drv(4126, request.Get(), 192);
    EXPECT_EQ(a.result, DB_NO_ANSWER);
    EXPECT_EQ(std::vector<BYTE>(a.bytes.size(), 0), a.bytes);
}

TEST_F(PrintModeRecord, SizeQueryAndShortBuffer)
{
    Request request = ModeRequest(3, 0, 1, 3, 1, 0, 82);
    Answer query = Drv(4126, request.Get(), 0);
    EXPECT_EQ(query.result, DB_MORE_DATA);
    EXPECT_EQ(query.size, 192u);
    Answer shortBuffer = Drv(4126, request.Get(), 191);
    EXPECT_EQ(shortBuffer.result, DB_MORE_DATA);
    EXPECT_TRUE(shortBuffer.AllFill());
}

TEST_F(PrintModeRecord, MatchingRowCarriesResolutionsAndColourTable)
{
    // Plain paper, setting 8 = 3: mode block M3.
    Request request = ModeRequest(3, 0, 1, 3, 2, 0, 82);
    Answer a = Drv(4126, request.Get(), 200);
    ASSERT_EQ(a.result, DB_OK);
    EXPECT_EQ(a.size, 192u);
    WORD block, resolutions[4];
    std::memcpy(&block, a.bytes.data(), 2);
    std::memcpy(resolutions, a.bytes.data() + 6, 8);
    EXPECT_EQ(block, 3);
    EXPECT_EQ(std::vector<BYTE>(a.bytes.begin() + 2, a.bytes.begin() + 5), Hex("30 00 02"));
    for (WORD r : resolutions)
        EXPECT_EQ(r, 600);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.bytes.data() + 16)), "zrt_7731.tbl");
    EXPECT_EQ(std::vector<BYTE>(a.bytes.begin() + 28, a.bytes.begin() + 32),
              std::vector<BYTE>(4, 0));
    // Second and fourth tables are zero, and so is the tail.
    EXPECT_EQ(std::vector<BYTE>(a.bytes.begin() + 48, a.bytes.begin() + 88),
              std::vector<BYTE>(40, 0));
    EXPECT_EQ(std::vector<BYTE>(a.bytes.begin() + 124, a.bytes.begin() + 192),
              std::vector<BYTE>(68, 0));
    EXPECT_EQ(std::vector<BYTE>(a.bytes.begin() + 192, a.bytes.end()), std::vector<BYTE>(8, kFill));
}

// A model whose rule lists are plain pair lists, for the adjustment steps.
struct RuleModel {
    std::vector<EntryDescriptor> entries;
    std::vector<WORD> keys;
    std::vector<DWORD> keyEntries;
    std::vector<LONG> longs;
    ModelTables tables{};

    void Rule(WORD id, std::vector<LONG> values)
    {
        keys.push_back(id);
        keyEntries.push_back(static_cast<DWORD>(entries.size()));
        entries.push_back({(2u << 24) | static_cast<DWORD>(longs.size()),
                           (DWORD(id) << 16) | static_cast<DWORD>(values.size())});
        longs.insert(longs.end(), values.begin(), values.end());
    }
    const ModelTables* Get()
    {
        tables = ModelTables{entries.data(),
                             static_cast<DWORD>(entries.size()),
                             keys.data(),
                             keyEntries.data(),
                             static_cast<DWORD>(keys.size()),
                             nullptr,
                             0,
                             nullptr,
                             0,
                             longs.data(),
                             static_cast<DWORD>(longs.size()),
                             nullptr,
                             0};
        return &tables;
    }
};

class Adjustment : public ModelDbTest
{
  protected:
    void TearDown() override
    {
        SwapModelTables(nullptr);
        ModelDbTest::TearDown();
    }
};

TEST_F(Adjustment, NothingToApplyInThisModel)
{
    Request request;
    for (DWORD id : {4191u, 4192u}) {
        Answer a = Drv(id, request.Get(), 0);
        EXPECT_EQ(a.result, DB_NO_ANSWER) << id;
        EXPECT_EQ(a.size, 0u) << id;
    }
}

TEST_F(Adjustment, RequestChecks)
{
    Request empty(0);
    EXPECT_EQ(Drv(4191, empty.Get(), 0).result, DB_NO_REQUEST); // no settings array
    DataBaseRequest zero = *empty.Get();
    LONG one = 0;
    zero.Settings = &one;
    EXPECT_EQ(Drv(4191, &zero, 0).result, DB_NO_SETTINGS);
    EXPECT_EQ(Drv(4192, &zero, 0).result, DB_NO_SETTINGS);
    // More settings than a 32-bit byte count of them can safely measure.
    Request huge(0x10001);
    EXPECT_EQ(Drv(4192, huge.Get(), 0).result, DB_FAILED);
}

TEST_F(Adjustment, PairsOutsideTheArrayAndBrokenPairsAreSkipped)
{
    RuleModel model;
    // A negative setting number, one past the end, a trailing half pair.
    model.Rule(20500, {-1, 5, 2, 7, 10, 9, 9, 4, 3});
    SwapModelTables(model.Get());
    Request request(10);
    Answer a = DrvRead(4192, request.Get());
    ASSERT_EQ(a.result, DB_OK);
    ASSERT_EQ(a.size, 40u);
    std::vector<LONG> got(10);
    std::memcpy(got.data(), a.bytes.data(), 40);
    EXPECT_EQ(got, (std::vector<LONG>{0, 0, 7, 0, 0, 0, 0, 0, 0, 4}));
    EXPECT_EQ(request.settings, std::vector<LONG>(10, 0)); // the caller's array is not changed
}

TEST_F(Adjustment, LaterRulesSelectOnEarlierAdjustments)
{
    RuleModel model;
    model.Rule(20501, {3, 1});
    // 20506 answers only once setting 3 is 1: a select on setting 3.
    model.keys.push_back(20506);
    model.keyEntries.push_back(static_cast<DWORD>(model.entries.size()));
    DWORD select = static_cast<DWORD>(model.entries.size());
    model.entries.push_back({(11u << 24) | (select + 1), (3u << 16) | 1});
    model.entries.push_back({(15u << 24) | (select + 2), 1});
    model.entries.push_back(
        {(2u << 24) | static_cast<DWORD>(model.longs.size()), (20506u << 16) | 2});
    model.longs.insert(model.longs.end(), {5, 55});
    model.Rule(20498, {140, 8}); // beyond the copy's 132 settings
    SwapModelTables(model.Get());

    Request request(150);
    Answer a = DrvRead(4191, request.Get());
    ASSERT_EQ(a.result, DB_OK);
    ASSERT_EQ(a.size, 600u);
    EXPECT_EQ(a.Int(3), 1);
    EXPECT_EQ(a.Int(5), 55);
    EXPECT_EQ(a.Int(140), 8);

    // Without the first rule, the second does not select.
    model.entries[0].TagCount = (20501u << 16) | 0;
    SwapModelTables(model.Get());
    Answer b = DrvRead(4191, request.Get());
    ASSERT_EQ(b.result, DB_OK);
    EXPECT_EQ(b.Int(5), 0);
    EXPECT_EQ(b.Int(140), 8);
}

TEST_F(Adjustment, RuleListThatCannotBeHeldFailsTheAdjustment)
{
    RuleModel model;
    model.Rule(20500, {1, 2});
    SwapModelTables(model.Get());
    Request request(6);
    UmGlobalFailAfter(1); // the working array succeeds, the rule's answer does not
    Answer a = Drv(4192, request.Get(), 24);
    UmGlobalFailAfter(-1);
    EXPECT_EQ(a.result, DB_FAILED);
    EXPECT_TRUE(a.AllFill());
}

TEST_F(Adjustment, AnswerNeedsRoomForEverySetting)
{
    RuleModel model;
    model.Rule(20500, {1, 2});
    SwapModelTables(model.Get());
    Request request(6);
    Answer a = Drv(4192, request.Get(), 23);
    EXPECT_EQ(a.result, DB_MORE_DATA);
    EXPECT_EQ(a.size, 24u);
    EXPECT_TRUE(a.AllFill());
}

using RequestCopy = ModelDbTest;

TEST_F(RequestCopy, CarriesPrinterContextAndAtMost132Settings)
{
    Request source(140);
    for (size_t i = 0; i < 140; ++i)
        source.settings[i] = LONG(i + 1);
    DataBaseRequest record = *source.Get();
    record.Printer = reinterpret_cast<HANDLE>(0x1234);
    record.Context = 77;
    LPCSTR strings[] = {"x"};
    record.Strings = strings;
    record.StringCount = 1;
    record.PrinterName = L"P";

    DataBaseRequest* copy = CloneRequest(&record);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Printer, record.Printer);
    EXPECT_EQ(copy->Context, 77u);
    EXPECT_EQ(copy->StringCount, 0u);
    EXPECT_EQ(copy->Strings, nullptr);
    EXPECT_EQ(copy->PrinterName, nullptr);
    ASSERT_EQ(copy->SettingCount, 132u);
    EXPECT_EQ(copy->Settings[131], 132);
    EXPECT_EQ(UmGlobalOutstanding(), 1u);
    FreeBlock(copy);

    Request few(3);
    few.Set(2, 9);
    copy = CloneRequest(few.Get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Settings[2], 9);
    EXPECT_EQ(copy->Settings[3], 0);
    FreeBlock(copy);

    // A count without an array copies nothing.
    DataBaseRequest broken = *few.Get();
    broken.Settings = nullptr;
    copy = CloneRequest(&broken);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Settings[0], 0);
    FreeBlock(copy);

    copy = CloneRequest(nullptr);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Printer, nullptr);
    EXPECT_EQ(copy->SettingCount, 132u);
    FreeBlock(copy);
    FreeBlock(nullptr);
    EXPECT_EQ(UmGlobalBadFrees(), 0u);
}

// Without its value, composed-sequence or print-mode table a computed id
// answers as for a table whose arrays are missing: a value list or a
// composed sequence has nothing to say, the print-mode record fails.
class MissingDriverTables : public ModelDbTest
{
  protected:
    void TearDown() override
    {
        SwapDriverTables(nullptr);
        ModelDbTest::TearDown();
    }
};

TEST_F(MissingDriverTables, AnswerAsTablesWithoutTheirArrays)
{
    static const SettingValueTable noValues = {};
    static const ComposedSequenceTable noSequences = {};
    static const PrintModeTable noModes = {};
    const DriverTables withoutArrays = {&noValues, &noSequences, &noModes};
    const DriverTables withoutTables = {nullptr, nullptr, nullptr};
    Request request = ModeRequest(3, 0, 1, 3, 1, 0);
    request.Set(28, 9);
    for (const DriverTables* tables : {&withoutArrays, &withoutTables}) {
        SCOPED_TRACE(tables == &withoutTables ? "no tables" : "tables without arrays");
        SwapDriverTables(tables);
        for (DWORD id : {4109u, 4111u, 4115u, 4112u, 4121u, 4123u})
            EXPECT_EQ(Drv(id, request.Get(), 600).result, DB_NO_ANSWER) << id;
        Answer record = Drv(4126, request.Get(), 192);
        EXPECT_EQ(record.result, DB_FAILED);
        EXPECT_TRUE(record.AllFill());
    }
}

} // namespace
