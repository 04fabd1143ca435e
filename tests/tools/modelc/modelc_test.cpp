// The model compiler: what it rejects, and that what it packs walks as the
// source says when the store's engine runs over it.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "compiled_tables.h"
#include "modelc.h"
#include "store.h"
#include "um_control.h"

namespace
{

// The record parameters every print-mode test statement carries.
#define kModeRecord " resolutions [600 600 600 600] colours \"t.tbl\" "

// A selection that reaches block A for media 1 only.
#define kModeTree                                                                                  \
    "def R = sel s4 { 3: sel s9 { 0: sel s5 { 1: sel s8 { 1: sel s6 { 1: sel s81 { 0: A } } } } "  \
    "} }\n"

std::string Compile(const std::vector<std::string>& texts, modelc::CompiledModel* out = nullptr)
{
    std::vector<modelc::SourceFile> files;
    for (size_t i = 0; i < texts.size(); ++i)
        files.push_back({"f" + std::to_string(i) + ".model", texts[i]});
    modelc::CompiledModel model;
    std::string error;
    bool ok = modelc::CompileModel(files, model, error);
    if (out)
        *out = model;
    return ok ? std::string() : error;
}

TEST(ModelCompilerRejects, EachKindOfMistakeWithItsPlace)
{
    struct Case {
        const char* what;
        std::vector<std::string> sources;
        const char* message; // part of the expected error
    };
    const Case cases[] = {
        // clang-format off
        {"leaf without tag", {"key 2 = seq {\n text \"x\" }"}, "f0.model:2: leaf without a tag"},
        {"duplicate key", {"key 2 = s8 @2 [1]", "key 3, 2 = s8 @2 [2]"}, "f1.model:1: key 2 given twice"},
        {"cycle through defs", {"def A = seq { B }", "def B = sel s0 { 1: A }\nkey 2 = A"}, "cycle"},
        {"undefined name", {"key 2 = Missing"}, "undefined name Missing"},
        {"def given twice", {"def A = s8 @2 [1]", "def A = s8 @2 [1]"}, "def A given twice"},
        {"string label outside str", {"key 2 = sel s0 { \"A\": s8 @2 [1] }"}, "string label outside str"},
        {"range label inside str", {"key 2 = str 0 { 1..2: s8 @2 [1] }"}, "number label inside str"},
        {"label after default", {"key 2 = pdata 153 { default: s8 @2 [0] 1: s8 @2 [1] }"}, "label after default"},
        {"when outside filt", {"key 2 = seq { when 1 { s8 @2 [1] } }"}, "when outside filt"},
        {"key id beyond 16 bits", {"key 65536 = s8 @2 [1]"}, "key id out of range"},
        {"tag beyond 16 bits", {"key 2 = s8 @70000 [1]"}, "tag out of range"},
        {"setting beyond 16 bits", {"key 2 = sel s65536 { default: s8 @2 [1] }"}, "setting number out of range"},
        {"when value beyond 16 bits", {"key 2 = filt s0 { when 65536 { s8 @2 [1] } }"}, "when value out of range"},
        {"builder id beyond 16 bits", {"key 2 = built @2 65536"}, "builder id out of range"},
        {"signed byte too large", {"key 2 = s8 @2 [128]"}, "out of range of s8"},
        {"short too large", {"key 2 = s16 @2 [32768]"}, "out of range of s16"},
        {"int32 too large", {"key 2 = int32 @2 [2147483648]"}, "out of range of int32"},
        {"range upside down", {"key 2 = sel s0 { 5..4: s8 @2 [1] }"}, "lower bound above upper bound"},
        {"label beyond 32 bits", {"key 2 = sel s0 { 0x100000000: s8 @2 [1] }"}, "out of the 32-bit range"},
        {"mask beyond 32 bits", {"key 2 = mask s0 & 0x100000000 { default: s8 @2 [1] }"}, "mask out of range"},
        {"string in a numeric leaf", {"key 2 = s8 @2 [\"A\"]"}, "expected a value"},
        {"non-ASCII in a string", {"key 2 = text @2 \"\xC3\xA9\""}, "non-ASCII"},
        {"unknown statement", {"keys 2 = s8 @2 [1]"}, "expected def, key, index"},
        {"missing brace", {"key 2 = seq { s8 @2 [1]"}, "missing '}'"},
        {"empty index list", {"index Parts =\nkey 2 = s8 @2 [1]"}, "lists no entry"},
        {"unknown builder name", {"key 2 = built @2 NoSuchBuilder"}, "f0.model:1: unknown builder 'NoSuchBuilder'"},
        {"unknown internal id name", {"key 2 = s8 @NoSuchId [1]"}, "unknown id name 'NoSuchId'"},
        // the driver tables: a missing piece, a list that does not match, a
        // row that nothing reaches, an id routed twice
        {"composed without pieces", {"composed 4120 =\nkey 2 = s8 @2 [1]"}, "f0.model:1: composed 4120 lists no piece"},
        {"composed piece undefined", {"composed 4120 = Missing"}, "undefined name Missing"},
        {"composed id with a key", {"key 4120 = s8 @4120 [1]", "def P = s8 @Piece [1]\ncomposed 4120 = P"}, "f1.model:2: composed 4120 also has a key (f0.model:1)"},
        {"id routed twice", {"def P = s8 @Piece [1]\ncomposed 4126 = P\nroute 4126 = PrintModeRecord"}, "f0.model:3: Drv id 4126 routed twice (first at f0.model:2)"},
        {"list route without its key", {"route 4119 = QualityList"}, "f0.model:1: route 4119 reads its list from key 4119, which is missing"},
        {"record route with a key", {"key 4126 = s8 @4126 [1]\nroute 4126 = PrintModeRecord"}, "f0.model:2: route 4126 answers without its key; the key (f0.model:1) is never read"},
        {"value list naming no setting", {"route 4109 = ValueList"}, "route 4109 lists values but names no setting"},
        {"names of a setting without values", {"key 4108 = s8 @4108 [3]\nroute 4108 = EntryList names Colour"}, "f0.model:2: route 4108 names setting 4, which has no values"},
        {"default pair without a key", {"key 4119 = s8 @4119 [1]\nroute 4119 = QualityList default DefaultQuality"}, "route 4119: default pair 20485 has no key"},
        {"values nobody names", {"values s4 { 3: 15003 }"}, "f0.model:1: values of setting 4 that no route names"},
        {"values given twice", {"values s4 { 3: 15003 }\nvalues Colour { 3: 15003 }"}, "f0.model:2: values of setting 4 given twice"},
        {"value listed twice", {"values s4 {\n 3: 15003\n 3: 15004 }"}, "f0.model:3: value 3 listed twice"},
        {"adjustment without rules", {"route 4191 = Adjustment"}, "f0.model:1: route 4191 adjusts by no rule list"},
        {"rules of a list", {"key 4119 = s8 @4119 [1]\nroute 4119 = QualityList rules Rules1"}, "f0.model:2: route 4119 has rules but is no Adjustment"},
        {"unknown route kind", {"route 4109 = Listing"}, "expected a kind of Drv id"},
        {"composed routed by route", {"route 4120 = Composed"}, "composed ids are routed by their composed statement"},
        // the print-mode record read from its selection
        {"print-mode key by default", {"def A = s8 @2 [1]\ndef R = sel s5 { default: A }\nprintmodes R keys s4 s9 s5 s8 s6 s81" kModeRecord "modes A groups [1] dry 1 ink 1"}, "f0.model:2: a key of the print-mode selection needs values"},
        {"print mode missing a key", {"def A = s8 @2 [1]\ndef R = sel s5 { 1: A }\nprintmodes R keys s4 s9 s5 s8 s6 s81" kModeRecord "modes A groups [1] dry 1 ink 1"}, "print mode reached without setting 4"},
        {"print-mode media without group", {"def A = s8 @2 [1]\ndef R = sel s4 { 3: sel s9 { 0: sel s5 { 7: sel s8 { 1: sel s6 { 1: sel s81 { 0: A } } } } } }\nprintmodes R keys s4 s9 s5 s8 s6 s81" kModeRecord "modes A groups [1] dry 1 ink 1"}, "f0.model:3: media 7 is in no print-mode group"},
        {"print-mode block never reached", {"def A = s8 @2 [1]\ndef B = s8 @2 [2]\ndef R = sel s4 { 3: sel s9 { 0: sel s5 { 1: sel s8 { 1: sel s6 { 1: sel s81 { 0: A } } } } } }\nprintmodes R keys s4 s9 s5 s8 s6 s81" kModeRecord "modes A B groups [1] dry 1 ink 1"}, "mode B that the selection never reaches"},
        {"print-mode leaf that is no block", {"def R = sel s4 { 3: s8 @2 [1] }\nprintmodes R keys s4 s9 s5 s8 s6 s81" kModeRecord "modes R groups [1] dry 1 ink 1"}, "holds only sel nodes and mode blocks"},
        {"mode block without ESC ( c", {"def A = bytes @2 [0x1B 0x28 0x74 0x01 0x00 0x05]\n" kModeTree "printmodes R keys s4 s9 s5 s8 s6 s81" kModeRecord "modes\n A groups [1] dry 1 ink 1"}, "f0.model:4: mode A has no ESC ( c"},
        {"mode block cut short", {"def A = bytes @2 [0x1B 0x28 0x63 0x05 0x00 1 2 3]\n" kModeTree "printmodes R keys s4 s9 s5 s8 s6 s81" kModeRecord "modes A groups [1] dry 1 ink 1"}, "mode A is not a run of ESC ( commands"},
        {"mode listed twice", {"def A = bytes @2 [0x1B 0x28 0x63 0x03 0x00 1 2 3 0x1B 0x28 0x74 0x00 0x00]\n" kModeTree "printmodes R keys s4 s9 s5 s8 s6 s81" kModeRecord "modes A A groups [1] dry 1 ink 1"}, "mode A listed twice"},
        {"media in two groups", {"def A = s8 @2 [1]\n" kModeTree "printmodes R keys s4 s9 s5 s8 s6 s81" kModeRecord "modes A groups [1] dry 1 ink 1\n [1] dry 2 ink 2"}, "f0.model:4: media 1 in two groups"},
        {"media group nothing reaches", {"def A = s8 @2 [1]\n" kModeTree "printmodes R keys s4 s9 s5 s8 s6 s81" kModeRecord "modes A groups [1] dry 1 ink 1\n [2] dry 2 ink 2"}, "f0.model:4: media group 1 that no print mode reaches"},
        // the media override's tables
        {"media class given twice", {"mediaquality { 1: 3 }\nmediaclass 1 = 1", "mediaclass 1 = 1"}, "f1.model:1: media class 1 given twice (first at f0.model:2)"},
        {"paper size of a class twice", {"mediaclass 1 = 1 {\n 43: 262\n 43: 283 }"}, "f0.model:3: paper size 43 listed twice"},
        {"class media without quality", {"mediaquality { 1: 3 }\nmediaclass 3 = 1 { 43: 283 }"}, "f0.model:2: media 283 of class 3 has no mediaquality"},
        {"quality media twice", {"mediaquality { 1: 3\n 1: 2 }"}, "f0.model:2: media 1 listed twice"},
        // names of setting values
        {"names of an unnamed setting", {"setting s9 { 0: Off }"}, "f0.model:1: setting 9 has no name"},
        {"value named twice", {"setting Media {\n 1: Plain\n 1: Paper }"}, "f0.model:3: value 1 named twice"},
        {"name given twice", {"setting Media { 1: Plain\n 2: PLAIN }"}, "f0.model:2: name PLAIN given to two values"},
        {"setting named twice", {"setting Media { 1: Plain }", "setting s5 { 2: Other }"}, "f1.model:1: names of setting 5 given twice"},
        {"setting value without a name", {"setting Media { 1: }"}, "expected the name of the value"},
        {"offers of no list", {"key 4097 = s8 @4097 [1]\noffers Quality = 4097"}, "offers: 4097 is no list id"},
        {"offers without a value", {"offers Borderless = [ ]"}, "offers without a value"},
        {"about of no id", {"about 4097 \"x\""}, "about 4097: no Drv id of that number"},
        {"about twice", {"key 4097 = s8 @4097 [1]\nabout 4097 \"x\"\nabout 4097 \"y\""}, "about 4097 given twice"},
        // clang-format on
    };
    for (const Case& c : cases) {
        std::string error = Compile(c.sources);
        EXPECT_NE(error.find(c.message), std::string::npos)
            << c.what << ": got \"" << error << "\", expected \"" << c.message << "\"";
    }
}

// Runs the engine over a compiled model.
class CompiledModelTest : public ::testing::Test
{
  protected:
    void Load(const std::vector<std::string>& sources)
    {
        ASSERT_EQ(Compile(sources, &model_), "");
        SwapModelTables(tables_.From(model_));
    }
    void TearDown() override { SwapModelTables(nullptr); }

