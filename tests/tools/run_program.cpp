#include "run_program.h"

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace toolstest
{

namespace
{

std::string TempFile(const char* stem)
{
    std::string path = std::string("/tmp/toolstest-") + stem + "-XXXXXX";
    std::vector<char> buffer(path.begin(), path.end());
    buffer.push_back(0);
    int fd = mkstemp(buffer.data());
    if (fd >= 0)
        close(fd);
    return buffer.data();
}

} // namespace

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream s(text);
    std::string line;
    while (std::getline(s, line))
        lines.push_back(line);
    return lines;
}

Run RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::string& input)
{
    std::string in = TempFile("in"), out = TempFile("out"), err = TempFile("err");
    {
        std::ofstream f(in, std::ios::binary);
        f << input;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int i = open(in.c_str(), O_RDONLY), o = open(out.c_str(), O_WRONLY | O_TRUNC),
            e = open(err.c_str(), O_WRONLY | O_TRUNC);
        dup2(i, 0);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    Run r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(out);
    r.err = ReadFile(err);
    unlink(in.c_str());
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
}

} // namespace toolstest
