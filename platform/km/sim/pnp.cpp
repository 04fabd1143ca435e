// Driver loading and the PnP manager: devnodes, the requests of their life
// and bus enumeration; also the whole-machine reset.
#include "verifier.h"

#include <algorithm>
#include <deque>
#include <map>
#include <set>

namespace kmsim
{

namespace
{
struct DevNode {
    PDEVICE_OBJECT parent = nullptr;
    std::vector<PDEVICE_OBJECT> children;
    bool started = false;
    bool removed = false;
};
std::map<PDEVICE_OBJECT, DevNode> nodes;
std::deque<PDEVICE_OBJECT> invalidations;
std::map<PDRIVER_OBJECT, std::u16string> driverPaths;
std::set<PDRIVER_OBJECT> unloaded; // pointers only, never followed

// Removal after a surprise removal. `surprised`: stacks that had their
// surprise removal and not yet their removal. `awaiting`: those whose
// removal the PnP manager still owes, children before parents; each goes
// once no handle is open on its stack and no child of it is still owed or
// on its way (`sending`). `dropAfter`: the roots whose devnodes go with
// their removal.
std::set<PDEVICE_OBJECT> surprised;
std::vector<PDEVICE_OBJECT> awaiting;
std::set<PDEVICE_OBJECT> sending;
std::set<PDEVICE_OBJECT> dropAfter;
// Stacks an orderly removal has passed the open-handle check for: the I/O
// manager lets no new open in until they are removed or the removal is
// cancelled.
std::set<PDEVICE_OBJECT> removing;
std::function<void(PDEVICE_OBJECT, bool)> removalWatch;
// Stacks whose IRP_MN_STOP_DEVICE succeeded and that have had no start,
// surprise removal or removal since: no driver may send them I/O.
std::set<PDEVICE_OBJECT> stopped;

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS NTAPI HarnessCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent((PKEVENT)Context, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

IrpResult SendWith(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                   const std::function<void(PIO_STACK_LOCATION)>& setup, NTSTATUS initialStatus,
                   PMDL mdl, PVOID systemBuffer, PFILE_OBJECT file, KPROCESSOR_MODE mode)
{
    PIRP irp = IoAllocateIrp((CCHAR)(target->StackSize + 1), FALSE);
    if (irp == NULL)
        return IrpResult{STATUS_INSUFFICIENT_RESOURCES, 0};
    IoSetNextIrpStackLocation(irp); // the sender's own location
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, HarnessCompletion, &done, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (setup)
        setup(next);
    next->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->RequestorMode = mode;
    irp->IoStatus.Status = initialStatus;
    irp->IoStatus.Information = 0;
    irp->MdlAddress = mdl;
    irp->AssociatedIrp.SystemBuffer = systemBuffer;
    if (major == IRP_MJ_POWER)
        PoCallDriver(target, irp);
    else
        IoCallDriver(target, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    IrpResult r{irp->IoStatus.Status, irp->IoStatus.Information};
    irp->MdlAddress = NULL;
    IoFreeIrp(irp);
    return r;
}

namespace
{
IrpResult Send(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
               const std::function<void(PIO_STACK_LOCATION)>& setup, NTSTATUS initialStatus,
               PMDL mdl, PVOID systemBuffer)
{
    return SendWith(target, major, minor, setup, initialStatus, mdl, systemBuffer, nullptr,
                    KernelMode);
}

// The subtree of pdo, children before their parents.
void PostOrder(PDEVICE_OBJECT pdo, std::vector<PDEVICE_OBJECT>& out)
{
    auto it = nodes.find(pdo);
    if (it == nodes.end())
        return;
    std::vector<PDEVICE_OBJECT> children = it->second.children;
    for (PDEVICE_OBJECT c : children)
        if (nodes.count(c) && !nodes[c].removed)
            PostOrder(c, out);
    out.push_back(pdo);
}

void DropNode(PDEVICE_OBJECT pdo)
{
    auto it = nodes.find(pdo);
    if (it == nodes.end())
        return;
    std::vector<PDEVICE_OBJECT> children = it->second.children;
    for (PDEVICE_OBJECT c : children)
        DropNode(c);
    PDEVICE_OBJECT parent = it->second.parent;
    nodes.erase(pdo);
    ForgetDeviceIds(pdo);
    if (parent && nodes.count(parent)) {
        auto& siblings = nodes[parent].children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), pdo), siblings.end());
    }
    invalidations.erase(std::remove(invalidations.begin(), invalidations.end(), pdo),
                        invalidations.end());
    awaiting.erase(std::remove(awaiting.begin(), awaiting.end(), pdo), awaiting.end());
    surprised.erase(pdo);
    dropAfter.erase(pdo);
    removing.erase(pdo);
}
} // namespace

IrpResult SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                  const std::function<void(PIO_STACK_LOCATION)>& setup, NTSTATUS initialStatus,
                  PMDL mdl, PVOID systemBuffer)
{
    if (Retail()) {
        // A retail kernel does not follow references (nothing checks them):
        // the request goes to the top of the stack as it stands.
        PDEVICE_OBJECT top = device;
        while (top->AttachedDevice != NULL)
            top = top->AttachedDevice;
        return Send(top, major, minor, setup, initialStatus, mdl, systemBuffer);
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    IrpResult r = Send(top, major, minor, setup, initialStatus, mdl, systemBuffer);
    ObDereferenceObject(top);
    return r;
}

IrpResult SendIrpTo(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)>& setup, NTSTATUS initialStatus)
{
    return Send(device, major, minor, setup, initialStatus, nullptr, nullptr);
}

