// The page picture: its rectangles must carry the page format command's own
// numbers, for a page with margins and for a borderless one, with the words
// and sizes a reader checks it by.
#include "decode.h"
#include "job.h"
#include "pagesvg.h"
#include "text.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <unistd.h>

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

// An attribute of the element with this id ("" when there is none).
std::string Attribute(const std::string& svg, const std::string& id, const std::string& name)
{
    std::smatch m;
    std::regex element("<[a-z]+ id=\"" + id + "\"[^>]* " + name + "=\"([^\"]*)\"");
    return std::regex_search(svg, m, element) ? std::string(m[1]) : "";
}

bool Has(const std::string& svg, const std::string& text)
{
    return svg.find(text) != std::string::npos;
}

TEST(PageSvg, DemoJobIsA4WithItsMarginsAndAnAssumedRaster)
{
    prnsim::Job job = prnsim::BuildDemoJob(30000);
    prnsim::ResetModelStandIns();
    ASSERT_EQ(job.error, "");
    prnsim::PageContext context;
    context.settingsKnown = true;
    context.settings = {{5, 1}, {8, 3}, {28, 9}};
    std::string svg =
        prnsim::PageSvg(prnsim::DecodeStream(job.bytes.data(), job.bytes.size()), context);
    EXPECT_EQ(Box(svg, "paper"), (std::vector<long>{0, 0, 4961, 7016}));
    EXPECT_EQ(Box(svg, "printable"), (std::vector<long>{80, 70, 4800, 6827}));
    // The raster data carry no extent: drawn over the printable area, and
    // said to be assumed.
    EXPECT_EQ(Box(svg, "raster"), Box(svg, "printable"));
    EXPECT_EQ(Attribute(svg, "raster", "data-extent"), "assumed");
    EXPECT_TRUE(Has(svg, "raster data: 30000 bytes; the data gives no extent")) << svg;
    EXPECT_TRUE(Has(svg, "data-right=\"81\" data-bottom=\"119\"")) << svg;
    EXPECT_TRUE(Has(svg, ">top margin 3.0 mm<"));
    EXPECT_TRUE(Has(svg, ">bottom margin 5.0 mm<"));
    EXPECT_TRUE(Has(svg, "A4: 210.0 x 297.0 mm"));
    EXPECT_TRUE(Has(svg, "media: Media PlainPaper (5 = 1)"));
    EXPECT_TRUE(Has(svg, "quality: Quality (8 = 3)"));
    EXPECT_TRUE(Has(svg, "paper source: not set (setting 7 = 0)"));
    EXPECT_TRUE(Has(svg, "settings that produced it: Media PlainPaper (5 = 1), Quality (8 = 3), "
                         "PaperSize A4 (28 = 9)"));
    EXPECT_FALSE(Has(svg, "id=\"overspray\"")) << "a page with margins has no overspray";
    EXPECT_TRUE(Has(svg, ">raster data (extent assumed)<")) << "the legend names the raster";
    // Printed at 100 %, 600 dots are an inch: the width in millimetres is
    // the view's width in dots.
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(svg, m,
                          std::regex("width=\"([0-9.]+)mm\" height=\"([0-9.]+)mm\" "
                                     "viewBox=\"(-?[0-9]+) (-?[0-9]+) ([0-9]+) ([0-9]+)\"")));
    EXPECT_NEAR(std::stod(m[1]), std::stol(m[5]) * 25.4 / 600, 0.01);
    EXPECT_NEAR(std::stod(m[2]), std::stol(m[6]) * 25.4 / 600, 0.01);
    // The picture is larger than the A4 it shows: it says the sheet it
    // needs at 100 %, and fits on that sheet.
    EXPECT_GT(std::stod(m[2]), 297.0);
    EXPECT_TRUE(Has(svg, prnsim::Format(">at 100 %%: %.0f x %.0f mm, an A3 sheet<", std::stod(m[1]),
                                        std::stod(m[2]))))
        << svg;
    EXPECT_LE(std::stod(m[1]), 297.0);
    EXPECT_LE(std::stod(m[2]), 420.0);
}

TEST(PageSvg, BorderlessPhotoRunsOverEveryEdgeAndXdbqDrawsIt)
{
    std::string path =
        ::testing::TempDir() + "pagesvg_borderless-" + std::to_string(getpid()) + ".svg";
    toolstest::Run r = toolstest::RunProgram(XDBQ_PATH, {"drv",        "4121",
                                                         "-s",         "4=3",
                                                         "-s",         "Media=PhotoPaper",
                                                         "-s",         "6=1",
                                                         "-s",         "8=1",
                                                         "-s",         "PaperSize=PhotoL",
                                                         "-s",         "Borderless=On",
                                                         "-s",         "7=7",
                                                         "--settings", "132",
                                                         "--svg",      path});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    std::string svg = toolstest::ReadFile(path);
    EXPECT_EQ(Box(svg, "paper"), (std::vector<long>{0, 0, 2103, 3000}));
    EXPECT_EQ(Box(svg, "printable"), (std::vector<long>{-47, -47, 2221, 3166}));
    // The band printed off the paper: the printable area outside it.
    EXPECT_EQ(Box(svg, "overspray"), Box(svg, "printable"));
    EXPECT_EQ(Attribute(svg, "overspray", "mask"), "url(#off-paper)");
    EXPECT_TRUE(Has(svg, "data-left=\"-47\" data-top=\"-47\" data-right=\"-71\" "
                         "data-bottom=\"-119\""))
        << svg;
    EXPECT_TRUE(Has(svg, ">left over the edge by 2.0 mm<"));
    EXPECT_TRUE(Has(svg, ">bottom over the edge by 5.0 mm<"));
    EXPECT_TRUE(Has(svg, "PhotoL: 89.0 x 127.0 mm"));
    EXPECT_TRUE(Has(svg, "media: Media PhotoPaper (5 = 281)"));
    EXPECT_TRUE(Has(svg, "paper source: PaperSource SheetFeeder (7 = 7)"));
    EXPECT_TRUE(Has(svg, "(borderless: the printable area runs over the paper's edges)"));
    EXPECT_EQ(Box(svg, "raster"), std::vector<long>{}) << "no raster data in a setup sequence";
    EXPECT_TRUE(Has(svg, "raster data: none"));
    std::remove(path.c_str());

    // An answer without a page format has no page to draw: said, no file,
    // and the exit code is the answer's.
    r = toolstest::RunProgram(XDBQ_PATH, {"drv", "4122", "--settings", "132", "--svg", path});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("no page to draw: the answer has no page format command"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(toolstest::ReadFile(path), "");

    // So does prnsim's: a reset alone is printed, and there is no page.
    std::string job = ::testing::TempDir() + "pagesvg_reset-" + std::to_string(getpid()) + ".prn";
    FILE* f = fopen(job.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("\x1B@", f);
    fclose(f);
    r = toolstest::RunProgram(PRNSIM_PATH, {"print", job, "--svg", path});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("no page to draw: the data has no page format command"), std::string::npos)
        << r.out;
    EXPECT_EQ(toolstest::ReadFile(path), "");
    std::remove(job.c_str());
}

} // namespace
