// The media override (builder 13) as settings adjustment 4191 applies it,
// with the printer's media report stored in the spooler stand-in.
#include "request.h"

#include <cstring>
#include <vector>

#include "builders.h"
#include "media.h"
#include "prnmodel.h"
#include "um_control.h"

namespace
{

const char kPrinter[] = "Tessa 4410x";

// The seven settings the override answers for, in its order.
const int kPairSettings[7] = {106, 110, 109, 118, 5, 8, 6};

struct Pairs {
    LONG s106, s110, s109, s118, s5, s8, s6;
    bool operator==(const Pairs& o) const { return std::memcmp(this, &o, sizeof o) == 0; }
};

std::ostream& operator<<(std::ostream& out, const Pairs& p)
{
    return out << "{106: " << p.s106 << ", 110: " << p.s110 << ", 109: " << p.s109
               << ", 118: " << p.s118 << ", 5: " << p.s5 << ", 8: " << p.s8 << ", 6: " << p.s6
               << "}";
}

// A job on A4 plain paper that lets the printer's report decide.
struct Job : Request {
    Job()
    {
        Set(106, 1).Set(108, MediaNone).Set(28, 9).Set(5, 1).Set(8, 3).Set(6, 1);
        Set(4, 3).Set(9, 0).Set(111, 0).Set(109, 7).Set(118, 7);
        OnPrinter(kPrinter);
    }
    Pairs Own() const
    {
        return Pairs{settings[106], settings[110], settings[109], settings[118],
                     settings[5],   settings[8],   settings[6]};
    }
};

class MediaOverride : public ModelDbTest
{
  protected:
    void SetUp() override
    {
        ModelDbTest::SetUp();
        UmAddPrinter(kPrinter);
    }
    void TearDown() override
    {
        UmRemovePrinter(kPrinter);
        ModelDbTest::TearDown();
    }
    void Report(const char* text) { UmSetPrinterString(kPrinter, "QmxSLM_CMS", text); }

    // Settings adjustment 4191: the job's settings after the rules applied.
    Pairs Adjust(Job& job)
    {
        DWORD need = 0;
        LONG result = XDB_AccessDrvDataBase(4191, job.Get(), 0, nullptr, &need);
        EXPECT_EQ(result, DB_MORE_DATA);
        EXPECT_EQ(need, 132u * 4u);
        std::vector<LONG> out(132, -12345);
        DWORD got = 0;
        EXPECT_EQ(XDB_AccessDrvDataBase(4191, job.Get(), need, out.data(), &got), DB_OK);
        EXPECT_EQ(got, need);
        for (int i = 0; i < 132; ++i) {
            bool paired = false;
            for (int s : kPairSettings)
                paired = paired || s == i;
            if (!paired) {
                EXPECT_EQ(out[i], job.settings[i]) << "setting " << i << " is not the override's";
            }
        }
        return Pairs{out[106], out[110], out[109], out[118], out[5], out[8], out[6]};
    }

