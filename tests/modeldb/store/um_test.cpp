// The C runtime's wide-string routines of the stand-in work on 16-bit units
// with the platform's 32-bit long, as the media decoder relies on.
#include "store_fixture.h"

namespace
{

TEST(WideStrings, RoutinesWorkOnSixteenBitUnits)
{
    const wchar_t* hex = L"0x13FF";
    wchar_t* end = nullptr;
    EXPECT_EQ(wcslen(L"QmxSLM_CMS"), 10u);
    EXPECT_EQ(wcstol(hex, &end, 16), 0x13FF);
    EXPECT_EQ(end, hex + 6);
    EXPECT_EQ(wcstol(L"0xZZ", &end, 16), 0) << "stops at the first non-digit";
    EXPECT_EQ(wcstol(L"-42", nullptr, 10), -42);
    EXPECT_EQ(wcstol(L"99999999999", nullptr, 10), 2147483647L) << "32-bit long clamps";
    wchar_t buffer[8];
    wcsncpy(buffer, L"AB", 8);
    EXPECT_EQ(buffer[2], 0);
    EXPECT_EQ(buffer[7], 0);
    wcscpy(buffer, L"AB");
    wcscat(buffer, L"CD");
    EXPECT_EQ(wcscmp(buffer, L"ABCD"), 0);
    EXPECT_LT(wcscmp(L"AB", L"AC"), 0);
}

} // namespace