// A stack stays stopped from a successful stop to the next start (the start
// itself and what its drivers send while they start are the stack's own) or
// to its removal, whose drivers may still release what they claimed.
static void NoteStopped(PDEVICE_OBJECT device, UCHAR minor, NTSTATUS status)
{
    PDEVICE_OBJECT pdo = StackPdoOf(device);
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (minor == IRP_MN_STOP_DEVICE && NT_SUCCESS(status))
        stopped.insert(pdo);
    else if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
             minor == IRP_MN_REMOVE_DEVICE)
        stopped.erase(pdo);
}

bool StackStopped(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return stopped.count(pdo) != 0;
}

IrpResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                  const std::function<void(PIO_STACK_LOCATION)>& setup)
{
    if (minor != IRP_MN_STOP_DEVICE)
        NoteStopped(pdo, minor, STATUS_SUCCESS);
    IrpResult r = SendIrp(pdo, IRP_MJ_PNP, minor, setup, STATUS_NOT_SUPPORTED);
    if (minor == IRP_MN_STOP_DEVICE)
        NoteStopped(pdo, minor, r.status);
    return r;
}

IrpResult SendPower(PDEVICE_OBJECT pdo, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)>& setup)
{
    return SendIrp(pdo, IRP_MJ_POWER, minor, setup, STATUS_NOT_SUPPORTED);
}

IrpResult SendPowerState(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, int state)
{
    return SendPower(pdo, minor, [type, state](PIO_STACK_LOCATION s) {
        s->Parameters.Power.Type = type;
        if (type == SystemPowerState)
            s->Parameters.Power.State.SystemState = (SYSTEM_POWER_STATE)state;
        else
            s->Parameters.Power.State.DeviceState = (DEVICE_POWER_STATE)state;
    });
}

PDRIVER_OBJECT CreateDriverObject(const std::string& name)
{
    PDRIVER_OBJECT d = new DRIVER_OBJECT;
    memset(d, 0, sizeof *d);
    d->Type = 4; // IO_TYPE_DRIVER
    d->Size = sizeof(DRIVER_OBJECT);
    d->DriverExtension = new DRIVER_EXTENSION;
    memset(d->DriverExtension, 0, sizeof(DRIVER_EXTENSION));
    d->DriverExtension->DriverObject = d;
    for (auto& f : d->MajorFunction)
        f = InvalidDeviceRequest;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    driverPaths[d] = U16("\\Driver\\" + name);
    unloaded.erase(d); // a new driver object at an old one's address
    return d;
}

static std::u16string DriverPathOf(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = driverPaths.find(driver);
    return it == driverPaths.end() ? std::u16string() : it->second;
}

std::string DriverPath(PDRIVER_OBJECT driver)
{
    return Narrow(DriverPathOf(driver));
}

void DeleteDriverObject(PDRIVER_OBJECT driver)
{
    if (driver->DeviceObject != NULL)
        Violation("driver object deleted while it still has devices");
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        driverPaths.erase(driver);
    }
    delete driver->DriverExtension;
    delete driver;
}

PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::string& service, NTSTATUS* status)
{
    PDRIVER_OBJECT d = CreateDriverObject(service);
    std::u16string path = U16(std::string(kServicesKey) + service);
    std::vector<WCHAR> buffer(path.begin(), path.end());
    buffer.push_back(0);
    UNICODE_STRING registryPath;
    registryPath.Buffer = buffer.data();
    registryPath.Length = (USHORT)(path.size() * 2);
    registryPath.MaximumLength = (USHORT)(path.size() * 2 + 2);
    if (!RegKeyExists(std::string(kServicesKey) + service))
        RegSetDword(std::string(kServicesKey) + service, "Type", 1);
    NTSTATUS s;
    {
        DriverScope scope(d);
        s = entry(d, &registryPath);
    }
    // The I/O manager's copy is gone once the entry point returns: catch
    // drivers that keep the pointer.
    std::fill(buffer.begin(), buffer.end(), (WCHAR)0xDDDD);
    if (status)
        *status = s;
    if (!NT_SUCCESS(s)) {
        DeleteDriverObject(d);
        return nullptr;
    }
    return d;
}

