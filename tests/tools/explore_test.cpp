// prnsim explore and run --schedule as a user runs them.
#include "run_program.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace
{

using toolstest::RunProgram;

const std::string kExamples = EXAMPLES_DIR;

TEST(ExploreCommand, ExampleHasNoFailingSchedule)
{
    toolstest::Run r = RunProgram(
        PRNSIM_PATH, {"explore", kExamples + "/write-against-cable-pulled.prnsim", "--bound", "1"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("(every one within the bound)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("no schedule failed"), std::string::npos) << r.out;
}

// A request held in the printer that nobody lets go is a hang in every
// schedule: reported with the schedule, the run's output and the line that
// replays it, which fails the same way.
TEST(ExploreCommand, AFailingScheduleIsPrintedWithItsReplay)
{
    char path[] = "/tmp/prnsim-explore-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << "load\nplug p\nopen p.0\nprinter p hold\nstart w: write p.0 100\n"
                           "start r: read p.0 16\nwait w\nwait r\n";
    toolstest::Run r = RunProgram(PRNSIM_PATH, {"explore", path, "--bound", "1"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("\" fails ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("= hang: 'w' is still blocked"), std::string::npos) << r.out;
    size_t at = r.out.find("replay: prnsim run ");
    ASSERT_NE(at, std::string::npos) << r.out;
    size_t quote = r.out.find("--schedule \"", at);
    ASSERT_NE(quote, std::string::npos);
    quote += 12;
    std::string schedule = r.out.substr(quote, r.out.find('"', quote) - quote);

    toolstest::Run again = RunProgram(PRNSIM_PATH, {"run", path, "--schedule", schedule});
    EXPECT_EQ(again.exitCode, 3) << again.out << again.err;
    EXPECT_NE(again.out.find("= hang: 'w' is still blocked"), std::string::npos) << again.out;

    toolstest::Run bad = RunProgram(PRNSIM_PATH, {"run", path, "--schedule", "w12s"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_EQ(bad.err, "prnsim: bad schedule step 'w12s' (THREAD@POINT>THREAD)\n");
    unlink(path);
}

} // namespace
