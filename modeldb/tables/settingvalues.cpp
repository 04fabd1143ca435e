// Every value of the four list settings with the id of its name in the user
// interface resources, as value -> name id.
#include "drvtables.h"

namespace
{

const WORD kSettingNumbers[] = {28, 7, 5, 4};
const WORD kValueCounts[] = {26, 2, 13, 1};
const WORD kFirstValues[] = {0, 26, 28, 41};

const WORD kValues[] = {
    // setting 28, paper size
    11, 9, 8, 13, 12, 1, 5, 43, 69, 73, 74, 276, 277, 274, 278, 279, 284, 288, 66, 257, 3, 24, 272,
    273, 282, 256,
    // setting 7, paper source
    7, 263,
    // setting 5, media
    1, 281, 285, 284, 277, 271, 283, 262, 287, 288, 273, 2, 263,
    // setting 4
    3};

const LONG kNameIds[] = {
    15762, 15760, 15758, 15767, 15765, 15751, 15755, 15776, 15801, 15802, 15803, 15778, 15779,
    15791, 15794, 15795, 15800, 15807, 15757, 15764, 15769, 15793, 15789, 15790, 15798, 15744,
    //
    15302, 15310,
    //
    15101, 15127, 15132, 15131, 15123, 15117, 15130, 15108, 15133, 15134, 15119, 15102, 15109,
    //
    15003};

static_assert(sizeof(kValues) / sizeof(kValues[0]) == 42, "value count");
static_assert(sizeof(kNameIds) / sizeof(kNameIds[0]) == 42, "name id count");

} // namespace

const SettingValueTable SettingValueTableData = {
    kSettingNumbers, kValueCounts, kFirstValues, 4, kValues, kNameIds, 42,
};