void UnloadDriver(PDRIVER_OBJECT driver)
{
    if (driver->DeviceObject != NULL)
        Violation("driver unloaded while it still has devices");
    // Windows unloads a driver only once its deleted devices are freed too.
    if (size_t held = DeletedDevicesStillHeld(driver))
        Violation("driver unloaded while " + std::to_string(held) +
                  " of its deleted devices is still referenced (a handle open on it)");
    if (driver->DriverUnload) {
        DriverScope scope(driver);
        driver->DriverUnload(driver);
    }
    std::string leaks = LeakReportOf(driver);
    if (!leaks.empty())
        Violation(Narrow(DriverPathOf(driver)) + " unloaded with pool left:\n" + leaks);
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        unloaded.insert(driver);
    }
    DeleteDriverObject(driver);
}

void ReportPdo(PDEVICE_OBJECT pdo, PDEVICE_OBJECT parentPdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    DevNode& n = nodes[pdo];
    n.parent = parentPdo;
    n.removed = false;
    n.started = false;
    if (parentPdo && nodes.count(parentPdo)) {
        auto& c = nodes[parentPdo].children;
        if (std::find(c.begin(), c.end(), pdo) == c.end())
            c.push_back(pdo);
    }
}

PDEVICE_OBJECT ParentOf(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = nodes.find(pdo);
    return it == nodes.end() ? nullptr : it->second.parent;
}

bool IsReported(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return nodes.count(pdo) && !nodes[pdo].removed;
}

bool IsStarted(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return nodes.count(pdo) && nodes[pdo].started;
}

void ForgetPdo(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    DropNode(pdo);
}

std::vector<PDEVICE_OBJECT> ChildrenOf(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    std::vector<PDEVICE_OBJECT> r;
    if (nodes.count(pdo))
        for (PDEVICE_OBJECT c : nodes[pdo].children)
            if (!nodes[c].removed)
                r.push_back(c);
    return r;
}

NTSTATUS AddFunctionDriver(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    if (!IsReported(pdo))
        ReportPdo(pdo);
    PDEVICE_OBJECT filter = AttachLowerFilter(pdo);
    NTSTATUS status;
    {
        DriverScope scope(driver);
        status = driver->DriverExtension->AddDevice(driver, pdo);
    }
    // A stack whose function driver did not come up is torn down again.
    if (!NT_SUCCESS(status) && filter != nullptr && filter->AttachedDevice == nullptr)
        DetachLowerFilter(filter);
    if (NT_SUCCESS(status) && pdo->AttachedDevice != nullptr)
        AttachUpperFilter(pdo);
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT pdo)
{
    IrpResult r = SendPnp(pdo, IRP_MN_START_DEVICE);
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (nodes.count(pdo))
        nodes[pdo].started = NT_SUCCESS(r.status);
    return r.status;
}

NTSTATUS PlugIn(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    NTSTATUS s = AddFunctionDriver(driver, pdo);
    if (!NT_SUCCESS(s))
        return s;
    s = StartDevice(pdo);
    if (!NT_SUCCESS(s))
        return s;
    EnumerateBus(pdo);
    return s;
}

NTSTATUS Rebalance(PDEVICE_OBJECT pdo)
{
    IrpResult q = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(q.status)) {
        SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return q.status;
    }
    SendPnp(pdo, IRP_MN_STOP_DEVICE);
    return StartDevice(pdo);
}

static void SendRemoval(PDEVICE_OBJECT d)
{
    std::function<void(PDEVICE_OBJECT, bool)> watch;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        surprised.erase(d); // the stack may come down from here on
        watch = removalWatch;
    }
    if (watch)
        watch(d, true);
    SendPnp(d, IRP_MN_REMOVE_DEVICE);
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        if (nodes.count(d)) {
            nodes[d].removed = true;
            nodes[d].started = false;
        }
    }
    if (watch)
        watch(d, false);
}

static void SendRemovals(const std::vector<PDEVICE_OBJECT>& order)
{
    for (PDEVICE_OBJECT d : order)
        SendRemoval(d);
}

