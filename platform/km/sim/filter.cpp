// A pass-through lower filter that the PnP manager can load between a bus
// driver's PDO and the function driver, as an INF's LowerFilters value does:
// it passes every request down, copies the power and I/O flags of the device
// below, and at IRP_MN_REMOVE_DEVICE detaches and deletes itself after the
// bus driver has seen the removal. A function driver that sends to the PDO
// instead of the device IoAttachDeviceToDeviceStack returned bypasses it, and
// one that detaches the PDO's attachment detaches the filter instead of
// itself: the filter then never sees the removal and is left behind.
#include "verifier.h"

#include <map>

namespace kmsim
{

namespace
{
struct FilterExtension {
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
};

LowerFilterOptions options;
PDRIVER_OBJECT filterDriver = nullptr;
std::map<PDEVICE_OBJECT, FilterSeen> seenByPdo; // the latest filter on each PDO

FilterExtension* FilterExt(PDEVICE_OBJECT d)
{
    return (FilterExtension*)d->DeviceExtension;
}

FilterSeen& Seen(PDEVICE_OBJECT filter)
{
    return seenByPdo[FilterExt(filter)->pdo];
}

NTSTATUS PassDown(PDEVICE_OBJECT filter, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(FilterExt(filter)->lower, irp);
}

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT filter, PIRP irp)
{
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        Seen(filter).requests++;
    }
    return PassDown(filter, irp);
}

NTSTATUS NTAPI FilterPower(PDEVICE_OBJECT filter, PIRP irp)
{
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        Seen(filter).power.push_back(IoGetCurrentIrpStackLocation(irp)->MinorFunction);
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(FilterExt(filter)->lower, irp);
}

void DeleteFilter(PDEVICE_OBJECT filter)
{
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        Seen(filter).attached = false;
    }
    IoDetachDevice(FilterExt(filter)->lower);
    IoDeleteDevice(filter);
}

NTSTATUS NTAPI FilterPnp(PDEVICE_OBJECT filter, PIRP irp)
{
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    LowerFilterOptions o;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        Seen(filter).pnp.push_back(minor);
        o = options;
    }
    if (minor == IRP_MN_START_DEVICE && !NT_SUCCESS(o.startStatus)) {
        irp->IoStatus.Status = o.startStatus;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return o.startStatus;
    }
    if (minor == IRP_MN_REMOVE_DEVICE) {
        NTSTATUS status = PassDown(filter, irp);
        DeleteFilter(filter);
        return status;
    }
    if (o.pendPnp) {
        // Pended and passed on: the request may well be complete by the
        // time the driver above sees STATUS_PENDING.
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoCallDriver(FilterExt(filter)->lower, irp);
        return STATUS_PENDING;
    }
    return PassDown(filter, irp);
}

PDRIVER_OBJECT FilterDriver()
{
    if (filterDriver == nullptr) {
        filterDriver = CreateDriverObject("lowerfilter");
        for (auto& f : filterDriver->MajorFunction)
            f = FilterDispatch;
        filterDriver->MajorFunction[IRP_MJ_PNP] = FilterPnp;
        filterDriver->MajorFunction[IRP_MJ_POWER] = FilterPower;
    }
    return filterDriver;
}
} // namespace

void SetLowerFilter(const LowerFilterOptions& o)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    options = o;
}

LowerFilterOptions LowerFilter()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return options;
}

FilterSeen LowerFilterSeen(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = seenByPdo.find(pdo);
    return it == seenByPdo.end() ? FilterSeen() : it->second;
}

size_t LowerFilterCount()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return filterDriver ? DevicesOf(filterDriver).size() : 0;
}

PDEVICE_OBJECT AttachLowerFilter(PDEVICE_OBJECT pdo)
{
    if (!LowerFilter().enabled)
        return nullptr;
    PDEVICE_OBJECT filter = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(FilterDriver(), sizeof(FilterExtension), nullptr,
                                   pdo->DeviceType, 0, FALSE, &filter))) {
        Violation("lowerfilter: cannot create its device");
        return nullptr;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(filter, pdo);
    FilterExt(filter)->lower = lower;
    FilterExt(filter)->pdo = pdo;
    filter->Flags |= lower->Flags & (DO_POWER_PAGABLE | DO_DIRECT_IO | DO_BUFFERED_IO);
    filter->DeviceType = lower->DeviceType;
    filter->Characteristics = lower->Characteristics;
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    seenByPdo[pdo] = FilterSeen();
    seenByPdo[pdo].attached = true;
    return filter;
}

void DetachLowerFilter(PDEVICE_OBJECT filter)
{
    DeleteFilter(filter);
}

void ResetFilter()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    options = LowerFilterOptions();
    seenByPdo.clear();
    if (filterDriver != nullptr) {
        filterDriver->DeviceObject = nullptr; // the I/O reset drops its devices
        DeleteDriverObject(filterDriver);
        filterDriver = nullptr;
    }
}

} // namespace kmsim
