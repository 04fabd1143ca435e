// prnsim: prnsbp on the simulated Windows kernel with simulated printers.
//
//   prnsim demo     load the driver, plug a 1394 printer in, show both
//                   units paired and started, unplug, unload, report leaks
#include "kmsim.h"
#include "prnsbp.h"
#include "sbp2sim.h"

#include <cstdio>
#include <string>

namespace
{

PDEVICE_EXTENSION Ext(PDEVICE_OBJECT d)
{
    return (PDEVICE_EXTENSION)d->DeviceExtension;
}

const char* Yes(bool b)
{
    return b ? "yes" : "no";
}

void ShowUnit(sbp2sim::Printer* printer, int unit)
{
    PDEVICE_OBJECT pdo = sbp2sim::UnitPdo(printer, unit);
    PDEVICE_OBJECT fdo = pdo ? pdo->AttachedDevice : nullptr;
    if (fdo == nullptr) {
        std::printf("  unit %d: no FDO\n", unit);
        return;
    }
    PDEVICE_EXTENSION ext = Ext(fdo);
    PDEVICE_OBJECT unit0 = UnitTableGetUnit0Fdo(fdo);
    PDEVICE_OBJECT unit1 = UnitTableGetUnit1Fdo(fdo);
    std::printf("  unit %d: %s on %s\n", unit, kmsim::DeviceName(fdo).c_str(),
                kmsim::DeviceName(pdo).c_str());
    std::printf("          started %s, paired %s (unit 0 %s, unit 1 %s)\n",
                Yes(ext->Flags & FLAG_STARTED), Yes(UnitTableBothUnitsPresent(fdo)),
                unit0 ? kmsim::DeviceName(unit0).c_str() : "-",
                unit1 ? kmsim::DeviceName(unit1).c_str() : "-");
    std::printf("          identity \"%s\", port number %u, time-out %u s\n",
                ext->DeviceIdString ? ext->DeviceIdString : "", (unsigned)ext->PortNumber,
                (unsigned)ext->TimeoutSeconds);
}

int Demo()
{
    kmsim::Reset();
    std::printf("prnsim demo: prnsbp on a simulated Windows kernel\n\n");

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = kmsim::LoadDriver(DriverEntry, "prnsbp", &status);
    if (driver == nullptr) {
        std::printf("DriverEntry failed: 0x%08X\n", (unsigned)status);
        return 1;
    }
    std::printf("loaded prnsbp (service key %s)\n", kmsim::Narrow(RegistryPath).c_str());

    sbp2sim::PrinterConfig config;
    config.key = "00A0B8C9D0E1F203";
    config.deviceId = "MFG:Acme;MDL:P-1;CLS:PRINTER;";
    sbp2sim::Printer* printer = sbp2sim::Plug(config);
    std::printf("plugged in a 1394 printer with key %s; the port driver reports:\n",
                config.key.c_str());
    for (int unit = 0; unit < 2; unit++)
        std::printf("  %s\n", kmsim::DeviceName(sbp2sim::UnitPdo(printer, unit)).c_str());

    std::printf("\nPnP manager: AddDevice and IRP_MN_START_DEVICE for each unit\n");
    bool ok = true;
    for (int unit = 0; unit < 2; unit++) {
        status = kmsim::PlugIn(driver, sbp2sim::UnitPdo(printer, unit));
        std::printf("  unit %d: 0x%08X\n", unit, (unsigned)status);
        ok = ok && NT_SUCCESS(status);
    }
    std::printf("\n");
    for (int unit = 0; unit < 2; unit++)
        ShowUnit(printer, unit);
    const sbp2sim::Counters& counters = sbp2sim::CountersOf(printer);
    std::printf("  the port driver saw %d+%d claims, %d storage queries, %d device-ID reads\n",
                counters.claims[0], counters.claims[1], counters.storageQueries,
                counters.deviceIdRequests);

    std::printf("\nunplugging the printer (surprise removal, removal), unloading the driver\n");
    sbp2sim::Unplug(printer);
    kmsim::UnloadDriver(driver);
    sbp2sim::Shutdown();

    std::string leaks = kmsim::LeakReport();
    std::printf("pool left allocated: %s\n", leaks.empty() ? "nothing" : "");
    if (!leaks.empty())
        std::printf("%s", leaks.c_str());
    std::printf("device objects left: %zu, references left: %zu, links left: %zu\n",
                kmsim::LiveDeviceCount(), kmsim::ExtraReferenceCount(), kmsim::SymbolicLinkCount());
    auto violations = kmsim::Violations();
    for (auto& v : violations)
        std::printf("kernel rule broken: %s\n", v.c_str());
    ok = ok && leaks.empty() && violations.empty() && kmsim::LiveDeviceCount() == 0 &&
         kmsim::ExtraReferenceCount() == 0;
    std::printf("\n%s\n", ok ? "demo passed" : "demo FAILED");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::string command = argc > 1 ? argv[1] : "demo";
    if (command == "demo")
        return Demo();
    std::fprintf(stderr, "usage: prnsim demo\n");
    return 2;
}