static std::vector<PDEVICE_OBJECT> SubtreeOf(PDEVICE_OBJECT pdo)
{
    std::vector<PDEVICE_OBJECT> order;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    PostOrder(pdo, order);
    return order;
}

static void SendSurpriseRemovals(const std::vector<PDEVICE_OBJECT>& order)
{
    for (PDEVICE_OBJECT d : order) {
        {
            std::lock_guard<std::recursive_mutex> g(g_lock);
            surprised.insert(d);
        }
        SendPnp(d, IRP_MN_SURPRISE_REMOVAL);
        ReleaseInstancePath(d);
    }
}

// Under g_lock: `d` is below `ancestor` in the devnode tree.
static bool IsBelow(PDEVICE_OBJECT d, PDEVICE_OBJECT ancestor)
{
    for (auto it = nodes.find(d); it != nodes.end(); it = nodes.find(it->second.parent))
        if (it->second.parent == ancestor)
            return true;
    return false;
}

// Under g_lock: the first owed removal that may go now, taken off the list.
static PDEVICE_OBJECT TakeRemovalThatMayGo()
{
    for (size_t i = 0; i < awaiting.size(); i++) {
        PDEVICE_OBJECT d = awaiting[i];
        if (FilesOpenOnStack(d) != 0)
            continue;
        bool childOwed = false;
        for (PDEVICE_OBJECT o : awaiting)
            childOwed = childOwed || (o != d && IsBelow(o, d));
        for (PDEVICE_OBJECT o : sending)
            childOwed = childOwed || IsBelow(o, d);
        if (childOwed)
            continue;
        awaiting.erase(awaiting.begin() + (long)i);
        sending.insert(d);
        return d;
    }
    return nullptr;
}

void SendRemovalsNoLongerHeld()
{
    while (true) {
        PDEVICE_OBJECT d;
        {
            std::lock_guard<std::recursive_mutex> g(g_lock);
            d = TakeRemovalThatMayGo();
        }
        if (d == nullptr)
            return;
        SendRemoval(d);
        std::lock_guard<std::recursive_mutex> g(g_lock);
        sending.erase(d);
        if (dropAfter.erase(d))
            DropNode(d);
    }
}

bool AwaitingRemoval(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return surprised.count(pdo) != 0;
}

bool OpensRefused(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return surprised.count(pdo) != 0 || removing.count(pdo) != 0;
}

std::vector<PDEVICE_OBJECT> RemovalsWaitingForHandles()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return awaiting;
}

void OnRemoval(std::function<void(PDEVICE_OBJECT pdo, bool before)> watch)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    removalWatch = std::move(watch);
}

// Whether handles are open on the subtree; when none are, the subtree
// takes no new open from here on (checked and marked at once, so that no
// open slips in between).
static bool HandlesOpenElseRefuseOpens(const std::vector<PDEVICE_OBJECT>& order)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    size_t n = 0;
    for (PDEVICE_OBJECT d : order)
        n += FilesOpenOnStack(d);
    if (n != 0 && !IsLegacyPlatform())
        return true;
    removing.insert(order.begin(), order.end());
    return false;
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo, std::string* veto)
{
    std::vector<PDEVICE_OBJECT> order = SubtreeOf(pdo);
    std::vector<PDEVICE_OBJECT> queried;
    for (PDEVICE_OBJECT d : order) {
        IrpResult q = SendPnp(d, IRP_MN_QUERY_REMOVE_DEVICE);
        queried.push_back(d);
        if (!NT_SUCCESS(q.status)) {
            for (PDEVICE_OBJECT c : queried)
                SendPnp(c, IRP_MN_CANCEL_REMOVE_DEVICE);
            if (veto)
                *veto = "PNP_VetoDevice";
            return q.status;
        }
    }
    // Windows 2000 and later do not remove a device with handles open on
    // it (PNP_VetoOutstandingOpen); the legacy platform does.
    if (HandlesOpenElseRefuseOpens(order)) {
        for (PDEVICE_OBJECT c : queried)
            SendPnp(c, IRP_MN_CANCEL_REMOVE_DEVICE);
        if (veto)
            *veto = "PNP_VetoOutstandingOpen";
        return STATUS_UNSUCCESSFUL;
    }
    SendRemovals(order);
    std::lock_guard<std::recursive_mutex> g(g_lock);
    for (PDEVICE_OBJECT d : order)
        removing.erase(d);
    // A removed parent takes its children's devnodes with it; a child
    // removed alone keeps its place until its parent reports again.
    if (nodes.count(pdo) && nodes[pdo].parent == nullptr)
        DropNode(pdo);
    else if (nodes.count(pdo))
        for (PDEVICE_OBJECT c : std::vector<PDEVICE_OBJECT>(nodes[pdo].children))
            DropNode(c);
    return STATUS_SUCCESS;
}

