// The clock block and the silent-mode block by the stored silent period.
#include "request.h"

#include <winspool.h>

#include "store.h"

namespace
{

// A model holding only Root entry 8 for the silent period's value code, so
// the block is tested apart from the rest of the model data.
const char kSilentName[] = "QmxUI_SilentModeTime";
const EntryDescriptor kNameEntries[] = {
    {(11u << 24) | 1, 1},                               // select on setting 0
    {(15u << 24) | 2, 154},                             // 154:
    {(7u << 24) | 0, (8u << 16) | sizeof(kSilentName)}, // text @8
};
const WORD kNameKeys[] = {8};
const DWORD kNameKeyEntries[] = {0};
const ModelTables kNameModel = {
    kNameEntries,
    3,
    kNameKeys,
    kNameKeyEntries,
    1,
    reinterpret_cast<const BYTE*>(kSilentName),
    sizeof(kSilentName),
    nullptr,
    0,
    nullptr,
    0,
    nullptr,
    0,
};

const std::vector<BYTE> kModeHeader = Hex("1B 5B 4B 02 00 00 1F");

SYSTEMTIME Clock(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME t{};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    return t;
}

void SetClock(WORD hour, WORD minute)
{
    SYSTEMTIME t = Clock(2026, 12, 7, hour, minute, 30);
    UmSetLocalTime(&t);
}

using SetTimeBlock = ModelDbTest;

TEST_F(SetTimeBlock, CarriesTheLocalTimeInTheTemplate)
{
    SYSTEMTIME t = Clock(2026, 3, 4, 5, 6, 7);
    UmSetLocalTime(&t);
    Answer r = Build(5, nullptr);
    ASSERT_EQ(r.result, DB_OK);
    EXPECT_EQ(r.bytes, Concat({kModeHeader, Ascii("ZRLSTART\nControlMode=Common\nSetTime="
                                                  "20260304050607\nZRLEND\n")}));
}

TEST_F(SetTimeBlock, TimeThatDoesNotFormatToFourteenDigitsFailsUntouched)
{
    SYSTEMTIME t = Clock(10000, 1, 1, 0, 0, 0);
    UmSetLocalTime(&t);
    Answer r = Build(5, nullptr, 65);
    EXPECT_EQ(r.result, DB_FAILED);
    EXPECT_TRUE(AllFill(r.bytes));
}

// A printer "P" whose stored silent period is start..end (minutes).
class SilentBlock : public ModelDbTest
{
  protected:
    void SetUp() override
    {
        ModelDbTest::SetUp();
        previous_ = SwapModelTables(&kNameModel);
        UmAddPrinter("P");
        WCHAR name[] = L"P";
        ASSERT_TRUE(OpenPrinterW(name, &printer_, nullptr));
        request_.record.Printer = printer_;
    }
    void TearDown() override
    {
        ClosePrinter(printer_);
        SwapModelTables(previous_);
        ModelDbTest::TearDown();
    }
    void Period(WORD start, WORD end)
    {
        UmSetPrinterDword("P", "QmxUI_SilentModeTime", (DWORD(end) << 16) | start);
    }
    std::string Answer()
    {
        ::Answer r = Build(7, request_.Get(), 56);
        EXPECT_EQ(r.result, DB_OK);
        EXPECT_EQ(r.size, 56u);
        if (r.bytes == Concat({kModeHeader, Ascii("ZRLSTART\nControlMode=Common\nSetSilent=ON\n"
                                                  "\nZRLEND\n")}))
            return "ON";
        if (r.bytes == Concat({kModeHeader, Ascii("ZRLSTART\nControlMode=Common\nSetSilent=OFF\n"
                                                  "ZRLEND\n")}))
            return "OFF";
        return "garbage";
    }

    HANDLE printer_ = nullptr;
    const ModelTables* previous_ = nullptr;
    Request request_{0};
};

struct WindowCase {
    WORD start, end;
    WORD hour, minute;
    const char* expected;
};

TEST_F(SilentBlock, PeriodsIncludeBothEndsAndMayRunOverMidnight)
{
    const WindowCase cases[] = {
        {1320, 420, 23, 30, "ON"}, {1320, 420, 0, 0, "ON"},  {1320, 420, 7, 0, "ON"},
        {1320, 420, 22, 0, "ON"},  {1320, 420, 7, 1, "OFF"}, {1320, 420, 21, 59, "OFF"},
        {540, 1020, 9, 0, "ON"},   {540, 1020, 17, 0, "ON"}, {540, 1020, 17, 1, "OFF"},
        {540, 1020, 8, 59, "OFF"}, {600, 600, 10, 0, "OFF"}, {0, 0, 0, 0, "OFF"},
        {0, 1439, 23, 59, "ON"},   {1439, 0, 12, 0, "OFF"},
    };
    for (const WindowCase& c : cases) {
        Period(c.start, c.end);
        SetClock(c.hour, c.minute);
        EXPECT_EQ(Answer(), c.expected)
            << c.start << ".." << c.end << " at " << c.hour << ":" << c.minute;
    }
}

TEST_F(SilentBlock, EveryFailureToReadThePeriodGivesOff)
{
    SetClock(23, 30);

    // Value missing.
    EXPECT_EQ(Answer(), "OFF");

    Period(1320, 420);
    ASSERT_EQ(Answer(), "ON");

    UmFailPrinterData(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Answer(), "OFF");
    UmFailPrinterData(0);

    UmGlobalFailAll(TRUE);
    EXPECT_EQ(Answer(), "OFF");
    UmGlobalFailAll(FALSE);

    // No printer handle at all.
    request_.record.Printer = nullptr;
    EXPECT_EQ(Answer(), "OFF");
}

TEST_F(SilentBlock, ShortBufferReportsTheSizeAndLeavesItUntouched)
{
    Period(0, 1439);
    ::Answer r = Build(7, request_.Get(), 55);
    EXPECT_EQ(r.result, DB_MORE_DATA);
    EXPECT_EQ(r.size, 56u);
    EXPECT_TRUE(AllFill(r.bytes));
    EXPECT_EQ(UmPrinterDataCalls(), 0u);
}

} // namespace
