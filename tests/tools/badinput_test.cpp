// Bad input gets one line on standard error that says what was wrong, and
// exit code 2; never a crash, never a half-run.
#include "run_program.h"

#include <gtest/gtest.h>

namespace
{

struct Bad {
    const char* name;
    const char* program;
    std::vector<std::string> args;
    std::string input;   // standard input (scripts read with '-')
    std::string message; // what the error line must say
};

class BadInputTest : public ::testing::TestWithParam<Bad>
{
};

TEST_P(BadInputTest, OneLineErrorAndExitCode2)
{
    const Bad& b = GetParam();
    toolstest::Run r = toolstest::RunProgram(b.program, b.args, b.input);
    EXPECT_EQ(r.exitCode, 2) << r.out;
    std::vector<std::string> lines = toolstest::Lines(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_NE(lines[0].find(b.message), std::string::npos) << lines[0];
}

const char* const kPrnsim = PRNSIM_PATH;
const char* const kXdbq = XDBQ_PATH;

INSTANTIATE_TEST_SUITE_P(
    Prnsim, BadInputTest,
    ::testing::Values(
        Bad{"no_command", kPrnsim, {}, "", "prnsim: missing command"},
        Bad{"unknown_command", kPrnsim, {"frobnicate"}, "", "unknown command 'frobnicate'"},
        Bad{"demo_arguments", kPrnsim, {"demo", "x"}, "", "demo takes only -s SETTING=VALUE"},
        Bad{"demo_setting_beyond_the_job",
            kPrnsim,
            {"demo", "-s", "200=1"},
            "",
            "setting 200 is beyond the job's 132"},
        Bad{"missing_script",
            kPrnsim,
            {"run", "/nonexistent/x.prnsim"},
            "",
            "cannot open '/nonexistent/x.prnsim': No such file or directory"},
        Bad{"run_without_script", kPrnsim, {"run"}, "", "run needs a SCRIPT"},
        Bad{"registry_without_file", kPrnsim, {"run", "-", "--registry"}, "", "needs a FILE"},
        Bad{"print_without_file", kPrnsim, {"print"}, "", "print needs a FILE"},
        Bad{"print_missing_file",
            kPrnsim,
            {"print", "/nonexistent/job.prn"},
            "",
            "cannot open '/nonexistent/job.prn': No such file or directory"},
        Bad{"print_bad_size",
            kPrnsim,
            {"print", "/dev/null", "--write-size", "0"},
            "",
            "bad number '0' for --write-size"},
        Bad{"print_unknown_option",
            kPrnsim,
            {"print", "/dev/null", "--fast"},
            "",
            "unknown option '--fast'"},
        Bad{"mixed_seed_zero", kPrnsim, {"run", "-", "--mixed=0"}, "", "bad option '--mixed=0'"},
        Bad{"script_unknown_command",
            kPrnsim,
            {"run", "-"},
            "load\nfly\n",
            "<stdin>:2: unknown command 'fly'"},
        Bad{"script_bad_number",
            kPrnsim,
            {"run", "-"},
            "load\nplug p\nopen p.0\nwrite p.0 12x\n",
            "<stdin>:4: bad number '12x' for write"},
        Bad{"script_negative_clock", kPrnsim, {"run", "-"}, "clock -5\n", "bad number '-5'"},
        Bad{"script_bad_device",
            kPrnsim,
            {"run", "-"},
            "load\nplug p\nopen p.7\n",
            "bad device 'p.7'"},
        Bad{"script_unknown_printer",
            kPrnsim,
            {"run", "-"},
            "load\nopen q.0\n",
            "no printer named 'q'"},
        Bad{"script_gone_device",
            kPrnsim,
            {"run", "-"},
            "load\nplug p\nunplug p\nopen p.0\n",
            "device 'p.0' does not exist now"},
        Bad{"script_plug_before_load", kPrnsim, {"run", "-"}, "plug p\n", "load the driver first"},
        Bad{"script_open_quote",
            kPrnsim,
            {"run", "-"},
            "load\nplug p\necho \"half\n",
            "<stdin>:3: unterminated quote"},
        Bad{"script_srb_status",
            kPrnsim,
            {"run", "-"},
            "load\nplug p\nprinter p fail NOPE\n",
            "unknown SRB status 'NOPE'"},
        Bad{"script_ioctl",
            kPrnsim,
            {"run", "-"},
            "load\nplug p\nioctl p.0 IOCTL_FOO\n",
            "unknown control code 'IOCTL_FOO' (a number, or one of IOCTL_PRNSBP_LEGACY_CLEAR, "},
        Bad{"script_cdb_byte",
            kPrnsim,
            {"run", "-"},
            "load\nplug p\nprinter p hold op=C00\n",
            "bad CDB byte 'C00' for op (hex, as the trace shows it: C0 or 0xC0)"},
        Bad{"script_status",
            kPrnsim,
            {"run", "-"},
            "load\nplug p claim=STATUS_NOPE\n",
            "unknown status 'STATUS_NOPE'"},
        Bad{"script_hex",
            kPrnsim,
            {"run", "-"},
            "load\nplug p\nwrite p.0 hex=1B4\n",
            "bad hex bytes '1B4'"},
        Bad{"script_arity", kPrnsim, {"run", "-"}, "load extra\n", "'load' takes 0 argument(s)"},
        Bad{"script_twice_plugged",
            kPrnsim,
            {"run", "-"},
            "load\nplug p\nplug p\n",
            "already plugged in"},
        // A request kept in the printer must not hang the script: the
        // command that waits for it is refused, and so is a script that
        // leaves it behind.
        Bad{"script_blocked_command",
            kPrnsim,
            {"run", "-"},
            "load\nplug p\nopen p.0\nprinter p hold\nwrite p.0 100\n",
            "'write' does not finish"},
        Bad{"script_same_key",
            kPrnsim,
            {"run", "-"},
            "load\nplug a\nplug b\n",
            "printer 'b' would have the key 00A0B8C9D0E1F203 of printer 'a'"},
        Bad{"script_start_syntax",
            kPrnsim,
            {"run", "-"},
            "load\nstart w write p.0 100\n",
            "start NAME: COMMAND"}),
    [](const ::testing::TestParamInfo<Bad>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Xdbq, BadInputTest,
    ::testing::Values(
        Bad{"no_arguments", kXdbq, {}, "", "xdbq: missing DB and ID"},
        Bad{"unknown_database", kXdbq, {"foo", "1"}, "", "unknown database 'foo'"},
        Bad{"missing_id", kXdbq, {"root"}, "", "need DB and ID"},
        Bad{"bad_id", kXdbq, {"root", "12x"}, "", "bad id '12x'"},
        Bad{"id_too_wide", kXdbq, {"root", "0x1FFFFFFFF"}, "", "bad id"},
        Bad{"setting_without_value", kXdbq, {"root", "2", "-s"}, "", "-s needs NAME=VALUE"},
        Bad{"unknown_setting_value",
            kXdbq,
            {"drv", "4121", "-s", "Media=Glossy"},
            "",
            "setting Media has no value named 'Glossy' (xdbq settings lists them)"},
        Bad{"setting_beyond_count",
            kXdbq,
            {"root", "2", "--settings", "2", "-s", "5=1"},
            "",
            "setting 5 is beyond --settings 2"},
        Bad{"data_without_printer",
            kXdbq,
            {"root", "2", "--data", "A=1"},
            "",
            "--data needs --printer"},
        Bad{"bad_time", kXdbq, {"root", "2", "--time", "noon"}, "", "bad time 'noon'"},
        Bad{"unknown_option", kXdbq, {"root", "2", "--bogus"}, "", "unknown option '--bogus'"},
        Bad{"two_formats",
            kXdbq,
            {"drv", "4121", "--hex", "--decode"},
            "",
            "--hex and --decode show the answer two ways: give one"},
        Bad{"media_without_text", kXdbq, {"media"}, "", "media needs the TEXT"},
        Bad{"media_bad_size", kXdbq, {"media", "00", "--size", "x"}, "", "bad size 'x'"}),
    [](const ::testing::TestParamInfo<Bad>& info) { return std::string(info.param.name); });

} // namespace
