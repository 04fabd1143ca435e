// The parameter tables of the rendering component's print-mode record: the
// mode parameters of each print mode block and the ink laydown of each media
// group. Which combination of settings takes which rows is generated from
// the print-mode selection of the job setup sequence (jobsetup.model).
#include "drvtables.h"

namespace
{

// One print mode block (M1..M34) as the renderer needs it.
struct ModeParameters {
    WORD Block;
    BYTE ModeBytes[3]; // data of ESC ( c
    BYTE Pattern;      // ESC ( t pattern, T1..T10
    WORD Resolutions[4];
    WORD Reserved;
    char ColourTable[16];
    BYTE Unused[16];
};
static_assert(sizeof(ModeParameters) == 48, "first parameter table row");

// Ink laydown by media group.
struct MediaParameters {
    WORD Group;
    WORD Media;
    WORD DryTimeTenths;
    WORD InkLimitPercent;
    BYTE Unused[28];
};
static_assert(sizeof(MediaParameters) == 36, "third parameter table row");

#define MODE(n, c1, c2, c3, t)                                                                     \
    {                                                                                              \
        n, {c1, c2, c3}, t, {600, 600, 600, 600}, 0, "zrt_7731.tbl",                               \
        {                                                                                          \
            0                                                                                      \
        }                                                                                          \
    }

const ModeParameters kModes[] = {
    MODE(1, 0x30, 0x00, 0x04, 1),   MODE(2, 0x30, 0x00, 0x04, 2),   MODE(3, 0x30, 0x00, 0x02, 1),
    MODE(4, 0x30, 0x00, 0x01, 3),   MODE(5, 0x30, 0x00, 0x00, 3),   MODE(6, 0x30, 0x09, 0x04, 4),
    MODE(7, 0x30, 0x09, 0x03, 5),   MODE(8, 0x30, 0x0B, 0x04, 6),   MODE(9, 0x30, 0x0B, 0x01, 7),
    MODE(10, 0x30, 0x0A, 0x04, 8),  MODE(11, 0x30, 0x0A, 0x02, 8),  MODE(12, 0x30, 0x05, 0x04, 6),
    MODE(13, 0x30, 0x05, 0x01, 9),  MODE(14, 0x30, 0x07, 0x04, 9),  MODE(15, 0x30, 0x07, 0x03, 9),
    MODE(16, 0x30, 0x07, 0x02, 9),  MODE(17, 0x30, 0x0D, 0x04, 6),  MODE(18, 0x30, 0x0D, 0x02, 9),
    MODE(19, 0x30, 0x08, 0x04, 2),  MODE(20, 0x30, 0x08, 0x02, 1),  MODE(21, 0x30, 0x08, 0x01, 3),
    MODE(22, 0x30, 0x08, 0x00, 3),  MODE(23, 0x30, 0x0C, 0x02, 9),  MODE(24, 0x30, 0x0C, 0x01, 9),
    MODE(25, 0x30, 0x03, 0x02, 1),  MODE(26, 0x30, 0x02, 0x02, 1),  MODE(27, 0x30, 0x02, 0x01, 1),
    MODE(28, 0x31, 0x00, 0x01, 10), MODE(29, 0x31, 0x00, 0x00, 10), MODE(30, 0x30, 0x09, 0x00, 1),
    MODE(31, 0x30, 0x0B, 0x00, 1),  MODE(32, 0x30, 0x0A, 0x00, 1),  MODE(33, 0x31, 0x08, 0x01, 10),
    MODE(34, 0x31, 0x08, 0x00, 10),
};
static_assert(sizeof(kModes) / sizeof(kModes[0]) == 34, "one row per print mode block");

// Not used by this model; the renderer reads zeros.
const BYTE kSecondParameters[1][40] = {{0}};
const BYTE kFourthParameters[1][48] = {{0}};

const MediaParameters kMediaGroups[] = {
    {0, 1, 20, 100, {0}},   // media 1
    {1, 281, 60, 85, {0}},  // media 281
    {2, 285, 80, 80, {0}},  // media 285
    {3, 284, 60, 85, {0}},  // media 284
    {4, 277, 40, 90, {0}},  // media 277
    {5, 271, 100, 75, {0}}, // media 271
    {6, 283, 60, 85, {0}},  // media 283
    {7, 262, 30, 95, {0}},  // media 262, 263
    {8, 287, 120, 70, {0}}, // media 287, 288
    {9, 273, 50, 90, {0}},  // media 273
    {10, 2, 150, 60, {0}},  // media 2
};
static_assert(sizeof(kMediaGroups) / sizeof(kMediaGroups[0]) == 11, "media groups");

#undef MODE

} // namespace

// Row n - 1 of the first table is mode block Mn, the n-th name of the
// modes list of the printmodes statement (jobsetup.model); row g of the third
// is media group g of its groups list.
const PrintModeParameterSet PrintModeParameterData = {
    {kModes, kSecondParameters, kMediaGroups, kFourthParameters},
    {sizeof(kModes) / sizeof(kModes[0]), sizeof(kSecondParameters) / sizeof(kSecondParameters[0]),
     sizeof(kMediaGroups) / sizeof(kMediaGroups[0]),
     sizeof(kFourthParameters) / sizeof(kFourthParameters[0])},
};
