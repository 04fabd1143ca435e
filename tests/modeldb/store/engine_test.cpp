// The tree walk and the leaf reader on small hand-built tables.
#include <cstring>

#include "store_fixture.h"

namespace
{

struct Answer {
    LONG result;
    DWORD size;
    std::vector<BYTE> bytes;
};

// FindEntry then ReadEntry, as every caller does, into a buffer of `capacity`
// bytes pre-filled with 0xEE so that untouched bytes show.
Answer Ask(DWORD id, const DataBaseRequest* request, DWORD capacity = 256)
{
    Answer a{0, 0xDEADu, std::vector<BYTE>(capacity, 0xEE)};
    EntryDescriptor leaf{};
    a.result = FindEntry(id, request, &leaf);
    if (a.result == DB_OK)
        a.result = ReadEntry(request, capacity, a.bytes.data(), &a.size, &leaf);
    return a;
}

struct Request {
    std::vector<LONG> settings;
    std::vector<const char*> strings;
    DataBaseRequest r{};
    explicit Request(std::vector<LONG> s = {}, std::vector<const char*> str = {})
        : settings(std::move(s)), strings(std::move(str))
    {
        r.SettingCount = static_cast<DWORD>(settings.size());
        r.Settings = settings.empty() ? nullptr : settings.data();
        r.StringCount = static_cast<DWORD>(strings.size());
        r.Strings = strings.empty() ? nullptr : strings.data();
    }
    const DataBaseRequest* operator&() const { return &r; }
};

class EngineTest : public StoreTest
{
};

TEST_F(EngineTest, UnknownIdAndNoLeafAreDifferentAnswers)
{
    TableBuilder t;
    t.Key(0x1001, t.Seq({t.ByteLeaf(EntryType::SignedBytes, 0x1002, {5})}));
    Use(t);
    Request req;
    EXPECT_EQ(Ask(0x1003, &req).result, DB_UNKNOWN_ID);
    EXPECT_EQ(Ask(0x1001, &req).result, DB_NO_ANSWER);
}

TEST_F(EngineTest, TextSizeQueryAndRead)
{
    TableBuilder t;
    t.Key(3, t.Text(3, "qmxwa7k.dll")); // 11 characters + terminator
    Use(t);
    Request req;
    EntryDescriptor leaf{};
    ASSERT_EQ(FindEntry(3, &req, &leaf), DB_OK);

    DWORD size = 0;
    EXPECT_EQ(ReadEntry(&req, 0, nullptr, &size, &leaf), DB_MORE_DATA);
    EXPECT_EQ(size, 24u);

    std::vector<BYTE> buffer(24, 0xEE);
    size = 0;
    EXPECT_EQ(ReadEntry(&req, 23, buffer.data(), &size, &leaf), DB_MORE_DATA);
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(buffer, std::vector<BYTE>(24, 0xEE)) << "short buffer written";

    EXPECT_EQ(ReadEntry(&req, 24, buffer.data(), &size, &leaf), DB_OK);
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(Narrow(buffer.data()), "qmxwa7k.dll");
    EXPECT_EQ(buffer[22], 0);
    EXPECT_EQ(buffer[23], 0);
}

TEST_F(EngineTest, NumericLeavesWidenByTheirType)
{
    TableBuilder t;
    t.Key(1, t.ByteLeaf(EntryType::SignedBytes, 1, {0xFF, 0x7F}));
    t.Key(2, t.ByteLeaf(EntryType::UnsignedBytes, 2, {0xFF, 0x80}));
    t.Key(3, t.ShortLeaf(EntryType::SignedShorts, 3, {0xFFFF, 21000}));
    t.Key(4, t.ShortLeaf(EntryType::UnsignedShorts, 4, {0xFFFF, 0x8000}));
    t.Key(5, t.LongLeaf(5, {-2147483647 - 1, 600}));
    Use(t);
    const std::vector<LONG> expected[] = {
        {-1, 127}, {255, 128}, {-1, 21000}, {65535, 32768}, {-2147483647 - 1, 600}};
    Request req;
    for (DWORD id = 1; id <= 5; ++id) {
        Answer a = Ask(id, &req);
        ASSERT_EQ(a.result, DB_OK) << id;
        EXPECT_EQ(a.size, 8u) << id;
        EXPECT_EQ(Longs(a.bytes.data(), a.size), expected[id - 1]) << id;
        EXPECT_EQ(a.bytes[a.size], 0xEE) << id << ": wrote past the answer";
    }
}

TEST_F(EngineTest, LeafBeyondItsPoolFailsAfterTheSizeQuery)
{
    TableBuilder t;
    t.bytes = {1, 2};
    t.Key(5, TableBuilder::Words(3, 1, TableBuilder::TagCount(5, 2))); // needs bytes 1..2
    Use(t);
    Request req;
    EntryDescriptor leaf{};
    ASSERT_EQ(FindEntry(5, &req, &leaf), DB_OK);
    DWORD size = 0;
    EXPECT_EQ(ReadEntry(&req, 0, nullptr, &size, &leaf), DB_MORE_DATA);
    EXPECT_EQ(size, 8u);
    std::vector<BYTE> buffer(8, 0xEE);
    size = 0xDEAD;
    EXPECT_EQ(ReadEntry(&req, 8, buffer.data(), &size, &leaf), DB_FAILED);
    EXPECT_EQ(size, 0xDEADu);
    EXPECT_EQ(buffer, std::vector<BYTE>(8, 0xEE));
}

TEST_F(EngineTest, MissingOrBrokenTablesFail)
{
    Request req;
    EntryDescriptor leaf{};
    {
        TableBuilder t; // nothing at all
        Use(t);
        EXPECT_EQ(FindEntry(2, &req, &leaf), DB_FAILED);
    }
    {
        TableBuilder t;
        t.keyIds = {2};
        t.keyEntries = {7}; // beyond the entry table
        t.entries.resize(3);
        Use(t);
        EXPECT_EQ(FindEntry(2, &req, &leaf), DB_FAILED);
    }
    {
        TableBuilder t;
        t.Key(2, t.Seq({TableBuilder::Words(8, 40, 1)})); // child's child beyond the table
        Use(t);
        EXPECT_EQ(FindEntry(2, &req, &leaf), DB_FAILED);
    }
}

TEST_F(EngineTest, EntriesThatAreNeverWalkedFail)
{
    for (BYTE type : {0, 16, 20, 21, 22, 255}) {
        TableBuilder t;
        t.Key(2, TableBuilder::Words(type, 0, 0));
        Use(t);
        Request req;
        EXPECT_EQ(Ask(2, &req).result, DB_FAILED) << int(type);
    }
}

TEST_F(EngineTest, LabelsAndDefaultsReachedDirectlyWalkTheirChildren)
{
    for (EntryType type : {EntryType::WhenSetting, EntryType::CaseEquals, EntryType::CaseDefault}) {
        TableBuilder t;
        EntryDescriptor inner = t.Node(type, 77, {t.ByteLeaf(EntryType::SignedBytes, 2, {4})});
        t.Key(2, inner);
        Use(t);
        Request req;
        Answer a = Ask(2, &req);
        ASSERT_EQ(a.result, DB_OK) << int(static_cast<BYTE>(type));
        EXPECT_EQ(Longs(a.bytes.data(), a.size), std::vector<LONG>{4});
    }
}

TEST_F(EngineTest, SequenceTakesTheFirstChildThatDoesNotPass)
{
    TableBuilder t;
    EntryDescriptor failing = t.Node(EntryType::SelectBySetting, 50, {}); // setting 50 missing
    t.Key(2, t.Seq({t.ByteLeaf(EntryType::SignedBytes, 3, {1}), failing,
                    t.ByteLeaf(EntryType::SignedBytes, 2, {9})}));
    t.Key(3, t.Seq({}));
    Use(t);
    Request req({0});
    EXPECT_EQ(Ask(2, &req).result, DB_NO_SETTINGS) << "the failure must not be passed over";
    EXPECT_EQ(Ask(3, &req).result, DB_NO_ANSWER);
}

// The example of the paper tree: a filtered sequence with one child per
// paper, a selector inside.

TEST_F(EngineTest, SelectorsWithoutTheirInputs)
{
    TableBuilder t;
    t.Key(2, t.Node(EntryType::SelectBySetting, 3,
                    {t.Default(t.ByteLeaf(EntryType::SignedBytes, 2, {1}))}));
    t.Key(3, t.Node(EntryType::FilteredSequence, 3,
                    {t.Node(EntryType::WhenSetting, 0,
                            {t.ByteLeaf(EntryType::SignedBytes, 3, {1})})}));
    t.Key(4, t.Node(EntryType::SelectByString, 1,
                    {t.Match("A", t.ByteLeaf(EntryType::SignedBytes, 4, {1}))}));
    t.Key(5, t.Masked(3, 0xFF, {t.Default(t.ByteLeaf(EntryType::SignedBytes, 5, {1}))}));
    // A filtered sequence without WhenSetting children needs no setting.
    t.Key(6, t.Node(EntryType::FilteredSequence, 3, {t.ByteLeaf(EntryType::SignedBytes, 6, {1})}));
    Use(t);

    Request threeSettings({0, 0, 0});
    Request fourSettings({0, 0, 0, 0});
    Request oneString({}, {"A"});
    Request twoStrings({}, {"A", "A"});
    DataBaseRequest noArrays{};
    noArrays.SettingCount = 10; // counts without arrays
    noArrays.StringCount = 10;

    struct Case {
        DWORD id;
        const DataBaseRequest* request;
        LONG expected;
    };
    const Case cases[] = {
        {2, nullptr, DB_FAILED},
        {2, &threeSettings, DB_NO_SETTINGS},
        {2, &noArrays, DB_NO_SETTINGS},
        {2, &fourSettings, DB_OK},
        {3, nullptr, DB_NO_SETTINGS},
        {3, &threeSettings, DB_NO_SETTINGS},
        {3, &fourSettings, DB_OK},
        {4, nullptr, DB_NO_STRINGS},
        {4, &oneString, DB_NO_STRINGS},
        {4, &noArrays, DB_NO_STRINGS},
        {4, &twoStrings, DB_OK},
        {5, nullptr, DB_FAILED},
        {5, &threeSettings, DB_NO_SETTINGS},
        {5, &fourSettings, DB_OK},
        {6, nullptr, DB_OK},
    };
    for (const Case& c : cases) {
        EntryDescriptor leaf{};
        EXPECT_EQ(FindEntry(c.id, c.request, &leaf), c.expected)
            << "id " << c.id << " request " << (c.request ? "given" : "null");
    }
}

TEST_F(EngineTest, SettingSelectorsMatchEqualsRangesAndDefaults)
{
    TableBuilder t;
    auto leaf = [&t](BYTE v, WORD id = 2) { return t.ByteLeaf(EntryType::SignedBytes, id, {v}); };
    t.Key(2,
          t.Node(EntryType::SelectBySetting, 0,
                 {t.Range(5632, 5685, leaf(1)), t.Equals(4096, leaf(2)),
                  t.Equals(0xFFFFFFFFu, leaf(3)), t.Range(-10, -5, leaf(4)), t.Default(leaf(5))}));
    t.Key(3, t.Node(EntryType::SelectBySetting, 0, {t.Equals(1, leaf(1, 3))})); // no default
    t.Key(4, t.Masked(0, 0x3F, {t.Equals(16, leaf(1, 4)), t.Equals(0, leaf(2, 4))}));
    Use(t);

    struct Case {
        DWORD id;
        LONG setting;
        LONG result;
        LONG value;
    };
    const Case cases[] = {
        {2, 5632, DB_OK, 1}, {2, 5685, DB_OK, 1},        {2, 5631, DB_OK, 5}, {2, 5686, DB_OK, 5},
        {2, 4096, DB_OK, 2}, {2, -1, DB_OK, 3},          {2, -10, DB_OK, 4},  {2, -5, DB_OK, 4},
        {2, -11, DB_OK, 5},  {3, 2, DB_NO_ANSWER, 0},    {3, 1, DB_OK, 1},    {4, 0x50, DB_OK, 1},
        {4, 0x40, DB_OK, 2}, {4, 0x41, DB_NO_ANSWER, 0},
    };
    for (const Case& c : cases) {
        Request req({c.setting});
        Answer a = Ask(c.id, &req);
        ASSERT_EQ(a.result, c.result) << c.id << " setting " << c.setting;
        if (c.result == DB_OK) {
            EXPECT_EQ(Longs(a.bytes.data(), a.size), std::vector<LONG>{c.value})
                << c.id << " setting " << c.setting;
        }
    }
}

TEST_F(EngineTest, TargetThatDoesNotAnswerEndsTheScan)
{
    TableBuilder t;
    t.Key(2, t.Node(EntryType::SelectBySetting, 0,
                    {t.Equals(1, t.ByteLeaf(EntryType::SignedBytes, 99, {1})),
                     t.Default(t.ByteLeaf(EntryType::SignedBytes, 2, {2}))}));
    Use(t);
    Request req({1});
    EXPECT_EQ(Ask(2, &req).result, DB_NO_ANSWER);
}

TEST_F(EngineTest, MalformedSelectorsFail)
{
    struct Case {
        const char* name;
        void (*build)(TableBuilder&);
    };
    const Case cases[] = {
        {"label of a leaf type",
         [](TableBuilder& t) {
             t.Key(2, t.Node(EntryType::SelectBySetting, 0,
                             {t.ByteLeaf(EntryType::SignedBytes, 2, {1})}));
         }},
        {"range beyond the long pool",
         [](TableBuilder& t) {
             t.Key(2, t.Node(EntryType::SelectBySetting, 0,
                             {TableBuilder::Words(21, 0, 0xFFFFFFFFu)}));
         }},
        {"label target beyond the table",
         [](TableBuilder& t) {
             t.Key(2, t.Node(EntryType::SelectBySetting, 0, {TableBuilder::Words(17, 5000, 0)}));
         }},
        {"mask without its header",
         [](TableBuilder& t) {
             EntryDescriptor notHeader = t.ByteLeaf(EntryType::SignedBytes, 2, {1});
             DWORD at = t.Append(notHeader);
             t.Key(2, TableBuilder::Words(19, at, TableBuilder::TagCount(0, 0)));
         }},
        {"string label with a non-byte candidate",
         [](TableBuilder& t) {
             DWORD target = t.Append(t.ByteLeaf(EntryType::SignedBytes, 2, {1}));
             t.Key(2,
                   t.Node(EntryType::SelectByString, 0, {TableBuilder::Words(16, target, target)}));
         }},
        {"string label beyond the match pool",
         [](TableBuilder& t) {
             DWORD target = t.Append(t.ByteLeaf(EntryType::SignedBytes, 2, {1}));
             DWORD candidate = t.Append(TableBuilder::Words(1, 0, TableBuilder::TagCount(0, 3)));
             t.matches = {'A', 'B'};
             t.Key(2, t.Node(EntryType::SelectByString, 0,
                             {TableBuilder::Words(16, target, candidate)}));
         }},
        {"equals label in a string selector",
         [](TableBuilder& t) {
             t.Key(2, t.Node(EntryType::SelectByString, 0,
                             {t.Equals(1, t.ByteLeaf(EntryType::SignedBytes, 2, {1}))}));
         }},
        {"a loop in the tables",
         [](TableBuilder& t) {
             t.entries.push_back(TableBuilder::Words(8, 0, 1)); // a sequence whose child is itself
             t.keyIds.push_back(2);
             t.keyEntries.push_back(0);
         }},
    };
    for (const Case& c : cases) {
        TableBuilder t;
        c.build(t);
        Use(t);
        Request req({1}, {"ABC"});
        EXPECT_EQ(Ask(2, &req).result, DB_FAILED) << c.name;
    }
}

TEST_F(EngineTest, StringSelectorsMatchExactly)
{
    TableBuilder t;
    auto leaf = [&t](BYTE v) { return t.ByteLeaf(EntryType::SignedBytes, 2, {v}); };
    t.Key(2, t.Node(EntryType::SelectByString, 1,
                    {t.Match("CMS", leaf(1)), t.Match("", leaf(2)), t.Match("CM", leaf(3))}));
    t.Key(3, t.Node(EntryType::SelectByString, 0,
                    {t.Match("Cleaning", t.ByteLeaf(EntryType::SignedBytes, 3, {1})),
                     t.Default(t.ByteLeaf(EntryType::SignedBytes, 3, {0}))}));
    Use(t);
    struct Case {
        DWORD id;
        const char* text;
        LONG result;
        LONG value;
    };
    const Case cases[] = {
        {2, "CMS", DB_OK, 1},      {2, "", DB_OK, 2},           {2, nullptr, DB_OK, 2},
        {2, "CM", DB_OK, 3},       {2, "cms", DB_NO_ANSWER, 0}, {2, "CMSX", DB_NO_ANSWER, 0},
        {3, "Cleaning", DB_OK, 1}, {3, "Cleaning ", DB_OK, 0},  {3, "Clean", DB_OK, 0},
    };
    for (const Case& c : cases) {
        Request req({}, {c.text, c.text});
        Answer a = Ask(c.id, &req);
        ASSERT_EQ(a.result, c.result) << c.id << " '" << (c.text ? c.text : "(null)") << "'";
        if (c.result == DB_OK) {
            EXPECT_EQ(Longs(a.bytes.data(), a.size), std::vector<LONG>{c.value});
        }
    }
}

TEST_F(EngineTest, BuilderThatYieldsNothingGivesAnEmptyAnswer)
{
    TableBuilder t;
    t.Key(0x1100, t.Built(0x1100, 0x7777)); // no builder has this id
    Use(t);
    Request req;
    EntryDescriptor leaf{};
    ASSERT_EQ(FindEntry(0x1100, &req, &leaf), DB_OK);
    std::vector<BYTE> buffer(16, 0xEE);
    DWORD size = 0xDEAD;
    EXPECT_EQ(ReadEntry(&req, 16, buffer.data(), &size, &leaf), DB_OK);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(buffer, std::vector<BYTE>(16, 0xEE));
    size = 0xDEAD;
    EXPECT_EQ(ReadEntry(&req, 0, nullptr, &size, &leaf), DB_OK);
    EXPECT_EQ(size, 0u);
}

TEST_F(EngineTest, ReaderRejectsBadArguments)
{
    DataBaseRequest req{};
    EntryDescriptor text = TableBuilder::Words(7, 0, TableBuilder::TagCount(2, 1));
    EntryDescriptor node = TableBuilder::Words(8, 0, 0);
    DWORD size = 0;
    BYTE buffer[4];
    EXPECT_EQ(ReadEntry(&req, 4, buffer, &size, nullptr), DB_FAILED);
    EXPECT_EQ(ReadEntry(&req, 4, buffer, nullptr, &text), DB_FAILED);
    EXPECT_EQ(ReadEntry(&req, 4, buffer, &size, &node), DB_FAILED);
    EXPECT_EQ(ResolveEntry(2, &req, text.TypeOffset, text.TagCount, nullptr), DB_FAILED);
}

TEST(CompareBytes, PresenceAndLength)
{
    const char a[] = "ABC";
    const char b[] = "ABD";
    EXPECT_EQ(CompareBytes(a, b, 2), 1);
    EXPECT_EQ(CompareBytes(a, b, 3), 0);
    EXPECT_EQ(CompareBytes(a, b, 0), 1);
    EXPECT_EQ(CompareBytes(nullptr, b, 0), 0);
    EXPECT_EQ(CompareBytes(a, nullptr, 0), 0);
}

} // namespace
