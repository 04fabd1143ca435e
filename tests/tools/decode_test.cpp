// The decoded view of what the printer received, and the parsers behind the
// prnsim command line and scripts.
#include "decode.h"
#include "interpreter.h"
#include "machine.h"
#include "names.h"
#include "text.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace
{

using prnsim::DecodeStream;
using prnsim::StreamSummary;

std::vector<unsigned char> Bytes(const std::string& hex)
{
    std::vector<unsigned char> b;
    EXPECT_TRUE(prnsim::ParseHexBytes(hex, &b)) << hex;
    return b;
}

std::vector<unsigned char> Text(const std::string& s)
{
    return std::vector<unsigned char>(s.begin(), s.end());
}

std::vector<unsigned char> Join(std::initializer_list<std::vector<unsigned char>> parts)
{
    std::vector<unsigned char> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The lines without their offset column.
std::vector<std::string> Texts(const StreamSummary& s)
{
    std::vector<std::string> out;
    for (const std::string& line : s.lines)
        out.push_back(line.size() > 10 ? line.substr(10) : line);
    return out;
}

// The job setup of an A4 plain-paper job as the model database builds it.
const char kA4JobSetup[] = "1B 28 62 01 00 01 1B 28 63 03 00 30 00 02 1B 28"
                           "64 04 00 02 58 02 58 1B 28 74 24 00 80 80 01 24"
                           "00 06 24 00 06 24 00 06 24 00 06 00 00 00 00 00"
                           "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                           "1B 28 70 2E 00 02 AB 00 00 01 E0 00 00 00 00 00"
                           "00 02 58 00 00 00 50 00 00 00 46 00 00 12 C0 00"
                           "00 1A AB 00 00 00 00 00 00 00 00 00 00 13 61 00"
                           "00 1B 68 1B 28 50 02 00 00 03 1B 28 6C 03 00 34"
                           "00 00";

TEST(Decode, JobSetupShowsEveryCommandWithItsFields)
{
    std::vector<unsigned char> job = Bytes(kA4JobSetup);
    ASSERT_EQ(job.size(), 130u);
    StreamSummary s = DecodeStream(job.data(), job.size());
    EXPECT_EQ(Texts(s), (std::vector<std::string>{
                            "ESC ( b  switch on",
                            "ESC ( c  print mode 30 00 02 (the mode block's ESC ( c data)",
                            "ESC ( d  resolution 600 x 600 dpi",
                            "ESC ( t  print mode table: head 80 80 01; 24 00 06 x4, 00 00 00 x7",
                            "ESC ( p  page format: paper 210.0 x 297.0 mm (4961 x 7016 dots "
                            "of 1/600 in)",
                            "         printable area 203.2 x 289.0 mm (4800 x 6827 dots) from "
                            "80, 70 dots",
                            "         margins: left 3.4 mm, top 3.0 mm, right 3.4 mm, bottom "
                            "5.0 mm",
                            "         printable length 683, width 480 in 1/60 in (the printable "
                            "area above, rounded to 1/60 in)",
                            "ESC ( P  paper size code 3 (A4)",
                            "ESC ( l  paper source and media 34 00 00 (bytes by paper source, "
                            "media, paper source)",
                        }));
    EXPECT_EQ(s.commands, 7u);
    EXPECT_EQ(s.dataBytes, 0u);
    EXPECT_EQ(s.paper, "A4");
    EXPECT_EQ(s.printMode, "30 00 02");
    EXPECT_EQ(s.page, "210.0 x 297.0 mm, printable 203.2 x 289.0 mm");
    EXPECT_EQ(s.lines[9].substr(0, 10), "     122  ");
    EXPECT_EQ(s.strayBytes, 0u);

    // Without its paper source the sequence loses ESC ( l's head and tail:
    // the media byte left between is no command and no raster data.
    job.erase(job.begin() + 122, job.begin() + 128);
    job.pop_back();
    s = DecodeStream(job.data(), job.size());
    EXPECT_EQ(Texts(s).back(), "warning  1 byte that is not a command: 00 (a sequence left "
                               "incomplete?)");
    EXPECT_EQ(s.strayBytes, 1u);
    EXPECT_EQ(s.rasterBytes, 0u);
}

TEST(Decode, ModeBlocksShowTheirLinesAndRasterDataIsCounted)
{
    std::vector<unsigned char> stream =
        Join({Bytes("1B 5B 4B 02 00 00 1F"),
              Text("ZRLSTART\nControlMode=Common\nSetSilent=ON\n\nZRLEND\n"),
              Bytes("1B 5B 4B 02 00 00 0F"), std::vector<unsigned char>(1000, 0x55),
              Bytes("1B 28 65 02 00 00 01 0C 1B 40")});
    StreamSummary s = DecodeStream(stream.data(), stream.size());
    EXPECT_EQ(Texts(s), (std::vector<std::string>{
                            "ESC [ K  mode block 00 1F (56 bytes)",
                            "    | ZRLSTART",
                            "    | ControlMode=Common",
                            "    | SetSilent=ON",
                            "    | ",
                            "    | ZRLEND",
                            "ESC [ K  mode header 00 0F",
                            "data     1000 bytes of raster data",
                            "ESC ( e  00 01",
                            "FF       form feed",
                            "ESC @    reset",
                        }));
    EXPECT_EQ(s.commands, 4u);
    EXPECT_EQ(s.dataBytes, 1001u);
    EXPECT_EQ(s.rasterBytes, 1000u) << "the form feed is no raster byte";
}

// Cut streams must be shown for what they are, never read past their end.
TEST(Decode, TruncatedInputStaysInsideTheStream)
{
    struct Case {
        const char* name;
        std::vector<unsigned char> bytes;
        std::string firstLine;
    };
    const Case cases[] = {
        {"length beyond the end", Bytes("1B 28 70 2E 00 02 AB"),
         "warning  7 bytes that are not a command: 1B 28 70 2E 00 02 AB (a sequence left "
         "incomplete?)"},
        {"escape at the end", Bytes("41 1B"),
         "warning  2 bytes that are not a command: 41 1B (a sequence left incomplete?)"},
        {"header without length", Bytes("1B 28 70"),
         "warning  3 bytes that are not a command: 1B 28 70 (a sequence left incomplete?)"},
        {"mode header cut", Bytes("1B 5B 4B 02 00 00"), "ESC [ K  truncated"},
        {"block without its end", Join({Bytes("1B 5B 4B 02 00 00 1F"), Text("ZRLSTART\nKey=1")}),
         "ESC [ K  mode block 00 1F (21 bytes)"},
        {"page format of another length", Bytes("1B 28 70 01 00 00"),
         "ESC ( p  page format, unexpected length 1"},
    };
    for (const Case& c : cases) {
        // A copy of exactly the stated size, so the sanitizer sees any overread.
        std::vector<unsigned char> exact(c.bytes);
        StreamSummary s = DecodeStream(exact.data(), exact.size());
        ASSERT_FALSE(s.lines.empty()) << c.name;
        EXPECT_EQ(s.lines[0].substr(10), c.firstLine) << c.name;
    }
    std::vector<unsigned char> cut = Join({Bytes("1B 5B 4B 02 00 00 1F"), Text("ZRLSTART\nKey=1")});
    StreamSummary block = DecodeStream(cut.data(), cut.size());
    EXPECT_EQ(block.lines.back(), "              | Key=1  (no line end)");
    EXPECT_TRUE(DecodeStream(nullptr, 0).lines.empty());
}

// Paper codes are named by the model: the paper size whose code it is.
TEST(Decode, PaperCodesNameTheModelsPapers)
{
    EXPECT_EQ(prnsim::PaperOfCode(3), "A4");
    EXPECT_EQ(prnsim::PaperOfCode(13), "Letter");
    EXPECT_EQ(prnsim::PaperOfCode(50), "PhotoL");
    EXPECT_EQ(prnsim::PaperOfCode(256), "UserDefined");
    EXPECT_EQ(prnsim::PaperOfCode(2), "");
}

// Registry strings are shown as their readers take them, with a flag where
// the stored length is not what the text needs.
TEST(RegistryText, TerminatorsAreLeftOutAndWrongLengthsFlagged)
{
    auto utf16 = [](const std::string& s) {
        std::vector<unsigned char> d;
        for (char c : s) {
            d.push_back((unsigned char)c);
            d.push_back(0);
        }
        return d;
    };
    using prnsim::RegistryText;
    EXPECT_EQ(RegistryText(utf16(std::string("QXZR1394_\0", 10)), false), "\"QXZR1394_\"");
    EXPECT_EQ(RegistryText(utf16("QXZR1394_"), false), "\"QXZR1394_\" (no terminator)");
    EXPECT_EQ(RegistryText(utf16(std::string("AB\0\0", 4)), false),
              "\"AB\" (8 bytes: 1 code unit after the terminator)");
    EXPECT_EQ(RegistryText(utf16(std::string("A\0B\0\0", 5)), true), "\"A\" | \"B\"");
    EXPECT_EQ(RegistryText(utf16(std::string("A\0B\0", 4)), true),
              "\"A\" | \"B\" (no list terminator)");
    EXPECT_EQ(RegistryText({0x41, 0, 0}, false), "\"A\" (3 bytes: an odd length)");
}

// --fold: alike but for the time and a data write's sequence byte; the
// line that differs otherwise starts a run of its own.
TEST(FoldRuns, AlikeLinesFoldIntoTheFirstAndACount)
{
    const char* write = "[    2.0000 ms] p/0 SCSI C0 00 00 00 03 %s 00 00 out      3 -> SUCCESS "
                        "3 (vendor data)";
    std::vector<std::string> lines;
    for (const char* sequence : {"00", "01", "02"})
        lines.push_back(prnsim::Format(write, sequence));
    lines.push_back("[    3.0000 ms] p/0 SCSI C0 00 00 00 02 03 00 00 out      2 -> SUCCESS 2 "
                    "(vendor data)");
    lines.push_back("[    4.0000 ms] p/1 CLOSE  -> STATUS_SUCCESS");
    lines.push_back("[    5.0000 ms] p/1 CLOSE  -> STATUS_SUCCESS");
    EXPECT_EQ(prnsim::script::FoldRuns(lines),
              (std::vector<std::string>{
                  lines[0], "... 2 more like it, sequence bytes to 02, the last [    2.0000 ms]",
                  lines[3], lines[4], "... 1 more like it, the last [    5.0000 ms]"}));
}

TEST(Text, Numbers)
{
    struct Case {
        const char* text;
        uint64_t max;
        bool ok;
        uint64_t value;
    };
    const Case cases[] = {
        {"0", 10, true, 0},
        {"4096", 1u << 20, true, 4096},
        {"0x1F", 255, true, 31},
        {"0X1f", 255, true, 31},
        {"256", 255, false, 0},
        {"", 10, false, 0},
        {"-1", 10, false, 0},
        {"+1", 10, false, 0},
        {"12x", 100, false, 0},
        {"0x", 100, false, 0},
        {" 1", 10, false, 0},
        {"99999999999999999999999", UINT64_MAX, false, 0},
        {"0xFFFFFFFF", 0xFFFFFFFFu, true, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        uint64_t v = 12345;
        EXPECT_EQ(prnsim::ParseNumber(c.text, c.max, &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(Text, ScriptWords)
{
    std::vector<std::string> w;
    ASSERT_TRUE(prnsim::SplitWords("  plug p id=\"MFG:A B;MDL:C;\" # comment \"x", &w));
    EXPECT_EQ(w, (std::vector<std::string>{"plug", "p", "id=MFG:A B;MDL:C;"}));
    ASSERT_TRUE(prnsim::SplitWords("printer p status \"a\\\"b\"", &w));
    EXPECT_EQ(w, (std::vector<std::string>{"printer", "p", "status", "a\\\"b"}));
    ASSERT_TRUE(prnsim::SplitWords("# only a comment", &w));
    EXPECT_TRUE(w.empty());
    EXPECT_FALSE(prnsim::SplitWords("echo \"open", &w));

    EXPECT_EQ(prnsim::Unescape("a\\r\\n\\x41\\\\\\\"z\\"), "a\r\nA\\\"z\\");
    EXPECT_EQ(prnsim::Unescape("\\x4"), "\\x4");
}

TEST(Text, HexBytes)
{
    std::vector<unsigned char> b;
    EXPECT_TRUE(prnsim::ParseHexBytes("1B 40,0a:FF", &b));
    EXPECT_EQ(b, (std::vector<unsigned char>{0x1B, 0x40, 0x0A, 0xFF}));
    EXPECT_EQ(prnsim::HexBytes(b.data(), b.size(), 2), "1B 40 ...");
    EXPECT_EQ(prnsim::Printable(b.data(), b.size()), "\\x1B@\\x0A\\xFF");
    EXPECT_FALSE(prnsim::ParseHexBytes("1B4", &b));
    EXPECT_FALSE(prnsim::ParseHexBytes("1G", &b));
}

TEST(Names, StatusesBothWays)
{
    NTSTATUS s = 0;
    EXPECT_TRUE(prnsim::ParseStatus("STATUS_DEVICE_OFF_LINE", &s));
    EXPECT_EQ(s, STATUS_DEVICE_OFF_LINE);
    EXPECT_TRUE(prnsim::ParseStatus("delete_pending", &s));
    EXPECT_EQ(s, STATUS_DELETE_PENDING);
    EXPECT_TRUE(prnsim::ParseStatus("0xC0000185", &s));
    EXPECT_EQ(prnsim::StatusName(s), "STATUS_IO_DEVICE_ERROR");
    EXPECT_FALSE(prnsim::ParseStatus("STATUS_NOPE", &s));
    EXPECT_EQ(prnsim::StatusName((NTSTATUS)0xC0001234), "0xC0001234");

    UCHAR srb = 0;
    EXPECT_TRUE(prnsim::ParseSrbStatus("SRB_STATUS_SELECTION_TIMEOUT", &srb));
    EXPECT_EQ(srb, 0x0A);
    EXPECT_EQ(prnsim::SrbStatusName(0x84), "ERROR+AUTOSENSE");

    ULONG code = 0;
    EXPECT_TRUE(prnsim::ParseIoctl("IOCTL_PAR_QUERY_DEVICE_ID", &code));
    EXPECT_EQ(code, 0x0016000Cu);
    EXPECT_EQ(prnsim::IoctlName(0x00222070), "IOCTL_PRNSBP_DISCARD");
    EXPECT_EQ(prnsim::CommandName(0xC1, 0x22), "device ID");
}

} // namespace
