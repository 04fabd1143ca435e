// Printer-data and locale reads, alone and as selectors, over the small model.
#include <winspool.h>

#include <cstring>

#include "store_fixture.h"

extern const ModelTables StoreTestTables;

namespace
{

class PrinterDataTest : public StoreTest
{
  protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        SwapModelTables(&StoreTestTables);
        UmAddPrinter("Tessa");
        ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(W(name_)), &printer_, nullptr));
    }
    void TearDown() override
    {
        ClosePrinter(printer_);
        StoreTest::TearDown();
    }

    // Asks key `id` of the small model with the open printer (or none).
    LONG AskByte(DWORD id, HANDLE printer, LONG* value)
    {
        DataBaseRequest req{};
        req.Printer = printer;
        BYTE buffer[4] = {};
        DWORD size = 0;
        LONG result = XDB_AccessRootDataBase(id, &req, sizeof buffer, buffer, &size);
        if (result == DB_OK)
            *value = Longs(buffer, size).at(0);
        return result;
    }

    std::u16string name_ = Wide("Tessa");
    HANDLE printer_ = nullptr;
};

TEST_F(PrinterDataTest, DwordReadFailures)
{
    UmSetPrinterDword("Tessa", "QmxUI_SilentModeEnable", 1);
    UmSetPrinterString("Tessa", "QmxSLM_CMS", "0113FFFFFFFF");
    LONG value = 77;
    EXPECT_EQ(ReadPrinterDataDword(printer_, 0, 153, nullptr), 0);
    EXPECT_EQ(ReadPrinterDataDword(printer_, 0, 13, &value), 0) << "value not stored";
    EXPECT_EQ(ReadPrinterDataDword(printer_, 0, 999, &value), 0) << "code without a name";
    EXPECT_EQ(ReadPrinterDataDword(nullptr, 0, 153, &value), 0) << "no printer";
    EXPECT_EQ(ReadPrinterDataDword(printer_, 0, 231, &value), 0) << "longer than 4 bytes";
    UmGlobalFailAll(TRUE);
    EXPECT_EQ(ReadPrinterDataDword(printer_, 0, 153, &value), 0) << "name buffer not allocated";
    UmGlobalFailAll(FALSE);
    EXPECT_EQ(value, 77) << "a failed read must not store";
}

TEST_F(PrinterDataTest, NameWithoutTerminatorStillNamesTheValue)
{
    UmSetPrinterDword("Tessa", "Qm", 7);
    LONG value = 0;
    EXPECT_EQ(ReadPrinterDataDword(printer_, 0, 500, &value), 1);
    EXPECT_EQ(value, 7);
}

TEST_F(PrinterDataTest, StringIsReadIntoACallerOwnedBlock)
{
    UmSetPrinterString("Tessa", "QmxSLM_CMS", "0113FFFFFFFF");
    WCHAR* text = ReadPrinterDataString(printer_, 0, 231);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(Narrow(text), "0113FFFFFFFF");
    EXPECT_EQ(UmGlobalOutstanding(), 1u) << "only the returned block stays";
    GlobalFree(text);
}

TEST_F(PrinterDataTest, StoredStringWithoutTerminatorComesBackTerminated)
{
    const BYTE raw[] = {'A', 0, 'B', 0, 'C'}; // two units and half a third
    for (DWORD size : {4u, 5u}) {
        UmSetPrinterValue("Tessa", "QmxSLM_CMS", REG_SZ, raw, size);
        WCHAR* text = ReadPrinterDataString(printer_, 0, 231);
        ASSERT_NE(text, nullptr) << size;
        const BYTE* bytes = reinterpret_cast<const BYTE*>(text);
        EXPECT_EQ(Narrow(text, 3).substr(0, 2), "AB") << size;
        // The first full unit after the stored bytes is a terminator.
        DWORD end = (size + 1) & ~1u;
        EXPECT_EQ(bytes[end], 0) << size;
        EXPECT_EQ(bytes[end + 1], 0) << size;
        GlobalFree(text);
    }
}

