// The kernel32, spooler and C runtime stand-ins behave as the platform's
// functions do where the library relies on them.
#include <winspool.h>

#include "store_fixture.h"

namespace
{

class StandInTest : public StoreTest
{
};

TEST_F(StandInTest, PrinterDataSizeProtocol)
{
    UmAddPrinter("Tessa");
    UmSetPrinterString("Tessa", "QmxSLM_CMS", "0113");
    std::u16string printerName = Wide("Tessa");
    std::u16string valueName = Wide("qmxslm_cms");
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(W(printerName)), &printer, nullptr));
    LPWSTR value = const_cast<LPWSTR>(W(valueName));

    DWORD type = 0, needed = 0;
    EXPECT_EQ(GetPrinterDataW(printer, value, &type, nullptr, 0, &needed), ERROR_MORE_DATA);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(needed, 10u);
    BYTE buffer[10];
    EXPECT_EQ(GetPrinterDataW(printer, value, &type, buffer, 9, &needed), ERROR_MORE_DATA);
    EXPECT_EQ(GetPrinterDataW(printer, value, &type, buffer, 10, &needed), ERROR_SUCCESS);
    EXPECT_EQ(Narrow(buffer), "0113");

    std::u16string missing = Wide("QmxSLM_SSR");
    EXPECT_EQ(GetPrinterDataW(printer, const_cast<LPWSTR>(W(missing)), &type, buffer, 10, &needed),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(ClosePrinter(printer));
    EXPECT_EQ(GetPrinterDataW(printer, value, &type, buffer, 10, &needed),
              static_cast<DWORD>(ERROR_INVALID_HANDLE))
        << "a closed handle is no longer usable";
    EXPECT_FALSE(ClosePrinter(printer));
    EXPECT_EQ(UmPrinterBadCloses(), 1u);
    UmReset(); // the deliberate bad close is not a leak of this test
}

TEST_F(StandInTest, OpenPrinterFailures)
{
    UmAddPrinter("Tessa");
    std::u16string name = Wide("Tessa");
    HANDLE printer = nullptr;
    UmFailOpenPrinter(TRUE);
    EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(W(name)), &printer, nullptr));
    UmFailOpenPrinter(FALSE);
    std::u16string unknown = Wide("Nobody");
    EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(W(unknown)), &printer, nullptr));
    EXPECT_EQ(printer, nullptr);
    EXPECT_EQ(UmPrinterOpenFailures(), 2u);
}

TEST_F(StandInTest, GlobalAllocFailureInjectionAndZeroFill)
{
    UmGlobalFailAfter(1);
    void* first = GlobalAlloc(GPTR, 8);
    void* second = GlobalAlloc(GPTR, 8);
    void* third = GlobalAlloc(GMEM_FIXED, 8);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(static_cast<BYTE*>(first)[7], 0);
    EXPECT_NE(static_cast<BYTE*>(third)[0], 0) << "without GMEM_ZEROINIT a block is not cleared";
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, 8), nullptr);
    EXPECT_EQ(UmGlobalAllocCalls(), 4u);
    EXPECT_EQ(GlobalFree(first), nullptr);
    EXPECT_EQ(GlobalFree(third), nullptr);
    EXPECT_EQ(GlobalFree(nullptr), nullptr);
}

TEST_F(StandInTest, LocaleAndClock)
{
    UmSetCountryCode("358");
    char text[8] = {};
    EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, nullptr, 0), 4);
    EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, text, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, text, 8), 4);
    EXPECT_STREQ(text, "358");

    SYSTEMTIME set{2027, 6, 2, 15, 22, 30, 5, 0};
    UmSetLocalTime(&set);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    EXPECT_EQ(now.wYear, 2027);
    EXPECT_EQ(now.wHour, 22);
    EXPECT_EQ(now.wMinute, 30);
}

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
