// The shared model database cases against the exports of the host library.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <tuple>

#include "modeldb_case_runner.h"
#include "um_control.h"

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

// The shared test printers, in the spooler stand-in, which plays Windows
// 2000/XP or Windows 98/Me (wide forms that are stubs): the answers are the
// same.
class PrinterDataCase : public ::testing::TestWithParam<std::tuple<DbCase, bool>>
{
  protected:
    void SetUp() override
    {
        UmReset();
        UmPlayWindows9xSpooler(std::get<1>(GetParam()));
        for (const TestPrinter& printer : kTestPrinters) {
            UmAddPrinter(printer.name);
            for (int i = 0; i < printer.count; ++i) {
                const PrinterValue& v = printer.values[i];
                if (v.text != nullptr)
                    UmSetPrinterString(printer.name, v.name, v.text);
                else
                    UmSetPrinterDword(printer.name, v.name, v.number);
            }
        }
    }
    void TearDown() override
    {
        EXPECT_EQ(UmPrintersOpen(), 0u) << "a printer was left open";
        EXPECT_EQ(UmGlobalOutstanding(), 0u) << "a GlobalAlloc block was left allocated";
        UmReset();
    }
};

TEST_P(DatabaseCase, AnswersAsExpected)
{
    Judge(RunDbCase(GetParam(), kExports));
}

TEST_P(PrinterDataCase, AnswersAsExpected)
{
    Judge(RunDbCase(std::get<0>(GetParam()), kExports));
}

TEST_P(MediaInfoCase, DecodesAsExpected)
{
    Judge(RunMediaCase(GetParam(), kExports.media));
}

INSTANTIATE_TEST_SUITE_P(Shared, DatabaseCase, ::testing::ValuesIn(kDbCases),
                         [](const auto& info) { return TestName(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Shared, PrinterDataCase,
                         ::testing::Combine(::testing::ValuesIn(kPrinterDataCases),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return TestName(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_on_Windows_98" : "");
                         });
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

LONG WINAPI AnswersTwoNumbers(DWORD, const DataBaseRequest*, DWORD size, void* buffer,
                              DWORD* outSize)
{
    static const int32_t values[] = {0x0201, 7};
    *outSize = sizeof values;
    if (buffer == nullptr || size < sizeof values)
        return DB_MORE_DATA;
    std::memcpy(buffer, values, sizeof values);
    return DB_OK;
}

TEST(CaseRunner, ComparesSettingsAndBytesAtTheirPlace)
{
    EntryPoints fake{};
    for (auto& fn : fake.db)
        fn = AnswersTwoNumbers;
    auto run = [&](Expect expect, const char* value) {
        DbCase c = {"c", Db::Drv, 4191, "s2", Call::Read, 0, 0, 8, expect, value};
        return RunDbCase(c, fake);
    };
    EXPECT_TRUE(run(Expect::Settings, "1=7 0=513").ok);
    Verdict v = run(Expect::Settings, "0=513 1=8");
    EXPECT_FALSE(v.ok);
    EXPECT_NE(v.detail.find("[1]=7 not 8"), std::string::npos) << v.detail;
    EXPECT_FALSE(run(Expect::Settings, "2=0").ok);
    EXPECT_TRUE(run(Expect::BytesAt, "1|02 00 00 07").ok);
    EXPECT_FALSE(run(Expect::BytesAt, "1|02 00 01").ok);
    EXPECT_FALSE(run(Expect::BytesAt, "6|00 00 00").ok);
}

TEST(CaseRunner, ParsesRequestText)
{
    BuiltRequest r = ParseRequest("s29 28=9 81=1 str:|LS|~ printer:ZR1");
    const DataBaseRequest* req = r.Get();
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(req->SettingCount, 29u);
    EXPECT_EQ(req->Settings[28], 9);
    EXPECT_EQ(req->StringCount, 3u);
    EXPECT_STREQ(req->Strings[0], "");
    EXPECT_STREQ(req->Strings[1], "LS");
    EXPECT_EQ(req->Strings[2], nullptr);
    ASSERT_NE(req->PrinterName, nullptr);
    EXPECT_EQ(req->PrinterName[0], 'Z');
    EXPECT_EQ(req->PrinterName[2], '1');
    EXPECT_EQ(req->PrinterName[3], 0);
    EXPECT_EQ(ParseRequest("none").Get(), nullptr);
    BuiltRequest empty = ParseRequest("");
    EXPECT_EQ(empty.Get()->Settings, nullptr);
    EXPECT_EQ(empty.Get()->Strings, nullptr);
    EXPECT_EQ(empty.Get()->PrinterName, nullptr);
}

} // namespace