// On Windows 98 and Me the wide GetPrinterData is a stub: the values come
// through the ANSI form, text converted back to exactly the UTF-16 the
// wide form gives (U+2122 is byte 0x99 of the system code page), and sized
// as that UTF-16, so the caller's second call has room for it.
TEST_F(PrinterDataTest, OnWindows98ValuesComeThroughTheAnsiForm)
{
    const BYTE text[] = {'0', 0, 0x22, 0x21, 0xE9, 0, 0, 0};
    UmSetPrinterValue("Tessa", "QmxSLM_CMS", REG_SZ, text, sizeof text);
    UmSetPrinterDword("Tessa", "QmxUI_SilentModeEnable", 5);
    UmPlayWindows9xSpooler(TRUE);
    WCHAR* read = ReadPrinterDataString(printer_, 0, 231);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(std::memcmp(read, text, sizeof text), 0);
    GlobalFree(read);
    LONG value = 0;
    EXPECT_EQ(ReadPrinterDataDword(printer_, 0, 153, &value), 1);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(ReadPrinterDataDword(printer_, 0, 13, &value), 0) << "missing stays missing";
}

TEST_F(PrinterDataTest, StringReadFailures)
{
    UmSetPrinterDword("Tessa", "QmxUI_SilentModeEnable", 1);
    UmSetPrinterValue("Tessa", "QmxSLM_CMS", REG_SZ, nullptr, 0);
    EXPECT_EQ(ReadPrinterDataString(printer_, 0, 153), nullptr) << "REG_DWORD is not a string";
    EXPECT_EQ(ReadPrinterDataString(printer_, 0, 231), nullptr) << "empty value";
    EXPECT_EQ(ReadPrinterDataString(printer_, 0, 13), nullptr) << "missing value";
    EXPECT_EQ(ReadPrinterDataString(printer_, 0, 999), nullptr) << "code without a name";
    EXPECT_EQ(ReadPrinterDataString(nullptr, 0, 231), nullptr) << "no printer";
    UmSetPrinterString("Tessa", "QmxSLM_CMS", "0113FFFFFFFF");
    UmFailPrinterData(ERROR_INVALID_HANDLE);
    EXPECT_EQ(ReadPrinterDataString(printer_, 0, 231), nullptr);
}

TEST_F(PrinterDataTest, EveryFailedAllocationIsCleanedUp)
{
    UmSetPrinterString("Tessa", "QmxSLM_CMS", "0113FFFFFFFF");
    UmSetPrinterDword("Tessa", "QmxUI_SilentModeEnable", 1);
    unsigned long before = UmGlobalOutstanding();
    for (long k = 0; k < 4; ++k) {
        UmGlobalFailAfter(k);
        WCHAR* text = ReadPrinterDataString(printer_, 0, 231);
        if (text != nullptr) {
            EXPECT_EQ(Narrow(text), "0113FFFFFFFF");
            GlobalFree(text);
        }
        UmGlobalFailAfter(k);
        LONG value = 0;
        LONG read = ReadPrinterDataDword(printer_, 0, 153, &value);
        EXPECT_TRUE(read == 0 || value == 1);
        UmGlobalFailAfter(-1);
        EXPECT_EQ(UmGlobalOutstanding(), before) << "after failing allocation " << k;
    }
}

TEST_F(PrinterDataTest, PrinterDataSelectorTakesTheValueOrItsTrailingDefault)
{
    struct Case {
        const char* what;
        bool stored;
        DWORD value;
        DWORD id;
        LONG result;
        LONG answer;
    };
    const Case cases[] = {
        {"value 1", true, 1, 40, DB_OK, 1},
        {"value 2", true, 2, 40, DB_OK, 2},
        {"other value reaches the default", true, 5, 40, DB_OK, 0},
        {"missing value takes the default", false, 0, 40, DB_OK, 0},
        {"value 1 without default", true, 1, 41, DB_OK, 1},
        {"other value without default", true, 5, 41, DB_NO_ANSWER, 0},
        {"missing value without default", false, 0, 41, DB_NO_ANSWER, 0},
    };
    for (const Case& c : cases) {
        if (c.stored)
            UmSetPrinterDword("Tessa", "QmxUI_SilentModeEnable", c.value);
        else
            UmRemovePrinterValue("Tessa", "QmxUI_SilentModeEnable");
        LONG answer = -99;
        ASSERT_EQ(AskByte(c.id, printer_, &answer), c.result) << c.what;
        if (c.result == DB_OK) {
            EXPECT_EQ(answer, c.answer) << c.what;
        }
    }
}

