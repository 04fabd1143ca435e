// Whether a request is one the model can build, before a tool shows what the
// model made of it: each setting against the values the model offers with
// the request's other settings (the model's `offers`, mostly the driver
// database's item lists), and a job setup against the commands the printer
// needs from it. Shared by xdbq and prnsim; each problem is one line.
#ifndef PRNSIM_JOBCHECK_H
#define PRNSIM_JOBCHECK_H

#include "decode.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace prnsim
{

// The exit code of xdbq and prnsim for a request the model cannot build.
constexpr int kExitNotBuildable = 4;

// Every setting the answer of Drv `id` reads, and every one in `given`, whose
// value is not among those the model offers with the other settings of
// `settings` (the request's array; settings beyond it are not checked).
std::vector<std::string> CheckSettings(uint32_t id, const std::vector<int32_t>& settings,
                                       const std::set<uint32_t>& given);

// What each job setup (from ESC ( b on) in the stream lacks of what the
// printer needs before the page's data: the print mode (ESC ( c, d, t),
// the page format (ESC ( p), the paper size (ESC ( P) and ESC ( l with its
// three bytes; and bytes in it that are no command.
std::vector<std::string> CheckJobSetup(const StreamSummary& stream);

// The same for the job setup the model builds from `settings` (Drv 4121),
// each missing command with the setting that keeps it out and the values
// of that setting that would bring it (found by asking with each).
std::vector<std::string> CheckJobSetupOf(const std::vector<int32_t>& settings);

} // namespace prnsim

#endif