    // The answer as 32-bit values, or the result code as the only element
    // (negated and offset so it cannot be mistaken for a value).
    std::vector<LONG> Values(DWORD id, std::vector<LONG> settings,
                             std::vector<const char*> strings = {})
    {
        DataBaseRequest req{};
        req.Settings = settings.empty() ? nullptr : settings.data();
        req.SettingCount = static_cast<DWORD>(settings.size());
        req.Strings = strings.empty() ? nullptr : strings.data();
        req.StringCount = static_cast<DWORD>(strings.size());
        EntryDescriptor leaf{};
        BYTE buffer[256];
        DWORD size = 0;
        LONG r = FindEntry(id, &req, &leaf);
        if (r == DB_OK)
            r = ReadEntry(&req, sizeof buffer, buffer, &size, &leaf);
        if (r != DB_OK)
            return {-1000 - r};
        std::vector<LONG> values;
        for (DWORD i = 0; i + 4 <= size; i += 4)
            values.push_back(static_cast<LONG>(buffer[i] | buffer[i + 1] << 8 |
                                               buffer[i + 2] << 16 |
                                               static_cast<DWORD>(buffer[i + 3]) << 24));
        return values;
    }

    modelc::CompiledModel model_;
    CompiledTables tables_;
};

const LONG kNoAnswer = -1000 - DB_NO_ANSWER;

TEST_F(CompiledModelTest, SharedTreesAcrossFilesWalkAsWritten)
{
    Load({"key 4097, 4098, 4099 = Paper\n",
          "def Margins = sel s81 {\n"
          "  1: seq { s16 @4097 [21000 29700]  s16 @4098 [0 0] }\n"
          "  default: seq { s16 @4097 [20320 28900]  s16 @4098 [300 340] }\n"
          "}\n"
          "def Paper = filt s28 {\n"
          "  s8 @4098 [-7]\n" // unconditional child, passed over unless 4098
          "  when 9 { s16 @4099 [21000 29700] Margins }\n"
          "  when 11 { s16 @4099 [14800 21000] Margins }\n"
          "}\n"});
    std::vector<LONG> s(82, 0);
    s[28] = 9;
    EXPECT_EQ(Values(4097, s), (std::vector<LONG>{20320, 28900}));
    EXPECT_EQ(Values(4099, s), (std::vector<LONG>{21000, 29700}));
    EXPECT_EQ(Values(4098, s), (std::vector<LONG>{-7}));
    s[28] = 11;
    s[81] = 1;
    EXPECT_EQ(Values(4097, s), (std::vector<LONG>{21000, 29700}));
    EXPECT_EQ(Values(4099, s), (std::vector<LONG>{14800, 21000}));
    s[28] = 2;
    EXPECT_EQ(Values(4097, s), (std::vector<LONG>{kNoAnswer}));
}

TEST_F(CompiledModelTest, LabelsOfEveryKind)
{
    Load({"key 8259 = sel s6 {\n"
          "  5632..5685: s16 @8259 [5016 200 0]\n"
          "  4096: s16 @8259 [5038 300 0]\n"
          "  -1: s16 @8259 [1]\n"
          "}\n"
          "key 8245 = mask s11 & 0x3f {\n"
          "  0: s16 @8245 [5033 5571 0 0 0 0 0]\n"
          "  16: s16 @8245 [5033 5572 0 0 0 0 0]\n"
          "  default: s8 @8245 [0]\n"
          "}\n"
          "key 8237 = str 4 { \"Cleaning\": s8 @8237 [1] \"TestPrint\": s8 @8237 [1] default: s8 "
          "@8237 [0] }\n"
          "key 2 = built @2 9999\n"});
    std::vector<LONG> s(12, 0);
    const std::vector<LONG> none;
    s[6] = 5632;
    EXPECT_EQ(Values(8259, s), (std::vector<LONG>{5016, 200, 0}));
    s[6] = 5685;
    EXPECT_EQ(Values(8259, s), (std::vector<LONG>{5016, 200, 0}));
    s[6] = 5686;
    EXPECT_EQ(Values(8259, s), (std::vector<LONG>{kNoAnswer}));
    s[6] = -1;
    EXPECT_EQ(Values(8259, s), (std::vector<LONG>{1}));
    s[11] = 0x40 | 16;
    EXPECT_EQ(Values(8245, s), (std::vector<LONG>{5033, 5572, 0, 0, 0, 0, 0}));
    s[11] = 3;
    EXPECT_EQ(Values(8245, s), (std::vector<LONG>{0}));
    std::vector<const char*> strings(5, "");
    strings[4] = "TestPrint";
    EXPECT_EQ(Values(8237, none, strings), (std::vector<LONG>{1}));
    strings[4] = "Test";
    EXPECT_EQ(Values(8237, none, strings), (std::vector<LONG>{0}));
    EXPECT_EQ(Values(2, none), std::vector<LONG>{}) << "unknown builder yields an empty answer";
}

TEST_F(CompiledModelTest, IndexListsPointAtTheirEntries)
{
    Load({"def EscAt = bytes @20488 [0x1B 0x40]\n"
          "index Parts = EscAt bytes @20488 [0x0C]\n"
          "key 20488 = EscAt\n"});
    ASSERT_EQ(model_.indexLists.size(), 1u);
    const modelc::IndexList& parts = model_.indexLists[0];
    EXPECT_EQ(parts.name, "Parts");
    ASSERT_EQ(parts.entries.size(), 2u);
    EXPECT_EQ(parts.entries[0], model_.keys[0].second) << "a def has one canonical entry";
    for (DWORD index : parts.entries) {
        EntryDescriptor leaf{};
        const auto& e = model_.entries.at(index);
        EXPECT_EQ(ResolveEntry(20488, nullptr, e.first, e.second, &leaf), DB_OK);
    }
    std::string cpp = modelc::EmitCpp(model_, {"a.model"}, "Other");
    EXPECT_NE(cpp.find("extern const ModelTables Other"), std::string::npos);
    EXPECT_NE(cpp.find("extern const DWORD PartsCount = 2u;"), std::string::npos);
}

// The record's mode rows come from the blocks: their place, their ESC ( c
// data and their ESC ( t pattern numbered in order of first appearance.
// Every named setting is listed; its values are those of its value list in
// list order, named where a setting statement names them, then those only
// the statement names.
TEST(ModelCompilerSettingNames, ValueListsAndNamesMerge)
{
    modelc::CompiledModel model;
    ASSERT_EQ(Compile({"key 4110 = s16 @4110 [1]\nroute 4110 = EntryList names Media\n"
                       "values Media { 281: 15127  1: 15101  2: 15102 }",
                       "setting Media { 1: PlainPaper  -1: Unset  281: PhotoPaper }"},
                      &model),
              "");
    const modelc::NamedSetting* media = nullptr;
    for (const modelc::NamedSetting& s : model.settings)
        if (s.number == 5)
            media = &s;
    ASSERT_NE(media, nullptr);
    EXPECT_EQ(media->name, "Media");
    std::vector<std::pair<int32_t, std::string>> expected = {
        {281, "PhotoPaper"}, {1, "PlainPaper"}, {2, ""}, {-1, "Unset"}};
    EXPECT_EQ(media->values, expected);
    std::string cpp = modelc::EmitNamesCpp(model, {"f.model"});
    EXPECT_NE(cpp.find("{\"Media\", 5, kValues + "), std::string::npos) << cpp;
    EXPECT_NE(cpp.find("{-1, \"Unset\"}"), std::string::npos) << cpp;
}

// What the tools learn of the Drv ids: the settings on the way to each
// id's leaves (not those of branches that lead elsewhere), a list's default
// pair's too, a composed sequence's from its pieces; with the offers and
// abouts, into the names table.
TEST(ModelCompilerDrvIds, ReadsOffersAndAbouts)
{
    modelc::CompiledModel model;
    ASSERT_EQ(
        Compile({"def T = filt s28 { when 9 { s16 @4099 [1] sel s81 { 1: s16 @4097 [2] } } }\n"
                 "key 4097, 4099 = T\n"
                 "key 4118 = sel s5 { 1: s16 @4118 [1 3] }\n"
                 "key DefaultQuality = sel s7 { 7: int32 @DefaultQuality [3 1] }\n"
                 "route 4118 = QualityList default DefaultQuality\n"
                 "composed 4121 = Piece1\n"
                 "def Piece1 = sel s4 { 3: bytes @Piece [0x1B] }\n",
                 "offers Quality = 4118\noffers Borderless = [0 1]\n"
                 "offers Quality = 4118 when Media 1\nabout 4121 \"job setup\""},
                &model),
        "");
    std::map<int, std::vector<uint16_t>> reads;
    for (const modelc::DrvId& d : model.drvIds)
        reads[d.id] = d.reads;
    EXPECT_EQ(reads[4099], std::vector<uint16_t>({28}));
    EXPECT_EQ(reads[4097], std::vector<uint16_t>({28, 81}));
    EXPECT_EQ(reads[4118], std::vector<uint16_t>({5, 7}));
    EXPECT_EQ(reads[4121], std::vector<uint16_t>({4}));
    ASSERT_EQ(model.offers.size(), 3u);
    EXPECT_EQ(model.offers[1].values, std::vector<int32_t>({0, 1}));
    EXPECT_TRUE(model.offers[2].conditional);
    std::string cpp = modelc::EmitNamesCpp(model, {"f.model"});
    EXPECT_NE(cpp.find("{4121, 4, \"job setup\", kReads + "), std::string::npos) << cpp;
    EXPECT_NE(cpp.find("{8, 4118, kOfferValues + 2, 0, true, 5, 1}"), std::string::npos) << cpp;
}

TEST(ModelCompilerPrintModes, ParametersComeFromTheBlocks)
{
    modelc::CompiledModel model;
    ASSERT_EQ(
        Compile({"def A = bytes @2 [0x1B 0x28 0x63 0x03 0x00 1 2 3 0x1B 0x28 0x74 0x01 0x00 7]\n"
                 "def B = bytes @2 [0x1B 0x28 0x74 0x01 0x00 8 0x1B 0x28 0x63 0x03 0x00 4 5 6]\n"
                 "def C = bytes @2 [0x1B 0x28 0x63 0x03 0x00 9 9 9 0x1B 0x28 0x74 0x01 0x00 7]\n"
                 "def R = sel s4 { 3: sel s9 { 0: sel s5 { 1: sel s8 { 1: sel s6 {\n"
                 "  1: sel s81 { 0: A }  2: sel s81 { 0: B }  3: sel s81 { 0: C } } } } } }\n"
                 "printmodes R keys s4 s9 s5 s8 s6 s81" kModeRecord "modes C B A\n"
                 "groups [1 2] dry 5 ink 6"},
                &model),
        "");
    ASSERT_EQ(model.modeParameters.size(), 3u);
    const modelc::ModeParameterRow& c = model.modeParameters[0];
    const modelc::ModeParameterRow& b = model.modeParameters[1];
    const modelc::ModeParameterRow& a = model.modeParameters[2];
    EXPECT_EQ(std::vector<int>({c.block, b.block, a.block}), std::vector<int>({1, 2, 3}));
    EXPECT_EQ(std::vector<int>({c.pattern, b.pattern, a.pattern}), std::vector<int>({1, 2, 1}));
    EXPECT_EQ(std::vector<int>(b.modeBytes, b.modeBytes + 3), std::vector<int>({4, 5, 6}));
    EXPECT_EQ(a.colourTable, "t.tbl");
    ASSERT_EQ(model.printModes.size(), 3u);
    EXPECT_EQ(model.printModes[0].keys[4], 1);
    EXPECT_EQ(model.printModes[0].mode, 2) << "s6 = 1 reaches A, the third mode";
    ASSERT_EQ(model.mediaGroups.size(), 1u);
    EXPECT_EQ(model.mediaGroups[0].media, 1) << "a group is named by its first media";
}

} // namespace
