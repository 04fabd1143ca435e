// The shared model database cases against the exports of the host library.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "modeldb_case_runner.h"

using namespace modeldb_cases;

namespace
{

const EntryPoints kExports = {
    {XDB_AccessRootDataBase, XDB_AccessDrvDataBase, XDB_AccessLMDataBase, XDB_AccessMntDataBase,
     XDB_AccessPADataBase, XDB_AccessSMDataBase},
    GetMediaInfo,
};

std::string TestName(const char* text)
{
    std::string name;
    for (const char* p = text; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

void Judge(const Verdict& v)
{
    if (v.ok)
        return;
    if (kLenientUntilDataLands && v.missing)
        GTEST_SKIP() << "not there yet: " << v.detail;
    FAIL() << v.detail;
}

class DatabaseCase : public ::testing::TestWithParam<DbCase>
{
};
class MediaInfoCase : public ::testing::TestWithParam<MediaCase>
{
};

TEST_P(DatabaseCase, AnswersAsExpected)
{
    Judge(RunDbCase(GetParam(), kExports));
}

TEST_P(MediaInfoCase, DecodesAsExpected)
{
    Judge(RunMediaCase(GetParam(), kExports.media));
}

INSTANTIATE_TEST_SUITE_P(Shared, DatabaseCase, ::testing::ValuesIn(kDbCases),
                         [](const auto& info) { return TestName(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Shared, MediaInfoCase, ::testing::ValuesIn(kMediaCases),
                         [](const auto& info) { return TestName(info.param.name); });

// The runner itself must notice a wrong answer, or every case above would
// pass vacuously.
LONG WINAPI AnswersVersionText(DWORD, const DataBaseRequest*, DWORD size, void* buffer,
                               DWORD* outSize)
{
    static const WCHAR text[] = {'1', '.', '7', '5', 'b', 0};
    *outSize = sizeof text;
    if (buffer == nullptr || size < sizeof text)
        return DB_MORE_DATA;
    std::memcpy(buffer, text, sizeof text);
    return DB_OK;
}

LONG WINAPI OverrunsBuffer(DWORD, const DataBaseRequest*, DWORD size, void* buffer, DWORD* outSize)
{
    *outSize = 4;
    if (buffer == nullptr || size < 4)
        return DB_MORE_DATA;
    std::memset(buffer, 0, 8);
    return DB_OK;
}

TEST(CaseRunner, RejectsWrongTextAndWritesPastTheAnswer)
{
    EntryPoints fake{};
    for (auto& fn : fake.db)
        fn = AnswersVersionText;
    DbCase text = {"t", Db::Root, 2, "", Call::Read, 0, 0, 12, Expect::Text, "1.75a"};
    Verdict v = RunDbCase(text, fake);
    EXPECT_FALSE(v.ok);
    EXPECT_NE(v.detail.find("1.75b"), std::string::npos) << v.detail;

    for (auto& fn : fake.db)
        fn = OverrunsBuffer;
    DbCase ints = {"i", Db::Root, 5, "", Call::Read, 0, 0, 4, Expect::Ints, "0"};
    v = RunDbCase(ints, fake);
    EXPECT_FALSE(v.ok);
    EXPECT_NE(v.detail.find("past the answer"), std::string::npos) << v.detail;
}

TEST(CaseRunner, ParsesRequestText)
{
    BuiltRequest r = ParseRequest("s29 28=9 81=1 str:|LS|~");
    const DataBaseRequest* req = r.Get();
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(req->SettingCount, 29u);
    EXPECT_EQ(req->Settings[28], 9);
    EXPECT_EQ(req->StringCount, 3u);
    EXPECT_STREQ(req->Strings[0], "");
    EXPECT_STREQ(req->Strings[1], "LS");
    EXPECT_EQ(req->Strings[2], nullptr);
    EXPECT_EQ(ParseRequest("none").Get(), nullptr);
    BuiltRequest empty = ParseRequest("");
    EXPECT_EQ(empty.Get()->Settings, nullptr);
    EXPECT_EQ(empty.Get()->Strings, nullptr);
}

} // namespace
