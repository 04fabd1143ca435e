// One printer's life as the system plays it on the simulated machine: the
// driver loaded, a simulated 1394 printer plugged in and started, and the
// requests that a user-mode program makes on its port. Shared by the
// low-resource sweeps, the stress runs and the fuzzers; header-only and free
// of GoogleTest so the fuzzers can use it.
#pragma once

#include "kmsim.h"
#include "prnsbp.h"
#include "sbp2sim.h"

#include <memory>
#include <string>
#include <vector>

namespace session
{

struct Reply {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR bytes = 0;
};

// The driver's FDO on a unit's PDO: the top of the stack, above a lower
// filter if one sits between; NULL when nothing is attached.
inline PDEVICE_OBJECT FdoOf(PDEVICE_OBJECT pdo)
{
    if (pdo == nullptr || pdo->AttachedDevice == nullptr)
        return nullptr;
    PDEVICE_OBJECT d = pdo;
    while (d->AttachedDevice != nullptr)
        d = d->AttachedDevice;
    return d;
}

struct PrinterSession {
    PDRIVER_OBJECT driver = nullptr;
    sbp2sim::Printer* bus = nullptr;
    std::shared_ptr<sbp2sim::SimPrinter> printer;
    bool removed[2] = {false, false};

    // ---- the machine ----
    bool Load()
    {
        driver = kmsim::LoadDriver(DriverEntry, "prnsbp");
        return driver != nullptr;
    }
    void Plug(sbp2sim::Completion mode, std::shared_ptr<sbp2sim::SimPrinter> model = nullptr)
    {
        printer = model ? model : std::make_shared<sbp2sim::SimPrinter>();
        sbp2sim::PrinterConfig config;
        config.model = printer;
        sbp2sim::SetCompletion(config, mode);
        bus = sbp2sim::Plug(config);
    }
    PDEVICE_OBJECT Pdo(int unit) const { return sbp2sim::UnitPdo(bus, unit); }
    // The FDO on a unit, or NULL when AddDevice did not attach one.
    PDEVICE_OBJECT Fdo(int unit) const { return bus ? FdoOf(Pdo(unit)) : nullptr; }
    NTSTATUS AddDevices()
    {
        NTSTATUS result = STATUS_SUCCESS;
        for (int unit = 0; unit < 2; unit++) {
            if (Pdo(unit) == nullptr)
                continue; // the printer has no such unit
            NTSTATUS s = kmsim::AddFunctionDriver(driver, Pdo(unit));
            if (!NT_SUCCESS(s))
                result = s;
        }
        return result;
    }
    NTSTATUS StartDevices()
    {
        NTSTATUS result = STATUS_SUCCESS;
        for (int unit = 0; unit < 2; unit++) {
            if (Fdo(unit) == nullptr)
                continue;
            NTSTATUS s = kmsim::StartDevice(Pdo(unit));
            if (NT_SUCCESS(s))
                kmsim::EnumerateBus(Pdo(unit));
            else
                result = s;
        }
        kmsim::ProcessInvalidations();
        return result;
    }
    // Orderly removal (query, then removal, children first) of every unit
    // that still has the driver on it.
    void Remove()
    {
        for (int unit = 0; unit < 2; unit++)
            if (Fdo(unit) != nullptr && !removed[unit]) {
                kmsim::RemoveDevice(Pdo(unit));
                removed[unit] = true;
            }
        kmsim::ProcessInvalidations();
    }
    // The printer pulled off the bus; the removal waits for FinishRemoval.
    void SurpriseRemoveOnly()
    {
        for (int unit = 0; unit < 2; unit++)
            if (Fdo(unit) != nullptr)
                kmsim::SurpriseRemoveOnly(Pdo(unit));
    }
    void FinishRemoval()
    {
        for (int unit = 0; unit < 2; unit++)
            if (Fdo(unit) != nullptr && !removed[unit]) {
                kmsim::FinishRemoval(Pdo(unit));
                removed[unit] = true;
            }
        kmsim::ProcessInvalidations();
    }
    // Unplug what is left, unload, stop the port driver.
    void Shutdown()
    {
        if (bus != nullptr)
            sbp2sim::Unplug(bus);
        bus = nullptr;
        if (driver != nullptr)
            kmsim::UnloadDriver(driver);
        driver = nullptr;
        sbp2sim::Shutdown();
    }

    // ---- the port, as a program uses it ----
    Reply Simple(UCHAR major, int unit = 0)
    {
        PDEVICE_OBJECT fdo = Fdo(unit);
        if (fdo == nullptr)
            return {STATUS_NO_SUCH_DEVICE, 0};
        kmsim::IrpResult r = kmsim::SendIrp(fdo, major, 0, nullptr, STATUS_SUCCESS);
        return {r.status, r.information};
    }
    Reply Open(int unit = 0) { return Simple(IRP_MJ_CREATE, unit); }
    Reply Close(int unit = 0) { return Simple(IRP_MJ_CLOSE, unit); }

