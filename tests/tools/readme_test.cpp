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
    std::vector<std::string> quoted; // what the comment quotes
};

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
        Example e{start, {}, {}};
        size_t hash = command.find(" # ");
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

TEST(ReadmeExamples, RunAsWritten)
{
    std::vector<Example> examples = ExamplesOf(README_PATH);
    ASSERT_GE(examples.size(), 10u) << "the README's examples were not found";
    // The pictures they draw go into a folder of their own.
    std::string folder = ::testing::TempDir() + "readme-examples-" + std::to_string(getpid());
    mkdir(folder.c_str(), 0755);
    char* previous = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    for (const Example& e : examples) {
        std::string program = e.words[0] == "xdbq" ? XDBQ_PATH : PRNSIM_PATH;
        std::vector<std::string> args(e.words.begin() + 1, e.words.end());
        toolstest::Run r = toolstest::RunProgram(program, args);
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
