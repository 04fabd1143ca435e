// The job open sequence (Drv 4120) with the printer's stored choices, and
// the short sequences 4122 to 4125.
#include "request.h"

namespace
{

const char kPrinter[] = "Tessa 4410x";

const Bytes kModeHeader0F = Hex("1B 5B 4B 02 00 00 0F");
const Bytes kSilentOn = ModeBlock({"ControlMode=Common", "SetSilent=ON"});
const Bytes kSilentOff = ModeBlock({"ControlMode=Common", "SetSilent=OFF"});
const Bytes kComputedSilentOn = ModeBlock({"ControlMode=Common", "SetSilent=ON", ""});
const Bytes kDetectionOn = ModeBlock({"ControlMode=Common", "MediaDetection=ON"});
const Bytes kDetectionOff = ModeBlock({"ControlMode=Common", "MediaDetection=OFF"});

class JobStart : public ModelDbTest
{
  protected:
    void SetUp() override
    {
        ModelDbTest::SetUp();
        UmAddPrinter(kPrinter);
        SYSTEMTIME now{};
        now.wYear = 2026;
        now.wMonth = 12;
        now.wDay = 7;
        now.wHour = 21;
        now.wMinute = 30;
        now.wSecond = 5;
        UmSetLocalTime(&now);
        job.OnPrinter(kPrinter);
    }
    void TearDown() override
    {
        UmRemovePrinter(kPrinter);
        ModelDbTest::TearDown();
    }
    Answer Open() { return Drv(4120, job.Get()); }

