// Schedules per second of the schedule explorer on a write against the
// cable being pulled: each schedule boots a machine (reset in-process, no
// process per schedule), loads the driver, plugs and opens the printer,
// runs the two operations in the schedule's order, closes, removes and
// checks what is left. The verifier stays on, as when the catalogue runs.
// Wall time: the scheduled threads hand over to each other, so the calling
// thread's CPU time is only part of the cost.
#include "explore.h"
#include "kmsim.h"
#include "printer_session.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace
{

void WriteAgainstSurpriseRemoval(sbp2sim::Completion mode)
{
    kmsim::Reset();
    session::PrinterSession m;
    m.Load();
    m.Plug(mode);
    m.PlugUnits();
    PDEVICE_OBJECT pdo0 = m.Pdo(0), pdo1 = m.Pdo(1), fdo0 = m.Fdo(0);
    m.Open();
    kmsim::Spawn("w", [&] { m.Write(std::vector<UCHAR>(100, 0x5A)); });
    kmsim::Spawn("s", [&] {
        kmsim::SurpriseRemoveOnly(pdo0);
        kmsim::SurpriseRemoveOnly(pdo1);
    });
    kmsim::Join("w");
    kmsim::Join("s");
    session::SendSimple(fdo0, IRP_MJ_CLOSE);
    m.FinishRemoval();
    m.Shutdown();
    if (!kmsim::LeftBehind().empty())
        kmsim::Report("left behind");
}

void BM_ExploreWriteAgainstSurpriseRemoval(benchmark::State& state)
{
    sbp2sim::Completion mode = (sbp2sim::Completion)state.range(0);
    size_t schedules = 0, failures = 0;
    for (auto _ : state) {
        kmsim::ExploreOptions options;
        options.bound = 1;
        kmsim::ExploreResult r =
            kmsim::Explore(options, [mode] { WriteAgainstSurpriseRemoval(mode); });
        schedules += r.schedules;
        failures += r.failures.size();
    }
    kmsim::Reset();
    state.SetItemsProcessed((int64_t)schedules);
    state.counters["failures"] = (double)failures;
    state.SetLabel(sbp2sim::CompletionName(mode));
}
BENCHMARK(BM_ExploreWriteAgainstSurpriseRemoval)
    ->Arg((int)sbp2sim::Completion::kSync)
    ->Arg((int)sbp2sim::Completion::kAsync)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
