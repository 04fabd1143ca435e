// The commands of prnsim. Each returns the process exit code.
#ifndef PRNSIM_COMMANDS_H
#define PRNSIM_COMMANDS_H

#include <string>
#include <vector>

namespace prnsim
{

int RunDemo(const std::vector<std::string>& args);
int RunPrint(const std::vector<std::string>& args);
int RunScriptCommand(const std::vector<std::string>& args);
int ExploreScriptCommand(const std::vector<std::string>& args);
// The script language's part of `prnsim --help`, from the command tables.
std::string ScriptLanguageHelp();

} // namespace prnsim

#endif
