// `xdbq settings`: the settings the model names, each with its number and
// the values the model knows of it, named where the model names them.
#include "query.h"

#include "modelnames.h"

#include <cstdio>

namespace xdbq
{

int RunSettings(const std::vector<std::string>& args)
{
    if (!args.empty()) {
        fprintf(stderr, "xdbq: settings takes no arguments (got '%s')\n", args[0].c_str());
        return 2;
    }
    printf("Settings by name (-s NAME=VALUE; a number stands for either; names in any case):\n");
    for (size_t i = 0; i < modelnames::kSettingCount; i++) {
        const modelnames::Setting& s = modelnames::kSettings[i];
        std::string line = "  " + std::string(s.name) + " = setting " + std::to_string(s.number);
        if (s.valueCount == 0)
            line += ": any number";
        const size_t kWidth = 100;
        for (size_t v = 0; v < s.valueCount; v++) {
            std::string word = s.values[v].name[0] ? std::string(s.values[v].name) + " = " +
                                                         std::to_string(s.values[v].value)
                                                   : std::to_string(s.values[v].value);
            std::string sep = v == 0 ? ": " : ", ";
            if (line.size() + sep.size() + word.size() + 1 > kWidth) {
                printf("%s%s\n", line.c_str(), v == 0 ? ":" : ",");
                line = "      " + word;
            } else {
                line += sep + word;
            }
        }
        printf("%s\n", line.c_str());
    }
    return 0;
}

} // namespace xdbq
