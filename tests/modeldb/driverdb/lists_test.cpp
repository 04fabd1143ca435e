// List answers: values, names, details and default marks.
#include "request.h"

#include "driverdb.h"
#include "store.h"

namespace
{

using Lists = ModelDbTest;

const LONG kStandardPapers[] = {11, 9,   8,   13,  12,  1,   5,   43,  69, 73,
                                74, 276, 277, 274, 278, 279, 284, 288, 256};
const LONG kStandardNames[] = {15762, 15760, 15758, 15767, 15765, 15751, 15755, 15776, 15801, 15802,
                               15803, 15778, 15779, 15791, 15794, 15795, 15800, 15807, 15744};

TEST_F(Lists, StandardPaperListWithNamesLeavesTheOutSizeAlone)
{
    Request request(29);
    Answer query = Drv(4112, request.Get(), 0);
    EXPECT_EQ(query.result, DB_MORE_DATA);
    EXPECT_EQ(query.size, 380u);

    Answer a = Drv(4112, request.Get(), 380);
    ASSERT_EQ(a.result, DB_OK);
    EXPECT_EQ(a.size, kUntouchedSize);
    for (size_t i = 0; i < 19; ++i) {
        EXPECT_EQ(a.Item(i, 0), kStandardPapers[i]) << i;
        EXPECT_EQ(a.Item(i, 1), kStandardNames[i]) << i;
        EXPECT_EQ(a.Item(i, 3), 0) << i;
        EXPECT_EQ(a.Item(i, 4), 0) << i;
    }
    // Paper classes: A5 a sheet, the postcard a card, Chou 3 an envelope,
    // the user-defined size its own class.
    EXPECT_EQ(a.Item(0, 2), 0);
    EXPECT_EQ(a.Item(7, 2), 1);
    EXPECT_EQ(a.Item(9, 2), 2);
    EXPECT_EQ(a.Item(18, 2), 3);
}

TEST_F(Lists, FullPaperListMarksTheSizesOutsideTheStandardList)
{
    Request request(29);
    Answer a = DrvRead(4113, request.Get());
    ASSERT_EQ(a.result, DB_OK);
    ASSERT_EQ(a.bytes.size(), 26u * 20);
    std::vector<LONG> marked;
    for (size_t i = 0; i < 26; ++i)
        if (a.Item(i, 3) == 1) {
            marked.push_back(a.Item(i, 0));
        } else {
            EXPECT_EQ(a.Item(i, 3), 0);
        }
    EXPECT_EQ(marked, (std::vector<LONG>{66, 257, 3, 24, 272, 273, 282}));
    EXPECT_EQ(a.Item(25, 0), 256);
    EXPECT_EQ(a.Item(25, 1), 15744);
}

TEST_F(Lists, TooFewSettingsForTheDetails)
{
    struct {
        DWORD id;
        size_t settings;
        LONG result;
    } const cases[] = {
        {4113, 20, DB_NO_SETTINGS}, {4113, 28, DB_NO_SETTINGS}, {4112, 28, DB_NO_SETTINGS},
        {4113, 29, DB_OK},          {4109, 4, DB_NO_SETTINGS},  {4109, 5, DB_OK},
        {4108, 4, DB_NO_SETTINGS},  {4118, 8, DB_NO_SETTINGS},  {4118, 9, DB_OK},
    };
    for (const auto& c : cases) {
        Request request(c.settings);
        EXPECT_EQ(DrvRead(c.id, request.Get()).result, c.result) << c.id << "/" << c.settings;
    }
}

TEST_F(Lists, ColourListFromTheValueTableAndFromTheModel)
{
    for (DWORD id : {4109u, 4108u}) {
        Request request(5);
        Answer a = DrvRead(id, request.Get());
        ASSERT_EQ(a.result, DB_OK) << id;
        ASSERT_EQ(a.bytes.size(), 20u);
        EXPECT_EQ(a.Item(0, 0), 3);
        EXPECT_EQ(a.Item(0, 1), 15003);
        EXPECT_EQ(a.Item(0, 2), 20003);
        EXPECT_EQ(a.Item(0, 3), 1);
        EXPECT_EQ(a.Item(0, 4), 1);
    }
}

TEST_F(Lists, ValueTableListsCarryNamesAndDefaultMarks)
{
    Request request;
    Answer media = DrvRead(4111, request.Get());
    ASSERT_EQ(media.result, DB_OK);
    ASSERT_EQ(media.bytes.size(), 13u * 20);
    EXPECT_EQ(media.Item(0, 0), 1);
    EXPECT_EQ(media.Item(0, 1), 15101);
    EXPECT_EQ(media.Item(0, 4), 1); // plain paper is the default
    EXPECT_EQ(media.Item(12, 0), 263);
    EXPECT_EQ(media.Item(12, 1), 15109);
    EXPECT_EQ(media.Item(12, 4), 0);

    Answer sources = DrvRead(4115, request.Get());
    ASSERT_EQ(sources.result, DB_OK);
    EXPECT_EQ(sources.Item(0, 1), 15302);
    EXPECT_EQ(sources.Item(1, 0), 263);
    EXPECT_EQ(sources.Item(1, 1), 15310);
}

TEST_F(Lists, DefaultMarkFollowsTheSettingsOfThePair)
{
    // Borderless narrows the media and moves the default.
    Request request;
    request.Set(81, 1);
    Answer a = DrvRead(4110, request.Get());
    ASSERT_EQ(a.result, DB_OK);
    ASSERT_EQ(a.bytes.size(), 6u * 20);
    EXPECT_EQ(a.Item(0, 0), 281);
    EXPECT_EQ(a.Item(0, 4), 1);
    for (size_t i = 1; i < 6; ++i)
        EXPECT_EQ(a.Item(i, 4), 0);
}

TEST_F(Lists, QualityListWithNamesDetailsAndDefault)
{
    Request request;
    request.Set(5, 262);
    Answer a = DrvRead(4118, request.Get());
    ASSERT_EQ(a.result, DB_OK);
    ASSERT_EQ(a.bytes.size(), 4u * 20);
    const LONG values[] = {1, 3, 4, 5};
    const LONG passes[] = {8, 4, 2, 1};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(a.Item(i, 0), values[i]);
        EXPECT_EQ(a.Item(i, 1), 15400 + values[i]);
        EXPECT_EQ(a.Item(i, 2), passes[i]);
        EXPECT_EQ(a.Item(i, 4), values[i] == 3 ? 1 : 0);
    }
    // 4119 takes only the default marks.
    Answer all = DrvRead(4119, request.Get());
    ASSERT_EQ(all.result, DB_OK);
    ASSERT_EQ(all.bytes.size(), 5u * 20);
    EXPECT_EQ(all.Item(2, 0), 3);
    EXPECT_EQ(all.Item(2, 1), 0);
    EXPECT_EQ(all.Item(2, 4), 1);
}

