// The shape of the LM, Mnt, PA and SM databases as their callers rely on it:
// which ids exist, and for each the kind of its top entry (a value list of a
// given length, a text, or a selection on a given setting or string).
#include "model_query.h"

#include <map>
#include <set>

using namespace modeldata;

namespace
{

enum class Kind {
    Values,   // n values, each delivered as a 32-bit number
    Text,     // n UTF-16 units, terminator included
    Select,   // selection on setting n
    Mask,     // selection on setting n masked with `mask`
    ByString, // selection on string n
};

struct Shape {
    Access db;
    DWORD id;
    Kind kind;
    DWORD n;
    DWORD mask;
};

const Shape kShapes[] = {
    {XDB_AccessLMDataBase, 8193, Kind::ByString, 1, 0},
    {XDB_AccessLMDataBase, 8194, Kind::Select, 5, 0},
    {XDB_AccessLMDataBase, 8196, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8199, Kind::Values, 5, 0},
    {XDB_AccessLMDataBase, 8201, Kind::ByString, 0, 0},
    {XDB_AccessLMDataBase, 8202, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8204, Kind::ByString, 1, 0},
    {XDB_AccessLMDataBase, 8205, Kind::Select, 7, 0},
    {XDB_AccessLMDataBase, 8206, Kind::Select, 7, 0},
    {XDB_AccessLMDataBase, 8207, Kind::ByString, 1, 0},
    {XDB_AccessLMDataBase, 8210, Kind::Mask, 2, 0xff},
    {XDB_AccessLMDataBase, 8212, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8214, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8215, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8216, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8217, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8218, Kind::Text, 12, 0},
    {XDB_AccessLMDataBase, 8219, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8220, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8221, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8222, Kind::Values, 4, 0},
    {XDB_AccessLMDataBase, 8225, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8226, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8235, Kind::Text, 12, 0},
    {XDB_AccessLMDataBase, 8237, Kind::ByString, 4, 0},
    {XDB_AccessLMDataBase, 8239, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8240, Kind::Mask, 0, 0xf0000},
    {XDB_AccessLMDataBase, 8243, Kind::Values, 7, 0},
    {XDB_AccessLMDataBase, 8244, Kind::Mask, 2, 0xff},
    {XDB_AccessLMDataBase, 8245, Kind::Mask, 11, 0x3f},
    {XDB_AccessLMDataBase, 8246, Kind::Select, 10, 0},
    {XDB_AccessLMDataBase, 8248, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8249, Kind::Mask, 12, 0xff},
    {XDB_AccessLMDataBase, 8251, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8253, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8257, Kind::Values, 3, 0},
    {XDB_AccessLMDataBase, 8258, Kind::Values, 3, 0},
    {XDB_AccessLMDataBase, 8259, Kind::Select, 6, 0},
    {XDB_AccessLMDataBase, 8260, Kind::Mask, 2, 0xff},
    {XDB_AccessLMDataBase, 8261, Kind::Values, 3, 0},
    {XDB_AccessLMDataBase, 8263, Kind::Values, 3, 0},
    {XDB_AccessLMDataBase, 8264, Kind::ByString, 4, 0},
    {XDB_AccessLMDataBase, 8265, Kind::Select, 13, 0},
    {XDB_AccessLMDataBase, 8274, Kind::ByString, 7, 0},
    {XDB_AccessLMDataBase, 8275, Kind::Select, 14, 0},
    {XDB_AccessLMDataBase, 8276, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8277, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8283, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8285, Kind::ByString, 9, 0},
    {XDB_AccessLMDataBase, 8286, Kind::ByString, 9, 0},
    {XDB_AccessLMDataBase, 8288, Kind::Select, 20, 0},
    {XDB_AccessLMDataBase, 8289, Kind::Values, 3, 0},
    {XDB_AccessLMDataBase, 8290, Kind::Mask, 23, 0xff},
    {XDB_AccessLMDataBase, 8291, Kind::Select, 28, 0},
    {XDB_AccessLMDataBase, 8292, Kind::Mask, 23, 0xff},
    {XDB_AccessLMDataBase, 8300, Kind::Mask, 21, 0xffff},
    {XDB_AccessLMDataBase, 8301, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8302, Kind::Values, 1, 0},
    {XDB_AccessLMDataBase, 8304, Kind::Values, 1, 0},
    {XDB_AccessMntDataBase, 12289, Kind::Values, 80, 0},
    {XDB_AccessMntDataBase, 12290, Kind::Values, 1, 0},
    {XDB_AccessMntDataBase, 12291, Kind::Values, 261, 0},
    {XDB_AccessMntDataBase, 12292, Kind::Values, 1, 0},
    {XDB_AccessMntDataBase, 12294, Kind::Values, 1, 0},
    {XDB_AccessMntDataBase, 12295, Kind::Values, 6, 0},
    {XDB_AccessMntDataBase, 12296, Kind::Values, 1, 0},
    {XDB_AccessMntDataBase, 12297, Kind::Values, 24, 0},
    {XDB_AccessMntDataBase, 12298, Kind::Values, 1, 0},
    {XDB_AccessMntDataBase, 12299, Kind::Select, 0, 0},
    {XDB_AccessMntDataBase, 12300, Kind::Select, 0, 0},
    {XDB_AccessMntDataBase, 12301, Kind::Values, 1, 0},
    {XDB_AccessMntDataBase, 12302, Kind::Select, 0, 0},
    {XDB_AccessMntDataBase, 12304, Kind::Values, 3, 0},
    {XDB_AccessMntDataBase, 12306, Kind::Select, 0, 0},
    {XDB_AccessMntDataBase, 12307, Kind::Values, 1, 0},
    {XDB_AccessMntDataBase, 12308, Kind::Select, 0, 0},
    {XDB_AccessMntDataBase, 12309, Kind::Values, 6, 0},
    {XDB_AccessPADataBase, 16385, Kind::Values, 12, 0},
    {XDB_AccessPADataBase, 16386, Kind::Select, 0, 0},
    {XDB_AccessPADataBase, 16387, Kind::Select, 0, 0},
    {XDB_AccessPADataBase, 16390, Kind::Select, 0, 0},
    {XDB_AccessPADataBase, 16391, Kind::Select, 0, 0},
    {XDB_AccessPADataBase, 16392, Kind::Values, 1, 0},
    {XDB_AccessSMDataBase, 24577, Kind::Select, 5, 0},
    {XDB_AccessSMDataBase, 24578, Kind::Select, 0, 0},
    {XDB_AccessSMDataBase, 24579, Kind::Select, 0, 0},
    {XDB_AccessSMDataBase, 24580, Kind::Select, 0, 0},
    {XDB_AccessSMDataBase, 24581, Kind::Select, 0, 0},
    {XDB_AccessSMDataBase, 24582, Kind::Select, 2, 0},
    {XDB_AccessSMDataBase, 24583, Kind::ByString, 1, 0},
    {XDB_AccessSMDataBase, 24584, Kind::Select, 0, 0},
    {XDB_AccessSMDataBase, 24585, Kind::Select, 6, 0},
    {XDB_AccessSMDataBase, 24589, Kind::Values, 1, 0},
    {XDB_AccessSMDataBase, 24590, Kind::Values, 1, 0},
    {XDB_AccessSMDataBase, 24591, Kind::Values, 25, 0},
    {XDB_AccessSMDataBase, 24592, Kind::Select, 9, 0},
    {XDB_AccessSMDataBase, 24593, Kind::Values, 1, 0},
    {XDB_AccessSMDataBase, 24594, Kind::Select, 12, 0},
    {XDB_AccessSMDataBase, 24595, Kind::Select, 14, 0},
    {XDB_AccessSMDataBase, 24596, Kind::Select, 5, 0},
    {XDB_AccessSMDataBase, 24598, Kind::Values, 1, 0},
    {XDB_AccessSMDataBase, 24599, Kind::ByString, 7, 0},
    {XDB_AccessSMDataBase, 24600, Kind::Select, 2, 0},
    {XDB_AccessSMDataBase, 24601, Kind::Select, 16, 0},
    {XDB_AccessSMDataBase, 24603, Kind::Select, 0, 0},
    {XDB_AccessSMDataBase, 24605, Kind::Values, 1, 0},
    {XDB_AccessSMDataBase, 24607, Kind::Values, 1, 0},
};

class DatabaseShape : public ModelTest
{
};

TEST_F(DatabaseShape, EveryIdHasItsTopEntry)
{
    for (const Shape& s : kShapes) {
        SCOPED_TRACE("id " + std::to_string(s.id));
        switch (s.kind) {
        case Kind::Values: {
            Answer a = Ask(s.db, s.id);
            ASSERT_EQ(a.code, DB_OK);
            EXPECT_EQ(a.size, 4 * s.n);
            break;
        }
        case Kind::Text: {
            Answer a = Ask(s.db, s.id);
            ASSERT_EQ(a.code, DB_OK);
            EXPECT_EQ(a.size, 2 * s.n);
            EXPECT_NE(a.Text(), "<bad>");
            break;
        }
        case Kind::Select:
        case Kind::Mask: {
            // Settings 0..n-1 present: the selector still lacks setting n.
            Request shortOne;
            shortOne.Settings(s.n);
            EXPECT_EQ(Ask(s.db, s.id, shortOne).code, DB_NO_SETTINGS);
            Request noStrings;
            noStrings.Settings(s.n + 1);
            EXPECT_NE(Ask(s.db, s.id, noStrings).code, DB_NO_STRINGS);
            break;
        }
        case Kind::ByString: {
            Request shortOne;
            shortOne.Strings(s.n);
            EXPECT_EQ(Ask(s.db, s.id, shortOne).code, DB_NO_STRINGS);
            Request noSettings;
            noSettings.Strings(s.n + 1);
            EXPECT_NE(Ask(s.db, s.id, noSettings).code, DB_NO_SETTINGS);
            break;
        }
        }
    }
}

// Bits outside the mask never change the selection.
TEST_F(DatabaseShape, MaskedSelectorsIgnoreBitsOutsideTheirMask)
{
    for (const Shape& s : kShapes) {
        if (s.kind != Kind::Mask)
            continue;
        SCOPED_TRACE("id " + std::to_string(s.id));
        for (LONG inside : {0L, 1L, 2L, 0x10L, 0x3FL, 0x10000L, 0x20000L}) {
            LONG masked = static_cast<LONG>(inside & s.mask);
            Request plain;
            plain.Set(s.n, masked);
            Request noisy;
            noisy.Set(s.n, static_cast<LONG>(masked | ~s.mask));
            Answer a = Ask(s.db, s.id, plain);
            Answer b = Ask(s.db, s.id, noisy);
            EXPECT_EQ(a.code, b.code) << "setting " << masked;
            EXPECT_EQ(a.bytes, b.bytes) << "setting " << masked;
        }
    }
}

TEST_F(DatabaseShape, IdsWithoutAKeyAreUnknown)
{
    struct Range {
        Access db;
        DWORD first, last;
        size_t keys;
    };
    const Range ranges[] = {
        {XDB_AccessLMDataBase, 0x2001, 0x2FFF, 59},
        {XDB_AccessMntDataBase, 0x3001, 0x3FFF, 18},
        {XDB_AccessPADataBase, 0x4001, 0x4FFF, 6},
        {XDB_AccessSMDataBase, 0x6001, 0x6FFF, 24},
    };
    for (const Range& r : ranges) {
        std::set<DWORD> keyed;
        for (const Shape& s : kShapes)
            if (s.db == r.db)
                keyed.insert(s.id);
        EXPECT_EQ(keyed.size(), r.keys) << "range from " << r.first;
        Request empty;
        for (DWORD id = r.first; id <= r.last; ++id) {
            DWORD out = kSizeUntouched;
            LONG code = r.db(id, empty.Get(), 0, nullptr, &out);
            if (keyed.count(id))
                EXPECT_NE(code, DB_UNKNOWN_ID) << "id " << id;
            else
                EXPECT_EQ(code, DB_UNKNOWN_ID) << "id " << id;
        }
    }
}

// 16386, 16387, 16390 and 16391 come from one tree that selects on setting
// 0 and then on setting 1; every id finds its own leaf in it.
TEST_F(DatabaseShape, PaLayoutTreeAnswersEachOfItsIds)
{
    for (DWORD id : {16386u, 16387u, 16390u, 16391u}) {
        SCOPED_TRACE("id " + std::to_string(id));
        Request settingZeroOnly;
        settingZeroOnly.Set(0, 0);
        EXPECT_EQ(Ask(XDB_AccessPADataBase, id, settingZeroOnly).code, DB_NO_SETTINGS);
        for (LONG layout : {0L, 1L}) {
            Request both;
            both.Set(0, layout).Set(1, 1);
            Answer a = Ask(XDB_AccessPADataBase, id, both);
            EXPECT_EQ(a.code, DB_OK);
            EXPECT_EQ(a.size, 4u);
        }
    }
}

} // namespace
