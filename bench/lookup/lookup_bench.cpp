// Plain lookups through the exports, in nanoseconds per call. A plain lookup
// must not allocate: the allocations per call are reported, and a run that
// allocates is marked as an error.
#include <benchmark/benchmark.h>

#include <vector>

#include "prnmodel.h"
#include "um_control.h"

namespace
{

template <typename Call> void RunLookup(benchmark::State& state, Call call)
{
    unsigned long before = UmGlobalAllocCalls();
    for (auto _ : state) {
        LONG result = call();
        benchmark::DoNotOptimize(result);
        if (result != DB_OK) {
            state.SkipWithError("lookup did not answer");
            break;
        }
    }
    double allocations = static_cast<double>(UmGlobalAllocCalls() - before);
    state.counters["allocs_per_call"] =
        benchmark::Counter(allocations, benchmark::Counter::kAvgIterations);
    if (allocations != 0)
        state.SkipWithError("a plain lookup allocated");
}

void RootVersion(benchmark::State& state)
{
    DataBaseRequest request{};
    BYTE buffer[64];
    RunLookup(state, [&] {
        DWORD size = 0;
        return XDB_AccessRootDataBase(2, &request, sizeof buffer, buffer, &size);
    });
}
BENCHMARK(RootVersion);

void DrvPrintableArea(benchmark::State& state)
{
    std::vector<LONG> settings(132, 0);
    settings[28] = 9; // A4
    settings[81] = 0;
    DataBaseRequest request{};
    request.Settings = settings.data();
    request.SettingCount = static_cast<DWORD>(settings.size());
    BYTE buffer[64];
    RunLookup(state, [&] {
        DWORD size = 0;
        return XDB_AccessDrvDataBase(4097, &request, sizeof buffer, buffer, &size);
    });
}
BENCHMARK(DrvPrintableArea);

} // namespace

BENCHMARK_MAIN();