    unsigned long outstanding_ = 0;
};

// Reports: class 2 (b2 40, b5 5, b4 10), class 3 with b0 = 1, class 1 and 4.
const char kClass1[] = "0200281E3305";
const char kClass2[] = "0200281E0A05";
const char kClass3[] = "0100283C0A14";
const char kClass4[] = "010005000000";

TEST_F(MediaOverride, KeepMediaLeavesEverySettingAsItIs)
{
    Report(kClass2);
    Job job;
    job.Set(110, 1);
    EXPECT_EQ(Adjust(job), job.Own());
}

TEST_F(MediaOverride, RequestedMediaWithItsCompanions)
{
    Report(kClass2);
    Job job;
    job.Set(108, 285);
    EXPECT_EQ(Adjust(job), (Pairs{0, 1, 255, 1, 285, 1, 3}));
}

TEST_F(MediaOverride, RequestedMediaWithoutCompanionValueRevertsEverything)
{
    Report(kClass2);
    Job job;
    job.Set(108, 281);
    EXPECT_EQ(Adjust(job), (Pairs{0, 1, 255, 1, 1, 3, 1}));
}

struct ClassCase {
    const char* report;
    LONG paper;
    Pairs expected;
};

// s(5) = 1, s(8) = 3, s(6) = 1 on entry; s(106) stays 1.
TEST_F(MediaOverride, ReportedClassChoosesTheMediaForThePaper)
{
    const ClassCase cases[] = {
        {kClass2, 9, {1, 1, 2, 2, 285, 1, 3}},
        {kClass3, 9, {1, 1, 3, 3, 284, 3, 3}},
        {kClass3, 43, {1, 1, 3, 3, 283, 3, 3}},
        {kClass3, 69, {1, 1, 3, 3, 283, 3, 3}},
        {kClass4, 9, {1, 1, 4, 4, 2, 3, 3}},
        // Class 1 is plain paper: the media is the job's, so are its companions.
        {kClass1, 9, {1, 1, 1, 1, 1, 3, 1}},
        {kClass1, 43, {1, 1, 1, 1, 262, 3, 3}},
    };
    for (const ClassCase& c : cases) {
        Report(c.report);
        Job job;
        job.Set(28, c.paper);
        EXPECT_EQ(Adjust(job), c.expected) << c.report << " on paper " << c.paper;
    }
}

TEST_F(MediaOverride, ProposedMediaTheJobAlreadyHasKeepsItsCompanions)
{
    Report(kClass2);
    Job job;
    job.Set(5, 285).Set(8, 4).Set(6, 2);
    EXPECT_EQ(Adjust(job), (Pairs{1, 1, 2, 2, 285, 4, 2}));
}

TEST_F(MediaOverride, BorderlessChecksTheMediaListOfEntry4177)
{
    Report(kClass2);
    Job listed;
    listed.Set(81, 1);
    EXPECT_EQ(Adjust(listed), (Pairs{1, 1, 2, 2, 285, 1, 3}));

    // Setting 4 other than 3: entry 4177 lists nothing, so 285 is refused.
    Job refused;
    refused.Set(81, 1).Set(4, 2);
    EXPECT_EQ(Adjust(refused), (Pairs{1, 1, 2, 1, 1, 3, 1}));
}

TEST_F(MediaOverride, Setting70ChecksEntry4171WhichAcceptsOnlyPlainPaper)
{
    Report(kClass2);
    for (LONG s70 : {1, 2}) {
        Job job;
        job.Set(70, s70);
        EXPECT_EQ(Adjust(job), (Pairs{1, 1, 2, 1, 1, 3, 1})) << s70;
    }
    for (LONG s70 : {0, 3, -1}) {
        Job job;
        job.Set(70, s70);
        EXPECT_EQ(Adjust(job), (Pairs{1, 1, 2, 2, 285, 1, 3})) << s70;
    }
}

TEST_F(MediaOverride, FlagsThatMeanPlainPaper)
{
    struct {
        const char* report;
        Pairs expected;
    } cases[] = {
        {"0210281E0A05", {1, 1, 255, 1, 1, 3, 1}}, // 10: plain paper
        {"01C0FFFFFFFF", {1, 1, 255, 1, 1, 3, 1}}, // 80 + 40 + all saturated
        // Only part of the combination: the class (1 here) decides.
        {"0180FFFFFFFF", {1, 1, 1, 1, 1, 3, 1}},
        {"0140FFFFFFFF", {1, 1, 1, 1, 1, 3, 1}},
    };
    for (const auto& c : cases) {
        Report(c.report);
        Job job;
        job.Set(5, 1);
        EXPECT_EQ(Adjust(job), c.expected) << c.report;
    }
}

TEST_F(MediaOverride, NoProposalWithoutAUsableReport)
{
    const Pairs none{0, 1, 255, 1, 1, 3, 1};
    Report("0202281E0A05"); // flag 02
    Job flagged;
    EXPECT_EQ(Adjust(flagged), none);

    UmRemovePrinterValue(kPrinter, "QmxSLM_CMS");
    Job missing;
    EXPECT_EQ(Adjust(missing), none);

    Report("0200281E0A"); // too short to decode
    Job shortReport;
    EXPECT_EQ(Adjust(shortReport), none);

    UmSetPrinterDword(kPrinter, "QmxSLM_CMS", 7); // not a string
    Job wrongType;
    EXPECT_EQ(Adjust(wrongType), none);

    Report(kClass2);
    Job noPrinter;
    noPrinter.printerName.clear(); // neither a handle nor a name: nothing to read
    EXPECT_EQ(Adjust(noPrinter), none);
}

// A report stored without its terminator, shorter than 12 characters: the
// decoder must not read past what the spooler delivered.
TEST_F(MediaOverride, UnterminatedShortReportIsRefused)
{
    const char16_t text[] = u"0200281E0A";
    UmSetPrinterValue(kPrinter, "QmxSLM_CMS", REG_SZ, text, 20);
    Job job;
    EXPECT_EQ(Adjust(job), (Pairs{0, 1, 255, 1, 1, 3, 1}));
}

TEST_F(MediaOverride, OnlyWhenSetting106AsksForIt)
{
    Report(kClass2);
    Job job;
    job.Set(106, 0);
    DWORD size = 1;
    EXPECT_EQ(XDB_AccessDrvDataBase(4191, job.Get(), 0, nullptr, &size), DB_NO_ANSWER);
    EXPECT_EQ(size, 0u);
}

// Every allocation on the way may fail; the override then proposes nothing
// or falls back, and frees what it took.
TEST_F(MediaOverride, AllocationFailuresLeakNothing)
{
    Report(kClass2);
    for (long n = 0; n < 40; ++n) {
        Job job;
        job.Set(81, 1).Set(70, 2);
        UmGlobalFailAfter(n);
        std::vector<LONG> out(132);
        DWORD got = 0;
        LONG result = XDB_AccessDrvDataBase(4191, job.Get(), 132 * 4, out.data(), &got);
        UmGlobalFailAfter(-1);
        EXPECT_TRUE(result == DB_OK || result == DB_NO_ANSWER || result == DB_FAILED)
            << n << ": " << result;
        if (result == DB_OK) {
            EXPECT_TRUE(out[5] == 1 || out[5] == 285) << n;
        }
        EXPECT_EQ(UmGlobalOutstanding(), outstanding_) << "after failing allocation " << n;
    }
}

// ---------------------------------------------------------------- the builder itself

TEST(MediaOverrideBuilder, ValidatesBeforeItAnswersTheSize)
{
    std::vector<LONG> settings(119, 0);
    DataBaseRequest request{};
    request.SettingCount = 119;
    request.Settings = settings.data();
    BYTE buffer[56];
    DWORD size = 0xA5A5A5A5u;

    EXPECT_EQ(BuildMediaOverrides(nullptr, 56, buffer, &size), DB_NO_SETTINGS);
    DataBaseRequest noArray = request;
    noArray.Settings = nullptr;
    EXPECT_EQ(BuildMediaOverrides(&noArray, 56, buffer, &size), DB_NO_SETTINGS);
    DataBaseRequest tooFew = request;
    tooFew.SettingCount = 118;
    EXPECT_EQ(BuildMediaOverrides(&tooFew, 56, buffer, &size), DB_NO_SETTINGS);
    EXPECT_EQ(size, 0xA5A5A5A5u);
    EXPECT_EQ(BuildMediaOverrides(&request, 56, buffer, nullptr), DB_FAILED);

    EXPECT_EQ(BuildMediaOverrides(&request, 0, nullptr, &size), DB_MORE_DATA);
    EXPECT_EQ(size, 56u);
    size = 0;
    EXPECT_EQ(BuildMediaOverrides(&request, 55, buffer, &size), DB_MORE_DATA);
    EXPECT_EQ(size, 56u);
}

// The class-to-media rows are the model's (and checked through the override
// above); a class they do not name must give no media at all.
TEST(MediaTables, ClassWithoutARowGivesNoMedia)
{
    for (LONG mediaClass : {0, 5, -1})
        EXPECT_EQ(MediaForClass(mediaClass, 9), 999) << mediaClass;
}

} // namespace
