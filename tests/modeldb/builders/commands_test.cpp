// The computed commands ESC ( $ and ESC ( M.
#include "request.h"

namespace
{

using Commands = ModelDbTest;

Answer Dollar(LONG selector, LONG flags, LONG parameter)
{
    Request request(113);
    request.Set(112, selector).Set(79, flags).Set(80, parameter);
    return Build(6, request.Get());
}

// a, e, f, c of ESC ( $ as four big-endian 16-bit fields.
std::vector<BYTE> DollarBytes(int a, int e, int f, int c)
{
    std::vector<BYTE> out = Hex("1B 28 24 09 00 01");
    for (int x : {a, e, f, c}) {
        out.push_back(BYTE(x >> 8));
        out.push_back(BYTE(x));
    }
    return out;
}

struct FlagCase {
    LONG flags; // bits 20..23 of setting 79
    int e, f;
};

TEST_F(Commands, DollarForSelectorOneOverEveryFlagCombination)
{
    const LONG b20 = 0x100000, b21 = 0x200000, b22 = 0x400000, b23 = 0x800000;
    const FlagCase cases[] = {
        // Without bit 23 the parameter is not used.
        {0, 0xFFFF, 0},
        {b20, 0xFFFF, 0},
        {b21, 0xFFFF, 0},
        {b22, 0xFFFF, 0},
        {b20 | b21 | b22, 0xFFFF, 0},
        // With it: 1 when bits 20 and 22 agree, 0x10 for bit 22, 0x40 for bit 21.
        {b23, 0x1234, 0x01},
        {b23 | b20, 0x1234, 0x00},
        {b23 | b21, 0x1234, 0x41},
        {b23 | b21 | b20, 0x1234, 0x40},
        {b23 | b22, 0x1234, 0x10},
        {b23 | b22 | b20, 0x1234, 0x11},
        {b23 | b22 | b21, 0x1234, 0x50},
        {b23 | b22 | b21 | b20, 0x1234, 0x51},
    };
    for (const FlagCase& c : cases) {
        Answer r = Dollar(1, c.flags | 0x0F, 0x71234);
        ASSERT_EQ(r.result, DB_OK);
        EXPECT_EQ(r.bytes, DollarBytes(1, c.e, c.f, 0)) << std::hex << c.flags;
    }
}

TEST_F(Commands, DollarForOtherSelectors)
{
    EXPECT_EQ(Dollar(2, 0xF00000, 5).bytes, DollarBytes(2, 0, 0, 2));
    for (LONG selector : {0L, 3L, -1L})
        EXPECT_EQ(Dollar(selector, 0xF00000, 5).bytes, DollarBytes(0, 0, 0, 0)) << selector;
}

TEST_F(Commands, MCommandCarriesLowBytesOnlyWhenEnabled)
{
    Request request(119);
    request.Set(106, 1).Set(109, 0x1234).Set(118, 0x1FF);
    EXPECT_EQ(Build(14, request.Get()).bytes, Hex("1B 28 4D 03 00 01 34 FF"));
    for (LONG other : {0L, 2L, -1L}) {
        request.Set(106, other);
        EXPECT_EQ(Build(14, request.Get()).bytes, Hex("1B 28 4D 03 00 00 00 00")) << other;
    }
}

} // namespace
