// Runs one of our programs as a user would and captures what it said.
#pragma once

#include <string>
#include <vector>

namespace toolstest
{

struct Run {
    int exitCode = -1; // -1: killed by a signal
    std::string out;
    std::string err;
};

// `input` goes to the program's standard input.
Run RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::string& input = "");

std::string ReadFile(const std::string& path);

// Lines of `text` without their line ends.
std::vector<std::string> Lines(const std::string& text);

} // namespace toolstest
