// The dispatcher, request validation and the size protocol of every builder.
#include "request.h"

namespace
{

using Dispatch = ModelDbTest;

TEST_F(Dispatch, IdsWithoutBuilderYieldNothingAndWriteNothing)
{
    Request request;
    for (DWORD id : {0u, 8u, 9u, 10u, 11u, 15u, 16u, 0xFFFFu, 0x10000u}) {
        Answer r = Build(id, request.Get());
        EXPECT_EQ(r.result, DB_NO_ANSWER) << id;
        EXPECT_EQ(r.size, kUntouchedSize) << id;
        EXPECT_TRUE(AllFill(r.bytes)) << id;
    }
}

TEST_F(Dispatch, OnlyLowSixteenBitsSelectTheBuilder)
{
    Request request;
    request.Set(96, 21000).Set(97, 29700);
    Answer high = Build(0x10001, request.Get());
    Answer plain = Build(1, request.Get());
    ASSERT_EQ(high.result, DB_OK);
    EXPECT_EQ(high.size, 51u);
    EXPECT_EQ(high.bytes, plain.bytes);
    EXPECT_EQ(Build(0x20004, request.Get()).size, 4u);
}

struct SizeCase {
    DWORD id;
    DWORD size;
};

TEST_F(Dispatch, SizeQueryReportsTheFixedSizeAndShortBuffersGetNothing)
{
    const SizeCase cases[] = {{1, 51}, {2, 16}, {3, 16}, {4, 4}, {5, 65},
                              {6, 14}, {7, 56}, {12, 8}, {14, 8}};
    Request request;
    for (const SizeCase& c : cases) {
        DWORD size = kUntouchedSize;
        EXPECT_EQ(BuildComputedEntry(c.id, request.Get(), 0, nullptr, &size), DB_MORE_DATA) << c.id;
        EXPECT_EQ(size, c.size) << c.id;

        Answer shortBuffer = Build(c.id, request.Get(), c.size - 1);
        EXPECT_EQ(shortBuffer.result, DB_MORE_DATA) << c.id;
        EXPECT_EQ(shortBuffer.size, c.size) << c.id;
        EXPECT_TRUE(AllFill(shortBuffer.bytes)) << c.id;

        Answer exact = Build(c.id, request.Get(), c.size);
        EXPECT_EQ(exact.result, DB_OK) << c.id;
        EXPECT_EQ(exact.size, c.size) << c.id;
    }
}

TEST_F(Dispatch, SizeQueriesReadNeitherClockNorPrinter)
{
    UmAddPrinter("P");
    Request request;
    DWORD size = 0;
    UmGlobalFailAll(TRUE); // any allocation would show a printer-data read
    EXPECT_EQ(BuildComputedEntry(7, request.Get(), 0, nullptr, &size), DB_MORE_DATA);
    EXPECT_EQ(BuildComputedEntry(5, request.Get(), 0, nullptr, &size), DB_MORE_DATA);
    UmGlobalFailAll(FALSE);
    EXPECT_EQ(UmPrinterDataCalls(), 0u);
    EXPECT_EQ(UmGlobalAllocCalls(), 0u);
}

// Minimum setting count and the answer for a missing request, per builder.
struct ValidationCase {
    DWORD id;
    DWORD minSettings;
    LONG noRequest;
};

TEST_F(Dispatch, ValidationOrderAndAnswers)
{
    const ValidationCase cases[] = {{1, 98, DB_FAILED},      {4, 98, DB_FAILED},
                                    {2, 31, DB_NO_SETTINGS}, {3, 53, DB_NO_SETTINGS},
                                    {6, 113, DB_FAILED},     {12, 111, DB_NO_SETTINGS},
                                    {14, 119, DB_FAILED}};
    for (const ValidationCase& c : cases) {
        Answer none = Build(c.id, nullptr);
        EXPECT_EQ(none.result, c.noRequest) << c.id;
        EXPECT_EQ(none.size, kUntouchedSize) << c.id;

        Request noArray(c.minSettings);
        DataBaseRequest record = *noArray.Get();
        record.Settings = nullptr;
        EXPECT_EQ(Build(c.id, &record).result, DB_NO_SETTINGS) << c.id;

        Request tooFew(c.minSettings - 1);
        Answer few = Build(c.id, tooFew.Get());
        EXPECT_EQ(few.result, DB_NO_SETTINGS) << c.id;
        EXPECT_EQ(few.size, kUntouchedSize) << c.id;
        EXPECT_TRUE(AllFill(few.bytes)) << c.id;

        Request enough(c.minSettings);
        EXPECT_EQ(Build(c.id, enough.Get()).result, DB_OK) << c.id;
        // Settings are checked before the out size.
        EXPECT_EQ(BuildComputedEntry(c.id, tooFew.Get(), 0, nullptr, nullptr), DB_NO_SETTINGS);
        EXPECT_EQ(BuildComputedEntry(c.id, enough.Get(), 0, nullptr, nullptr), DB_FAILED);
    }
}

TEST_F(Dispatch, ClockAndSilentBlocksNeedNoSettingsButAnOutSize)
{
    // The clock block looks at nothing in the request; the silent block
    // only needs the record itself.
    EXPECT_EQ(Build(5, nullptr).result, DB_OK);
    Request empty(0);
    EXPECT_EQ(Build(7, empty.Get()).result, DB_OK);
    Answer none = Build(7, nullptr);
    EXPECT_EQ(none.result, DB_NO_SETTINGS);
    EXPECT_EQ(none.size, kUntouchedSize);
    // Without an out size neither can report anything: refused, not a crash.
    BYTE buffer[80];
    EXPECT_EQ(BuildComputedEntry(5, nullptr, sizeof(buffer), buffer, nullptr), DB_FAILED);
    EXPECT_EQ(BuildComputedEntry(7, empty.Get(), sizeof(buffer), buffer, nullptr), DB_FAILED);
}

} // namespace
