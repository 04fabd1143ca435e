// Pass-through filters that the PnP manager can load between a bus driver's
// PDO and the function driver, as an INF's LowerFilters value does, or above
// the function driver (UpperFilters). The lower one:
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
    bool upper;       // above the function driver
    bool ownLocation; // uses its stack location instead of skipping it
};

LowerFilterOptions options;
bool upperEnabled = false;
PDRIVER_OBJECT filterDriver = nullptr;
PDRIVER_OBJECT upperDriver = nullptr;
std::map<PDEVICE_OBJECT, FilterSeen> seenByPdo; // the latest lower filter on each PDO
std::map<PDEVICE_OBJECT, FilterSeen> upperSeenByPdo;

FilterExtension* FilterExt(PDEVICE_OBJECT d)
{
    return (FilterExtension*)d->DeviceExtension;
}

FilterSeen& Seen(PDEVICE_OBJECT filter)
{
    return (FilterExt(filter)->upper ? upperSeenByPdo : seenByPdo)[FilterExt(filter)->pdo];
}

// A filter that keeps a location of its own (to set a completion routine,
// say) needs one more in every request than the stack below it.
NTSTATUS PassDown(PDEVICE_OBJECT filter, PIRP irp)
{
    if (FilterExt(filter)->ownLocation)
        IoCopyCurrentIrpStackLocationToNext(irp);
    else
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
    // The state changes concern it too: it has nothing to do for them, and
    // says so as every driver of the stack must (it may be the first one,
    // above the function driver, to see them).
    if (MustCarrySuccess(minor))
        irp->IoStatus.Status = STATUS_SUCCESS;
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

PDRIVER_OBJECT FilterDriver(PDRIVER_OBJECT* driver, const char* name)
{
    if (*driver == nullptr) {
        *driver = CreateDriverObject(name);
        for (auto& f : (*driver)->MajorFunction)
            f = FilterDispatch;
        (*driver)->MajorFunction[IRP_MJ_PNP] = FilterPnp;
        (*driver)->MajorFunction[IRP_MJ_POWER] = FilterPower;
    }
    return *driver;
}

PDEVICE_OBJECT AttachFilter(PDEVICE_OBJECT pdo, bool upper, bool ownLocation)
{
    PDRIVER_OBJECT driver = upper ? FilterDriver(&upperDriver, "upperfilter")
                                  : FilterDriver(&filterDriver, "lowerfilter");
    PDEVICE_OBJECT filter = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(FilterExtension), nullptr, pdo->DeviceType, 0,
                                   FALSE, &filter))) {
        Violation("filter: cannot create its device");
        return nullptr;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(filter, pdo);
    FilterExt(filter)->lower = lower;
    FilterExt(filter)->pdo = pdo;
    FilterExt(filter)->upper = upper;
    FilterExt(filter)->ownLocation = ownLocation;
    filter->Flags |= lower->Flags & (DO_POWER_PAGABLE | DO_DIRECT_IO | DO_BUFFERED_IO);
    filter->DeviceType = lower->DeviceType;
    filter->Characteristics = lower->Characteristics;
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    FilterSeen& seen = Seen(filter);
    seen = FilterSeen();
    seen.attached = true;
    return filter;
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

void SetUpperFilter(bool enabled)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    upperEnabled = enabled;
}

FilterSeen UpperFilterSeen(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = upperSeenByPdo.find(pdo);
    return it == upperSeenByPdo.end() ? FilterSeen() : it->second;
}

bool IsSimFilter(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return device != nullptr && device->DriverObject != nullptr &&
           (device->DriverObject == filterDriver || device->DriverObject == upperDriver);
}

PDEVICE_OBJECT AttachLowerFilter(PDEVICE_OBJECT pdo)
{
    LowerFilterOptions o = LowerFilter();
    return o.enabled ? AttachFilter(pdo, false, o.ownLocation) : nullptr;
}

PDEVICE_OBJECT AttachUpperFilter(PDEVICE_OBJECT pdo)
{
    bool enabled;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        enabled = upperEnabled;
    }
    return enabled ? AttachFilter(pdo, true, false) : nullptr;
}

void DetachLowerFilter(PDEVICE_OBJECT filter)
{
    DeleteFilter(filter);
}

void ResetFilter()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    options = LowerFilterOptions();
    upperEnabled = false;
    seenByPdo.clear();
    upperSeenByPdo.clear();
    for (PDRIVER_OBJECT* driver : {&filterDriver, &upperDriver}) {
        if (*driver != nullptr) {
            (*driver)->DeviceObject = nullptr; // the I/O reset drops its devices
            DeleteDriverObject(*driver);
            *driver = nullptr;
        }
    }
}

} // namespace kmsim