// Every Drv id with an entry, with the kind of its top entry: type, and the
// setting it filters or selects on, or its value count (builder id).
struct TopEntry {
    WORD id;
    BYTE type;
    WORD tagOrCount;
};

const TopEntry kTopEntries[] = {
    {4097, 9, 28},   {4098, 9, 28}, {4099, 9, 28},   {4100, 9, 28},  {4101, 6, 2},
    {4102, 4, 2},    {4103, 9, 4},  {4104, 8, 0},    {4105, 11, 9},  {4106, 3, 1},
    {4107, 3, 7},    {4108, 8, 0},  {4110, 8, 0},    {4112, 4, 19},  {4113, 4, 26},
    {4114, 8, 0},    {4116, 8, 0},  {4117, 8, 0},    {4118, 8, 0},   {4119, 3, 5},
    {4127, 7, 13},   {4128, 3, 6},  {4130, 11, 0},   {4131, 3, 20},  {4132, 6, 2},
    {4133, 3, 1},    {4136, 11, 5}, {4138, 11, 5},   {4139, 4, 3},   {4140, 4, 9},
    {4141, 11, 7},   {4142, 11, 7}, {4143, 11, 7},   {4145, 4, 1},   {4146, 18, 3},
    {4147, 9, 28},   {4149, 7, 12}, {4151, 3, 1},    {4152, 18, 12}, {4153, 5, 1},
    {4154, 9, 4},    {4155, 7, 12}, {4157, 5, 1},    {4158, 4, 16},  {4159, 4, 12},
    {4162, 7, 13},   {4166, 11, 5}, {4168, 7, 12},   {4169, 4, 2},   {4170, 11, 9},
    {4171, 11, 5},   {4172, 3, 1},  {4173, 8, 0},    {4174, 3, 2},   {4175, 3, 1},
    {4177, 11, 111}, {4178, 3, 3},  {4180, 11, 111}, {4182, 3, 1},   {4183, 9, 7},
    {4184, 4, 3},    {4185, 9, 28}, {4186, 11, 111}, {4187, 4, 4},   {4190, 4, 1},
    {4194, 11, 106}, {4196, 8, 0},  {4203, 11, 9},   {4204, 11, 9},  {4205, 11, 106},
    {4206, 8, 0},    {4207, 4, 1},  {4208, 9, 28},   {4209, 4, 2},   {4211, 8, 0},
};

TEST_F(Lists, EveryPlainIdHasTheTopEntryOfItsKind)
{
    const ModelTables* model = CurrentModelTables();
    for (const TopEntry& e : kTopEntries) {
        DWORD k = 0;
        while (k < model->KeyCount && model->KeyIds[k] != e.id)
            ++k;
        ASSERT_LT(k, model->KeyCount) << e.id;
        const EntryDescriptor& top = model->EntryTable[model->KeyEntries[k]];
        EXPECT_EQ(EntryTypeOf(top.TypeOffset), e.type) << e.id;
        if (e.type == 9 || e.type == 11) {
            EXPECT_EQ(EntryTagOf(top.TagCount), e.tagOrCount) << e.id;
        } else if (e.type != 8) {
            EXPECT_EQ(EntryCountOf(top.TagCount), e.tagOrCount) << e.id;
        }
    }
    // Ids answered by computation have no entry of their own.
    for (WORD id : {4109, 4111, 4115, 4120, 4121, 4122, 4123, 4124, 4125, 4126, 4191, 4192})
        for (DWORD k = 0; k < model->KeyCount; ++k)
            EXPECT_NE(model->KeyIds[k], id);
}