    // Read or write with direct I/O over `data`.
    Reply Transfer(UCHAR major, UCHAR* data, ULONG length, int unit = 0)
    {
        PDEVICE_OBJECT fdo = Fdo(unit);
        if (fdo == nullptr)
            return {STATUS_NO_SUCH_DEVICE, 0};
        PMDL mdl = nullptr;
        if (length != 0) {
            mdl = IoAllocateMdl(data, length, FALSE, FALSE, NULL);
            MmBuildMdlForNonPagedPool(mdl);
        }
        kmsim::IrpResult r = kmsim::SendIrp(
            fdo, major, 0, [length](PIO_STACK_LOCATION s) { s->Parameters.Write.Length = length; },
            STATUS_SUCCESS, mdl);
        if (mdl != nullptr)
            IoFreeMdl(mdl);
        return {r.status, r.information};
    }
    Reply Write(std::vector<UCHAR> data, int unit = 0)
    {
        return Transfer(IRP_MJ_WRITE, data.data(), (ULONG)data.size(), unit);
    }
    Reply Read(ULONG capacity, std::vector<UCHAR>* out = nullptr, int unit = 0)
    {
        std::vector<UCHAR> buffer(capacity, 0xEE);
        Reply r = Transfer(IRP_MJ_READ, buffer.data(), capacity, unit);
        if (out) {
            buffer.resize(r.bytes <= capacity ? r.bytes : capacity);
            *out = buffer;
        }
        return r;
    }

    // Buffered device control as the I/O manager sends it: one system
    // buffer of max(in, out) bytes holding the input.
    Reply Control(ULONG code, const std::vector<UCHAR>& in, ULONG outLength,
                  std::vector<UCHAR>* out = nullptr, int unit = 0, bool internal = false)
    {
        PDEVICE_OBJECT fdo = Fdo(unit);
        if (fdo == nullptr)
            return {STATUS_NO_SUCH_DEVICE, 0};
        ULONG inLength = (ULONG)in.size();
        size_t size = inLength > outLength ? inLength : outLength;
        std::vector<UCHAR> system(size ? size : 1, 0);
        std::copy(in.begin(), in.end(), system.begin());
        kmsim::IrpResult r = kmsim::SendIrp(
            fdo, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, 0,
            [&](PIO_STACK_LOCATION s) {
                s->Parameters.DeviceIoControl.IoControlCode = code;
                s->Parameters.DeviceIoControl.InputBufferLength = inLength;
                s->Parameters.DeviceIoControl.OutputBufferLength = outLength;
            },
            STATUS_SUCCESS, nullptr, size ? system.data() : nullptr);
        if (out) {
            size_t n = r.information < outLength ? (size_t)r.information : outLength;
            out->assign(system.begin(), system.begin() + (long)n);
        }
        return {r.status, r.information};
    }
};

// What a run left on the machine once its printers are unplugged and the
// driver unloaded, one line each: pool blocks, device objects, references,
// links, enabled interfaces, key handles, power requests the driver never
// let go of and every rule of the kernel it broke. Empty when clean; every
// harness ends its runs with this one check.
inline std::string LeftBehind()
{
    std::string out = kmsim::LeakReport();
    auto count = [&out](size_t n, const char* what) {
        if (n != 0)
            out += std::to_string(n) + " " + what + "\n";
    };
    count(kmsim::LiveDeviceCount(), "device objects left");
    count(kmsim::ExtraReferenceCount(), "references left");
    count(kmsim::SymbolicLinkCount(), "symbolic links left");
    count(kmsim::EnabledInterfaceCount(), "interfaces left enabled");
    count(kmsim::OpenKeyHandles(), "registry keys left open");
    count(kmsim::PowerIrpsWithoutStartNext(), "power requests without PoStartNextPowerIrp");
    for (const std::string& v : kmsim::Violations())
        out += "violation: " + v + "\n";
    return out;
}

// Device-control codes of the port: the driver's own, the published ones it
// answers and the ones it passes down.
inline const std::vector<ULONG>& PortControlCodes()
{
    static const std::vector<ULONG> codes = {
        IOCTL_PRNSBP_LEGACY_CLEAR,
        IOCTL_PRNSBP_WRITE,
        IOCTL_PRNSBP_WRITE_VENDOR,
        IOCTL_PRNSBP_DATA_CLEAR,
        IOCTL_PRNSBP_READ_STATUS,
        IOCTL_PRNSBP_STATUS_CLEAR,
        IOCTL_PRNSBP_GET_DEVICE_ID,
        IOCTL_PRNSBP_UNIT0_INFO_A,
        IOCTL_PRNSBP_UNIT1_INFO_A,
        IOCTL_PRNSBP_UNIT0_INFO_B,
        IOCTL_PRNSBP_UNIT1_INFO_B,
        IOCTL_PRNSBP_CLEAR,
        IOCTL_PRNSBP_FLUSH,
        IOCTL_PRNSBP_DISCARD,
        IOCTL_PAR_QUERY_DEVICE_ID,
        IOCTL_SERIAL_SET_TIMEOUTS,
        IOCTL_SERIAL_GET_TIMEOUTS,
        IOCTL_SCSI_PASS_THROUGH,
        IOCTL_SCSI_PASS_THROUGH_DIRECT,
        IOCTL_STORAGE_QUERY_PROPERTY,
    };
    return codes;
}

} // namespace session
