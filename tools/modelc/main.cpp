// modelc [-n TABLESET] -o OUTPUT.cpp [--names NAMES.cpp] FILE.model...
// Compiles the model source into the packed tables (and, with --names, the
// names of the settings and their values for the tools); exits 1 with a
// message naming the file and line on the first error.
#include <fstream>
#include <iostream>
#include <sstream>

#include "modelc.h"

static bool Write(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        std::cerr << "modelc: cannot write " << path << "\n";
        return false;
    }
    return true;
}

int main(int argc, char** argv)
{
    std::string output, namesOutput;
    std::string tableSet = "ModelTableSet";
    std::vector<modelc::SourceFile> sources;
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-o" && i + 1 < argc) {
            output = argv[++i];
            continue;
        }
        if (arg == "--names" && i + 1 < argc) {
            namesOutput = argv[++i];
            continue;
        }
        if (arg == "-n" && i + 1 < argc) {
            tableSet = argv[++i];
            continue;
        }
        std::ifstream in(arg, std::ios::binary);
        if (!in) {
            std::cerr << "modelc: cannot read " << arg << "\n";
            return 1;
        }
        std::ostringstream text;
        text << in.rdbuf();
        sources.push_back({arg, text.str()});
        names.push_back(arg.substr(arg.find_last_of('/') + 1));
    }
    if (output.empty()) {
        std::cerr
            << "usage: modelc [-n TABLESET] -o OUTPUT.cpp [--names NAMES.cpp] FILE.model...\n";
        return 2;
    }
    modelc::CompiledModel model;
    std::string error;
    if (!modelc::CompileModel(sources, model, error)) {
        std::cerr << "modelc: " << error << "\n";
        return 1;
    }
    if (!Write(output, modelc::EmitCpp(model, names, tableSet)))
        return 1;
    if (!namesOutput.empty() && !Write(namesOutput, modelc::EmitNamesCpp(model, names)))
        return 1;
    return 0;
}