// The subtree gone from its bus: `drop` the devnode of its root once
// removed (a bus that forgets the device), else keep it (a child the
// parent may report again).
static void RemoveGoneSubtree(PDEVICE_OBJECT pdo, bool drop)
{
    std::vector<PDEVICE_OBJECT> order = SubtreeOf(pdo);
    if (IsLegacyPlatform()) {
        SendRemovals(order);
        if (drop) {
            std::lock_guard<std::recursive_mutex> g(g_lock);
            DropNode(pdo);
        }
        return;
    }
    SendSurpriseRemovals(order);
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        for (PDEVICE_OBJECT d : order)
            if (std::find(awaiting.begin(), awaiting.end(), d) == awaiting.end())
                awaiting.push_back(d);
        if (drop)
            dropAfter.insert(pdo);
    }
    SendRemovalsNoLongerHeld();
}

void SurpriseRemove(PDEVICE_OBJECT pdo)
{
    RemoveGoneSubtree(pdo, true);
}

void SurpriseRemoveOnly(PDEVICE_OBJECT pdo)
{
    SendSurpriseRemovals(SubtreeOf(pdo));
}

void FinishRemoval(PDEVICE_OBJECT pdo)
{
    SendRemovals(SubtreeOf(pdo));
    std::lock_guard<std::recursive_mutex> g(g_lock);
    DropNode(pdo);
}

NTSTATUS EnumerateBus(PDEVICE_OBJECT pdo)
{
    IrpResult r = SendPnp(pdo, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
        s->Parameters.QueryDeviceRelations.Type = BusRelations;
    });
    if (!NT_SUCCESS(r.status))
        return r.status;
    std::vector<PDEVICE_OBJECT> reported;
    if (r.information) {
        PDEVICE_RELATIONS rel = (PDEVICE_RELATIONS)r.information;
        for (ULONG i = 0; i < rel->Count; i++)
            reported.push_back(rel->Objects[i]);
        ExFreePool(rel);
    }
    std::vector<PDEVICE_OBJECT> known = ChildrenOf(pdo);
    std::vector<PDEVICE_OBJECT> removedKnown;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        if (nodes.count(pdo))
            for (PDEVICE_OBJECT c : nodes[pdo].children)
                if (nodes[c].removed)
                    removedKnown.push_back(c);
    }
    // Children no longer reported: gone.
    for (PDEVICE_OBJECT c : known)
        if (std::find(reported.begin(), reported.end(), c) == reported.end()) {
            RemoveGoneSubtree(c, true);
        }
    for (PDEVICE_OBJECT c : removedKnown)
        if (std::find(reported.begin(), reported.end(), c) == reported.end())
            ForgetPdo(c);
    // New children, or removed ones reported again: a new devnode, started.
    for (PDEVICE_OBJECT c : reported) {
        if (!IsReported(c)) {
            ReportPdo(c, pdo);
            QueryDeviceIds(c);
            StartDevice(c);
        }
        ObDereferenceObject(c);
    }
    return r.status;
}

void QueueInvalidation(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    // Windows finds the device node through the device object: anything
    // but a PDO it knows (a filter or function device above one, say)
    // stops the system (PNP_DETECTED_FATAL_ERROR, invalid PDO).
    if (!nodes.count(device)) {
        Violation("IoInvalidateDeviceRelations of a device that is not a PDO");
        return;
    }
    invalidations.push_back(device);
}

size_t PendingInvalidations()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return invalidations.size();
}

void ProcessInvalidations()
{
    while (true) {
        PDEVICE_OBJECT d;
        {
            std::lock_guard<std::recursive_mutex> g(g_lock);
            if (invalidations.empty())
                return;
            d = invalidations.front();
            invalidations.pop_front();
        }
        if (IsReported(d))
            EnumerateBus(d);
    }
}

bool DriverUnloaded(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return driver != nullptr && unloaded.count(driver) != 0;
}

void ResetPnp()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    nodes.clear();
    invalidations.clear();
    unloaded.clear();
    surprised.clear();
    awaiting.clear();
    sending.clear();
    dropAfter.clear();
    removing.clear();
    stopped.clear();
    removalWatch = nullptr;
}

void Reset()
{
    ResetVerifier();
    ResetFiles();
    ResetFilter();
    ResetPassed();
    ResetPnp();
    ResetInterfaces();
    ResetDeviceIds();
    ResetIo();
    ResetRegistry();
    ResetPool();
    ResetSync();
    KmNlsMbCodePageTag = FALSE;
}

} // namespace kmsim
