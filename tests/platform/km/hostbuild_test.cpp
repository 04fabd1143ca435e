#include <gtest/gtest.h>

// The host build's wide characters must match the platform's WCHAR.
TEST(HostBuild, WideCharactersAreSixteenBits)
{
    static_assert(sizeof(wchar_t) == 2, "host build must use 16-bit wide characters");
    const wchar_t* text = L"LPT";
    EXPECT_EQ(text[2], L'T');
}