TEST_F(Lists, ListsWithoutEntryAnswerUnknown)
{
    Request request;
    for (DWORD id : {4200u, 4201u, 4202u})
        EXPECT_EQ(Drv(id, request.Get(), 0).result, DB_UNKNOWN_ID) << id;
}

TEST_F(Lists, MissingOutSizeIsRefused)
{
    Request request;
    BYTE buffer[600];
    for (DWORD id : {4112u, 4109u, 4118u, 4121u, 4126u, 4191u, 4099u})
        EXPECT_EQ(XDB_AccessDrvDataBase(id, request.Get(), sizeof(buffer), buffer, nullptr),
                  DB_FAILED)
            << id;
}

// Model data that does not fit what a list expects: a detail wider than
// its field, a list held as text.
class BadListData : public ModelDbTest
{
  protected:
    void TearDown() override
    {
        SwapModelTables(nullptr);
        ModelDbTest::TearDown();
    }
};

TEST_F(BadListData, IsAFailureNotARequestForMoreRoom)
{
    static const WORD shorts[] = {9};
    static const LONG longs[] = {1, 2};
    static const BYTE text[] = {'a', 0};
    static const EntryDescriptor entries[] = {
        {(4u << 24) | 0, (4112u << 16) | 1},  // s16 @4112 [9]
        {(2u << 24) | 0, (20494u << 16) | 2}, // int32 @20494 [1 2]
        {(7u << 24) | 0, (4110u << 16) | 2},  // text @4110 "a"
    };
    static const WORD keys[] = {4112, 20494, 4110};
    static const DWORD keyEntries[] = {0, 1, 2};
    static const ModelTables model = {entries, 3, keys,  keyEntries, 3,       text, 2,
                                      shorts,  1, longs, 2,          nullptr, 0};
    SwapModelTables(&model);
    Request request;
    Answer paper = Drv(4112, request.Get(), 20);
    EXPECT_EQ(paper.result, DB_FAILED);
    EXPECT_EQ(paper.size, kUntouchedSize);
    EXPECT_EQ(Drv(4110, request.Get(), 40).result, DB_FAILED);
}

// Both details of an item are read before the next item's: the first item
// whose second detail is bad data fails the list, even though a later
// item's first detail has no answer.
TEST_F(BadListData, DetailsAreReadItemByItem)
{
    static const WORD shorts[] = {1, 2};
    static const LONG longs[] = {7, 1, 2};
    static const EntryDescriptor entries[] = {
        {(4u << 24) | 0, (4118u << 16) | 2},  // 0: s16 @4118 [1 2]
        {(11u << 24) | 2, (8u << 16) | 1},    // 1: sel s8 { 1: entry 3 }
        {(15u << 24) | 3, 1},                 // 2: its label 1
        {(2u << 24) | 0, (20486u << 16) | 1}, // 3: int32 @20486 [7]
        {(2u << 24) | 1, (20487u << 16) | 2}, // 4: int32 @20487 [1 2], wider than its field
    };
    static const WORD keys[] = {4118, 20486, 20487};
    static const DWORD keyEntries[] = {0, 1, 4};
    static const ModelTables model = {entries, 5, keys,  keyEntries, 3,       nullptr, 0,
                                      shorts,  2, longs, 3,          nullptr, 0};
    SwapModelTables(&model);
    Request request;
    EXPECT_EQ(Drv(4118, request.Get(), 40).result, DB_FAILED);
}

TEST_F(Lists, ShortBufferGetsTheSizeAndNothingElse)
{
    Request request;
    Answer a = Drv(4113, request.Get(), 26 * 20 - 1);
    EXPECT_EQ(a.result, DB_MORE_DATA);
    EXPECT_EQ(a.size, 520u);
    EXPECT_TRUE(a.AllFill());
}

TEST_F(Lists, PlainEntriesOfThePaperTree)
{
    struct {
        LONG paper, borderless;
        DWORD id;
        std::vector<LONG> expected;
    } const cases[] = {
        {9, 0, 4099, {21000, 29700}}, {9, 0, 4097, {20320, 28900}},  {9, 1, 4097, {21000, 29700}},
        {9, 1, 4098, {0, 0}},         {11, 1, 4097, {14120, 20200}}, {256, 0, 4185, {256}},
    };
    for (const auto& c : cases) {
        Request request;
        request.Set(28, c.paper).Set(81, c.borderless);
        Answer a = DrvRead(c.id, request.Get());
        ASSERT_EQ(a.result, DB_OK) << c.id << " paper " << c.paper;
        std::vector<LONG> got(a.bytes.size() / 4);
        std::memcpy(got.data(), a.bytes.data(), a.bytes.size());
        EXPECT_EQ(got, c.expected) << c.id << " paper " << c.paper;
    }
    Request a2;
    a2.Set(28, 2);
    EXPECT_EQ(Drv(4099, a2.Get(), 0).result, DB_NO_ANSWER);
}

} // namespace
