// One printer's life as the system plays it on the simulated machine: the
// driver loaded, a simulated 1394 printer plugged in and started, the
// requests that a user-mode program makes on its port, and the one check
// every run ends with. Shared by the driver tests, the low-resource sweeps,
// the stress runs, the fuzzers and prnsim; header-only and free of
// GoogleTest so the fuzzers and prnsim can use it.
#pragma once

#include "explore.h"
#include "kmsim.h"
#include "prnsbp.h"
#include "sbp2sim.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace session
{

inline const std::string kService = std::string(kmsim::kServicesKey) + "prnsbp";

struct Reply {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR bytes = 0;
};

// ---- requests, as the I/O manager builds them ----
inline Reply SendSimple(PDEVICE_OBJECT device, UCHAR major)
{
    kmsim::IrpResult r = kmsim::SendIrp(device, major, 0, nullptr, STATUS_SUCCESS);
    return {r.status, r.information};
}

// How a request goes out: to a device's stack, or on a handle.
using Sender = std::function<kmsim::IrpResult(
    UCHAR major, const std::function<void(PIO_STACK_LOCATION)>& setup, PMDL mdl, PVOID system)>;

inline Sender ToDevice(PDEVICE_OBJECT device)
{
    return [device](UCHAR major, const std::function<void(PIO_STACK_LOCATION)>& setup, PMDL mdl,
                    PVOID system) {
        return kmsim::SendIrp(device, major, 0, setup, STATUS_SUCCESS, mdl, system);
    };
}

inline Sender OnHandle(PFILE_OBJECT file)
{
    return [file](UCHAR major, const std::function<void(PIO_STACK_LOCATION)>& setup, PMDL mdl,
                  PVOID system) {
        return kmsim::SendOnFile(file, major, 0, setup, STATUS_SUCCESS, mdl, system);
    };
}

// Read or write with direct I/O: the MDL describes `mdlBytes` of `data`
// (none when 0); `length` is what the stack location states, normally the
// same. An MDL the kernel will not give fails the request as the I/O
// manager would. With `failNth`, the nth allocation from the moment the
// request is sent fails (the MDL is the caller's, so not counted).
inline Reply SendTransferBy(const Sender& send, UCHAR major, UCHAR* data, ULONG mdlBytes,
                            ULONG length, unsigned long failNth = 0)
{
    PMDL mdl = nullptr;
    if (mdlBytes != 0) {
        mdl = IoAllocateMdl(data, mdlBytes, FALSE, FALSE, NULL);
        if (mdl == nullptr)
            return {STATUS_INSUFFICIENT_RESOURCES, 0};
        MmBuildMdlForNonPagedPool(mdl);
    }
    if (failNth != 0)
        kmsim::FailNthAllocation(failNth);
    kmsim::IrpResult r = send(
        major, [length](PIO_STACK_LOCATION s) { s->Parameters.Write.Length = length; }, mdl,
        nullptr);
    if (mdl != nullptr)
        IoFreeMdl(mdl);
    return {r.status, r.information};
}

// Buffered device control over the system buffer `system` (it may be larger
// than both lengths, or NULL); `failNth` as for a transfer.
inline Reply SendControlBy(const Sender& send, ULONG code, UCHAR* system, ULONG inLength,
                           ULONG outLength, bool internal = false, unsigned long failNth = 0)
{
    if (failNth != 0)
        kmsim::FailNthAllocation(failNth);
    kmsim::IrpResult r = send(
        internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL,
        [&](PIO_STACK_LOCATION s) {
            s->Parameters.DeviceIoControl.IoControlCode = code;
            s->Parameters.DeviceIoControl.InputBufferLength = inLength;
            s->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        },
        nullptr, system);
    return {r.status, r.information};
}

// The same to a device's stack, and on a handle.
inline Reply SendTransfer(PDEVICE_OBJECT device, UCHAR major, UCHAR* data, ULONG mdlBytes,
                          ULONG length, unsigned long failNth = 0)
{
    return SendTransferBy(ToDevice(device), major, data, mdlBytes, length, failNth);
}
inline Reply SendControl(PDEVICE_OBJECT device, ULONG code, UCHAR* system, ULONG inLength,
                         ULONG outLength, bool internal = false, unsigned long failNth = 0)
{
    return SendControlBy(ToDevice(device), code, system, inLength, outLength, internal, failNth);
}
inline Reply SendTransferOn(PFILE_OBJECT file, UCHAR major, UCHAR* data, ULONG length,
                            unsigned long failNth = 0)
{
    return SendTransferBy(OnHandle(file), major, data, length, length, failNth);
}
inline Reply SendControlOn(PFILE_OBJECT file, ULONG code, UCHAR* system, ULONG inLength,
                           ULONG outLength, bool internal = false, unsigned long failNth = 0)
{
    return SendControlBy(OnHandle(file), code, system, inLength, outLength, internal, failNth);
}

// The driver's FDO on a unit's PDO: above a lower filter if one sits
// between, below an upper one; NULL when nothing is attached.
inline PDEVICE_OBJECT FdoOf(PDEVICE_OBJECT pdo)
{
    if (pdo == nullptr)
        return nullptr;
    for (PDEVICE_OBJECT d = pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice)
        if (!kmsim::IsSimFilter(d))
            return d;
    return nullptr;
}
inline PDEVICE_OBJECT FdoOf(sbp2sim::Printer* p, int unit)
{
    return FdoOf(sbp2sim::UnitPdo(p, unit));
}

inline PDEVICE_EXTENSION Ext(PDEVICE_OBJECT device)
{
    return (PDEVICE_EXTENSION)device->DeviceExtension;
}

// The driver's locks and their order as prnsbp.h ("Locks") gives it:
// OpenCloseMutex -> OpenMutex or CloseMutex -> EngineMutex -> UnitTableLock
// or FlagsLock, the last two leaves never held together.
inline void DeclareDriverLocks()
{
    kmsim::NameExtensionLock("OpenCloseMutex", offsetof(DEVICE_EXTENSION, OpenCloseMutex), 0);
    kmsim::NameExtensionLock("OpenMutex", offsetof(DEVICE_EXTENSION, OpenMutex), 1);
    kmsim::NameExtensionLock("CloseMutex", offsetof(DEVICE_EXTENSION, CloseMutex), 1);
    kmsim::NameExtensionLock("EngineMutex", offsetof(DEVICE_EXTENSION, EngineMutex), 2);
    kmsim::NameGlobalLock("UnitTableLock", &UnitTableLock, 3);
    kmsim::NameGlobalLock("FlagsLock", &FlagsLock, 3);
    // The events a request may wait on, for tools that say where.
    kmsim::NameExtensionObject("IoIdleEvent (requests still in the driver)",
                               offsetof(DEVICE_EXTENSION, IoIdleEvent));
    kmsim::NameExtensionObject("SendDoneEvent (an SRB sent to the printer)",
                               offsetof(DEVICE_EXTENSION, SendDoneEvent));
    kmsim::NameGlobalObject("PortNumberLock", &PortNumberLock);
}

// The extensions' fields as the explorer's race checker names them.
#define PRN_FIELD(type, f)                                                                         \
    kmsim::ExtensionField                                                                          \
    {                                                                                              \
#f, offsetof(type, f), sizeof(((type*)nullptr)->f)                                         \
    }
#define PRN_FDO_FIELD(f) PRN_FIELD(DEVICE_EXTENSION, f)
#define PRN_CHILD_FIELD(f) PRN_FIELD(CHILD_EXTENSION, f)
inline void DeclareDriverFields()
{
    kmsim::DeclareExtensionLayout("DEVICE_EXTENSION", sizeof(DEVICE_EXTENSION),
                                  {PRN_FDO_FIELD(Self),
                                   PRN_FDO_FIELD(LowerDevice),
                                   PRN_FDO_FIELD(Flags),
                                   PRN_FDO_FIELD(PrevPnpState),
                                   PRN_FDO_FIELD(PnpState),
                                   PRN_FDO_FIELD(IoCount),
                                   PRN_FDO_FIELD(IoIdleEvent),
                                   PRN_FDO_FIELD(Pdo),
                                   PRN_FDO_FIELD(DeviceDescriptor),
                                   PRN_FDO_FIELD(AdapterDescriptor),
                                   PRN_FDO_FIELD(TimeoutSeconds),
                                   PRN_FDO_FIELD(DeviceNumber),
                                   PRN_FDO_FIELD(SrbFlagsExtra),
                                   PRN_FDO_FIELD(InterfaceName),
                                   PRN_FDO_FIELD(ChildIdBuffer),
                                   PRN_FDO_FIELD(DeviceIdString),
                                   PRN_FDO_FIELD(PortNumber),
                                   PRN_FDO_FIELD(LptNumber),
                                   PRN_FDO_FIELD(ChildPdo),
                                   PRN_FDO_FIELD(OpenCount),
                                   PRN_FDO_FIELD(Unit0Open),
                                   PRN_FDO_FIELD(Unit1Open),
                                   PRN_FDO_FIELD(StartComplete),
                                   PRN_FDO_FIELD(EngineState),
                                   PRN_FDO_FIELD(Manufacturer),
                                   PRN_FDO_FIELD(Model),
                                   PRN_FDO_FIELD(WriteCount),
                                   PRN_FDO_FIELD(UseScsiPrint),
                                   PRN_FDO_FIELD(StripIdLength),
                                   PRN_FDO_FIELD(MdlSize),
                                   PRN_FDO_FIELD(PrintMdl),
                                   PRN_FDO_FIELD(PrintBuffer),
                                   PRN_FDO_FIELD(PrintBufferSize),
                                   PRN_FDO_FIELD(PrintFill),
                                   PRN_FDO_FIELD(FlushFailed),
                                   PRN_FDO_FIELD(ReplyMdl),
                                   PRN_FDO_FIELD(ReplyBuffer),
                                   PRN_FDO_FIELD(ReplyBufferSize),
                                   PRN_FDO_FIELD(SendDoneEvent),
                                   PRN_FDO_FIELD(SenseBuffer),
                                   PRN_FDO_FIELD(CdbSequence),
                                   PRN_FDO_FIELD(WriteSequence),
                                   PRN_FDO_FIELD(StatusSequence),
                                   PRN_FDO_FIELD(RetryPending),
                                   PRN_FDO_FIELD(RetryStart),
                                   PRN_FDO_FIELD(DeviceError),
                                   PRN_FDO_FIELD(SuppressedChild),
                                   PRN_FDO_FIELD(ActivityFlags),
                                   PRN_FDO_FIELD(OpenCloseMutex),
                                   PRN_FDO_FIELD(OpenMutex),
                                   PRN_FDO_FIELD(CloseMutex),
                                   PRN_FDO_FIELD(LastOpenTime),
                                   PRN_FDO_FIELD(LastCloseTime),
                                   PRN_FDO_FIELD(EngineMutex)});
    kmsim::DeclareExtensionLayout("CHILD_EXTENSION", sizeof(CHILD_EXTENSION),
                                  {PRN_CHILD_FIELD(Self), PRN_CHILD_FIELD(LowerDevice),
                                   PRN_CHILD_FIELD(Flags), PRN_CHILD_FIELD(PrevPnpState),
                                   PRN_CHILD_FIELD(PnpState), PRN_CHILD_FIELD(IoCount),
                                   PRN_CHILD_FIELD(IoIdleEvent), PRN_CHILD_FIELD(ChildName),
                                   PRN_CHILD_FIELD(Parent), PRN_CHILD_FIELD(ParentRemoving)});
}
#undef PRN_FIELD
#undef PRN_FDO_FIELD
#undef PRN_CHILD_FIELD

// The deliberate unlocked accesses of prnsbp.h ("Locks"), each with the
// reason it is left so: the race checker does not report them. The one
// list of them.
inline void DeclareDeliberateRaces()
{
    const bool readsOnly = true, writesToo = false;
    for (const char* layout : {"DEVICE_EXTENSION", "CHILD_EXTENSION"})
        kmsim::SuppressRace(layout, "Flags",
                            "requests read the bits without FlagsLock; a stop or removal that "
                            "clears FLAG_STARTED then waits for the request through IoCount",
                            readsOnly);
    for (const char* f : {"TimeoutSeconds", "UseScsiPrint", "StripIdLength", "MdlSize"})
        kmsim::SuppressRace("DEVICE_EXTENSION", f,
                            "StartUnit rewrites it without the engine lock, after the stop "
                            "drained the requests, with the value it had unless the registry "
                            "changed",
                            writesToo);
    kmsim::SuppressRace("DEVICE_EXTENSION", "ActivityFlags",
                        "RemoveChild resets it without the engine lock; a lost bit only "
                        "changes whether a legacy child is reported again",
                        writesToo);
    kmsim::SuppressRace("DEVICE_EXTENSION", "OpenCount",
                        "PowerDispatch reads the parent's count for the child without a lock: "
                        "either value is an answer of a moment earlier or later",
                        readsOnly);
    kmsim::SuppressRace("DEVICE_EXTENSION", "StartComplete",
                        "BothUnitsUsable reads unit 1's without a lock: either value is an "
                        "answer of a moment earlier or later",
                        readsOnly);
    kmsim::SuppressRace("DEVICE_EXTENSION", "PnpState",
                        "SystemControlDispatch reads it to refuse a request after the removal, "
                        "which records its state before it waits for IoCount",
                        readsOnly);
}

struct PrinterSession {
    PDRIVER_OBJECT driver = nullptr;
    // The printer the port requests go to: the last one plugged.
    sbp2sim::Printer* bus = nullptr;
    std::shared_ptr<sbp2sim::SimPrinter> printer; // its model, when plugged by mode

    std::vector<sbp2sim::Printer*> plugged; // every printer still on the bus
    bool removed[2] = {false, false};

    // ---- the machine ----
    bool Load(NTSTATUS* status = nullptr)
    {
        DeclareDriverLocks();
        DeclareDriverFields();
        DeclareDeliberateRaces();
        driver = kmsim::LoadDriver(DriverEntry, "prnsbp", status);
        return driver != nullptr;
    }
    void Unload()
    {
        if (driver != nullptr)
            kmsim::UnloadDriver(driver);
        driver = nullptr;
    }
    sbp2sim::Printer* Plug(const sbp2sim::PrinterConfig& config)
    {
        bus = sbp2sim::Plug(config);
        plugged.push_back(bus);
        removed[0] = removed[1] = false;
        return bus;
    }
    void Plug(sbp2sim::Completion mode, std::shared_ptr<sbp2sim::SimPrinter> model = nullptr)
    {
        printer = model ? model : std::make_shared<sbp2sim::SimPrinter>();
        sbp2sim::PrinterConfig config;
        config.model = printer;
        sbp2sim::SetCompletion(config, mode);
        Plug(config);
    }
    void Unplug(sbp2sim::Printer* p)
    {
        sbp2sim::Unplug(p);
        plugged.erase(std::remove(plugged.begin(), plugged.end(), p), plugged.end());
        if (p == bus)
            bus = nullptr;
    }
    // The PnP manager adds and starts the driver on one unit of a printer
    // and enumerates the unit's children.
    NTSTATUS PlugUnit(sbp2sim::Printer* p, int unit)
    {
        return kmsim::PlugIn(driver, sbp2sim::UnitPdo(p, unit));
    }
    // Both units of the last printer plugged, one after the other; stops
    // at the first that fails.
    NTSTATUS PlugUnits()
    {
        for (int unit = 0; unit < 2; unit++) {
            NTSTATUS s = PlugUnit(bus, unit);
            if (!NT_SUCCESS(s))
                return s;
        }
        return STATUS_SUCCESS;
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
    // Close what the program left open, unplug what is left, unload, stop
    // the port driver.
    void Shutdown()
    {
        CloseAllHandles();
        for (sbp2sim::Printer* p : plugged)
            sbp2sim::Unplug(p);
        plugged.clear();
        bus = nullptr;
        Unload();
        sbp2sim::Shutdown();
    }

    // ---- the port, as a program uses it ----
    // Open gives a handle (a file object on the unit's FDO, as an open of
    // "\Device\Printer%d" does); the unit's later requests go on the last
    // handle opened on it, even once the device is removed, and Close
    // closes that handle. With no handle open they go to the unit's FDO as
    // it is now without a file object, or with the *To forms (SendSimple
    // for a create or close) to a device object the caller kept, one that
    // may be gone from the stack by now.
    Reply Simple(UCHAR major, int unit = 0)
    {
        if (PFILE_OBJECT file = Handle(unit)) {
            kmsim::IrpResult r = kmsim::SendOnFile(file, major, 0);
            return {r.status, r.information};
        }
        PDEVICE_OBJECT fdo = Fdo(unit);
        if (fdo == nullptr)
            return {STATUS_NO_SUCH_DEVICE, 0};
        return SendSimple(fdo, major);
    }
    Reply Open(int unit = 0, const kmsim::OpenOptions& options = kmsim::OpenOptions())
    {
        PDEVICE_OBJECT fdo = Fdo(unit);
        if (fdo == nullptr)
            return {STATUS_NO_SUCH_DEVICE, 0};
        kmsim::OpenResult r = kmsim::OpenFile(fdo, options);
        if (r.file != nullptr) {
            std::lock_guard<std::mutex> g(handleLock);
            handles[unit].push_back(r.file);
        }
        return {r.status, 0};
    }
    // Closes the unit's last handle; with none open, a bare close request.
    Reply Close(int unit = 0)
    {
        PFILE_OBJECT file = nullptr;
        {
            std::lock_guard<std::mutex> g(handleLock);
            if (!handles[unit].empty()) {
                file = handles[unit].back();
                handles[unit].pop_back();
            }
        }
        if (file == nullptr)
            return Simple(IRP_MJ_CLOSE, unit);
        kmsim::IrpResult r = kmsim::CloseFile(file);
        return {r.status, r.information};
    }
    PFILE_OBJECT Handle(int unit) const
    {
        std::lock_guard<std::mutex> g(handleLock);
        return handles[unit].empty() ? nullptr : handles[unit].back();
    }
    size_t HandleCount(int unit) const
    {
        std::lock_guard<std::mutex> g(handleLock);
        return handles[unit].size();
    }
    // What a process's exit does: every handle it left open is closed.
    void CloseAllHandles()
    {
        for (int unit = 0; unit < 2; unit++)
            while (HandleCount(unit) != 0)
                Close(unit);
    }

    Reply TransferTo(PDEVICE_OBJECT fdo, UCHAR major, UCHAR* data, ULONG mdlBytes, ULONG length)
    {
        return SendTransfer(fdo, major, data, mdlBytes, length, TakeFailure());
    }
    Reply Transfer(UCHAR major, UCHAR* data, ULONG length, int unit = 0)
    {
        if (PFILE_OBJECT file = Handle(unit))
            return SendTransferOn(file, major, data, length, TakeFailure());
        PDEVICE_OBJECT fdo = Fdo(unit);
        if (fdo == nullptr)
            return {STATUS_NO_SUCH_DEVICE, 0};
        return TransferTo(fdo, major, data, length, length);
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

    Reply ControlTo(PDEVICE_OBJECT fdo, ULONG code, UCHAR* system, ULONG inLength, ULONG outLength,
                    bool internal = false)
    {
        return SendControl(fdo, code, system, inLength, outLength, internal, TakeFailure());
    }
    // As the I/O manager sends it: one system buffer of max(in, out) bytes
    // holding the input.
    Reply Control(ULONG code, const std::vector<UCHAR>& in, ULONG outLength,
                  std::vector<UCHAR>* out = nullptr, int unit = 0, bool internal = false)
    {
        PDEVICE_OBJECT fdo = Fdo(unit);
        if (fdo == nullptr && Handle(unit) == nullptr)
            return {STATUS_NO_SUCH_DEVICE, 0};
        ULONG inLength = (ULONG)in.size();
        size_t size = inLength > outLength ? inLength : outLength;
        std::vector<UCHAR> system(size ? size : 1, 0);
        std::copy(in.begin(), in.end(), system.begin());
        PFILE_OBJECT file = Handle(unit);
        Reply r = file != nullptr ? SendControlOn(file, code, size ? system.data() : nullptr,
                                                  inLength, outLength, internal, TakeFailure())
                                  : ControlTo(fdo, code, size ? system.data() : nullptr, inLength,
                                              outLength, internal);
        if (out) {
            size_t n = r.bytes < outLength ? (size_t)r.bytes : outLength;
            out->assign(system.begin(), system.begin() + (long)n);
        }
        return r;
    }

    // When set, the next request's n-th allocation fails (counted from the
    // moment the request is sent).
    unsigned long failAllocation = 0;
    // Written only when armed, so threads sharing a session (the stress
    // runs) only ever read it.
    unsigned long TakeFailure()
    {
        unsigned long n = failAllocation;
        if (n != 0)
            failAllocation = 0;
        return n;
    }

  private:
    mutable std::mutex handleLock;
    std::vector<PFILE_OBJECT> handles[2];
};

// The one end-of-run check every harness makes.
using kmsim::LeftBehind;

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
