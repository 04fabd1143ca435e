// Answers of the model database that hold for every build of prnmodel. The
// host tests and the Windows conformance program (run under Wine against
// prnmodel.dll) both walk these tables, so the two builds are held to the
// same expected values. Most cases need no data stored with a printer; the
// rest name one of the printers of kTestPrinters, which each runner first
// registers with its spooler (the host stand-in's, or Wine's).
//
// A request is written as a short text:
//   "none"        no request record at all
//   "s29"         a settings array of 29 zeros (later "n=v" tokens fill it)
//   "28=9"        setting 28 is 9
//   "str:a|b|~"   a strings array: "a", "b" and a null element
//   "printer:P"   PrinterName is "P" (the export opens it for the call)
//   ""            a request with neither settings nor strings
#ifndef PRN_TESTS_SHARED_MODELDB_CASES_H
#define PRN_TESTS_SHARED_MODELDB_CASES_H

#include <cstdint>

namespace modeldb_cases
{

// While model data was still landing, a case whose answer said the data was
// not there (no key, no leaf, nothing decoded) could be reported as skipped.
// All of it is there now: every case must hold.
constexpr bool kLenientUntilDataLands = false;

enum class Db { Root, Drv, LM, Mnt, PA, SM };

// How the export is called.
enum class Call {
    SizeQuery, // size 0, no buffer
    Read,      // size query first, then a buffer of exactly the size asked for
    Buffer,    // one call with a buffer of `bufferSize` bytes, no size query
};

// What the delivered bytes must be.
enum class Expect {
    Nothing, // only the result code and the size are checked
    Text,    // a NUL-terminated UTF-16 string equal to `value`
    Ints,    // signed 32-bit numbers, `value` lists them in decimal
    Bytes,   // `value` lists the bytes in hexadecimal
    Field0,  // 20-byte list items: field 0 of every item, in decimal
    Field1,
    Field2,
    Field3,
    Field4,
    Untouched, // the caller's buffer is not written at all
    Zeroed,    // the caller's buffer is cleared
    BytesAt,   // "offset|hex bytes": these bytes stand at that offset
    Settings,  // "n=v ...": 32-bit element n of the answer is v
};

struct DbCase {
    const char* name;
    Db db;
    uint32_t id;
    const char* request;
    Call call;
    uint32_t bufferSize; // for Call::Buffer
    int32_t result;      // expected result code
    int64_t size;        // expected needed/out size in bytes; -1: not checked
    Expect expect;
    const char* value;
};

// Pieces of the job setup sequence on A4 plain paper: the page format command
// and print mode block M3.
#define PRN_A4_PAGE_FORMAT                                                                         \
    "1B 28 70 2E 00 02 AB 00 00 01 E0 00 00 00 00 00 00 02 58 00 00 00 50 00 00 00 46 00 00 "      \
    "12 C0 00 00 1A AB 00 00 00 00 00 00 00 00 00 00 13 61 00 00 1B 68"
#define PRN_BLOCK_M3                                                                               \
    "1B 28 63 03 00 30 00 02 "                                                                     \
    "1B 28 64 04 00 02 58 02 58 "                                                                  \
    "1B 28 74 24 00 80 80 01 24 00 06 24 00 06 24 00 06 24 00 06 "                                 \
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"

inline const DbCase kDbCases[] = {
    // Root database: plain values and the size-query protocol.
    {"root 2 size query", Db::Root, 2, "", Call::SizeQuery, 0, 2, 12, Expect::Nothing, ""},
    {"root 2 version text", Db::Root, 2, "", Call::Read, 0, 0, 12, Expect::Text, "1.75a"},
    {"root upper id bits ignored", Db::Root, 0x10002, "", Call::Read, 0, 0, 12, Expect::Text,
     "1.75a"},
    {"root short buffer asks again", Db::Root, 2, "", Call::Buffer, 10, 2, 12, Expect::Untouched,
     ""},
    {"root 3 file name", Db::Root, 3, "", Call::Read, 0, 0, 24, Expect::Text, "qmxwa7k.dll"},
    {"root 25 port driver name", Db::Root, 25, "", Call::Read, 0, 0, 60, Expect::Text,
     "Orvex ZR Port Driver Qmxlpt27"},
    {"root 35 print processor name", Db::Root, 35, "", Call::Read, 0, 0, 68, Expect::Text,
     "Orvex Tessa 4410x Print Processor"},
    {"root 5 signed byte", Db::Root, 5, "", Call::Read, 0, 0, 4, Expect::Ints, "107"},
    {"root 17 signed short", Db::Root, 17, "", Call::Read, 0, 0, 4, Expect::Ints, "17603"},
    {"root 23 two bytes", Db::Root, 23, "", Call::Read, 0, 0, 8, Expect::Ints, "3 1"},
    {"root 67 two bytes", Db::Root, 67, "", Call::Read, 0, 0, 8, Expect::Ints, "7 0"},
    {"root 30 has no key", Db::Root, 30, "", Call::SizeQuery, 0, 3, -1, Expect::Nothing, ""},
    {"root refuses a drv id", Db::Root, 0x1001, "", Call::Buffer, 16, 1, -1, Expect::Untouched, ""},
    {"root refuses id 0", Db::Root, 0, "", Call::SizeQuery, 0, 1, -1, Expect::Nothing, ""},
    {"root 8 value name of 231", Db::Root, 8, "s1 0=231", Call::Read, 0, 0, 22, Expect::Text,
     "QmxSLM_CMS"},
    {"root 8 value name of 153", Db::Root, 8, "s1 0=153", Call::Read, 0, 0, -1, Expect::Text,
     "QmxUI_SilentModeEnable"},
    {"root 8 value name of 13", Db::Root, 8, "s1 0=13", Call::Read, 0, 0, -1, Expect::Text,
     "QmxUI_CustomMediaDetection"},
    {"root 8 value name of 801", Db::Root, 8, "s1 0=801", Call::Read, 0, 0, -1, Expect::Text,
     "QmxDRV_SingleColorModeColor"},
    {"root 8 unknown code", Db::Root, 8, "s1 0=999", Call::SizeQuery, 0, 1, -1, Expect::Nothing,
     ""},
    {"root 8 without settings", Db::Root, 8, "", Call::SizeQuery, 0, -3, -1, Expect::Nothing, ""},
    {"root 18 status name", Db::Root, 18, "str:CMS", Call::Read, 0, 0, 22, Expect::Text,
     "QmxSLM_CMS"},
    {"root 18 status name TLN", Db::Root, 18, "str:TLN", Call::Read, 0, 0, 22, Expect::Text,
     "QmxSLM_TLN"},
    {"root 18 partial code", Db::Root, 18, "str:CM", Call::SizeQuery, 0, 1, -1, Expect::Nothing,
     ""},
    {"root 18 null string is empty", Db::Root, 18, "str:~", Call::SizeQuery, 0, 1, -1,
     Expect::Nothing, ""},
    {"root 18 without strings", Db::Root, 18, "", Call::SizeQuery, 0, -2, -1, Expect::Nothing, ""},

    // Every export refuses a missing request and ids of other databases.
    {"root without request", Db::Root, 2, "none", Call::SizeQuery, 0, -4, -1, Expect::Nothing, ""},
    {"drv without request", Db::Drv, 4099, "none", Call::SizeQuery, 0, -4, -1, Expect::Nothing, ""},
    {"lm without request", Db::LM, 8218, "none", Call::SizeQuery, 0, -4, -1, Expect::Nothing, ""},
    {"mnt without request", Db::Mnt, 12299, "none", Call::SizeQuery, 0, -4, -1, Expect::Nothing,
     ""},
    {"pa without request", Db::PA, 16385, "none", Call::SizeQuery, 0, -4, -1, Expect::Nothing, ""},
    {"sm without request", Db::SM, 24599, "none", Call::SizeQuery, 0, -4, -1, Expect::Nothing, ""},
    {"drv refuses a root id", Db::Drv, 2, "", Call::SizeQuery, 0, 1, -1, Expect::Nothing, ""},
    {"lm refuses a drv id", Db::LM, 4099, "", Call::SizeQuery, 0, 1, -1, Expect::Nothing, ""},
    {"mnt refuses an lm id", Db::Mnt, 8218, "", Call::SizeQuery, 0, 1, -1, Expect::Nothing, ""},
    {"pa refuses an internal id", Db::PA, 0x5008, "", Call::SizeQuery, 0, 1, -1, Expect::Nothing,
     ""},
    {"sm refuses 0x7000", Db::SM, 0x7000, "", Call::SizeQuery, 0, 1, -1, Expect::Nothing, ""},

    // LM database.
    {"lm 8218 file name", Db::LM, 8218, "", Call::Read, 0, 0, 24, Expect::Text, "qmxwu7k.dll"},
    {"lm 8235 file name", Db::LM, 8235, "", Call::Read, 0, 0, 24, Expect::Text, "qmxwv7k.dll"},
    {"lm 8237 cleaning", Db::LM, 8237, "str:||||Cleaning", Call::Read, 0, 0, 4, Expect::Ints, "1"},
    {"lm 8237 test print", Db::LM, 8237, "str:||||TestPrint", Call::Read, 0, 0, 4, Expect::Ints,
     "1"},
    {"lm 8237 other operation", Db::LM, 8237, "str:||||Clean", Call::Read, 0, 0, 4, Expect::Ints,
     "0"},
    {"lm 8237 case sensitive", Db::LM, 8237, "str:||||cleaning", Call::Read, 0, 0, 4, Expect::Ints,
     "0"},
    {"lm 8237 too few strings", Db::LM, 8237, "str:||", Call::SizeQuery, 0, -2, -1, Expect::Nothing,
     ""},
    {"lm 8193 LS", Db::LM, 8193, "str:|LS", Call::Read, 0, 0, 4, Expect::Ints, "0"},
    {"lm 8193 NO", Db::LM, 8193, "str:|NO", Call::Read, 0, 0, 20, Expect::Ints,
     "1 5030 5603 0 10101"},
    {"lm 8193 UK", Db::LM, 8193, "str:|UK", Call::Read, 0, 0, 8, Expect::Ints, "1 5011"},
    {"lm 8193 other string", Db::LM, 8193, "str:|XX", Call::Read, 0, 0, 20, Expect::Ints,
     "1 5028 5614 5603 10101"},
    {"lm 8245 mask value 0", Db::LM, 8245, "s12", Call::Read, 0, 0, 28, Expect::Ints,
     "5033 5571 0 0 0 0 0"},
    {"lm 8245 mask value 1", Db::LM, 8245, "s12 11=1", Call::Read, 0, 0, 28, Expect::Ints,
     "5033 5570 0 0 0 0 0"},
    {"lm 8245 mask drops high bits", Db::LM, 8245, "s12 11=80", Call::Read, 0, 0, 28, Expect::Ints,
     "5033 5572 0 0 0 0 0"},
    {"lm 8245 mask value 17", Db::LM, 8245, "s12 11=17", Call::Read, 0, 0, 28, Expect::Ints,
     "5033 5573 0 0 0 0 0"},
    {"lm 8245 setting missing", Db::LM, 8245, "s11", Call::SizeQuery, 0, -3, -1, Expect::Nothing,
     ""},
    {"lm 8259 range low bound", Db::LM, 8259, "s7 6=5632", Call::Read, 0, 0, 12, Expect::Ints,
     "5016 200 0"},
    {"lm 8259 range high bound", Db::LM, 8259, "s7 6=5685", Call::Read, 0, 0, 12, Expect::Ints,
     "5016 200 0"},
    {"lm 8259 past the range", Db::LM, 8259, "s7 6=5686", Call::SizeQuery, 0, 1, -1,
     Expect::Nothing, ""},
    {"lm 8259 4096", Db::LM, 8259, "s7 6=4096", Call::Read, 0, 0, 12, Expect::Ints, "5038 300 0"},
    {"lm 8259 6160", Db::LM, 8259, "s7 6=6160", Call::Read, 0, 0, 12, Expect::Ints, "5024 100 0"},

    // Maintenance database.
    {"mnt 12299 block trailer", Db::Mnt, 12299, "s1 0=2", Call::Read, 0, 0, 8, Expect::Bytes,
     "0A 5A 52 4C 45 4E 44 0A"},
    {"mnt 12299 unknown fragment", Db::Mnt, 12299, "s1 0=3", Call::SizeQuery, 0, 1, -1,
     Expect::Nothing, ""},
    {"mnt 12299 without settings", Db::Mnt, 12299, "", Call::SizeQuery, 0, -3, -1, Expect::Nothing,
     ""},

    // PA and SM databases.
    {"pa 16385 twelve values", Db::PA, 16385, "", Call::SizeQuery, 0, 2, 48, Expect::Nothing, ""},
    {"pa 16392 one value", Db::PA, 16392, "", Call::SizeQuery, 0, 2, 4, Expect::Nothing, ""},
    {"sm 24599 cyan full", Db::SM, 24599, "s16 15=100 str:|||||||C", Call::Read, 0, 0, 8,
     Expect::Ints, "4 1"},
    {"sm 24599 light magenta 70", Db::SM, 24599, "s16 15=70 str:|||||||LM", Call::Read, 0, 0, 8,
     Expect::Ints, "6 5"},
    {"sm 24599 yellow 40", Db::SM, 24599, "s16 15=40 str:|||||||Y", Call::Read, 0, 0, 8,
     Expect::Ints, "2 6"},
    {"sm 24599 level not listed", Db::SM, 24599, "s16 15=50 str:|||||||K", Call::SizeQuery, 0, 1,
     -1, Expect::Nothing, ""},
    {"sm 24583 LS list", Db::SM, 24583, "str:|LS", Call::SizeQuery, 0, 2, 60, Expect::Nothing, ""},
    {"sm 24583 UK list", Db::SM, 24583, "str:|UK", Call::SizeQuery, 0, 2, 60, Expect::Nothing, ""},

    // Driver database: plain entries.
    {"drv 4099 A4 size", Db::Drv, 4099, "s29 28=9", Call::Read, 0, 0, 8, Expect::Ints,
     "21000 29700"},
    {"drv 4097 A4 with margins", Db::Drv, 4097, "s82 28=9", Call::Read, 0, 0, 8, Expect::Ints,
     "20320 28900"},
    {"drv 4098 A4 margins", Db::Drv, 4098, "s82 28=9", Call::Read, 0, 0, 8, Expect::Ints,
     "300 340"},
    {"drv 4097 A4 borderless", Db::Drv, 4097, "s82 28=9 81=1", Call::Read, 0, 0, 8, Expect::Ints,
     "21000 29700"},
    {"drv 4098 A4 borderless", Db::Drv, 4098, "s82 28=9 81=1", Call::Read, 0, 0, 8, Expect::Ints,
     "0 0"},
    {"drv 4097 paper without entry", Db::Drv, 4097, "s82 28=2", Call::SizeQuery, 0, 1, -1,
     Expect::Nothing, ""},
    {"drv upper id bits ignored", Db::Drv, 0x21003, "s29 28=9", Call::Read, 0, 0, 8, Expect::Ints,
     "21000 29700"},
    {"drv 4104 resolution", Db::Drv, 4104, "", Call::Read, 0, 0, 8, Expect::Ints, "600 600"},
    {"drv 4209 resolution pair", Db::Drv, 4209, "", Call::Read, 0, 0, 8, Expect::Ints, "600 600"},
    {"drv 4127 profile", Db::Drv, 4127, "", Call::Read, 0, 0, 26, Expect::Text, "qzvprnt3.icm"},
    {"drv 4162 colour table", Db::Drv, 4162, "", Call::Read, 0, 0, 26, Expect::Text,
     "zrt_7731.tbl"},
    {"drv 4149 file name", Db::Drv, 4149, "", Call::Read, 0, 0, 24, Expect::Text, "qmxwr7k.dll"},
    {"drv 4155 file name", Db::Drv, 4155, "", Call::Read, 0, 0, 24, Expect::Text, "qmxws7k.dll"},
    {"drv 4168 file name", Db::Drv, 4168, "", Call::Read, 0, 0, 24, Expect::Text, "qmxwt7k.dll"},
    {"drv 4194 value name", Db::Drv, 4194, "s107 106=1", Call::Read, 0, 0, 20, Expect::Text,
     "QmxPI_CMS"},
    {"drv 4205 all switches off", Db::Drv, 4205, "s107", Call::Read, 0, 0, 4, Expect::Ints, "1"},
    {"drv 4205 one switch on", Db::Drv, 4205, "s107 43=1", Call::SizeQuery, 0, 1, -1,
     Expect::Nothing, ""},

    // Driver database: lists.
    {"drv 4112 size query", Db::Drv, 4112, "s29", Call::SizeQuery, 0, 2, 380, Expect::Nothing, ""},
    {"drv 4112 values", Db::Drv, 4112, "s29", Call::Read, 0, 0, 380, Expect::Field0,
     "11 9 8 13 12 1 5 43 69 73 74 276 277 274 278 279 284 288 256"},
    {"drv 4112 names", Db::Drv, 4112, "s29", Call::Read, 0, 0, 380, Expect::Field1,
     "15762 15760 15758 15767 15765 15751 15755 15776 15801 15802 15803 15778 15779 15791 15794 "
     "15795 15800 15807 15744"},
    {"drv 4113 values", Db::Drv, 4113, "s29", Call::Read, 0, 0, 520, Expect::Field0,
     "11 9 8 13 12 1 5 43 69 73 74 276 277 274 278 279 284 288 66 257 3 24 272 273 282 256"},
    {"drv 4113 marks sizes outside the standard list", Db::Drv, 4113, "s29", Call::Read, 0, 0, 520,
     Expect::Field3, "0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 1 1 1 1 1 1 1 0"},
    {"drv 4113 too few settings", Db::Drv, 4113, "s20", Call::Buffer, 520, -3, -1, Expect::Nothing,
     ""},
    {"drv 4109 one item", Db::Drv, 4109, "s5", Call::Read, 0, 0, 20, Expect::Ints,
     "3 15003 20003 1 1"},
    {"drv 4109 too few settings", Db::Drv, 4109, "s4", Call::Buffer, 20, -3, -1, Expect::Nothing,
     ""},
    {"drv 4200 no entry", Db::Drv, 4200, "s132", Call::SizeQuery, 0, 3, -1, Expect::Nothing, ""},
    {"drv 4201 no entry", Db::Drv, 4201, "s132", Call::SizeQuery, 0, 3, -1, Expect::Nothing, ""},
    {"drv 4202 no entry", Db::Drv, 4202, "s132", Call::SizeQuery, 0, 3, -1, Expect::Nothing, ""},

    // Driver database: print-mode record and settings adjustment.
    {"drv 4126 too few settings", Db::Drv, 4126, "s81", Call::Buffer, 192, -3, -1, Expect::Nothing,
     ""},
    {"drv 4126 no matching row", Db::Drv, 4126, "s82 4=77", Call::Buffer, 192, 1, -1,
     Expect::Zeroed, ""},
    {"drv 4192 has no rules", Db::Drv, 4192, "s132", Call::Buffer, 528, 1, 0, Expect::Nothing, ""},
    {"drv 4191 no rule selected", Db::Drv, 4191, "s132", Call::Buffer, 528, 1, 0, Expect::Nothing,
     ""},

    // Driver database: composed command sequences.
    {"drv 4123 size query", Db::Drv, 4123, "s132", Call::SizeQuery, 0, 2, 2, Expect::Nothing, ""},
    {"drv 4123 reset", Db::Drv, 4123, "s132", Call::Read, 0, 0, 2, Expect::Bytes, "1B 40"},
    {"drv 4122", Db::Drv, 4122, "s132", Call::Read, 0, 0, 6, Expect::Bytes, "1B 28 71 01 00 01"},
    {"drv 4124", Db::Drv, 4124, "s132", Call::Read, 0, 0, 6, Expect::Bytes, "1B 28 62 01 00 00"},
    {"drv 4125 ends in form feed", Db::Drv, 4125, "s132", Call::Read, 0, 0, 8, Expect::Bytes,
     "1B 28 65 02 00 00 01 0C"},
    {"drv 4121 job setup on A4 plain paper", Db::Drv, 4121,
     "s132 4=3 9=0 5=1 81=0 8=3 6=1 28=9 7=7 106=0", Call::Read, 0, 0, 130, Expect::Bytes,
     "1B 28 62 01 00 01 " PRN_BLOCK_M3 " " PRN_A4_PAGE_FORMAT
     " 1B 28 50 02 00 00 03 1B 28 6C 03 00 34 00 00"},
    {"drv 4121 user-defined size built like A4", Db::Drv, 4121,
     "s132 4=3 9=0 5=1 81=0 8=3 6=1 28=256 96=21000 97=29700 52=0 7=7 106=0", Call::Read, 0, 0, 130,
     Expect::Bytes,
     "1B 28 62 01 00 01 " PRN_BLOCK_M3 " " PRN_A4_PAGE_FORMAT
     " 1B 28 50 02 00 01 00 1B 28 6C 03 00 34 00 00"},
    {"drv 4121 without print mode", Db::Drv, 4121, "s132 4=1 9=0 5=1 81=0 8=3 6=1 28=9 7=7 106=0",
     Call::Read, 0, 0, 72, Expect::Bytes,
     "1B 28 62 01 00 01 " PRN_A4_PAGE_FORMAT " 1B 28 50 02 00 00 03 1B 28 6C 03 00 34 00 00"},
    {"drv 4121 with too few settings", Db::Drv, 4121, "s97 4=3 9=0 5=1 8=3 6=1 28=256 7=7",
     Call::SizeQuery, 0, -3, -1, Expect::Nothing, ""},
};

// The 56-byte stored silent-mode-off block and its relatives.
#define PRN_BLOCK_HEAD "1B 5B 4B 02 00 00 1F 5A 52 4C 53 54 41 52 54 0A "
#define PRN_CONTROL_COMMON "43 6F 6E 74 72 6F 6C 4D 6F 64 65 3D 43 6F 6D 6D 6F 6E 0A "
#define PRN_BLOCK_TAIL "5A 52 4C 45 4E 44 0A "
#define PRN_SILENT_OFF_BLOCK                                                                       \
    PRN_BLOCK_HEAD PRN_CONTROL_COMMON "53 65 74 53 69 6C 65 6E 74 3D 4F 46 46 0A " PRN_BLOCK_TAIL
#define PRN_SILENT_ON_BLOCK                                                                        \
    PRN_BLOCK_HEAD PRN_CONTROL_COMMON "53 65 74 53 69 6C 65 6E 74 3D 4F 4E 0A " PRN_BLOCK_TAIL
#define PRN_DETECTION_ON_BLOCK                                                                     \
    PRN_BLOCK_HEAD PRN_CONTROL_COMMON                                                              \
        "4D 65 64 69 61 44 65 74 65 63 74 69 6F 6E 3D 4F 4E 0A " PRN_BLOCK_TAIL
#define PRN_DETECTION_OFF_BLOCK                                                                    \
    PRN_BLOCK_HEAD PRN_CONTROL_COMMON                                                              \
        "4D 65 64 69 61 44 65 74 65 63 74 69 6F 6E 3D 4F 46 46 0A " PRN_BLOCK_TAIL
#define PRN_MODE_HEADER_0F "1B 5B 4B 02 00 00 0F"

// Printers with stored values, registered before the cases run.
struct PrinterValue {
    const char* name;
    const char* text; // REG_SZ value; nullptr: the REG_DWORD `number`
    uint32_t number;
};

struct TestPrinter {
    const char* name;
    PrinterValue values[2];
    int count;
};

inline const TestPrinter kTestPrinters[] = {
    {"ZRCaseSilentOn",
     {{"QmxUI_SilentModeEnable", nullptr, 1}, {"QmxUI_CustomMediaDetection", nullptr, 0}},
     2},
    // Media reports: class 2; class 3; flags 02 (no proposal).
    {"ZRCaseClass2", {{"QmxSLM_CMS", "0200281E0A05", 0}}, 1},
    {"ZRCaseClass3", {{"QmxSLM_CMS", "0100283C0A14", 0}}, 1},
    {"ZRCaseNoProposal", {{"QmxSLM_CMS", "0102281E0A05", 0}}, 1},
};

// Job opening sequence and the media override, which read stored values.
// The job opening sequence starts with a 65-byte clock block whose content
// follows the clock, so only the pieces after it are compared.
inline const DbCase kPrinterDataCases[] = {
    {"drv 4120 without a printer", Db::Drv, 4120, "s132", Call::Read, 0, 0, 136, Expect::BytesAt,
     "65|" PRN_SILENT_OFF_BLOCK PRN_MODE_HEADER_0F},
    {"drv 4120 media detection by default", Db::Drv, 4120, "s132 7=263", Call::Read, 0, 0, 196,
     Expect::BytesAt, "65|" PRN_SILENT_OFF_BLOCK PRN_DETECTION_ON_BLOCK PRN_MODE_HEADER_0F},
    {"drv 4120 stored silent and detection values", Db::Drv, 4120,
     "s132 7=263 printer:ZRCaseSilentOn", Call::Read, 0, 0, 196, Expect::BytesAt,
     "65|" PRN_SILENT_ON_BLOCK PRN_DETECTION_OFF_BLOCK PRN_MODE_HEADER_0F},
    {"drv 4191 override without a report", Db::Drv, 4191, "s132 106=1 108=999 28=9 5=1 8=3 6=1",
     Call::Read, 0, 0, 528, Expect::Settings, "106=0 110=1 109=255 118=1 5=1 8=3 6=1"},
    {"drv 4191 class 2 report on A4", Db::Drv, 4191,
     "s132 106=1 108=999 28=9 5=1 8=3 6=1 printer:ZRCaseClass2", Call::Read, 0, 0, 528,
     Expect::Settings, "106=1 110=1 109=2 118=2 5=285 8=1 6=3"},
    {"drv 4191 class 3 report on a postcard", Db::Drv, 4191,
     "s132 106=1 108=999 28=43 5=1 8=3 6=1 printer:ZRCaseClass3", Call::Read, 0, 0, 528,
     Expect::Settings, "106=1 110=1 109=3 118=3 5=283 8=3 6=3"},
    {"drv 4191 report without a proposal", Db::Drv, 4191,
     "s132 106=1 108=999 28=9 5=1 8=3 6=1 printer:ZRCaseNoProposal", Call::Read, 0, 0, 528,
     Expect::Settings, "106=0 110=1 109=255 118=1 5=1 8=3 6=1"},
    {"drv 4191 borderless without the media listed", Db::Drv, 4191,
     "s132 106=1 108=999 28=9 5=1 8=3 6=1 81=1 printer:ZRCaseClass2", Call::Read, 0, 0, 528,
     Expect::Settings, "106=1 110=1 109=2 118=1 5=1 8=3 6=1"},
    {"drv 4191 borderless with the media listed", Db::Drv, 4191,
     "s132 106=1 108=999 28=9 5=1 8=3 6=1 81=1 4=3 printer:ZRCaseClass2", Call::Read, 0, 0, 528,
     Expect::Settings, "106=1 110=1 109=2 118=2 5=285 8=1 6=3"},
    {"drv 4191 media chosen by the caller", Db::Drv, 4191,
     "s132 106=1 108=285 28=9 5=1 8=3 6=1 printer:ZRCaseClass2", Call::Read, 0, 0, 528,
     Expect::Settings, "106=0 110=1 109=255 118=1 5=285 8=1 6=3"},
    {"drv 4191 caller's media without a setting-8 value", Db::Drv, 4191,
     "s132 106=1 108=281 28=9 5=1 8=3 6=1 printer:ZRCaseClass2", Call::Read, 0, 0, 528,
     Expect::Settings, "106=0 110=1 109=255 118=1 5=1 8=3 6=1"},
    {"drv 4191 media settings held", Db::Drv, 4191,
     "s132 106=1 108=999 110=1 28=9 5=1 8=3 6=1 printer:ZRCaseClass2", Call::Read, 0, 0, 528,
     Expect::Settings, "106=1 110=1 109=0 118=0 5=1 8=3 6=1"},
};

struct MediaCase {
    const char* name;
    const char* text; // ASCII, widened to UTF-16; nullptr: no text
    uint32_t size;    // count in the size argument on entry
    bool withInfo;    // false: no record pointer
    int32_t result;
    int64_t sizeAfter; // -1: not checked
    bool infoWritten;  // false: the record keeps its fill pattern
    uint32_t mediaClass, flags, headerLow, headerHigh;
};

inline const MediaCase kMediaCases[] = {
    {"all-FF tail", "0113FFFFFFFF", 28, true, 1, 28, true, 1, 0x80000013u, 1, 0},
    {"class 2", "0200281E0A05", 28, true, 1, 28, true, 2, 0, 2, 0},
    {"class 1 when b4 exceeds 50", "0200281E3305", 28, true, 1, 28, true, 1, 0, 2, 0},
    {"class 3 above the threshold", "0100283C0A14", 28, true, 1, 28, true, 3, 0, 1, 0},
    {"class 1 at the threshold", "010028240A14", 28, true, 1, 28, true, 1, 0, 1, 0},
    {"class 3 with the higher threshold", "0200283C0A14", 28, true, 1, 28, true, 3, 0, 2, 0},
    {"class 1 at the higher threshold", "020028380A14", 28, true, 1, 28, true, 1, 0, 2, 0},
    {"class 4", "010005000000", 28, true, 1, 28, true, 4, 0, 1, 0},
    {"header checked first", "030005000000", 28, true, 1, 28, true, 1, 0, 3, 0},
    {"flag bits 2 and 3 dropped", "01FF05000000", 28, true, 1, 28, true, 4, 0xF3, 1, 0},
    {"header nibbles", "A10005000000", 28, true, 1, 28, true, 1, 0, 1, 0xA},
    {"thirteen characters", "0113FFFFFFFF7", 28, true, 1, 28, true, 1, 0x80000013u, 1, 0},
    {"non-hex field decodes to 0", "01ZZ05000000", 28, true, 1, 28, true, 4, 0, 1, 0},
    {"eleven characters", "0113FFFFFFF", 28, true, 0, 28, false, 0, 0, 0, 0},
    {"short size is corrected", "0113FFFFFFFF", 27, true, 0, 28, false, 0, 0, 0, 0},
    {"no text", nullptr, 28, true, 0, 28, false, 0, 0, 0, 0},
    {"no record", "0113FFFFFFFF", 28, false, 0, 28, false, 0, 0, 0, 0},
};

} // namespace modeldb_cases

#endif
