// The job setup sequence (Drv 4121): ESC ( b on, print mode block, page
// format, paper size and ESC ( l, each piece chosen by the job's settings.
#include "request.h"

#include <algorithm>
#include <map>

namespace
{

// ---------------------------------------------------------------- print modes

const char* const kPatterns[] = {
    nullptr,
    "80 80 01 24 00 06 24 00 06 24 00 06 24 00 06 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00",
    "80 90 04 24 00 06 24 00 06 24 00 06 04 00 09 24 00 06 24 00 06 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00",
    "80 00 01 01 00 02 01 00 02 01 00 02 01 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00",
    "80 90 04 24 00 06 24 00 06 24 00 06 24 00 06 04 00 10 04 00 10 00 00 00 00 00 00 24 00 06 04 "
    "00 10 00 00 00",
    "80 90 04 24 00 06 24 00 06 24 00 06 24 00 06 24 00 06 24 00 06 00 00 00 00 00 00 24 00 06 24 "
    "00 06 00 00 00",
    "80 90 04 24 00 06 24 00 06 24 00 06 24 00 06 04 00 10 04 00 10 00 00 00 00 00 00 24 00 06 24 "
    "00 06 00 00 00",
    "80 90 04 24 00 05 24 00 05 24 00 05 24 00 05 24 00 05 24 00 05 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00",
    "80 90 04 24 00 06 24 00 06 24 00 06 24 00 06 24 00 06 24 00 06 00 00 00 00 00 00 24 00 06 00 "
    "00 00 00 00 00",
    "80 90 04 24 00 06 24 00 06 24 00 06 24 00 06 24 00 06 24 00 06 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00",
    "80 00 01 00 00 00 00 00 00 00 00 00 01 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00",
};

struct ModeBlockRow {
    const char* c;
    int pattern;
};

// M1..M34: ESC ( c data and ESC ( t pattern.
const ModeBlockRow kBlocks[] = {
    {nullptr, 0},    {"30 00 04", 1}, {"30 00 04", 2}, {"30 00 02", 1},  {"30 00 01", 3},
    {"30 00 00", 3}, {"30 09 04", 4}, {"30 09 03", 5}, {"30 0B 04", 6},  {"30 0B 01", 7},
    {"30 0A 04", 8}, {"30 0A 02", 8}, {"30 05 04", 6}, {"30 05 01", 9},  {"30 07 04", 9},
    {"30 07 03", 9}, {"30 07 02", 9}, {"30 0D 04", 6}, {"30 0D 02", 9},  {"30 08 04", 2},
    {"30 08 02", 1}, {"30 08 01", 3}, {"30 08 00", 3}, {"30 0C 02", 9},  {"30 0C 01", 9},
    {"30 03 02", 1}, {"30 02 02", 1}, {"30 02 01", 1}, {"31 00 01", 10}, {"31 00 00", 10},
    {"30 09 00", 1}, {"30 0B 00", 1}, {"30 0A 00", 1}, {"31 08 01", 10}, {"31 08 00", 10},
};

Bytes Block(int n)
{
    return Concat({Hex("1B 28 63 03 00"), Hex(kBlocks[n].c), Hex("1B 28 64 04 00 02 58 02 58"),
                   Hex("1B 28 74 24 00"), Hex(kPatterns[kBlocks[n].pattern])});
}

const int kM1OrM2 = -1; // M1 when setting 112 is 1 or 2, else M2

struct SelectionRow {
    std::vector<LONG> media;
    std::vector<LONG> s81;
    LONG s8;
    std::vector<LONG> s6;
    int block9is0;
    int block9is1;
};

const SelectionRow kSelection[] = {
    {{1}, {0}, 1, {1, 3}, kM1OrM2, kM1OrM2}, {{1}, {0}, 3, {1, 2, 3}, 3, 3},
    {{1}, {0}, 4, {1, 2, 3}, 4, 28},         {{1}, {0}, 5, {1, 2, 3}, 5, 29},
    {{1}, {1}, 3, {1, 2, 3}, 3, 3},          {{281}, {0, 1}, 1, {1, 3}, 6, 30},
    {{281}, {0, 1}, 2, {1, 3}, 7, 30},       {{285}, {0, 1}, 1, {1, 3}, 8, 31},
    {{285}, {0, 1}, 4, {2, 3}, 9, 31},       {{284}, {0, 1}, 1, {1, 3}, 10, 32},
    {{284}, {0, 1}, 3, {1, 3}, 11, 32},      {{277}, {0, 1}, 1, {1, 3}, 12, 12},
    {{277}, {0, 1}, 4, {1, 3}, 13, 13},      {{271}, {0}, 1, {1, 3}, 14, 14},
    {{271}, {0}, 2, {1, 3}, 15, 15},         {{271}, {0}, 3, {1, 3}, 16, 16},
    {{283}, {0, 1}, 1, {1, 3}, 17, 17},      {{283}, {0, 1}, 3, {1, 3}, 18, 18},
    {{262}, {0, 1}, 1, {1, 3}, 19, 19},      {{262}, {0, 1}, 3, {1, 2, 3}, 20, 20},
    {{262}, {0}, 4, {1, 2, 3}, 21, 33},      {{262}, {0}, 5, {1, 2, 3}, 22, 34},
    {{287, 288}, {0}, 3, {1, 3}, 23, 23},    {{287, 288}, {0}, 4, {1, 3}, 24, 24},
    {{273}, {0}, 3, {1, 3}, 25, 25},         {{2}, {0}, 3, {1, 3}, 26, 26},
    {{2}, {0}, 4, {1, 3}, 27, 27},           {{263}, {0}, 1, {1, 3}, 19, 19},
    {{263}, {0}, 3, {1, 2, 3}, 20, 20},      {{263}, {0}, 4, {1, 2, 3}, 21, 33},
    {{263}, {0}, 5, {1, 2, 3}, 22, 34},
};

bool Holds(const std::vector<LONG>& values, LONG v)
{
    return std::find(values.begin(), values.end(), v) != values.end();
}

// The block a job gets, or 0 when it gets none.
int ExpectedBlock(LONG s4, LONG s9, LONG s5, LONG s81, LONG s8, LONG s6, LONG s112)
{
    if (s4 != 3 || (s9 != 0 && s9 != 1))
        return 0;
    for (const SelectionRow& row : kSelection) {
        if (!Holds(row.media, s5) || !Holds(row.s81, s81) || row.s8 != s8)
            continue;
        if (!Holds(row.s6, s6))
            return 0;
        int block = s9 == 0 ? row.block9is0 : row.block9is1;
        if (block == kM1OrM2)
            block = (s112 == 1 || s112 == 2) ? 1 : 2;
        return block;
    }
    return 0;
}

const LONG kMedia[] = {1, 281, 285, 284, 277, 271, 283, 262, 287, 288, 273, 2, 263};

// ---------------------------------------------------------------- page formats

struct PageFormatRow {
    LONG paper;
    int s81; // 1: borderless only, 0: not 1, -1: any
    LONG h, v, f11, f19, f23, t, r, d, o;
};

const PageFormatRow kPageFormats[] = {
    {11, -1, 478, 334, 0, 80, 70, 3336, 4772, 3497, 4961},
    {9, 1, 0, 0, 0, -47, -47, 5079, 7182, 4961, 7016},
    {9, 0, 683, 480, 0, 80, 70, 4800, 6827, 4961, 7016},
    {8, 1, 0, 0, 0, -47, -47, 7134, 10087, 7016, 9922},
    {8, 0, 974, 686, 0, 80, 70, 6856, 9733, 7016, 9922},
    {13, -1, 589, 414, 0, 80, 70, 4139, 5882, 4300, 6071},
    {12, -1, 841, 592, 0, 80, 70, 5911, 8410, 6071, 8599},
    {1, 1, 0, 0, 0, -47, -47, 5219, 6766, 5100, 6600},
    {1, 0, 642, 480, 7, 151, 70, 4800, 6412, 5100, 6600},
    {5, -1, 822, 480, 7, 151, 70, 4800, 8212, 5100, 8400},
    {43, 1, 0, 0, 0, -47, -47, 2481, 3662, 2363, 3497},
    {43, 0, 331, 221, 0, 80, 70, 2202, 3308, 2363, 3497},
    {69, -1, 331, 457, 0, 80, 70, 4564, 3308, 4725, 3497},
    {73, -1, 532, 268, 0, 80, 118, 2675, 5315, 2835, 5552},
    {74, -1, 461, 197, 0, 80, 118, 1966, 4607, 2126, 4843},
    {276, -1, 486, 232, 0, 80, 70, 2320, 4855, 2481, 5552},
    {277, -1, 380, 216, 0, 80, 70, 2155, 3792, 2315, 4489},
    {274, 1, 0, 0, 0, -47, -47, 7890, 11575, 7772, 11410},
    {274, 0, 1123, 762, 0, 80, 70, 7612, 11221, 7772, 11410},
    {278, 1, 0, 0, 0, -47, -47, 2221, 3166, 2103, 3000},
    {278, 0, 282, 195, 0, 80, 70, 1942, 2812, 2103, 3000},
    {279, 1, 0, 0, 0, -47, -47, 3119, 4371, 3000, 4205},
    {279, 0, 402, 284, 0, 80, 70, 2840, 4016, 3000, 4205},
    {284, 1, 0, 0, 0, -47, -47, 2221, 6166, 2103, 6000},
    {284, 0, 582, 195, 0, 80, 70, 1942, 5812, 2103, 6000},
    {288, -1, 602, 322, 0, 80, 70, 3218, 6017, 3378, 6206},
};

Bytes PageFormat(const PageFormatRow& p)
{
    return Concat({Hex("1B 28 70 2E 00"), BigEndian(p.h, 2), Hex("00 00"), BigEndian(p.v, 2),
                   BigEndian(p.f11, 2), Hex("00 00 00 00 02 58"), BigEndian(p.f19, 4),
                   BigEndian(p.f23, 4), BigEndian(p.t, 4), BigEndian(p.r, 4), Bytes(8, 0),
                   BigEndian(p.d, 4), BigEndian(p.o, 4)});
}

const PageFormatRow* FindPageFormat(LONG paper, LONG s81)
{
    for (const PageFormatRow& p : kPageFormats) {
        if (p.paper == paper && (p.s81 == -1 || (p.s81 == 1) == (s81 == 1)))
            return &p;
    }
    return nullptr;
}

const std::map<LONG, int> kPaperCodes = {
    {11, 1},   {9, 3},    {8, 5},    {13, 8},   {12, 10},   {1, 13},   {5, 15},
    {43, 20},  {69, 57},  {73, 58},  {74, 59},  {276, 48},  {277, 49}, {274, 44},
    {278, 50}, {279, 51}, {284, 56}, {288, 63}, {256, 256},
};

// Paper size codes the database knows with neither command, and some it
// does not know at all.
const LONG kPapersWithoutCommands[] = {66, 257, 3, 24, 272, 273, 282, 0, 2, 300};

// ---------------------------------------------------------------- ESC ( l

int ExpectedSecondEscLByte(LONG s106, LONG s118, LONG paper, LONG media)
{
    if (s106 == 1) {
        static const std::map<LONG, std::vector<int>> byClass = {
            {1, {0x09, 0x09, 0x00}},
            {2, {0x05, 0x09, 0x82}},
            {3, {0x10, 0x09, 0x83}},
            {4, {0x02, 0x02, 0x02}},
        };
        auto row = byClass.find(s118);
        if (row == byClass.end())
            return -1;
        return row->second[paper == 43 ? 0 : paper == 69 ? 1 : 2];
    }
    static const std::map<LONG, int> byMedia = {
        {1, 0x00},   {281, 0x0D}, {285, 0x11}, {284, 0x10}, {277, 0x05}, {271, 0x07}, {283, 0x09},
        {262, 0x09}, {287, 0x12}, {288, 0x12}, {273, 0x03}, {2, 0x02},   {263, 0x08},
    };
    auto m = byMedia.find(media);
    return m == byMedia.end() ? -1 : m->second;
}

Bytes ExpectedEscL(LONG s7, LONG s106, LONG s118, LONG paper, LONG media)
{
    Bytes out;
    if (s7 == 7)
        out = Hex("1B 28 6C 03 00 34");
    else if (s7 == 263)
        out = Hex("1B 28 6C 03 00 3A");
    int second = ExpectedSecondEscLByte(s106, s118, paper, media);
    if (second >= 0)
        out.push_back(static_cast<BYTE>(second));
    if (s7 == 7 || s7 == 263)
        out.push_back(0x00);
    return out;
}

// ---------------------------------------------------------------- tests

const Bytes kEscBOn = Hex("1B 28 62 01 00 01");

Answer JobSetup(Request& job)
{
    return Drv(4121, job.Get());
}

using JobSetupSequence = ModelDbTest;

TEST_F(JobSetupSequence, MatchesTheWorkedExampleByteForByte)
{
    Request job;
    job.Set(4, 3).Set(9, 0).Set(5, 1).Set(81, 0).Set(8, 3).Set(6, 1).Set(28, 9).Set(7, 7);
    job.Set(106, 0);
    const Bytes expected = Hex(
        "1B 28 62 01 00 01 "
        "1B 28 63 03 00 30 00 02 1B 28 64 04 00 02 58 02 58 1B 28 74 24 00 80 80 01 "
        "24 00 06 24 00 06 24 00 06 24 00 06 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 "
        "1B 28 70 2E 00 02 AB 00 00 01 E0 00 00 00 00 00 00 02 58 00 00 00 50 00 00 00 46 00 00 12 "
        "C0 00 00 1A AB 00 00 00 00 00 00 00 00 00 00 13 61 00 00 1B 68 "
        "1B 28 50 02 00 00 03 "
        "1B 28 6C 03 00 34 00 00");
    ASSERT_EQ(expected.size(), 130u);
    Answer a = JobSetup(job);
    ASSERT_EQ(a.result, DB_OK);
    EXPECT_EQ(a.size, 130u);
    EXPECT_EQ(Dump(a.bytes), Dump(expected));
}

// Every combination of the selection settings around the table's rows, with
// the paper and ESC ( l fixed: the block (or its absence) must follow the
// table row for row.
TEST_F(JobSetupSequence, PrintModeFollowsEverySelectionRow)
{
    std::vector<LONG> media(std::begin(kMedia), std::end(kMedia));
    media.push_back(999);
    int blocksSeen[35] = {0};
    for (LONG s4 : {3, 0, 4})
        for (LONG s9 : {0, 1, 2})
            for (LONG s5 : media)
                for (LONG s81 : {0, 1, 2})
                    for (LONG s8 = 0; s8 <= 6; ++s8)
                        for (LONG s6 = 0; s6 <= 4; ++s6)
                            for (LONG s112 : {0, 1, 2, 3}) {
                                if (s4 != 3 && (s9 != 0 || s8 != 3 || s112 != 0))
                                    continue;
                                Request job;
                                job.Set(4, s4).Set(9, s9).Set(5, s5).Set(81, s81).Set(8, s8);
                                job.Set(6, s6).Set(112, s112).Set(28, 9).Set(7, 0);
                                Answer a = JobSetup(job);
                                ASSERT_EQ(a.result, DB_OK);
                                int block = ExpectedBlock(s4, s9, s5, s81, s8, s6, s112);
                                Bytes piece = block ? Block(block) : Bytes();
                                int second = ExpectedSecondEscLByte(0, 0, 9, s5);
                                Bytes expected =
                                    Concat({kEscBOn, piece, PageFormat(*FindPageFormat(9, s81)),
                                            Hex("1B 28 50 02 00 00 03")});
                                if (second >= 0)
                                    expected.push_back(static_cast<BYTE>(second));
                                ASSERT_EQ(Dump(a.bytes), Dump(expected))
                                    << "s4 " << s4 << " s9 " << s9 << " s5 " << s5 << " s81 " << s81
                                    << " s8 " << s8 << " s6 " << s6 << " s112 " << s112;
                                ++blocksSeen[block];
                            }
    for (int n = 1; n <= 34; ++n)
        EXPECT_GT(blocksSeen[n], 0) << "block M" << n << " never selected";
}

TEST_F(JobSetupSequence, Media262OnFineModeWithSetting9Is1TakesM33)
{
    Request job;
    job.Set(4, 3).Set(9, 1).Set(5, 262).Set(81, 0).Set(8, 4).Set(6, 2).Set(28, 9);
    Answer a = JobSetup(job);
    ASSERT_EQ(a.result, DB_OK);
    EXPECT_EQ(Slice(a.bytes, 6, 8), Hex("1B 28 63 03 00 31 08 01"));
}

TEST_F(JobSetupSequence, NoPrintModeBlockUnlessSetting4Is3)
{
    Request job;
    job.Set(4, 2).Set(9, 0).Set(5, 1).Set(8, 3).Set(6, 1).Set(28, 9).Set(7, 7);
    Answer a = JobSetup(job);
    ASSERT_EQ(a.result, DB_OK);
    EXPECT_EQ(a.size, 130u - 58u);
    EXPECT_EQ(Slice(a.bytes, 0, 9), Concat({kEscBOn, Hex("1B 28 70")}));
}

TEST_F(JobSetupSequence, PageFormatAndPaperSizeFollowEveryPaperRow)
{
    std::vector<LONG> papers;
    for (const auto& p : kPaperCodes)
        papers.push_back(p.first);
    papers.insert(papers.end(), std::begin(kPapersWithoutCommands),
                  std::end(kPapersWithoutCommands));
    for (LONG paper : papers)
        for (LONG s81 : {0, 1, 2}) {
            Request job;
            job.Set(28, paper).Set(81, s81).Set(5, 1).Set(96, 21000).Set(97, 29700);
            Answer a = JobSetup(job);
            ASSERT_EQ(a.result, DB_OK) << paper;
            Bytes expected = kEscBOn;
            const PageFormatRow* row = FindPageFormat(paper, s81);
            if (row != nullptr)
                expected = Concat({expected, PageFormat(*row)});
            else if (paper == 256)
                expected = Concat({expected, PageFormat(*FindPageFormat(9, 0))});
            auto code = kPaperCodes.find(paper);
            if (code != kPaperCodes.end())
                expected = Concat({expected, Hex("1B 28 50 02 00"), BigEndian(code->second, 2)});
            expected.push_back(0x00); // ESC ( l second byte of media 1
            EXPECT_EQ(Dump(a.bytes), Dump(expected)) << "paper " << paper << " s81 " << s81;
        }
}

// The user-defined paper is computed; at A4 size it equals the stored A4
// command and its paper size command carries 256.
TEST_F(JobSetupSequence, UserDefinedPaperAtA4SizeEqualsTheStoredA4Command)
{
    Request job;
    job.Set(28, 256).Set(96, 21000).Set(97, 29700).Set(52, 0);
    Answer a = JobSetup(job);
    ASSERT_EQ(a.result, DB_OK);
    EXPECT_EQ(Slice(a.bytes, 6, 51), PageFormat(*FindPageFormat(9, 0)));
    EXPECT_EQ(Slice(a.bytes, 57, 7), Hex("1B 28 50 02 00 01 00"));
}

TEST_F(JobSetupSequence, A5HasNoBorderlessVariant)
{
    Request plain, borderless;
    plain.Set(28, 11).Set(81, 0);
    borderless.Set(28, 11).Set(81, 1);
    Answer a = JobSetup(plain), b = JobSetup(borderless);
    ASSERT_EQ(a.result, DB_OK);
    ASSERT_EQ(b.result, DB_OK);
    EXPECT_EQ(a.bytes, b.bytes);
}

TEST_F(JobSetupSequence, EscLPiecesFollowSetting7TheMediaClassAndTheMedia)
{
    std::vector<LONG> media(std::begin(kMedia), std::end(kMedia));
    media.push_back(999);
    for (LONG s7 : {7, 263, 0})
        for (LONG s106 : {0, 1, 2})
            for (LONG s118 = 0; s118 <= 5; ++s118)
                for (LONG paper : {43, 69, 9})
                    for (LONG s5 : media) {
                        Request job;
                        job.Set(7, s7).Set(106, s106).Set(118, s118).Set(28, paper).Set(5, s5);
                        Answer a = JobSetup(job);
                        ASSERT_EQ(a.result, DB_OK);
                        size_t head = 6 + 51 + 7;
                        EXPECT_EQ(Dump(Slice(a.bytes, head, 16)),
                                  Dump(ExpectedEscL(s7, s106, s118, paper, s5)))
                            << "s7 " << s7 << " s106 " << s106 << " s118 " << s118 << " paper "
                            << paper << " media " << s5;
                    }
}

TEST_F(JobSetupSequence, ARequestTooShortForItsSelectorsFailsWhole)
{
    Request enough(107), tooShort(106);
    enough.Set(28, 9);
    tooShort.Set(28, 9);
    EXPECT_EQ(JobSetup(enough).result, DB_OK);
    EXPECT_EQ(JobSetup(tooShort).result, DB_NO_SETTINGS);
}

} // namespace
