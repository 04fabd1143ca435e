// What the language monitor and the status monitor read from the model: the
// answers they act on, selected by the strings and settings they pass.
#include "model_query.h"

using namespace modeldata;

namespace
{

using Ints = std::vector<int32_t>;

Answer AskLmString(DWORD id, size_t k, const char* text)
{
    Request request;
    request.String(k, text);
    return Ask(XDB_AccessLMDataBase, id, request);
}

class LanguageMonitor : public ModelTest
{
};

TEST_F(LanguageMonitor, ModelNamesAreRecognisedExactly)
{
    struct Row {
        const char* text;
        int32_t answer;
    };
    const Row rows[] = {
        {"T4410", 1},  {"T4412", 1}, {"T441", 0}, {"T44100", 0}, {"t4410", 0},
        {" T4410", 0}, {"T4411", 0}, {"", 0},     {nullptr, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text ? r.text : "(null)");
        Answer a = AskLmString(8201, 0, r.text);
        ASSERT_EQ(a.code, DB_OK);
        EXPECT_EQ(a.Ints(), Ints{r.answer});
    }
    Request none;
    EXPECT_EQ(Ask(XDB_AccessLMDataBase, 8201, none).code, DB_NO_STRINGS);
}

TEST_F(LanguageMonitor, MaintenanceJobsArePassedThrough)
{
    struct Row {
        const char* text;
        int32_t answer;
    };
    const Row rows[] = {
        {"Cleaning", 1},   {"TestPrint", 1}, {"cleaning", 0}, {"Clean", 0},
        {"TestPrint ", 0}, {"CleaningX", 0}, {"", 0},         {"Print", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        Answer a = AskLmString(8237, 4, r.text);
        ASSERT_EQ(a.code, DB_OK);
        EXPECT_EQ(a.Ints(), Ints{r.answer});
    }
    // String 4 must be there: four strings are not enough.
    Request four;
    four.Strings(4);
    EXPECT_EQ(Ask(XDB_AccessLMDataBase, 8237, four).code, DB_NO_STRINGS);
}

TEST_F(LanguageMonitor, StatusListsByRegion)
{
    const Ints ns{1, 5028, 5614, 5603, 10101};
    struct Row {
        const char* region;
        Ints list;
    };
    const Row rows[] = {
        {"LS", {0}}, {"NO", {1, 5030, 5603, 0, 10101}},
        {"NS", ns},  {"UK", {1, 5011}},
        {"US", ns},  {"ls", ns},
        {"", ns},    {"LSX", ns},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.region);
        Answer a = AskLmString(8193, 1, r.region);
        ASSERT_EQ(a.code, DB_OK);
        EXPECT_EQ(a.size, 4 * r.list.size());
        EXPECT_EQ(a.Ints(), r.list);
    }
}

TEST_F(LanguageMonitor, StatusListsByErrorGroupUseTheLowSixBits)
{
    struct Row {
        LONG setting;
        Ints answer;
    };
    const Ints zeros{0, 0, 0, 0, 0};
    auto list = [&](int32_t second) {
        Ints v{5033, second};
        v.insert(v.end(), zeros.begin(), zeros.end());
        return v;
    };
    const Row rows[] = {
        {0, list(5571)},
        {1, list(5570)},
        {16, list(5572)},
        {17, list(5573)},
        {0x40, list(5571)},       // only bits 0..5 count
        {0x7FFFFF51, list(5573)}, // 0x51 & 0x3F = 17
        {-64, list(5571)},        // 0xFFFFFFC0 & 0x3F = 0
        {2, {0}},                 // other groups: the single byte 0
        {63, {0}},
        {-1, {0}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("setting 11 = " + std::to_string(r.setting));
        Request request;
        request.Set(11, r.setting);
        Answer a = Ask(XDB_AccessLMDataBase, 8245, request);
        ASSERT_EQ(a.code, DB_OK);
        EXPECT_EQ(a.Ints(), r.answer);
    }
    Request eleven;
    eleven.Settings(11);
    EXPECT_EQ(Ask(XDB_AccessLMDataBase, 8245, eleven).code, DB_NO_SETTINGS);
}

TEST_F(LanguageMonitor, StatusTriplesByErrorNumber)
{
    struct Row {
        LONG error;
        LONG code;
        Ints answer;
    };
    const Row rows[] = {
        {5632, DB_OK, {5016, 200, 0}},
        {5650, DB_OK, {5016, 200, 0}},
        {5685, DB_OK, {5016, 200, 0}},
        {5631, DB_NO_ANSWER, {}},
        {5686, DB_NO_ANSWER, {}},
        {4096, DB_OK, {5038, 300, 0}},
        {6160, DB_OK, {5024, 100, 0}},
        {4097, DB_NO_ANSWER, {}},
        {0, DB_NO_ANSWER, {}},
        {-5632, DB_NO_ANSWER, {}},
        {6160 + 65536, DB_NO_ANSWER, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("setting 6 = " + std::to_string(r.error));
        Request request;
        request.Set(6, r.error);
        Answer a = Ask(XDB_AccessLMDataBase, 8259, request);
        ASSERT_EQ(a.code, r.code);
        EXPECT_EQ(a.Ints(), r.answer);
    }
}

class StatusMonitor : public ModelTest
{
};

Answer AskInk(const char* colour, LONG level, size_t settings = 16)
{
    Request request;
    request.String(7, colour);
    request.Settings(settings);
    if (settings > 15)
        request.Set(15, level);
    return Ask(XDB_AccessSMDataBase, 24599, request);
}

TEST_F(StatusMonitor, InkColourAndLevelClass)
{
    struct Colour {
        const char* code;
        int32_t number;
    };
    const Colour colours[] = {{"C", 4},  {"G", 25}, {"K", 1},  {"LC", 7},
                              {"LM", 6}, {"M", 3},  {"R", 24}, {"Y", 2}};
    const std::pair<LONG, int32_t> levels[] = {{100, 1}, {70, 5}, {40, 6}};
    for (const Colour& c : colours) {
        for (const auto& level : levels) {
            SCOPED_TRACE(std::string(c.code) + " at " + std::to_string(level.first));
            Answer a = AskInk(c.code, level.first);
            ASSERT_EQ(a.code, DB_OK);
            EXPECT_EQ(a.Ints(), (Ints{c.number, level.second}));
        }
        // Levels between the classes have no answer.
        for (LONG level : {0L, 39L, 41L, 50L, 99L, 101L, -100L}) {
            SCOPED_TRACE(std::string(c.code) + " at " + std::to_string(level));
            EXPECT_EQ(AskInk(c.code, level).code, DB_NO_ANSWER);
        }
        // The language monitor knows each colour by the same number.
        Answer lm = AskLmString(8274, 7, c.code);
        ASSERT_EQ(lm.code, DB_OK);
        EXPECT_EQ(lm.Ints(), Ints{c.number}) << c.code;
    }
}

TEST_F(StatusMonitor, InkNeedsAKnownColourAndTheLevelSetting)
{
    for (const char* colour : {"B", "c", "LK", "", "CC"}) {
        SCOPED_TRACE(colour);
        EXPECT_EQ(AskInk(colour, 100).code, DB_NO_ANSWER);
    }
    // A known colour with fewer than 16 settings cannot read the level.
    EXPECT_EQ(AskInk("K", 100, 15).code, DB_NO_SETTINGS);
    Request sevenStrings;
    sevenStrings.Strings(7);
    sevenStrings.Set(15, 100);
    EXPECT_EQ(Ask(XDB_AccessSMDataBase, 24599, sevenStrings).code, DB_NO_STRINGS);
}

TEST_F(StatusMonitor, MessageListsByRegionArriveAs32BitNumbers)
{
    auto list = [](const char* region) {
        Request request;
        request.String(1, region);
        return Ask(XDB_AccessSMDataBase, 24583, request);
    };
    Answer ls = list("LS");
    Answer ns = list("NS");
    ASSERT_EQ(ls.code, DB_OK);
    ASSERT_EQ(ns.code, DB_OK);
    for (const char* region : {"LS", "NO", "NS", "UK", "XX", ""}) {
        SCOPED_TRACE(region);
        Answer a = list(region);
        ASSERT_EQ(a.code, DB_OK);
        ASSERT_EQ(a.size, 60u);
        // The lists end in -1, whether stored in 16 or 32 bits.
        EXPECT_EQ(a.Ints().back(), -1);
    }
    // Only the "LS" list, stored in 32 bits, holds numbers beyond 16 bits.
    bool wide = false;
    for (int32_t v : ls.Ints())
        wide = wide || v > 32767;
    EXPECT_TRUE(wide);
    EXPECT_EQ(list("XX").bytes, ns.bytes);
    EXPECT_NE(list("NO").bytes, ns.bytes);
    EXPECT_NE(list("UK").bytes, ns.bytes);
}

} // namespace
