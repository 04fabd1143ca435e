// The model database's documented answers, asked through xdbq as a driver
// developer would ask them.
#include "run_program.h"
#include "query.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace
{

using toolstest::RunProgram;

struct Case {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    std::string output; // the whole of standard output
};

class XdbqTest : public ::testing::TestWithParam<Case>
{
};

TEST_P(XdbqTest, AnswersAsDocumented)
{
    const Case& c = GetParam();
    toolstest::Run r = RunProgram(XDBQ_PATH, c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_EQ(r.out, c.output);
    EXPECT_EQ(r.err, "");
}

const std::vector<std::string> kA4PlainJob = {
    "drv",  "4121", "--settings", "132", "-s",  "4=3", "-s",   "9=0", "-s",  "5=1", "-s",
    "81=0", "-s",   "8=3",        "-s",  "6=1", "-s",  "28=9", "-s",  "7=7", "-s",  "106=0"};

std::vector<std::string> With(std::vector<std::string> base, std::vector<std::string> more)
{
    base.insert(base.end(), more.begin(), more.end());
    return base;
}

const std::vector<std::string> kJobStart = {"drv",        "4120",
                                            "--settings", "132",
                                            "-s",         "7=263",
                                            "-s",         "112=1",
                                            "--printer",  "Tessa",
                                            "--data",     "QmxUI_SilentModeEnable=2",
                                            "--data",     "QmxUI_CustomMediaDetection=1",
                                            "--data",     "QmxUI_SilentModeTime=0x01A40528",
                                            "--time",     "2026-12-07T23:30"};

INSTANTIATE_TEST_SUITE_P(
    Root, XdbqTest,
    ::testing::Values(
        Case{"version", {"root", "2", "--text"}, 0, "DB_OK (0), out size 12\n\"1.75a\"\n"},
        Case{"high_bits_ignored",
             {"root", "0x10002", "--text"},
             0,
             "DB_OK (0), out size 12\n\"1.75a\"\n"},
        Case{
            "size_query_alone", {"root", "2", "--size", "0"}, 1, "DB_MORE_DATA (2), out size 12\n"},
        Case{"exact_buffer",
             {"root", "2", "--size", "12"},
             0,
             "DB_OK (0), out size 12\n0000  31 00 2E 00 37 00 35 00 61 00 00 00              "
             "1...7.5.a...\n"},
        Case{"value_name",
             {"root", "8", "-s", "0=231", "--text"},
             0,
             "DB_OK (0), out size 22\n\"QmxSLM_CMS\"\n"},
        Case{"value_name_unknown_code",
             {"root", "8", "-s", "0=999"},
             1,
             "DB_NO_ANSWER (1), out size not written\n"},
        Case{"value_name_without_settings",
             {"root", "8", "--settings", "1", "--null-settings"},
             1,
             "DB_NO_SETTINGS (-3), out size not written\n"},
        Case{"status_name",
             {"root", "18", "-t", "0=CMS", "--text"},
             0,
             "DB_OK (0), out size 22\n\"QmxSLM_CMS\"\n"},
        Case{"status_name_short",
             {"root", "18", "-t", "0=CM"},
             1,
             "DB_NO_ANSWER (1), out size not written\n"},
        Case{"status_name_without_strings",
             {"root", "18"},
             1,
             "DB_NO_STRINGS (-2), out size not written\n"},
        Case{"not_in_key_table", {"root", "30"}, 1, "DB_UNKNOWN_ID (3), out size not written\n"},
        Case{"drv_id_at_root", {"root", "0x1001"}, 1, "DB_NO_ANSWER (1), out size not written\n"},
        Case{"root_id_at_drv", {"drv", "2"}, 1, "DB_NO_ANSWER (1), out size not written\n"},
        Case{"no_request",
             {"root", "2", "--no-request"},
             1,
             "DB_NO_REQUEST (-4), out size not written\n"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Drv, XdbqTest,
    ::testing::Values(
        Case{"a4_printable_area",
             {"drv", "4097", "-s", "28=9", "-s", "81=0", "--int32"},
             0,
             "DB_OK (0), out size 8\n20320 28900\n"},
        Case{"paper_without_entry",
             {"drv", "4097", "-s", "28=2", "-s", "81=0", "--lenient"},
             4,
             "DB_NO_ANSWER (1), out size not written\nwarning: PaperSize 2 is not among the values "
             "the model offers: A5 (11), A4 (9), A3 (8), B5JIS (13), B4JIS (12), Letter (1), Legal "
             "(5), Postcard (43), DoublePostcard (69), EnvelopeChou3 (73), EnvelopeChou4 (74), "
             "Envelope105x235mm (276), Envelope98x190mm (277), A3Plus (274), PhotoL (278), "
             "Photo2L (279), Size89x254mm (284), Size143x262_7mm (288), A2 (66), Size4x6in (257), "
             "Tabloid (3), CSheet (24), Size8x10in (272), Size5x7in (273), Size100x100mm (282), "
             "UserDefined (256) (Drv 4113)\n"},
        Case{"setting4_list",
             {"drv", "4109", "--settings", "5", "--items"},
             0,
             "DB_OK (0), out size 20 (from the size query; this answer leaves it unwritten)\n"
             "value 3  name 15003  details 20003 1  default 1\n"},
        Case{"list_into_a_larger_buffer",
             {"drv", "4109", "--settings", "5", "--size", "40", "--items"},
             0,
             "DB_OK (0), out size not written\n(the answer's size is not known: the whole "
             "40-byte buffer follows)\nvalue 3  name 15003  details 20003 1  default 1\nvalue 0 "
             " name 0  details 0 0  default 0\n"},
        Case{"setting4_list_short_request",
             {"drv", "4109", "--settings", "4"},
             1,
             "DB_NO_SETTINGS (-3), out size not written\nthe id needs 5 settings with these "
             "values (--settings 5)\n"},
        Case{"full_paper_list_short_request",
             {"drv", "4113", "--settings", "20"},
             1,
             "DB_NO_SETTINGS (-3), out size not written\nthe id needs 29 settings with these "
             "values (--settings 29)\n"},
        Case{
            "print_mode_short_request",
            {"drv", "4126", "--settings", "81", "-s", "4=3", "-s", "5=1", "-s", "6=1", "-s", "8=3"},
            1,
            "DB_NO_SETTINGS (-3), out size not written\nthe id needs 82 settings with these "
            "values (--settings 82)\n"},
        // By name: the same A4 printable area as by number.
        Case{"a4_printable_area_by_name",
             {"drv", "4097", "-s", "PaperSize=A4", "-s", "borderless=off", "--int32"},
             0,
             "DB_OK (0), out size 8\n20320 28900\n"},
        // Each setting among those the model offers, but quality 1 on plain
        // paper only with MediaCompanion 1 or 3: no row.
        Case{
            "print_mode_no_row",
            {"drv", "4126", "--settings", "82", "-s", "4=3", "-s", "5=1", "-s", "6=2", "-s", "8=1"},
            1,
            "DB_NO_ANSWER (1), out size not written\n"},
        Case{"reset",
             {"drv", "4123"},
             0,
             "DB_OK (0), out size 2\n0000  1B 40                                            .@\n"},
        Case{"page_end",
             {"drv", "4125"},
             0,
             "DB_OK (0), out size 8\n0000  1B 28 65 02 00 00 01 0C                          "
             ".(e.....\n"},
        Case{"adjustment_without_rules",
             {"drv", "4192", "--settings", "5"},
             1,
             "DB_NO_ANSWER (1), out size 0\n"},
        Case{"list_without_entry",
             {"drv", "4200", "--settings", "29"},
             1,
             "DB_UNKNOWN_ID (3), out size not written\n"},
        Case{"job_setup_a4_plain", kA4PlainJob, 0,
             "DB_OK (0), out size 130\n"
             "0000  1B 28 62 01 00 01 1B 28 63 03 00 30 00 02 1B 28  .(b....(c..0...(\n"
             "0010  64 04 00 02 58 02 58 1B 28 74 24 00 80 80 01 24  d...X.X.(t$....$\n"
             "0020  00 06 24 00 06 24 00 06 24 00 06 00 00 00 00 00  ..$..$..$.......\n"
             "0030  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00  ................\n"
             "0040  1B 28 70 2E 00 02 AB 00 00 01 E0 00 00 00 00 00  .(p.............\n"
             "0050  00 02 58 00 00 00 50 00 00 00 46 00 00 12 C0 00  ..X...P...F.....\n"
             "0060  00 1A AB 00 00 00 00 00 00 00 00 00 00 13 61 00  ..............a.\n"
             "0070  00 1B 68 1B 28 50 02 00 00 03 1B 28 6C 03 00 34  ..h.(P.....(l..4\n"
             "0080  00 00                                            ..\n"},
        Case{"job_setup_fits_exactly", With(kA4PlainJob, {"--size", "130"}), 0,
             "DB_OK (0), out size 130\n"
             "0000  1B 28 62 01 00 01 1B 28 63 03 00 30 00 02 1B 28  .(b....(c..0...(\n"
             "0010  64 04 00 02 58 02 58 1B 28 74 24 00 80 80 01 24  d...X.X.(t$....$\n"
             "0020  00 06 24 00 06 24 00 06 24 00 06 00 00 00 00 00  ..$..$..$.......\n"
             "0030  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00  ................\n"
             "0040  1B 28 70 2E 00 02 AB 00 00 01 E0 00 00 00 00 00  .(p.............\n"
             "0050  00 02 58 00 00 00 50 00 00 00 46 00 00 12 C0 00  ..X...P...F.....\n"
             "0060  00 1A AB 00 00 00 00 00 00 00 00 00 00 13 61 00  ..............a.\n"
             "0070  00 1B 68 1B 28 50 02 00 00 03 1B 28 6C 03 00 34  ..h.(P.....(l..4\n"
             "0080  00 00                                            ..\n"},
        Case{"job_setup_one_byte_short", With(kA4PlainJob, {"--size", "129"}), 1,
             "DB_MORE_DATA (2), out size 130\n"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Maintenance, XdbqTest,
    ::testing::Values(Case{"block_tail",
                           {"mnt", "12299", "-s", "0=2"},
                           0,
                           "DB_OK (0), out size 8\n0000  0A 5A 52 4C 45 4E 44 0A                   "
                           "       .ZRLEND.\n"},
                      Case{"keyword_not_in_table",
                           {"mnt", "12299", "-s", "0=3"},
                           1,
                           "DB_NO_ANSWER (1), out size not written\n"},
                      Case{"keyword_without_settings",
                           {"mnt", "12299"},
                           1,
                           "DB_NO_SETTINGS (-3), out size not written\nthe id needs 1 "
                           "setting with these values (--settings 1)\n"},
                      Case{"ink_colour_and_level",
                           {"sm", "24599", "-t", "7=C", "-s", "15=100", "--int32"},
                           0,
                           "DB_OK (0), out size 8\n4 1\n"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// Selector rows of the other databases: strings, ranges and their bounds.
INSTANTIATE_TEST_SUITE_P(
    Selectors, XdbqTest,
    ::testing::Values(Case{"maintenance_job",
                           {"lm", "8237", "-t", "4=Cleaning", "--int32"},
                           0,
                           "DB_OK (0), out size 4\n1\n"},
                      Case{"null_string_is_empty",
                           {"lm", "8237", "--strings", "5", "--null-string", "4", "--int32"},
                           0,
                           "DB_OK (0), out size 4\n0\n"},
                      Case{"range_upper_bound",
                           {"lm", "8259", "-s", "6=5685", "--int32"},
                           0,
                           "DB_OK (0), out size 12\n5016 200 0\n"},
                      Case{"just_past_the_range",
                           {"lm", "8259", "-s", "6=5686"},
                           1,
                           "DB_NO_ANSWER (1), out size not written\n"},
                      Case{"single_value",
                           {"lm", "8259", "-s", "6=4096", "--int32"},
                           0,
                           "DB_OK (0), out size 12\n5038 300 0\n"},
                      Case{"status_list_by_country",
                           {"lm", "8193", "-t", "1=UK", "--int32"},
                           0,
                           "DB_OK (0), out size 8\n1 5011\n"},
                      Case{"component_file",
                           {"lm", "8218", "--text"},
                           0,
                           "DB_OK (0), out size 24\n\"qmxwu7k.dll\"\n"},
                      Case{"ink_level_class",
                           {"sm", "24599", "-t", "7=LM", "-s", "15=70", "--int32"},
                           0,
                           "DB_OK (0), out size 8\n6 5\n"},
                      Case{"ink_level_unlisted",
                           {"sm", "24599", "-t", "7=LM", "-s", "15=71"},
                           1,
                           "DB_NO_ANSWER (1), out size not written\n"},
                      Case{"printer_handle_passed",
                           {"root", "8", "-s", "0=154", "--text", "--printer", "Z", "--handle"},
                           0,
                           "DB_OK (0), out size 42\n\"QmxUI_SilentModeTime\"\n"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// The job start sequence with the printer's stored choices: 65 + 56 + 60 + 7
// + 14 + 8 bytes; without the media detection and ESC ( $ pieces 136.
TEST(XdbqJobStart, SizesFollowThePrinterDataAndSettings)
{
    toolstest::Run full = RunProgram(XDBQ_PATH, kJobStart);
    ASSERT_EQ(full.exitCode, 0) << full.err;
    EXPECT_EQ(toolstest::Lines(full.out)[0], "DB_OK (0), out size 210");
    // 23:30 lies in the silent period 22:00 to 07:00: the computed ON block.
    EXPECT_NE(full.out.find("6D 6F 6E 0A 53 65 74 53 69 6C 65 6E 74 3D 4F 4E  mon.SetSilent=ON\n"
                            "0070  0A 0A 5A 52 4C 45 4E 44"),
              std::string::npos)
        << full.out;

    // Without stored values: clock, silent off, the 0F header and ESC ( M.
    toolstest::Run plain =
        RunProgram(XDBQ_PATH, {"drv", "4120", "--settings", "132", "-s", "7=7", "--decode"});
    std::vector<std::string> lines = toolstest::Lines(plain.out);
    ASSERT_EQ(lines.size(), 14u) << plain.out;
    EXPECT_EQ(lines[0], "DB_OK (0), out size 136");
    EXPECT_EQ(lines[1], "settings given: PaperSource SheetFeeder (7 = 7)");
    EXPECT_EQ(lines[5], "              | SetTime=20260101000000");
    EXPECT_EQ(lines[10], "              | SetSilent=OFF");
    EXPECT_EQ(lines[12], "     121  ESC [ K  mode header 00 0F");
    EXPECT_EQ(lines[13], "     128  ESC ( M  media parameters off");
}

TEST(XdbqMedia, DecodesTheReportFields)
{
    toolstest::Run r = RunProgram(XDBQ_PATH, {"media", "0A10FFFFFFFF"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("GetMediaInfo succeeded (1), size 28"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("flags 0x80000010  header low 10  high 0"), std::string::npos) << r.out;
    toolstest::Run shortText = RunProgram(XDBQ_PATH, {"media", "0A10"});
    EXPECT_EQ(shortText.exitCode, 1);
}

// Each setting's values one per line, the default marked, asked with the
// other settings at their defaults or as -s gives them, and the ids that
// read it; the ids with what each answers and reads.
TEST(XdbqSettings, ValuesOnePerLineDefaultsAndReaders)
{
    toolstest::Run r = RunProgram(XDBQ_PATH, {"settings"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    for (const char* text :
         {"Media = setting 5\n  values the model offers with Borderless Off (0) (Drv 4110):\n"
          "    PlainPaper (1)  (default)\n    PhotoPaper (281)\n    285\n",
          "PaperSource = setting 7\n  values the model offers with PaperSize 0 (Drv 4114):\n"
          "    SheetFeeder (7)  (default)\n    263\n",
          "Quality = setting 8\n  values the model offers with Media PlainPaper (1) (Drv 4118):\n"
          "    1\n    3  (default)\n    4\n    5\n  read by: Drv 4121, 4126\n",
          "Borderless = setting 81\n  values the model offers whatever the other settings:\n"
          "    Off (0)\n    On (1)\n"})
        EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
    r = RunProgram(XDBQ_PATH, {"settings", "-s", "Media=PhotoPaper"});
    EXPECT_NE(r.out.find("with Media PhotoPaper (281) (Drv 4118):\n    1\n    2\n  read by"),
              std::string::npos)
        << r.out;

    r = RunProgram(XDBQ_PATH, {"ids"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    for (const char* text :
         {"  4097  value      printable width and length of the paper, 0.01 mm (the whole paper "
          "when borderless); reads PaperSize, Borderless\n",
          "  4118  list       print qualities offered with the media",
          "  4120  sequence   job start: ", "  4121  sequence   job setup: ",
          "; reads Colour, Media, MediaCompanion, PaperSource, Quality, setting 9, PaperSize, "
          "Borderless, ",
          "  4101  value      (its meaning lies with the printer driver's components)\n"})
        EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
}

// A request the model cannot build is said, one line each with what the
// model offers, and exits 4 without an answer; --lenient shows it anyway.
TEST(XdbqCheck, ARequestTheModelCannotBuildIsSaid)
{
    const std::vector<std::string> plainA4 = {"drv", "4121", "--settings", "132", "-s",
                                              "4=3", "-s",   "5=1",        "-s",  "6=1",
                                              "-s",  "28=9", "-s",         "7=7"};
    struct Case {
        std::vector<std::string> more;
        const char* said;
    };
    const Case cases[] = {
        {{"-s", "8=99"},
         "Quality 99 is not among the values the model offers with Media "
         "PlainPaper (1): 1, 3, 4, 5 (Drv 4118)"},
        {{"-s", "8=2"}, "Quality 2 is not among"},
        {{"-s", "8=3", "-s", "PaperSize=999"},
         "PaperSize 999 is not among the values the model "
         "offers: A5 (11), A4 (9)"},
        {{"-s", "8=3", "-s", "Borderless=2"},
         "Borderless 2 is not among the values the model offers: Off (0), On (1)\n"},
        {{"-s", "8=3", "-s", "Borderless=On", "-s", "5=281", "-s", "PaperSize=A5"},
         "PaperSize A5 (11) is not among the values the model offers with Borderless On (1), "
         "setting 111 = 0: A4 (9), A3 (8), Letter (1)"},
        {{"-s", "8=3", "-s", "PaperSize=A2"},
         "the job setup (Drv 4121) has no page format (ESC ( p): PaperSize A2 (66) keeps it out; "
         "the model builds it with PaperSize A5 (11), A4 (9)"},
        {{"-s", "8=1", "-s", "6=2"},
         "the job setup (Drv 4121) has no print mode (ESC ( c, ESC ( d, ESC ( t): MediaCompanion "
         "2 keeps it out; the model builds it with MediaCompanion 1, 3\n"},
    };
    for (const Case& c : cases) {
        toolstest::Run r = RunProgram(XDBQ_PATH, With(plainA4, c.more));
        EXPECT_EQ(r.exitCode, 4) << c.said;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("xdbq: " + std::string(c.said)), std::string::npos) << r.err;
    }
    // The settings a job setup reads and the request leaves 0, each said.
    toolstest::Run r = RunProgram(XDBQ_PATH, {"drv", "4121", "--settings", "107", "-s",
                                              "PaperSize=A4", "-s", "Media=PlainPaper"});
    EXPECT_EQ(r.exitCode, 4);
    for (const char* said : {"xdbq: Colour 0 is not among", "xdbq: MediaCompanion 0 is not among",
                             "xdbq: PaperSource 0 is not among", "xdbq: Quality 0 is not among"})
        EXPECT_NE(r.err.find(said), std::string::npos) << r.err;

    r = RunProgram(XDBQ_PATH, With(plainA4, {"-s", "8=99", "--lenient", "--decode"}));
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("DB_OK (0), out size 72\nwarning: Quality 99 is not among", 0), 0u)
        << r.out;
}

// --out writes exactly the answer's bytes, for prnsim print.
TEST(XdbqOut, WritesTheAnswersBytes)
{
    std::string path = ::testing::TempDir() + "xdbq-out-" + std::to_string(getpid()) + ".bin";
    toolstest::Run r = RunProgram(XDBQ_PATH, With(kA4PlainJob, {"--out", path}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("the answer's 130 bytes written to " + path), std::string::npos) << r.out;
    std::string bytes = toolstest::ReadFile(path);
    ASSERT_EQ(bytes.size(), 130u);
    EXPECT_EQ(bytes.substr(0, 6), std::string("\x1B(b\x01\x00\x01", 6));
    EXPECT_EQ(bytes.substr(122), std::string("\x1B(l\x03\x00\x34\x00\x00", 8));
    unlink(path.c_str());
    r = RunProgram(XDBQ_PATH, With(kA4PlainJob, {"--out", "/nonexistent/x.bin"}));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("cannot write '/nonexistent/x.bin': No such file or directory"),
              std::string::npos)
        << r.err;
}

TEST(XdbqParse, SettingValuesAndTimes)
{
    xdbq::Query q;
    ASSERT_EQ(xdbq::ParseQuery({"drv", "0x1019", "-s", "1=-5", "-s", "2=0xFFFFFFFF", "-s",
                                "3=2147483647", "--time", "2026-02-03T04:05:06"},
                               &q),
              "");
    EXPECT_EQ(q.id, 0x1019u);
    EXPECT_EQ(q.settings[1], -5);
    EXPECT_EQ(q.settings[2], -1);
    EXPECT_EQ(q.settings[3], 2147483647);
    EXPECT_EQ(q.time[0], 2026);
    EXPECT_EQ(q.time[5], 6);

    ASSERT_EQ(xdbq::ParseQuery({"drv", "4121", "-s", "PaperSize=photol", "-s", "media=281", "-s",
                                "5=PhotoPaper", "-s", "28=A4"},
                               &q),
              "");
    EXPECT_EQ(q.settings[28], 9);
    EXPECT_EQ(q.settings[5], 281);

    for (const char* bad : {"1=-2147483649", "1=4294967296", "1=", "=5", "x=1", "1=5x",
                            "PaperSize=A9", "9=A4", "Papersize=", "65536=1"}) {
        xdbq::Query b;
        EXPECT_NE(xdbq::ParseQuery({"root", "2", "-s", bad}, &b), "") << bad;
    }
    for (const char* bad : {"2026-13-01T00:00", "2026-01-01 00:00", "2026-01-01T24:00",
                            "2026-01-01T00:00:60", "2026-01-01T00:00x"}) {
        xdbq::Query b;
        EXPECT_NE(xdbq::ParseQuery({"root", "2", "--time", bad}, &b), "") << bad;
    }
}

} // namespace
