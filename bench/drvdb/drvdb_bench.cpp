// Nanoseconds per driver-database call: the full paper list with its
// details (one request copy, one detail lookup per paper, the standard list
// walk) and the job setup sequence (seven parts resolved, sized and read).
#include <benchmark/benchmark.h>

#include <vector>

#include "prnmodel.h"
#include "um_control.h"

namespace
{

struct JobRequest {
    std::vector<LONG> settings = std::vector<LONG>(132, 0);
    DataBaseRequest record{};

    JobRequest()
    {
        settings[4] = 3;
        settings[5] = 1;
        settings[6] = 1;
        settings[7] = 7;
        settings[8] = 3;
        settings[28] = 9;
        record.SettingCount = static_cast<DWORD>(settings.size());
        record.Settings = settings.data();
    }
};

void Ask(benchmark::State& state, DWORD id)
{
    UmReset();
    JobRequest request;
    DWORD need = 0;
    XDB_AccessDrvDataBase(id, &request.record, 0, nullptr, &need);
    std::vector<BYTE> buffer(need);
    for (auto _ : state) {
        DWORD size = 0;
        LONG result = XDB_AccessDrvDataBase(id, &request.record, need, buffer.data(), &size);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.counters["bytes"] = need;
}

void FullPaperList(benchmark::State& state)
{
    Ask(state, 4113);
}
void JobSetupSequence(benchmark::State& state)
{
    Ask(state, 4121);
}

BENCHMARK(FullPaperList);
BENCHMARK(JobSetupSequence);

} // namespace

BENCHMARK_MAIN();
