// The engine over the model built into the library: every key walks without
// meeting a broken index or a wrong entry type, and the answers keep the
// size-query protocol.
#include "store_fixture.h"

#include <cstring>

namespace
{

class BuiltInModelTest : public StoreTest
{
  protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        settings_.assign(132, 0);
        strings_.assign(10, "");
        request_.Settings = settings_.data();
        request_.SettingCount = static_cast<DWORD>(settings_.size());
        request_.Strings = strings_.data();
        request_.StringCount = static_cast<DWORD>(strings_.size());
    }

    std::vector<LONG> settings_;
    std::vector<const char*> strings_;
    DataBaseRequest request_{};
};

TEST_F(BuiltInModelTest, KeysAreUniqueAndPointIntoTheEntryTable)
{
    const ModelTables* t = CurrentModelTables();
    ASSERT_EQ(t, &ModelTableSet);
    ASSERT_GT(t->KeyCount, 0u);
    for (DWORD i = 0; i < t->KeyCount; ++i) {
        EXPECT_LT(t->KeyEntries[i], t->EntryCount) << "key " << t->KeyIds[i];
        if (i > 0) {
            EXPECT_LT(t->KeyIds[i - 1], t->KeyIds[i]) << "keys ascending and unique";
        }
    }
}

// Every key, under a few typical setting vectors: the walk never fails on the
// tables themselves, and whatever it finds reads with the size protocol.
TEST_F(BuiltInModelTest, EveryKeyWalksAndReads)
{
    const ModelTables* t = CurrentModelTables();
    const LONG papers[] = {9, 1, 256, 2};
    for (LONG paper : papers) {
        settings_[28] = paper;
        for (DWORD i = 0; i < t->KeyCount; ++i) {
            WORD id = t->KeyIds[i];
            EntryDescriptor leaf{};
            LONG found = FindEntry(id, &request_, &leaf);
            ASSERT_NE(found, DB_FAILED) << "id " << id << " paper " << paper;
            ASSERT_NE(found, DB_UNKNOWN_ID) << "id " << id;
            if (found != DB_OK)
                continue;
            DWORD need = 0;
            LONG query = ReadEntry(&request_, 0, nullptr, &need, &leaf);
            if (EntryTypeOf(leaf.TypeOffset) == static_cast<BYTE>(EntryType::Built))
                continue; // builders answer for themselves
            ASSERT_EQ(query, DB_MORE_DATA) << "id " << id;
            ASSERT_GT(need, 0u) << "id " << id;
            std::vector<BYTE> buffer(need + 4, 0xEE);
            DWORD size = 0;
            ASSERT_EQ(ReadEntry(&request_, need, buffer.data(), &size, &leaf), DB_OK)
                << "id " << id;
            EXPECT_EQ(size, need);
            EXPECT_EQ(buffer[need], 0xEE) << "id " << id << " wrote past its size";
            if (EntryTypeOf(leaf.TypeOffset) == static_cast<BYTE>(EntryType::Text)) {
                EXPECT_EQ(buffer[need - 2] | buffer[need - 1], 0)
                    << "id " << id << " text unterminated";
            }
        }
    }
}

TEST_F(BuiltInModelTest, UnknownIdNoLeafAndHighBits)
{
    BYTE a[64], b[64];
    DWORD sizeA = 0, sizeB = 0;
    settings_[28] = 9;
    ASSERT_EQ(XDB_AccessDrvDataBase(0x1001, &request_, sizeof a, a, &sizeA), DB_OK);
    ASSERT_EQ(XDB_AccessDrvDataBase(0x21001, &request_, sizeof b, b, &sizeB), DB_OK);
    EXPECT_EQ(std::vector<BYTE>(a, a + sizeA), std::vector<BYTE>(b, b + sizeB));
    EXPECT_EQ(Longs(a, sizeA), (std::vector<LONG>{20320, 28900}));

    settings_[28] = 2; // a paper without its own child
    EXPECT_EQ(XDB_AccessDrvDataBase(4097, &request_, sizeof a, a, &sizeA), DB_NO_ANSWER);
    EXPECT_EQ(XDB_AccessRootDataBase(30, &request_, sizeof a, a, &sizeA), DB_UNKNOWN_ID);

    request_.SettingCount = 28; // the paper setting is missing
    EXPECT_EQ(XDB_AccessDrvDataBase(4097, &request_, sizeof a, a, &sizeA), DB_NO_SETTINGS);
}

// The model's own leaves widen by their type: unsigned bytes of 128 and 255
// stay positive, and a text of 12 stored bytes is 24 bytes of UTF-16.
TEST_F(BuiltInModelTest, LeavesWidenAndSizeByTheirType)
{
    struct {
        DWORD id;
        LONG value;
    } unsignedBytes[] = {{4153, 255}, {4157, 128}};
    for (const auto& c : unsignedBytes) {
        BYTE buffer[4];
        DWORD size = 0;
        ASSERT_EQ(XDB_AccessDrvDataBase(c.id, &request_, sizeof buffer, buffer, &size), DB_OK);
        EXPECT_EQ(Longs(buffer, size), std::vector<LONG>{c.value}) << "id " << c.id;
    }

    DWORD need = 0;
    ASSERT_EQ(XDB_AccessRootDataBase(3, &request_, 0, nullptr, &need), DB_MORE_DATA);
    ASSERT_EQ(need, 24u);
    BYTE text[26];
    std::memset(text, 0xEE, sizeof text);
    DWORD size = 0;
    ASSERT_EQ(XDB_AccessRootDataBase(3, &request_, need, text, &size), DB_OK);
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(Narrow(text, 12), "qmxwa7k.dll");
    EXPECT_EQ(text[22] | text[23], 0) << "the 12th unit is the terminator";
    EXPECT_EQ(text[24], 0xEE);
}

// In the A4 child of the paper tree the size, code and command leaves come
// before the borderless selector on setting 81: with setting 28 present but
// not setting 81, the ids answered before the selector still answer, and a
// walk that passes them for 4097 meets the selector's failure instead of
// taking it for "no answer". A paper without a child never reaches it.
TEST_F(BuiltInModelTest, FailureAfterLeavesThatDoNotAnswerDecides)
{
    request_.SettingCount = 29;
    settings_[28] = 9;
    BYTE buffer[16];
    DWORD size = 0;
    ASSERT_EQ(XDB_AccessDrvDataBase(4099, &request_, sizeof buffer, buffer, &size), DB_OK);
    EXPECT_EQ(Longs(buffer, size), (std::vector<LONG>{21000, 29700}));
    size = 0xABCD;
    EXPECT_EQ(XDB_AccessDrvDataBase(4097, &request_, sizeof buffer, buffer, &size), DB_NO_SETTINGS);
    EXPECT_EQ(XDB_AccessDrvDataBase(4098, &request_, sizeof buffer, buffer, &size), DB_NO_SETTINGS);
    EXPECT_EQ(size, 0xABCDu);

    settings_[28] = 2;
    EXPECT_EQ(XDB_AccessDrvDataBase(4097, &request_, sizeof buffer, buffer, &size), DB_NO_ANSWER);
}

} // namespace