    Request job;
};

const Bytes kClock = ModeBlock({"ControlMode=Common", "SetTime=20261207213005"});

struct SilentCase {
    const char* name;
    bool stored;
    DWORD value;
    const Bytes* block;
};

TEST_F(JobStart, SilentModeBlockFollowsTheStoredChoice)
{
    // The time window covers the clock above, so the computed block is ON.
    UmSetPrinterDword(kPrinter, "QmxUI_SilentModeTime", (1380u << 16) | 1200u);
    const SilentCase cases[] = {
        {"always on: the stored 55-byte block", true, 1, &kSilentOn},
        {"by time window: the computed 56-byte block", true, 2, &kComputedSilentOn},
        {"off", true, 0, &kSilentOff},
        {"unknown value", true, 7, &kSilentOff},
        {"never stored", false, 0, &kSilentOff},
    };
    for (const SilentCase& c : cases) {
        if (c.stored)
            UmSetPrinterDword(kPrinter, "QmxUI_SilentModeEnable", c.value);
        else
            UmRemovePrinterValue(kPrinter, "QmxUI_SilentModeEnable");
        Answer a = Open();
        ASSERT_EQ(a.result, DB_OK) << c.name;
        EXPECT_EQ(Dump(Slice(a.bytes, 0, 65)), Dump(kClock)) << c.name;
        EXPECT_EQ(Dump(Slice(a.bytes, 65, c.block->size())), Dump(*c.block)) << c.name;
        EXPECT_EQ(a.size, 65 + c.block->size() + 7 + 8) << c.name;
    }
    EXPECT_EQ(kSilentOn.size(), 55u);
    EXPECT_EQ(kComputedSilentOn.size(), 56u);
}

TEST_F(JobStart, UnreadablePrinterDataTakesTheDefaults)
{
    UmSetPrinterDword(kPrinter, "QmxUI_SilentModeEnable", 1);
    UmSetPrinterDword(kPrinter, "QmxUI_CustomMediaDetection", 0);
    UmFailPrinterData(5);
    job.Set(7, 263);
    Answer a = Open();
    ASSERT_EQ(a.result, DB_OK);
    EXPECT_EQ(Dump(Slice(a.bytes, 65, 56)), Dump(kSilentOff));
    EXPECT_EQ(Dump(Slice(a.bytes, 121, 60)), Dump(kDetectionOn));
}

TEST_F(JobStart, MediaDetectionOnlyForSetting7Is263)
{
    struct {
        LONG s7;
        bool stored;
        DWORD value;
        const Bytes* block;
    } cases[] = {
        {263, true, 0, &kDetectionOff}, {263, true, 1, &kDetectionOn},
        {263, true, 2, &kDetectionOn},  {263, false, 0, &kDetectionOn},
        {7, true, 0, nullptr},          {0, true, 1, nullptr},
    };
    for (const auto& c : cases) {
        if (c.stored)
            UmSetPrinterDword(kPrinter, "QmxUI_CustomMediaDetection", c.value);
        else
            UmRemovePrinterValue(kPrinter, "QmxUI_CustomMediaDetection");
        job.Set(7, c.s7);
        Answer a = Open();
        ASSERT_EQ(a.result, DB_OK);
        size_t detection = c.block ? c.block->size() : 0;
        EXPECT_EQ(a.size, 65u + 56u + detection + 7u + 8u) << c.s7 << " " << c.value;
        if (c.block) {
            EXPECT_EQ(Dump(Slice(a.bytes, 121, detection)), Dump(*c.block));
        }
        EXPECT_EQ(Slice(a.bytes, 121 + detection, 7), kModeHeader0F);
    }
}

TEST_F(JobStart, FullSequenceHas210BytesInOrder)
{
    UmSetPrinterDword(kPrinter, "QmxUI_SilentModeEnable", 2);
    UmSetPrinterDword(kPrinter, "QmxUI_SilentModeTime", (1380u << 16) | 1200u);
    UmSetPrinterDword(kPrinter, "QmxUI_CustomMediaDetection", 1);
    job.Set(7, 263).Set(112, 1).Set(106, 1).Set(109, 2).Set(118, 3);
    Answer a = Open();
    ASSERT_EQ(a.result, DB_OK);
    ASSERT_EQ(a.size, 210u);
    EXPECT_EQ(Dump(Slice(a.bytes, 0, 65)), Dump(kClock));
    EXPECT_EQ(Dump(Slice(a.bytes, 65, 56)), Dump(kComputedSilentOn));
    EXPECT_EQ(Dump(Slice(a.bytes, 121, 60)), Dump(kDetectionOn));
    EXPECT_EQ(Slice(a.bytes, 181, 7), kModeHeader0F);
    EXPECT_EQ(Slice(a.bytes, 188, 5), Hex("1B 28 24 09 00"));
    EXPECT_EQ(Slice(a.bytes, 202, 8), Hex("1B 28 4D 03 00 01 02 03"));
}

TEST_F(JobStart, WithoutMediaDetectionAndDollarCommand136Bytes)
{
    UmSetPrinterDword(kPrinter, "QmxUI_SilentModeEnable", 2);
    UmSetPrinterDword(kPrinter, "QmxUI_CustomMediaDetection", 1);
    job.Set(7, 7).Set(112, 2);
    Answer a = Open();
    ASSERT_EQ(a.result, DB_OK);
    ASSERT_EQ(a.size, 136u);
    EXPECT_EQ(Slice(a.bytes, 121, 7), kModeHeader0F);
    EXPECT_EQ(Slice(a.bytes, 128, 8), Hex("1B 28 4D 03 00 00 00 00"));
}

using ShortSequences = ModelDbTest;

TEST_F(ShortSequences, EachIsItsStoredCommand)
{
    struct {
        DWORD id;
        const char* bytes;
    } cases[] = {
        {4122, "1B 28 71 01 00 01"},
        {4123, "1B 40"},
        {4124, "1B 28 62 01 00 00"},
        {4125, "1B 28 65 02 00 00 01 0C"},
    };
    Request job;
    for (const auto& c : cases) {
        Answer a = Drv(c.id, job.Get());
        ASSERT_EQ(a.result, DB_OK) << c.id;
        EXPECT_EQ(a.bytes, Hex(c.bytes)) << c.id;
        EXPECT_EQ(a.size, Hex(c.bytes).size()) << c.id;
    }
}

} // namespace
