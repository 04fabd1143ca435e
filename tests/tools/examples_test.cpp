// The example scenarios under examples/ reproduce situations of the driver;
// their output is kept next to them and must not change unnoticed.
#include "run_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace
{

using toolstest::Lines;
using toolstest::ReadFile;
using toolstest::RunProgram;

const std::string kExamples = EXAMPLES_DIR;

std::vector<std::string> FilesEndingIn(const std::string& suffix)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(kExamples.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > suffix.size() &&
                n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(n.substr(0, n.size() - suffix.size()));
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Points at the first line that differs, which says more than two walls of text.
void ExpectSameLines(const std::string& expected, const std::string& actual)
{
    std::vector<std::string> e = Lines(expected), a = Lines(actual);
    for (size_t i = 0; i < std::min(e.size(), a.size()); i++)
        ASSERT_EQ(e[i], a[i]) << "first difference at line " << i + 1;
    EXPECT_EQ(e.size(), a.size()) << "line counts differ";
}

struct Mode {
    std::string example;
    std::string option; // "", "--async" or "--mixed"
};

class ExampleTest : public ::testing::TestWithParam<Mode>
{
};

// A port driver that completes from its own thread, always or only for
// some requests, and a pass-through lower filter above it (with the
// asynchronous port), must not change what reaches the bus or what the
// caller sees.
TEST_P(ExampleTest, OutputMatchesExpected)
{
    const Mode& m = GetParam();
    std::vector<std::string> args = {"run", kExamples + "/" + m.example + ".prnsim"};
    if (!m.option.empty())
        args.push_back(m.option);
    if (m.option == "--async")
        args.push_back("--lower-filter");
    toolstest::Run r = RunProgram(PRNSIM_PATH, args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ExpectSameLines(ReadFile(kExamples + "/" + m.example + ".expected"), r.out);
}

std::vector<Mode> Modes()
{
    std::vector<Mode> modes;
    for (const std::string& e : FilesEndingIn(".prnsim")) {
        modes.push_back({e, ""});
        modes.push_back({e, "--async"});
        modes.push_back({e, "--mixed"});
    }
    return modes;
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleTest, ::testing::ValuesIn(Modes()),
                         [](const ::testing::TestParamInfo<Mode>& info) {
                             std::string name = info.param.example;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name + (info.param.option.empty()
                                                ? "_sync"
                                                : "_" + info.param.option.substr(2));
                         });

TEST(Examples, EveryScriptHasItsExpectedOutputAndNoneIsStray)
{
    std::vector<std::string> scripts = FilesEndingIn(".prnsim");
    EXPECT_FALSE(scripts.empty());
    EXPECT_EQ(scripts, FilesEndingIn(".expected"));
}

// A script that ends with a request still blocked is a hang: its own exit
// code, the request named with where it waits, and the end-of-run check
// after everything held was let go. A wait for it is the same hang, and the
// script stops there. One that finished unwaited shows its result.
TEST(ScriptEnd, AHangHasItsExitCodeAndSaysWhereAndTheRunIsStillChecked)
{
    const std::string script = "load\nplug p\nopen p.0\nwrite p.0 10\nprinter p hold op=C0\n"
                               "start w: write p.0 100\nstart r: read p.0 10\n";
    for (const char* end : {"", "wait w\necho not reached\n"}) {
        toolstest::Run r = RunProgram(PRNSIM_PATH, {"run", "-"}, script + end);
        EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find("= hang: 'w' is still blocked, held in the printer: p/0 SCSI C0 00"),
                  std::string::npos)
            << r.out;
        // The read waits behind the write for the engine.
        EXPECT_NE(
            r.out.find("= hang: 'r' is still blocked, in the driver, waiting for the fast mutex "
                       "EngineMutex of \\Device\\Printer0"),
            std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("= nothing left allocated, no verifier reports"), std::string::npos);
        EXPECT_EQ(r.out.find("not reached"), std::string::npos) << r.out;
    }

    toolstest::Run r =
        RunProgram(PRNSIM_PATH, {"run", "-"}, "load\nplug p\nopen p.0\nstart w: write p.0 100\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(
        r.out.find("= w finished and was never waited for:\n= STATUS_SUCCESS, information 100"),
        std::string::npos)
        << r.out;
}

// The driver refuses such opens with STATUS_DELETE_PENDING whatever the
// reason; plug and open say which: a printer key shorter than 16
// characters keeps both units out of the unit table, a unit not yet
// started keeps the port shut until it is.
TEST(OpenRefused, PlugAndOpenSayWhy)
{
    for (const char* key : {"AAAA", "00A0B8C9D0E1F20"}) {
        toolstest::Run r = RunProgram(PRNSIM_PATH, {"run", "-"},
                                      "load\nplug p key=" + std::string(key) + "\nopen p.0\n");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::string because = "its printer key '" + std::string(key) + "' (after the last '&' of " +
                              "\\Device\\Sbp2\\QXZR&P-1&0&" + key + ") has " +
                              std::to_string(strlen(key)) + " characters; a printer key needs 16";
        EXPECT_NE(r.out.find("= unit 0: STATUS_SUCCESS \\Device\\Printer0; the driver keeps it "
                             "out of its unit table, so the port cannot be opened: " +
                             because),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("= STATUS_DELETE_PENDING, information 0\n= the port cannot be "
                             "opened: the driver keeps unit 0 out of its unit table: " +
                             because),
                  std::string::npos)
            << r.out;
    }
    toolstest::Run r = RunProgram(PRNSIM_PATH, {"run", "-"},
                                  "load\nplug p key=00A0B8C9D0E1F203 nostart1\nopen p.0\n"
                                  "start-device p.1\nopen p.0\n");
    EXPECT_NE(r.out.find("= unit 0: STATUS_SUCCESS \\Device\\Printer0\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("= the port cannot be opened: unit 1 has not been started "
                         "(start-device p.1)\n> start-device p.1"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("= STATUS_SUCCESS, information 0\n> (end of script"), std::string::npos)
        << r.out;
}

// Port numbers live in the registry; --registry carries it from one run to
// the next as a restart of the machine would.
TEST(RegistryFile, PortNumbersSurviveBetweenRuns)
{
    std::string file = ::testing::TempDir() + "prnsim-registry-" + std::to_string(getpid());
    unlink(file.c_str());
    const std::string first = "load\nplug a key=00A0B8C9D0E1F2031\nplug b key=00A0B8C9D0E1F2032\n";
    const std::string second = "load\nplug b key=00A0B8C9D0E1F2032\nshow b\n";

    ASSERT_EQ(RunProgram(PRNSIM_PATH, {"run", "-", "--registry", file}, first).exitCode, 0);
    toolstest::Run kept = RunProgram(PRNSIM_PATH, {"run", "-", "--registry", file}, second);
    toolstest::Run fresh = RunProgram(PRNSIM_PATH, {"run", "-"}, second);
    unlink(file.c_str());

    EXPECT_EQ(kept.exitCode, 0) << kept.err;
    EXPECT_NE(kept.out.find("Printer0, started, port number 2"), std::string::npos) << kept.out;
    EXPECT_NE(fresh.out.find("Printer0, started, port number 1"), std::string::npos) << fresh.out;
}

// The file is text a person edits: saved, loaded and saved again it stays
// the same; an edited number is taken; a file of the earlier hex form
// still loads; a broken line is named.
TEST(RegistryFile, ReadableEditableAndOldFilesLoad)
{
    std::string file = ::testing::TempDir() + "prnsim-regtext-" + std::to_string(getpid());
    unlink(file.c_str());
    const std::string plug = "load\nplug a key=00A0B8C9D0E1F2031\n";
    ASSERT_EQ(RunProgram(PRNSIM_PATH, {"run", "-", "--registry", file}, plug).exitCode, 0);
    std::string saved = toolstest::ReadFile(file);
    EXPECT_NE(saved.find("\"MaxPortNumber\" = dword:1\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Guid\" = sz:\"00A0B8C9D0E1F2031\"\n"), std::string::npos);
    ASSERT_EQ(RunProgram(PRNSIM_PATH, {"run", "-", "--registry", file}, "load\n").exitCode, 0);
    EXPECT_EQ(toolstest::ReadFile(file), saved);

    // Port 1 given to another printer and the highest number raised by hand:
    // printer a finds no port of its own and takes the next above 4.
    std::string edited = saved;
    size_t at = edited.find("\"MaxPortNumber\" = dword:1");
    edited.replace(at, 25, "\"MaxPortNumber\" = dword:4");
    at = edited.find("\"Guid\" = sz:\"00A0B8C9D0E1F2031\"");
    edited.replace(at, 31, "\"Guid\" = sz:\"someone else\"");
    auto write = [&](const std::string& text) {
        FILE* f = fopen(file.c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
    };
    write(edited);
    toolstest::Run r = RunProgram(PRNSIM_PATH, {"run", "-", "--registry", file}, plug + "show a\n");
    EXPECT_NE(r.out.find("started, port number 5"), std::string::npos) << r.out << r.err;

    // The earlier form: hex-encoded UTF-16 keys and names.
    write("K 5c005200650067006900730074007200790000\n");
    r = RunProgram(PRNSIM_PATH, {"run", "-", "--registry", file}, "load\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;

    write("[\\Registry]\n\"X\" = word:1\n");
    r = RunProgram(PRNSIM_PATH, {"run", "-", "--registry", file}, "load\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("'\"X\" = word:1': bad value 'word:1'"), std::string::npos) << r.err;
    unlink(file.c_str());
}

TEST(Demo, PrintsTheJobIntactAndLeavesNothingAllocated)
{
    toolstest::Run r = RunProgram(PRNSIM_PATH, {"demo"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* expected :
         {"unit 0 AddDevice+start STATUS_SUCCESS", "child instance ID      QXZR1394_001",
          "Drv 4121  job setup                    DB_OK         130 bytes",
          "the job asked for     Colour (4 = 3), Media PlainPaper (5 = 1), MediaCompanion (6 = "
          "1), PaperSource (7 = 263), Quality (8 = 3), PaperSize A4 (28 = 9)",
          "progress 100%: 300,362 of 300,362 bytes", "(identical to the job)",
          "the printer was told  paper A4; page 210.0 x 297.0 mm, printable 203.2 x 289.0 mm; "
          "print mode 30 00 02",
          "| SetSilent=ON", "| MediaDetection=ON", "nothing left: no pool",
          "(17 commands, 300,000 bytes of raster data)"})
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected;
    EXPECT_EQ(r.out.find("DIFFERENT"), std::string::npos);
    EXPECT_EQ(toolstest::Lines(r.out).back(),
              "Demo passed: the printer received the job byte for byte, and the driver and "
              "prnmodel left nothing behind.");

    // A job the model cannot build: said before anything runs, exit 4;
    // --lenient runs it and the verdict says it failed.
    const std::vector<std::string> photo = {
        "demo", "-s", "PaperSize=PhotoL", "-s", "Media=PhotoPaper", "-s", "Borderless=On"};
    r = RunProgram(PRNSIM_PATH, photo);
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("prnsim: Quality 3 is not among the values the model offers with Media "
                         "PhotoPaper (281): 1, 2 (Drv 4118)\n"),
              std::string::npos)
        << r.err;
    std::vector<std::string> lenient = photo;
    lenient.push_back("--lenient");
    r = RunProgram(PRNSIM_PATH, lenient);
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(toolstest::Lines(r.out).back(),
              "Demo FAILED: the job is not one the model can build (the warnings above).");
}

// A file whose job setup lacks what the printer needs is said before it is
// printed (exit 4); --lenient prints it.
TEST(Print, AJobSetupWithoutItsCommandsIsSaid)
{
    std::string file =
        ::testing::TempDir() + "prnsim-print-setup-" + std::to_string(getpid()) + ".bin";
    FILE* f = fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("\x1B(b\x01", f); // ESC ( b on, then only a paper size command
    fwrite("\0\x01\x1B(P\x02\0\0\x03", 1, 9, f);
    fclose(f);
    toolstest::Run r = RunProgram(PRNSIM_PATH, {"print", file});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "");
    for (const char* said :
         {"the job setup at byte 0 has no print mode (ESC ( c, ESC ( d, ESC ( t)\n",
          "has no page format (ESC ( p)\n", "has no paper source and media (ESC ( l with 3 "})
        EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("no paper size"), std::string::npos) << r.err;
    r = RunProgram(PRNSIM_PATH, {"print", file, "--lenient"});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.out.find("warning: the job setup at byte 0 has no page format"), std::string::npos);
    EXPECT_NE(r.out.find("(identical to the file)"), std::string::npos) << r.out;
    unlink(file.c_str());
}

struct PrintCase {
    const char* name;
    std::vector<std::string> options;
    std::vector<std::string> expected; // pieces of the summary
};

class PrintTest : public ::testing::TestWithParam<PrintCase>
{
};

// The data arrives whole whatever the configuration; the configuration shows
// in the transfers on the bus.
TEST_P(PrintTest, FileArrivesWholeInTheConfiguredTransfers)
{
    // ctest runs the cases side by side: each writes a file of its own.
    std::string file = ::testing::TempDir() + "prnsim-print-" + GetParam().name + "-" +
                       std::to_string(getpid()) + ".bin";
    {
        std::string data(20000, '\0');
        for (size_t i = 0; i < data.size(); i++)
            data[i] = (char)(i * 13 + i / 251);
        FILE* f = fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
    std::vector<std::string> args = {"print", file};
    args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
    toolstest::Run r = RunProgram(PRNSIM_PATH, args);
    unlink(file.c_str());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("20,000 (identical to the file)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("kernel: checked (verifier on)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Leak check: nothing left allocated"), std::string::npos) << r.out;
    for (const std::string& e : GetParam().expected)
        EXPECT_NE(r.out.find(e), std::string::npos) << e << "\n" << r.out;
}

// A large job runs on the retail kernel; it must still arrive whole, in
// both completion modes, and leave nothing allocated.
TEST(PrintRetailTest, LargeFileArrivesWholeOnTheRetailKernel)
{
    std::string file =
        ::testing::TempDir() + "prnsim-print-retail-" + std::to_string(getpid()) + ".bin";
    {
        std::string data(3u << 19, '\0');
        for (size_t i = 0; i < data.size(); i++)
            data[i] = (char)(i * 7 + i / 509);
        FILE* f = fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
    for (const char* mode : {"", "--async"}) {
        std::vector<std::string> args = {"print", file};
        if (*mode)
            args.push_back(mode);
        toolstest::Run r = RunProgram(PRNSIM_PATH, args);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("kernel: retail (verifier off)"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("1,572,864 (identical to the file)"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Leak check: nothing left allocated"), std::string::npos) << r.out;
    }
    unlink(file.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Options, PrintTest,
    ::testing::Values(
        // first write at once, then 4096-byte writes gathered into 32 KiB
        PrintCase{"defaults", {}, {"C0 00  vendor data         2        20,000 bytes"}},
        PrintCase{"scsi_print",
                  {"--use-scsi-print", "1"},
                  {"0A --  PRINT               2        20,000 bytes"}},
        PrintCase{"small_buffer",
                  {"--mdl-size", "1000", "--write-size", "5000"},
                  {"C0 00  vendor data        20        20,000 bytes"}},
        PrintCase{"legacy_async",
                  {"--legacy", "--async"},
                  {"C0 00  vendor data         2        20,000 bytes"}},
        PrintCase{"mixed", {"--mixed=7"}, {"C0 00  vendor data         2        20,000 bytes"}},
        PrintCase{
            "odd_write_size",
            {"--write-size", "7", "--decode"},
            {"C0 00  vendor data      2858        20,000 bytes", "Commands the printer received"}}),
    [](const ::testing::TestParamInfo<PrintCase>& info) { return std::string(info.param.name); });

} // namespace
