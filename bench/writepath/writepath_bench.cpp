// Write path throughput: page-sized writes through the printer port (the
// dispatch routine, the engine's coalescing buffer, SRBs to the simulated
// SBP-2 unit) against a plain memcpy of the same bytes. Reports bytes per
// second and the transfers the printer saw per MiB written. The kernel runs
// retail (verifier off), as on a free build of the system: the figures are
// the driver's and the copy's, not the verifier's.
#include "kmsim.h"
#include "prnsbp.h"
#include "sbp2sim.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace
{

// Accepts everything and only counts the data transfers.
class CountingPrinter : public sbp2sim::PrinterModel
{
  public:
    NTSTATUS Handle(const sbp2sim::UnitRequest& request, ULONG_PTR* information) override
    {
        NTSTATUS s = PrinterModel::Handle(request, information);
        // One request at a time reaches the model (the port completes in
        // the writer's thread): a plain increment, not a locked one, which
        // the printer's own work would not include.
        if (request.srb != NULL && (request.srb->SrbFlags & SRB_FLAGS_DATA_OUT))
            transfers.store(transfers.load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);
        return s;
    }
    std::atomic<long> transfers{0};
};

struct Port {
    PDRIVER_OBJECT driver = nullptr;
    sbp2sim::Printer* bus = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    std::shared_ptr<CountingPrinter> printer = std::make_shared<CountingPrinter>();

    Port()
    {
        kmsim::Reset();
        kmsim::SetRetailKernel(true);
        driver = kmsim::LoadDriver(DriverEntry, "prnsbp");
        sbp2sim::PrinterConfig config;
        config.model = printer;
        bus = sbp2sim::Plug(config);
        kmsim::PlugIn(driver, sbp2sim::UnitPdo(bus, 0));
        kmsim::PlugIn(driver, sbp2sim::UnitPdo(bus, 1));
        fdo = sbp2sim::UnitPdo(bus, 0)->AttachedDevice;
        kmsim::SendIrp(fdo, IRP_MJ_CREATE, 0, nullptr, STATUS_SUCCESS);
    }
    ~Port()
    {
        kmsim::SendIrp(fdo, IRP_MJ_CLOSE, 0, nullptr, STATUS_SUCCESS);
        sbp2sim::Unplug(bus);
        kmsim::UnloadDriver(driver);
        sbp2sim::Shutdown();
        kmsim::Reset();
    }
    bool Write(PMDL mdl, ULONG length)
    {
        kmsim::IrpResult r = kmsim::SendIrp(
            fdo, IRP_MJ_WRITE, 0,
            [length](PIO_STACK_LOCATION s) { s->Parameters.Write.Length = length; }, STATUS_SUCCESS,
            mdl);
        return r.status == STATUS_SUCCESS && r.information == length;
    }
};

void BM_PortWrite(benchmark::State& state)
{
    ULONG size = (ULONG)state.range(0);
    std::vector<unsigned char> data(size, 0x5A);
    Port port;
    PMDL mdl = IoAllocateMdl(data.data(), size, FALSE, FALSE, NULL);
    MmBuildMdlForNonPagedPool(mdl);
    port.Write(mdl, size); // the first write of a connection goes at once
    port.printer->transfers = 0;
    for (auto _ : state) {
        if (!port.Write(mdl, size)) {
            state.SkipWithError("write not accepted");
            break;
        }
    }
    IoFreeMdl(mdl);
    double mib = (double)state.iterations() * size / (1024.0 * 1024.0);
    state.SetBytesProcessed((int64_t)state.iterations() * size);
    state.counters["transfers_per_MiB"] = mib > 0 ? (double)port.printer->transfers / mib : 0;
}

void BM_Memcpy(benchmark::State& state)
{
    size_t size = (size_t)state.range(0);
    std::vector<unsigned char> source(size, 0x5A), target(32768 + size);
    size_t fill = 0;
    for (auto _ : state) {
        // The same bytes into a 32 KiB buffer, as the port gathers them.
        if (fill + size > 32768)
            fill = 0;
        memcpy(target.data() + fill, source.data(), size);
        fill += size;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)size);
}

BENCHMARK(BM_PortWrite)->Arg(4096)->Arg(65536);
BENCHMARK(BM_Memcpy)->Arg(4096)->Arg(65536);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    std::printf("kernel: retail (verifier off)\n");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
