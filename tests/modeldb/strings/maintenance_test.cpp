// The maintenance keyword fragments and the tables that refer to them.
#include "request.h"

#include <cstring>
#include <set>

namespace
{

struct KeywordRow {
    LONG number;
    const char* text;
};

const KeywordRow kKeywords[] = {
    {11, "ControlMode=Common"},
    {21, "SetTime="},
    {22, "SetSilent="},
    {500, "@TestPrint=NozzleCheck"},
    {900, "@PowerOff"},
    {1001, "AutoPowerOn="},
    {1002, "AutoPowerOff="},
    {1100, "@TestPrint=Regi_Auto1"},
    {1101, "@TestPrint=Regi2"},
    {1105, "@TestPrint=Regi1"},
    {1110, "@TestPrint=RegiCheck"},
    {1121, "SetRegistration=X1200G"},
    {1122, "SetRegistration=X1200H"},
    {1123, "SetRegistration=X1200A"},
    {1124, "SetRegistration=X1200I"},
    {1125, "SetRegistration=X1200F"},
    {1126, "SetRegistration=X1200C"},
    {1127, "SetRegistration=X1200E"},
    {1131, "SetRegistration=X2400L"},
    {1132, "SetRegistration=X2400N"},
    {1133, "SetRegistration=X2400P"},
    {1134, "SetRegistration=X2400W"},
    {1225, "MediaDetection=ON"},
    {1226, "MediaDetection=OFF"},
    {1227, "SetMediaSense=ON"},
    {1228, "SetMediaSense=OFF"},
    {1229, "PAPERGAP=WIDE"},
    {1230, "PAPERGAP=AUTO"},
    {1701, "DryLevel=1"},
    {1702, "DryLevel=2"},
    {1703, "DryLevel=3"},
    {1801, "@Cleaning=1ALL"},
    {1802, "@Cleaning=1G1"},
    {1803, "@Cleaning=1G2"},
    {1811, "@Cleaning=2ALL"},
    {1812, "@Cleaning=2G1"},
    {1813, "@Cleaning=2G2"},
};

Answer Keyword(LONG number)
{
    Request job(1);
    job.Set(0, number);
    return Mnt(12299, job.Get());
}

Bytes KeywordBytes(LONG number)
{
    Answer a = Keyword(number);
    EXPECT_EQ(a.result, DB_OK) << "keyword " << number;
    return a.bytes;
}

std::vector<LONG> Numbers(DWORD id, LONG setting0)
{
    Request job(1);
    job.Set(0, setting0);
    Answer a = Mnt(id, job.Get());
    EXPECT_EQ(a.result, DB_OK) << id << " with setting 0 = " << setting0;
    std::vector<LONG> out(a.bytes.size() / 4);
    if (!out.empty())
        std::memcpy(out.data(), a.bytes.data(), out.size() * 4);
    return out;
}

using Keywords = ModelDbTest;

TEST_F(Keywords, EveryKeyLineIsItsOwnBytesWithoutTerminatorOrLineEnd)
{
    for (const KeywordRow& k : kKeywords) {
        Answer a = Keyword(k.number);
        ASSERT_EQ(a.result, DB_OK) << k.text;
        EXPECT_EQ(a.size, std::strlen(k.text)) << k.text;
        EXPECT_EQ(a.bytes, Ascii(k.text)) << k.number;
    }
}

TEST_F(Keywords, HeadAndTailFrameABlock)
{
    EXPECT_EQ(KeywordBytes(1), Concat({Hex("1B 5B 4B 02 00 00 1F"), Ascii("ZRLSTART\n")}));
    EXPECT_EQ(KeywordBytes(1).size(), 16u);
    EXPECT_EQ(KeywordBytes(2), Ascii("\nZRLEND\n"));
}

// A maintenance utility joins head, "ControlMode=Common", a line feed, the
// key line and the tail; that must give the layout of the stored blocks.
TEST_F(Keywords, JoinedFragmentsGiveACompleteModeBlock)
{
    Bytes cleaning = Concat(
        {KeywordBytes(1), KeywordBytes(11), Ascii("\n"), KeywordBytes(1801), KeywordBytes(2)});
    EXPECT_EQ(cleaning, ModeBlock({"ControlMode=Common", "@Cleaning=1ALL"}));

    Bytes detectionOff = Concat(
        {KeywordBytes(1), KeywordBytes(11), Ascii("\n"), KeywordBytes(1226), KeywordBytes(2)});
    EXPECT_EQ(detectionOff.size(), 61u);
}

TEST_F(Keywords, NumbersOutsideTheTableAnswerNothing)
{
    for (LONG number : {0L, 3L, 12L, 501L, 1003L, 1231L, 1814L, -1L}) {
        Answer a = Keyword(number);
        EXPECT_EQ(a.result, DB_NO_ANSWER) << number;
    }
}

TEST_F(Keywords, ARequestWithoutSettingsCannotSelect)
{
    Request job(0);
    EXPECT_EQ(Mnt(12299, job.Get()).result, DB_NO_SETTINGS);
}

TEST_F(Keywords, CustomSettingRowsLinkFunctionsToTheirKeywords)
{
    std::vector<LONG> rows = Numbers(12297, 0);
    const std::vector<LONG> expected = {
        16853, 1225, 1226, 13, 1413, 1, 16855, 1229, 1230, 15, 1415, 0,
        16846, 0,    0,    6,  1406, 0, 16854, 1227, 1228, 14, 1414, 1,
    };
    EXPECT_EQ(rows, expected);
}

// The cleaning and registration tables name their operations by keyword
// number; every number they hold must resolve to the key line it means.
TEST_F(Keywords, CleaningGroupsNameCleaningKeywords)
{
    std::set<LONG> seen;
    for (LONG level : {1L, 2L}) {
        std::vector<LONG> groups = Numbers(12306, level);
        ASSERT_FALSE(groups.empty());
        ASSERT_EQ(groups.size() % 4, 0u);
        for (size_t i = 1; i < groups.size(); i += 4) {
            std::string line(reinterpret_cast<const char*>(KeywordBytes(groups[i]).data()),
                             KeywordBytes(groups[i]).size());
            EXPECT_EQ(line.rfind("@Cleaning=", 0), 0u) << groups[i];
            seen.insert(groups[i]);
        }
    }
    EXPECT_EQ(seen, (std::set<LONG>{1801, 1802, 1803, 1811, 1812, 1813}));
}

TEST_F(Keywords, RegistrationRowsNameRegistrationKeywords)
{
    std::set<LONG> seen;
    for (LONG pattern : {1L, 2L}) {
        std::vector<LONG> rows = Numbers(12300, pattern);
        ASSERT_FALSE(rows.empty());
        ASSERT_EQ(rows.size() % 16, 0u);
        for (size_t i = 7; i < rows.size(); i += 16) {
            Bytes line = KeywordBytes(rows[i]);
            EXPECT_EQ(std::string(line.begin(), line.end()).rfind("SetRegistration=", 0), 0u);
            seen.insert(rows[i]);
        }
    }
    EXPECT_EQ(seen,
              (std::set<LONG>{1121, 1122, 1123, 1124, 1125, 1126, 1127, 1131, 1132, 1133, 1134}));
}

} // namespace