TEST_F(PrinterDataTest, UnreadablePrinterDataCountsAsMissing)
{
    UmSetPrinterDword("Tessa", "QmxUI_SilentModeEnable", 1);
    LONG answer = -99;
    EXPECT_EQ(AskByte(40, nullptr, &answer), DB_OK) << "no printer handle";
    EXPECT_EQ(answer, 0);
    UmFailPrinterData(ERROR_INVALID_HANDLE);
    EXPECT_EQ(AskByte(40, printer_, &answer), DB_OK);
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(AskByte(41, printer_, &answer), DB_NO_ANSWER);
    UmFailPrinterData(0);
    UmGlobalFailAll(TRUE);
    EXPECT_EQ(AskByte(40, printer_, &answer), DB_OK) << "name buffer not allocated";
    EXPECT_EQ(answer, 0);
    UmGlobalFailAll(FALSE);
}

TEST_F(PrinterDataTest, PrinterDataSelectorWithoutARequestTakesItsDefault)
{
    EntryDescriptor leaf{};
    ASSERT_EQ(FindEntry(40, nullptr, &leaf), DB_OK);
    EXPECT_EQ(FindEntry(41, nullptr, &leaf), DB_NO_ANSWER);
}

TEST_F(PrinterDataTest, PrinterDataSelectorNeedsTheNameEntry)
{
    TableBuilder t;
    t.Key(40, t.Node(EntryType::SelectByPrinterData, 153,
                     {t.Default(t.ByteLeaf(EntryType::SignedBytes, 40, {0}))}));
    Use(t);
    DataBaseRequest req{};
    req.Printer = printer_;
    EntryDescriptor leaf{};
    EXPECT_EQ(FindEntry(40, &req, &leaf), DB_UNKNOWN_ID);
}

TEST_F(PrinterDataTest, CountryCode)
{
    struct Case {
        const char* text;
        int failure;
        DWORD tag;
        LONG result;
        LONG value;
    };
    const Case cases[] = {
        {"81", 0, 0x500F, DB_OK, 81},    {"1", 0, 0x7777500F, DB_OK, 1},
        {"49", 0, 0x5010, DB_FAILED, 0}, {"49", 1, 0x500F, DB_FAILED, 0},
        {"49", 2, 0x500F, DB_FAILED, 0}, {"", 0, 0x500F, DB_OK, 0},
    };
    for (const Case& c : cases) {
        UmSetCountryCode(c.text);
        UmSetLocaleFailure(c.failure);
        LONG value = -99;
        EXPECT_EQ(GetUserCountryCode(c.tag, &value), c.result) << c.text << " fail " << c.failure;
        if (c.result == DB_OK) {
            EXPECT_EQ(value, c.value);
        } else {
            EXPECT_EQ(value, -99) << "a failed query must not store";
        }
    }
    UmSetLocaleFailure(0);
    EXPECT_EQ(GetUserCountryCode(0x500F, nullptr), DB_FAILED);
    UmGlobalFailAll(TRUE);
    LONG value = 0;
    EXPECT_EQ(GetUserCountryCode(0x500F, &value), DB_FAILED);
    UmGlobalFailAll(FALSE);
}

TEST_F(PrinterDataTest, LocaleSelector)
{
    struct Case {
        const char* country;
        LONG result;
        const char* answer;
    };
    const Case cases[] = {
        {"81", DB_OK, "Japan"},
        {"1", DB_OK, "North America"},
        {"2", DB_OK, "North America"},
        {"44", DB_OK, "elsewhere"},
    };
    for (const Case& c : cases) {
        UmSetCountryCode(c.country);
        DataBaseRequest req{};
        BYTE buffer[64] = {};
        DWORD size = 0;
        ASSERT_EQ(XDB_AccessRootDataBase(42, &req, sizeof buffer, buffer, &size), c.result);
        EXPECT_EQ(Narrow(buffer), c.answer);
    }
    UmSetLocaleFailure(2);
    DataBaseRequest req{};
    DWORD size = 0;
    EXPECT_EQ(XDB_AccessRootDataBase(42, &req, 0, nullptr, &size), DB_FAILED);
}

} // namespace
