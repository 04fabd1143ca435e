// Decoding of the printer's media report and classification of the paper.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "media.h"
#include "prnmodel.h"

namespace
{

struct DecodeCase {
    const wchar_t* text;
    DWORD flags;
    DWORD mediaClass;
    DWORD headerLow;
    DWORD headerHigh;
};

class MediaReportDecode : public ::testing::TestWithParam<DecodeCase>
{
};

TEST_P(MediaReportDecode, FillsEveryDecodedField)
{
    const DecodeCase& c = GetParam();
    MediaInfo info;
    memset(&info, 0xA5, sizeof info);
    DWORD size = sizeof info;
    ASSERT_EQ(GetMediaInfo(c.text, &info, &size), 1);
    EXPECT_EQ(size, 28u);
    EXPECT_EQ(info.valid, 1u);
    EXPECT_EQ(info.flags, c.flags);
    EXPECT_EQ(info.mediaClass, c.mediaClass);
    EXPECT_EQ(info.headerLow, c.headerLow);
    EXPECT_EQ(info.headerHigh, c.headerHigh);
}

INSTANTIATE_TEST_SUITE_P(
    Reports, MediaReportDecode,
    ::testing::Values(
        // All four sensor bytes saturated: bit 31 joins the copied flag bits.
        DecodeCase{L"0113FFFFFFFF", 0x80000013u, 1, 1, 0},
        DecodeCase{L"0200281E0A05", 0x00, 2, 2, 0},
        DecodeCase{L"0200281E3305", 0x00, 1, 2, 0},         // b4 = 51 > 50
        DecodeCase{L"0100283C0A14", 0x00, 3, 1, 0},         // K = 36 < 60
        DecodeCase{L"010028240A14", 0x00, 1, 1, 0},         // b3 = 36 must exceed K
        DecodeCase{L"0200283C0A14", 0x00, 3, 2, 0},         // K = 56 < 60
        DecodeCase{L"020028380A14", 0x00, 1, 2, 0},         // b3 = 56 = K
        DecodeCase{L"010005000000", 0x00, 4, 1, 0},         // b2 = 5
        DecodeCase{L"030005000000", 0x00, 1, 3, 0},         // b0 checked first
        DecodeCase{L"01FF28500A14", 0xF3, 1, 1, 0},         // bits 2, 3 dropped; b3 = 80 > 79
        DecodeCase{L"A1C07850FA78", 0xC0, 1, 1, 0xA},       // b0 = A1 is neither 1 nor 2
        DecodeCase{L"02002807FF0B", 0x00, 1, 2, 0},         // b4 = 255 with b5 = 11
        DecodeCase{L"020078000078", 0x00, 1, 2, 0},         // b2 = 120 > 119
        DecodeCase{L"020077000078", 0x00, 1, 2, 0},         // b5 = 120 > 119
        DecodeCase{L"02000700004F", 0x00, 1, 2, 0},         // b2 = 7, b3 = 0
        DecodeCase{L"02000600004F", 0x00, 4, 2, 0},         // b2 = 6
        DecodeCase{L"0200774F0077", 0x00, 3, 2, 0},         // b3 = 79 is the upper bound
        DecodeCase{L"0113FFFFFFFFX", 0x80000013u, 1, 1, 0}, // 13 characters: the 13th ignored
        // Fields that are not hexadecimal decode to the digits before the
        // first bad character.
        DecodeCase{L"1G0Z05zz00zz", 0x00, 4, 1, 0},
        DecodeCase{L"ab13FFFFFFfF", 0x80000013u, 1, 0xB, 0xA}),
    // Each case is named by the report it decodes.
    [](const ::testing::TestParamInfo<DecodeCase>& info) {
        std::string name;
        for (const wchar_t* p = info.param.text; *p; ++p)
            name += static_cast<char>(*p);
        return name;
    });

TEST(MediaReport, KeepsTheCallersReservedFields)
{
    MediaInfo info;
    memset(&info, 0x5A, sizeof info);
    DWORD size = 64;
    ASSERT_EQ(GetMediaInfo(L"0200281E0A05", &info, &size), 1);
    EXPECT_EQ(size, 28u);
    const BYTE* raw = reinterpret_cast<const BYTE*>(&info);
    for (int i = 20; i < 28; ++i)
        EXPECT_EQ(raw[i], 0x5A) << "byte " << i;
}

TEST(MediaReport, RejectsMissingArgumentsAndShortText)
{
    MediaInfo info;
    memset(&info, 0x33, sizeof info);
    MediaInfo untouched = info;
    DWORD size = 28;
    EXPECT_EQ(GetMediaInfo(nullptr, &info, &size), 0);
    EXPECT_EQ(GetMediaInfo(L"0200281E0A05", nullptr, &size), 0);
    EXPECT_EQ(GetMediaInfo(L"0200281E0A05", &info, nullptr), 0);
    EXPECT_EQ(GetMediaInfo(L"0200281E0A0", &info, &size), 0);
    EXPECT_EQ(GetMediaInfo(L"", &info, &size), 0);
    EXPECT_EQ(size, 28u);
    EXPECT_EQ(memcmp(&info, &untouched, sizeof info), 0);
}

TEST(MediaReport, ShortSizeReportsTheNeededSizeOnly)
{
    MediaInfo info;
    memset(&info, 0x33, sizeof info);
    MediaInfo untouched = info;
    DWORD size = 27;
    EXPECT_EQ(GetMediaInfo(L"0200281E0A05", &info, &size), 0);
    EXPECT_EQ(size, 28u);
    EXPECT_EQ(memcmp(&info, &untouched, sizeof info), 0);
    size = 0;
    EXPECT_EQ(GetMediaInfo(L"0200281E0A05", &info, &size), 0);
    EXPECT_EQ(size, 28u);
}

TEST(MediaClass, NoBytesIsClassOne)
{
    EXPECT_EQ(ClassifyMedia(nullptr), 1);
}

// The thresholds of each step, one byte either side.
TEST(MediaClass, BoundariesOfEveryStep)
{
    struct {
        BYTE b[6];
        LONG mediaClass;
    } cases[] = {
        {{1, 0, 6, 0, 0, 0}, 4},     {{1, 0, 7, 0, 0, 0}, 2},     {{2, 0, 119, 0, 50, 11}, 2},
        {{2, 0, 120, 0, 0, 0}, 1},   {{2, 0, 40, 0, 51, 11}, 1},  {{2, 0, 40, 60, 0, 12}, 3},
        {{2, 0, 40, 60, 0, 119}, 3}, {{2, 0, 40, 60, 0, 120}, 1}, {{1, 0, 40, 37, 0, 20}, 3},
        {{1, 0, 40, 36, 0, 20}, 1},  {{2, 0, 40, 57, 0, 20}, 3},  {{2, 0, 40, 56, 0, 20}, 1},
        {{2, 0, 40, 79, 0, 20}, 3},  {{2, 0, 40, 80, 0, 20}, 1},  {{0, 0, 0, 0, 0, 0}, 1},
        {{0x11, 0, 5, 0, 0, 0}, 1},  {{1, 0xFF, 0, 0, 0, 0}, 4},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClassifyMedia(c.b), c.mediaClass)
            << int(c.b[0]) << " " << int(c.b[2]) << " " << int(c.b[3]) << " " << int(c.b[4]) << " "
            << int(c.b[5]);
}

} // namespace
