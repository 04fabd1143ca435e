// The engine over the model built into the library: every key walks without
// meeting a broken index or a wrong entry type, and the answers keep the
// size-query protocol.
#include "store_fixture.h"

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

} // namespace
