// The README's examples, run as written: every xdbq and prnsim line of its
// sh blocks must succeed, print no warning, and print what its comment
// quotes between backquotes, so the examples cannot drift from the tools.
#include "run_program.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

struct Example {
    int line;
    std::vector<std::string> words;
    std::string command;             // as a newcomer types it
    std::vector<std::string> quoted; // what the comment quotes
};

// The README's `export PATH=...` lines: how it tells a newcomer to reach
// the tools by name.
std::vector<std::string> PathSettingsOf(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    bool inBlock = false;
    for (std::string line; std::getline(in, line);) {
        std::string text = line.substr(std::min(line.find_first_not_of(' '), line.size()));
        if (text.rfind("```", 0) == 0)
            inBlock = !inBlock && text == "```sh";
        else if (inBlock && text.rfind("export PATH=", 0) == 0)
            lines.push_back(text);
    }
    return lines;
}

std::vector<Example> ExamplesOf(const std::string& path)
{
    std::ifstream in(path);
    std::vector<Example> examples;
    std::string line, command;
    bool inBlock = false;
    int number = 0, start = 0;
    while (std::getline(in, line)) {
        number++;
        std::string text = line.substr(std::min(line.find_first_not_of(' '), line.size()));
        if (text.rfind("```", 0) == 0) {
            inBlock = !inBlock && text == "```sh";
            continue;
        }
        if (!inBlock)
            continue;
        if (command.empty())
            start = number;
        command += text;
        if (!command.empty() && command.back() == '\\') {
            command.pop_back();
            continue;
        }
        Example e{start, {}, "", {}};
        size_t hash = command.find(" # ");
        e.command = command.substr(0, hash);
        std::string comment = hash == std::string::npos ? "" : command.substr(hash);
        for (size_t at = comment.find('`'); at != std::string::npos;) {
            size_t end = comment.find('`', at + 1);
            if (end == std::string::npos)
                break;
            e.quoted.push_back(comment.substr(at + 1, end - at - 1));
            at = comment.find('`', end + 1);
        }
        std::istringstream words(command.substr(0, hash));
        for (std::string w; words >> w;)
            e.words.push_back(w);
        command.clear();
        if (!e.words.empty() && (e.words[0] == "xdbq" || e.words[0] == "prnsim"))
            examples.push_back(e);
    }
    return examples;
}

// The build folder the tools of this run are in (build/host, or another
// preset's): BUILD/tools/prnsim/prnsim.
std::string BuildFolderOf(const std::string& tool, const std::string& tail)
{
    if (tool.size() <= tail.size() || tool.compare(tool.size() - tail.size(), tail.size(), tail))
        return "";
    return tool.substr(0, tool.size() - tail.size());
}

// Each line runs in a shell as a newcomer types it, with the PATH the
// README says to set, from a checkout whose build/host is this run's build.
TEST(ReadmeExamples, RunAsWritten)
{
    std::vector<Example> examples = ExamplesOf(README_PATH);
    ASSERT_GE(examples.size(), 10u) << "the README's examples were not found";
    std::vector<std::string> paths = PathSettingsOf(README_PATH);
    ASSERT_EQ(paths.size(), 1u) << "the README says once how to put the tools on PATH";
    std::string build = BuildFolderOf(PRNSIM_PATH, "/tools/prnsim/prnsim");
    ASSERT_NE(build, "");
    ASSERT_EQ(BuildFolderOf(XDBQ_PATH, "/tools/xdbq/xdbq"), build);
    // The checkout as the README sees it, the pictures the examples draw
    // in it too.
    std::string folder = ::testing::TempDir() + "readme-examples-" + std::to_string(getpid());
    mkdir(folder.c_str(), 0755);
    mkdir((folder + "/build").c_str(), 0755);
    unlink((folder + "/build/host").c_str());
    ASSERT_EQ(symlink(build.c_str(), (folder + "/build/host").c_str()), 0);
    char* previous = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    for (const Example& e : examples) {
        toolstest::Run r = toolstest::RunProgram(
            "/bin/sh", {"-c", "PATH=/usr/bin:/bin; " + paths[0] + "; " + e.command});
        std::string where = "README.md:" + std::to_string(e.line);
        EXPECT_EQ(r.exitCode, 0) << where << "\n" << r.out << r.err;
        EXPECT_EQ(r.err, "") << where;
        EXPECT_EQ(r.out.find("warning"), std::string::npos) << where << "\n" << r.out;
        for (const std::string& q : e.quoted)
            EXPECT_NE(r.out.find(q), std::string::npos) << where << ": no `" << q << "`\n" << r.out;
    }
    EXPECT_EQ(chdir(previous), 0);
    free(previous);
}

} // namespace
