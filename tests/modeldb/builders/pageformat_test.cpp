// Page geometry of the user-defined paper.
#include "request.h"

namespace
{

using PageFormat = ModelDbTest;

// The stored page-format command layout, as the job setup sequence holds it
// for the standard sizes.
std::vector<BYTE> StoredCommand(int h, int v, int t, int r, int d, int o)
{
    std::vector<BYTE> out = Hex("1B 28 70 2E 00");
    auto be16 = [&](int x) {
        out.push_back(BYTE(x >> 8));
        out.push_back(BYTE(x));
    };
    auto be32 = [&](int x) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(BYTE(unsigned(x) >> shift));
    };
    be16(h);
    be16(0);
    be16(v);
    be16(0);
    be32(0);
    be16(600);
    be32(80);
    be32(70);
    be32(t);
    be32(r);
    be32(0);
    be32(0);
    be32(d);
    be32(o);
    return out;
}

Answer PageFormatFor(LONG width, LONG length, LONG mode)
{
    Request request(98);
    request.Set(96, width).Set(97, length).Set(52, mode);
    return Build(1, request.Get());
}

TEST_F(PageFormat, A4WorkedExampleByteForByte)
{
    Answer r = PageFormatFor(21000, 29700, 0);
    ASSERT_EQ(r.result, DB_OK);
    EXPECT_EQ(r.bytes, Hex("1B 28 70 2E 00 02 AB 00 00 01 E0 00 00 00 00 00 00 02 58 00 00 00 50 "
                           "00 00 00 46 00 00 12 C0 00 00 1A AB 00 00 00 00 00 00 00 00 00 00 13 "
                           "61 00 00 1B 68"));
}

struct StoredCase {
    const char* name;
    LONG width, length;
    int h, v, t, r, d, o;
};

TEST_F(PageFormat, ReproducesTheStoredCommandsOfStandardSizes)
{
    const StoredCase cases[] = {
        {"A4", 21000, 29700, 683, 480, 4800, 6827, 4961, 7016},
        {"A3", 29700, 42000, 974, 686, 6856, 9733, 7016, 9922},
        {"100 x 148", 10000, 14800, 331, 221, 2202, 3308, 2363, 3497},
        {"A5", 14800, 21000, 478, 334, 3336, 4772, 3497, 4961},
        {"B5", 18200, 25700, 589, 414, 4139, 5882, 4300, 6071},
        {"329 x 483", 32900, 48300, 1123, 762, 7612, 11221, 7772, 11410},
        {"89 x 127", 8900, 12700, 282, 195, 1942, 2812, 2103, 3000},
    };
    for (const StoredCase& c : cases) {
        Answer r = PageFormatFor(c.width, c.length, 0);
        ASSERT_EQ(r.result, DB_OK) << c.name;
        EXPECT_EQ(r.bytes, StoredCommand(c.h, c.v, c.t, c.r, c.d, c.o)) << c.name;
    }
}

TEST_F(PageFormat, ModeFiveDropsTopAndBottomMargins)
{
    Answer r = PageFormatFor(21000, 29700, 5);
    ASSERT_EQ(r.result, DB_OK);
    EXPECT_EQ(r.bytes, StoredCommand(702, 480, 4800, 7016, 4961, 7016));
}

TEST_F(PageFormat, WidestPaperCapsWidthUnitsAndPrintableWidth)
{
    Answer r = PageFormatFor(32900, 29700, 0);
    ASSERT_EQ(r.result, DB_OK);
    EXPECT_EQ(std::vector<BYTE>(r.bytes.begin() + 9, r.bytes.begin() + 11), Hex("02 FA"));
    EXPECT_EQ(std::vector<BYTE>(r.bytes.begin() + 27, r.bytes.begin() + 31), Hex("00 00 1D BC"));
    // Wider still: both stay at their limits.
    Answer wider = PageFormatFor(40000, 29700, 0);
    EXPECT_EQ(std::vector<BYTE>(wider.bytes.begin() + 9, wider.bytes.begin() + 11), Hex("02 FA"));
    EXPECT_EQ(std::vector<BYTE>(wider.bytes.begin() + 27, wider.bytes.begin() + 31),
              Hex("00 00 1D BC"));
}

TEST_F(PageFormat, ExtremeSettingsStayDefined)
{
    // Out-of-range sizes wrap as 32-bit arithmetic does; they must not trap.
    for (LONG x : {0L, -1L, 2147483647L, -2147483647L - 1}) {
        EXPECT_EQ(PageFormatFor(x, x, 0).result, DB_OK);
        EXPECT_EQ(PageFormatFor(x, x, 5).result, DB_OK);
    }
}

TEST_F(PageFormat, PaperLengthInDots)
{
    Request request(98);
    request.Set(96, 21000).Set(97, 29700);
    Answer r = Build(4, request.Get());
    ASSERT_EQ(r.result, DB_OK);
    ASSERT_EQ(r.size, 4u);
    EXPECT_EQ(Native32(r.bytes, 0), 7016);
    request.Set(97, 42000);
    EXPECT_EQ(Native32(Build(4, request.Get()).bytes, 0), 9922);
}

struct AreaCase {
    LONG width;
    LONG expectedWidth;
};

TEST_F(PageFormat, PrintableAreaCapsOnlyAbove32900)
{
    const AreaCase cases[] = {{32000, 31320}, {32900, 32220}, {32901, 32220}, {50000, 32220}};
    for (const AreaCase& c : cases) {
        Request request(31);
        request.Set(29, c.width).Set(30, 29700);
        Answer r = Build(2, request.Get());
        ASSERT_EQ(r.result, DB_OK);
        EXPECT_EQ(Native32(r.bytes, 0), 340);
        EXPECT_EQ(Native32(r.bytes, 4), c.expectedWidth) << c.width;
        EXPECT_EQ(Native32(r.bytes, 8), 300);
        EXPECT_EQ(Native32(r.bytes, 12), 28900);
    }
}

TEST_F(PageFormat, MediaPrintableAreaFollowsTheMarginMode)
{
    struct {
        LONG mode;
        LONG top, length;
    } const cases[] = {{0, 300, 28900}, {4, 300, 28900}, {5, 0, 29700}};
    for (const auto& c : cases) {
        Request request(53);
        request.Set(25, 50000).Set(26, 29700).Set(52, c.mode);
        Answer r = Build(3, request.Get());
        ASSERT_EQ(r.result, DB_OK);
        EXPECT_EQ(Native32(r.bytes, 0), 340);
        EXPECT_EQ(Native32(r.bytes, 4), 49320); // no cap here
        EXPECT_EQ(Native32(r.bytes, 8), c.top) << c.mode;
        EXPECT_EQ(Native32(r.bytes, 12), c.length) << c.mode;
    }
}

TEST_F(PageFormat, CodePairIgnoresTheSettings)
{
    Request request(111);
    for (LONG& s : request.settings)
        s = -7;
    Answer r = Build(12, request.Get());
    ASSERT_EQ(r.result, DB_OK);
    EXPECT_EQ(Native32(r.bytes, 0), 33);
    EXPECT_EQ(Native32(r.bytes, 4), 161);
}

} // namespace
