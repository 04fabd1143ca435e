// Locale and printer-data selectors swept over a small compiled model: the
// built-in model has no locale selector, yet the engine supports one.
#include "compiled_tables.h"
#include "modelc.h"
#include "store.h"
#include "sweep.h"

namespace
{

using namespace lowres;

const char kModel[] = R"(
key 8 = sel s0 { 153: text @8 "QmxUI_SilentModeEnable" }
key 2 = locale { 1: s8 @2 [1]  49: s8 @2 [49]  default: s8 @2 [0] }
key 3 = pdata 153 { 1: s8 @3 [1]  default: s8 @3 [0] }
key 4 = pdata 153 { 1: s8 @4 [1] }
key 5 = seq { pdata 153 { 7: s8 @5 [7] }  locale { 49: s8 @5 [49] } }
)";

class SelectorSweep : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(modelc::CompileModel({{"mini.model", kModel}}, model_, error)) << error;
        SwapModelTables(tables_.From(model_));
    }
    void TearDown() override { SwapModelTables(nullptr); }

    static void Environment()
    {
        UmAddPrinter("ZR Tessa");
        UmSetPrinterDword("ZR Tessa", "QmxUI_SilentModeEnable", 1);
        UmSetCountryCode("49");
    }

    modelc::CompiledModel model_;
    CompiledTables tables_;
};

std::function<Outcome()> AskRoot(DWORD id)
{
    return [id] {
        Request r(4);
        r.ByName(L"ZR Tessa");
        return Read(XDB_AccessRootDataBase, id, r);
    };
}

std::function<Outcome(const Outcome&)> WithoutSilentValue(DWORD id)
{
    return [id](const Outcome&) {
        UmRemovePrinterValue("ZR Tessa", "QmxUI_SilentModeEnable");
        return AskRoot(id)();
    };
}

TEST_F(SelectorSweep, LocaleFailureFailsTheLookupAndPrinterDataFallsBack)
{
    const std::vector<Scenario> scenarios = {
        // A locale that cannot be read answers DB_FAILED, nothing else.
        {"locale selector", "country code", AskRoot(2)},
        {"printer-data selector", "with default", AskRoot(3), {WithoutSilentValue(3)}},
        {"printer-data selector", "without default", AskRoot(4), {WithoutSilentValue(4)}},
        {"printer-data selector", "then locale", AskRoot(5), {WithoutSilentValue(5)}},
    };
    unsigned long pairs = 0;
    for (const Scenario& s : scenarios) {
        unsigned long before = UmFailPointCalls(UM_POINT_LOCALE);
        pairs += Sweep(s, Environment);
        (void)before;
    }
    EXPECT_GT(pairs, 0u);
}

} // namespace
