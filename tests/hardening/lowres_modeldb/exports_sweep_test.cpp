// Every kind of model database request swept over its failure points.
#include <cstdio>
#include <cstring>

#include "sweep.h"

namespace
{

using namespace lowres;

const WCHAR kPrinter[] = L"ZR Tessa";

// A job on A4 plain paper with the print settings the lists select on.
Request Job()
{
    Request r;
    r.Set(4, 3).Set(5, 1).Set(6, 1).Set(7, 7).Set(8, 3).Set(9, 0).Set(28, 9).ByName(kPrinter);
    return r;
}

std::function<Outcome()> Ask(Export db, DWORD id, Request request)
{
    return [db, id, request]() mutable { return Read(db, id, request); };
}

// The same request answered with one stored printer value missing.
std::function<Outcome(const Outcome&)> Without(const char* value, std::function<Outcome()> run)
{
    return [value, run](const Outcome&) {
        UmRemovePrinterValue("ZR Tessa", value);
        return run();
    };
}

// The reference answer of a settings adjustment with some settings replaced.
std::function<Outcome(const Outcome&)> Patched(std::vector<std::pair<int, LONG>> changes)
{
    return [changes](const Outcome& reference) {
        Outcome o = reference;
        for (const auto& c : changes) {
            size_t at = 4 * static_cast<size_t>(c.first);
            if (at + 4 <= o.bytes.size())
                std::memcpy(o.bytes.data() + at, &c.second, 4);
        }
        return o;
    };
}

unsigned long SweepAll(const std::vector<Scenario>& scenarios)
{
    unsigned long pairs = 0;
    for (const Scenario& s : scenarios)
        pairs += Sweep(s, StandardPrinter);
    return pairs;
}

TEST(LowResources, PlainLookupsGoOnWithoutThePrinter)
{
    Request strings = Job();
    strings.Strings({"TS441", nullptr, nullptr, nullptr, "Cleaning", nullptr, nullptr, "LC"});
    strings.Set(15, 70);
    Request status = Job();
    status.Strings({"CMS"});
    Request mnt = Job();
    mnt.Set(0, 11);
    const std::vector<Scenario> scenarios = {
        {"plain lookup", "Root 2", Ask(XDB_AccessRootDataBase, 2, Job())},
        {"plain lookup", "Root 18 status name", Ask(XDB_AccessRootDataBase, 18, status)},
        {"plain lookup", "LM 8201 model name", Ask(XDB_AccessLMDataBase, 8201, strings)},
        {"plain lookup", "LM 8237 operation", Ask(XDB_AccessLMDataBase, 8237, strings)},
        {"plain lookup", "Mnt 12299 fragment", Ask(XDB_AccessMntDataBase, 12299, mnt)},
        {"plain lookup", "PA 16386", Ask(XDB_AccessPADataBase, 16386, Job())},
        {"plain lookup", "SM 24599 ink", Ask(XDB_AccessSMDataBase, 24599, strings)},
        {"plain lookup", "Drv 4099 paper size", Ask(XDB_AccessDrvDataBase, 4099, Job())},
        {"plain lookup", "Drv 4206 profile", Ask(XDB_AccessDrvDataBase, 4206, Job())},
        {"plain lookup", "Drv unknown id", Ask(XDB_AccessDrvDataBase, 4095, Job())},
    };
    EXPECT_GT(SweepAll(scenarios), 0u);
}

TEST(LowResources, PrinterDataSelectorsFallBackToTheirDefaults)
{
    Request name = Job();
    name.Set(0, 231);
    Request open = Job();
    open.Set(7, 263).Set(112, 1);
    auto jobOpen = Ask(XDB_AccessDrvDataBase, 4120, open);
    const std::vector<Scenario> scenarios = {
        {"printer-data selector", "Root 8 value name", Ask(XDB_AccessRootDataBase, 8, name)},
        {"printer-data selector",
         "Drv 4120 job open",
         jobOpen,
         {Without("QmxUI_SilentModeEnable", jobOpen), Without("QmxUI_SilentModeTime", jobOpen),
          Without("QmxUI_CustomMediaDetection", jobOpen)}},
    };
    EXPECT_GT(SweepAll(scenarios), 0u);
}

TEST(LowResources, ListsFailWholeOrAnswerInFull)
{
    std::vector<Scenario> scenarios;
    for (DWORD id : {4108u, 4109u, 4110u, 4111u, 4112u, 4113u, 4114u, 4115u, 4116u, 4118u, 4119u,
                     4173u, 4174u, 4177u, 4180u, 4186u, 4196u, 4200u}) {
        scenarios.push_back(
            {"list", "Drv " + std::to_string(id), Ask(XDB_AccessDrvDataBase, id, Job()), {}});
    }
    EXPECT_GT(SweepAll(scenarios), 0u);
}

TEST(LowResources, ComposedSequencesAndPrintModeRecord)
{
    Request user = Job();
    user.Set(28, 256).Set(96, 15000).Set(97, 20000);
    const std::vector<Scenario> scenarios = {
        {"composed sequence", "Drv 4121 job setup A4", Ask(XDB_AccessDrvDataBase, 4121, Job())},
        {"composed sequence", "Drv 4121 user paper", Ask(XDB_AccessDrvDataBase, 4121, user)},
        {"composed sequence", "Drv 4123", Ask(XDB_AccessDrvDataBase, 4123, Job())},
        {"composed sequence", "Drv 4125", Ask(XDB_AccessDrvDataBase, 4125, Job())},
        {"print-mode record", "Drv 4126", Ask(XDB_AccessDrvDataBase, 4126, Job())},
    };
    EXPECT_GT(SweepAll(scenarios), 0u);
}

TEST(LowResources, BuildersOfPageFormatClockAndSilentMode)
{
    Request user = Job();
    user.Set(28, 256).Set(29, 15000).Set(30, 20000).Set(25, 15000).Set(26, 20000);
    user.Set(96, 15000).Set(97, 20000);
    Request silent = Job();
    silent.Set(112, 2).Set(79, 0x900000).Set(80, 7);
    auto jobOpen = Ask(XDB_AccessDrvDataBase, 4120, silent);
    const std::vector<Scenario> scenarios = {
        {"builder", "Drv 4100 printable area", Ask(XDB_AccessDrvDataBase, 4100, user)},
        {"builder", "Drv 4147 paper length", Ask(XDB_AccessDrvDataBase, 4147, user)},
        {"builder", "Drv 4146 media area", Ask(XDB_AccessDrvDataBase, 4146, user)},
        {"builder", "Drv 4152 code pair", Ask(XDB_AccessDrvDataBase, 4152, user)},
        {"builder",
         "Drv 4120 clock and silent blocks",
         jobOpen,
         {Without("QmxUI_SilentModeEnable", jobOpen), Without("QmxUI_SilentModeTime", jobOpen)}},
    };
    EXPECT_GT(SweepAll(scenarios), 0u);
}

TEST(LowResources, MediaOverridesFallBackToNoProposalOrPlainPaper)
{
    // Media asked for by the job: only the report and the resolution check
    // can fail, and either gives the outcome without a proposal.
    Request asked = Job();
    asked.Set(106, 1).Set(108, 285);
    auto askedRun = Ask(XDB_AccessDrvDataBase, 4191, asked);
    // Media from the report (class 2, 285), checked against the borderless
    // list: a failed check refuses it and plain paper stays.
    Request sensed = Job();
    sensed.Set(106, 1).Set(108, 999).Set(81, 1);
    auto sensedRun = Ask(XDB_AccessDrvDataBase, 4191, sensed);
    // Checked against 4171, which refuses 285 anyway.
    Request allowed = Job();
    allowed.Set(106, 1).Set(108, 999).Set(70, 1);
    auto allowedRun = Ask(XDB_AccessDrvDataBase, 4191, allowed);
    const std::vector<Scenario> scenarios = {
        {"media override", "Drv 4191 asked media", askedRun, {Without("QmxSLM_CMS", askedRun)}},
        {"media override",
         "Drv 4191 sensed media, listed",
         sensedRun,
         {Without("QmxSLM_CMS", sensedRun), Patched({{5, 1}, {8, 3}, {6, 1}, {118, 1}})}},
        {"media override",
         "Drv 4191 sensed media, allowed",
         allowedRun,
         {Without("QmxSLM_CMS", allowedRun)}},
        {"media override", "Drv 4192", Ask(XDB_AccessDrvDataBase, 4192, asked)},
    };
    EXPECT_GT(SweepAll(scenarios), 0u);
}

TEST(LowResources, MediaInfoDecodeNeedsNoResources)
{
    const std::vector<Scenario> scenarios = {
        {"GetMediaInfo", "class 2", [] { return MediaInfoOf(L"0200281E0A05"); }},
        {"GetMediaInfo", "short text", [] { return MediaInfoOf(L"0200281E0A0"); }},
    };
    // Decoding takes nothing that can run out: only the clean run.
    EXPECT_EQ(SweepAll(scenarios), 0u);
}

class SweepReport : public ::testing::Environment
{
  public:
    void TearDown() override
    {
        unsigned long total = 0;
        for (const auto& k : PairsByKind()) {
            std::printf("[ sweep    ] %-22s %6lu (request, failure point) pairs\n", k.first.c_str(),
                        k.second);
            total += k.second;
        }
        std::printf("[ sweep    ] %-22s %6lu\n", "total", total);
    }
};

const ::testing::Environment* const kReport = ::testing::AddGlobalTestEnvironment(new SweepReport);

} // namespace
