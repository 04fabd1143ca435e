// The page picture: its rectangles must carry the page format command's own
// numbers, for a page with margins and for a borderless one.
#include "decode.h"
#include "job.h"
#include "pagesvg.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

namespace
{

// The x, y, width and height of the element with this id.
std::vector<long> Box(const std::string& svg, const std::string& id)
{
    std::smatch m;
    std::regex box("id=\"" + id +
                   "\" x=\"(-?[0-9]+)\" y=\"(-?[0-9]+)\" width=\"([0-9]+)\" height=\"([0-9]+)\"");
    if (!std::regex_search(svg, m, box))
        return {};
    return {std::stol(m[1]), std::stol(m[2]), std::stol(m[3]), std::stol(m[4])};
}

TEST(PageSvg, DemoJobIsA4WithItsMarginsAndRaster)
{
    prnsim::Job job = prnsim::BuildDemoJob(30000);
    prnsim::ResetModelStandIns();
    ASSERT_EQ(job.error, "");
    std::string svg = prnsim::PageSvg(prnsim::DecodeStream(job.bytes.data(), job.bytes.size()));
    EXPECT_EQ(Box(svg, "paper"), (std::vector<long>{0, 0, 4961, 7016}));
    EXPECT_EQ(Box(svg, "printable"), (std::vector<long>{80, 70, 4800, 6827}));
    EXPECT_EQ(Box(svg, "raster"), Box(svg, "printable"));
    EXPECT_NE(svg.find("data-right=\"81\" data-bottom=\"119\""), std::string::npos) << svg;
    EXPECT_NE(svg.find("A4: 210.0 x 297.0 mm"), std::string::npos);
    EXPECT_NE(svg.find("raster data: 30000 bytes"), std::string::npos);
}

TEST(PageSvg, BorderlessPhotoRunsOverEveryEdgeAndXdbqDrawsIt)
{
    std::string path = ::testing::TempDir() + "pagesvg_borderless.svg";
    toolstest::Run r = toolstest::RunProgram(
        XDBQ_PATH, {"drv", "4121", "-s", "4=3", "-s", "5=281", "-s", "6=1", "-s", "8=1", "-s",
                    "28=278", "-s", "81=1", "--settings", "132", "--svg", path});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    std::string svg = toolstest::ReadFile(path);
    EXPECT_EQ(Box(svg, "paper"), (std::vector<long>{0, 0, 2103, 3000}));
    EXPECT_EQ(Box(svg, "printable"), (std::vector<long>{-47, -47, 2221, 3166}));
    EXPECT_EQ(Box(svg, "raster"), std::vector<long>{}) << "no raster data in a setup sequence";
    EXPECT_NE(svg.find("(borderless)"), std::string::npos);
    std::remove(path.c_str());

    // An answer without a page format has no page to draw: said, no file,
    // and the exit code is the answer's.
    r = toolstest::RunProgram(XDBQ_PATH, {"drv", "4122", "--settings", "132", "--svg", path});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("no page to draw: the answer has no page format command"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(toolstest::ReadFile(path), "");
}

} // namespace
