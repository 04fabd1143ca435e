// A real print job, built the way the printer driver builds one: the job's
// command sequences come from prnmodel, the raster data in between is made
// up (a test pattern without escape bytes, so the decoded view stays exact).
#ifndef PRNSIM_JOB_H
#define PRNSIM_JOB_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace prnsim
{

struct JobPiece {
    std::string what;
    unsigned long id = 0; // Drv id, 0 for raster data
    long code = 0;        // DB_ result of the read
    size_t bytes = 0;
};

struct Job {
    std::vector<int32_t> settings; // the request's, by number
    std::vector<unsigned char> bytes;
    std::vector<JobPiece> pieces;
    std::string error; // empty when every piece was answered
};

// The printer that the job's model-database requests name; its stored
// values (silent mode, media detection) live in the spooler stand-in.
extern const char kDemoPrinterName[];

// The settings of the demo's job: A4 plain paper, changed as `changed` says.
std::vector<int32_t> DemoSettings(const std::map<uint32_t, int32_t>& changed = {});
// Job start 4120, job setup 4121 with the DemoSettings, rasterBytes of
// raster data, then 4125, 4124, 4123, 4122.
Job BuildDemoJob(size_t rasterBytes, const std::map<uint32_t, int32_t>& changed = {});
// How many settings the job's requests carry.
const size_t kJobSettingCount = 132;

// The user-mode stand-ins (spooler, kernel32) back to their first state.
void ResetModelStandIns();
// What prnmodel left behind: memory blocks, printer handles. Empty when clean.
std::vector<std::string> ModelLeaks();

} // namespace prnsim

#endif
