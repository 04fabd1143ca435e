// Plug and Play for both kinds of device: the FDOs on the SBP-2 units (a
// function driver that lets the port driver see every request) and each
// printer's child PDO (the bus driver that owns it); and the removal work.
//
// Stop, surprise removal and removal, step by step
// ------------------------------------------------
// Every PnP request counts itself in the device's IoCount while it is in the
// driver; the count holds one base reference besides (prnsbp.h, "Locks").
//
// IRP_MN_STOP_DEVICE (StopDevice)
//   FDO:   FLAG_STARTED is cleared, so the device takes no new work (on unit
//          0: opens, reads, writes and device control of the port answer
//          STATUS_DELETE_PENDING; on either unit: internal device control);
//          the request and the base reference leave the count and the stop
//          waits until every request still in the driver has left; then the
//          port driver gets the stop. FLAG_STOPPED, set with it, keeps the
//          driver's own requests (SRBs, unit creates and closes, sent for
//          the port through either unit) off the unit until its next start.
//          Nothing is freed: a start takes the base reference back
//          (IoCountRetakeBase) and StartUnit runs again.
//   child: the same, without passing anything down.
//
// IRP_MN_SURPRISE_REMOVAL (SurpriseRemoval): the printer is already gone.
//   FDO:   FLAG_STARTED is cleared and the state recorded; nothing waits for
//          requests in progress (one may be blocked in a printer that will
//          never answer). The port driver is told, then CleanUpUnit undoes
//          what start and publication set up: the unit is marked removed in
//          the unit table, the identification and descriptors are freed, the
//          LPT link deleted and the port interface disabled. The FDO stays
//          attached; requests that still arrive find it not started.
//   child: FLAG_STARTED is cleared and the state recorded; nothing else.
//
// IRP_MN_REMOVE_DEVICE (Removal): after a surprise removal, or in order after
// a query-remove.
//   FDO:   FLAG_STARTED is cleared, then DrainRequests closes the FDO's slot
//          in the unit table (the other unit can no longer reach it) and
//          waits until no request of the device is left. The port driver is
//          told, CleanUpUnit runs (it finds nothing left after a surprise
//          removal) and DeleteUnit removes the child, frees the engine of a
//          port still open, takes the FDO out of the unit table, detaches it
//          and deletes it.
//   child: its requests are drained. Removed on its own (the PnP manager
//          dropped it), it is not deleted: the parent is asked to report its
//          bus relations again (RemoveChild). Removed by its parent's
//          removal (ParentRemoving), it is deleted.
#include "prnsbp.h"

static BOOLEAN IsFdo(PDEVICE_OBJECT DeviceObject)
{
    return (((PDEVICE_EXTENSION)DeviceObject->DeviceExtension)->Flags & FLAG_FDO) != 0;
}

// PnP requests keep the Information that the handler or a driver above left.
static NTSTATUS CompletePnp(PDEVICE_OBJECT Counted, PIRP Irp, NTSTATUS Status)
{
    return CompleteRequest(Irp, Status, Irp->IoStatus.Information, Counted);
}

static NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoCountRelease(DeviceObject);
    return IoCallDriver(ext->LowerDevice, Irp);
}

static VOID RecordState(PDEVICE_EXTENSION ext, UCHAR Minor)
{
    ext->PrevPnpState = ext->PnpState;
    ext->PnpState = Minor;
}

static VOID CancelQuery(PDEVICE_EXTENSION ext, UCHAR Query)
{
    if (ext->PnpState == Query) {
        ext->PnpState = ext->PrevPnpState;
        ext->PrevPnpState = PNP_STATE_NONE;
    }
}

// The recorded state reads "started" (IRP_MN_START_DEVICE, 0: the FDO's
// zeroed extension) until the first query, stop or removal. A start is not
// recorded, so a device started again after a stop still reads as stopped
// here; the child's state begins as stopped.
static BOOLEAN PnpStateStarted(PDEVICE_EXTENSION ext)
{
    return ext->PnpState == IRP_MN_START_DEVICE;
}

// IRP_MN_START_DEVICE. FDO: the port driver starts the unit first, then
// StartUnit reads the configuration, the descriptors and, at the first start,
// identifies and publishes the printer. Child: StartUnit marks it started.
// The base reference given up by an earlier stop is taken back first.
static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    IoCountRetakeBase(DeviceObject);
    if (IsFdo(DeviceObject)) {
        NTSTATUS status = ForwardIrpAndWait(ext, Irp);
        if (!NT_SUCCESS(status))
            return CompletePnp(DeviceObject, Irp, status);
        ChangeExtensionFlags(ext, 0, FLAG_STOPPED);
    }
    return CompletePnp(DeviceObject, Irp, StartUnit(DeviceObject));
}

// A state change this driver has handled goes down saying so: the lower
// drivers see STATUS_SUCCESS, not the status the PnP manager sent.
static NTSTATUS ForwardHandled(PDEVICE_EXTENSION ext, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return ForwardIrpAndWait(ext, Irp);
}

// IRP_MN_STOP_DEVICE, FDO and child: see the walk-through at the top.
static NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = STATUS_SUCCESS;
    // From here until the next start the port driver's unit takes no I/O:
    // the requests of our own to it are not sent (UnitTableReferenceTarget).
    ChangeExtensionFlags(ext, IsFdo(DeviceObject) ? FLAG_STOPPED : 0, FLAG_STARTED);
    IoCountRelease(DeviceObject); // this request
    IoCountReleaseBase(DeviceObject);
    IoCountWaitIdle(DeviceObject, Suspended);
    if (IsFdo(DeviceObject))
        status = ForwardHandled(ext, Irp);
    if (NT_SUCCESS(status)) {
        ext->PrevPnpState = PNP_STATE_NONE;
        ext->PnpState = IRP_MN_STOP_DEVICE;
    }
    return CompleteRequest(Irp, status, Irp->IoStatus.Information, NULL);
}

// Drops the base reference and waits until no request of the device is
// left in the driver. Requests through the other unit count on this FDO:
// none may find it once the wait has begun. After a stop the base
// reference is already gone; it is taken back first so that the wait holds
// for requests that came in since.
static VOID DrainRequests(PDEVICE_OBJECT DeviceObject)
{
    if (IsFdo(DeviceObject))
        UnitTableCloseFdo(DeviceObject);
    IoCountRetakeBase(DeviceObject);
    IoCountReleaseBase(DeviceObject);
    IoCountWaitIdle(DeviceObject, Executive);
}

// The first step of both removals: new requests find the device not
// started, this request leaves the count, and the state is recorded before
// anything is deleted.
static VOID StopTakingRequests(PDEVICE_OBJECT DeviceObject, UCHAR Minor)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ChangeExtensionFlags(ext, 0, FLAG_STARTED);
    IoCountRelease(DeviceObject);
    RecordState(ext, Minor);
}

// IRP_MN_SURPRISE_REMOVAL, FDO and child: see the walk-through at the top.
static NTSTATUS SurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    StopTakingRequests(DeviceObject, IRP_MN_SURPRISE_REMOVAL);
    if (IsFdo(DeviceObject))
        ForwardHandled(ext, Irp);
    NTSTATUS status = RemoveUnit(DeviceObject, IRP_MN_SURPRISE_REMOVAL);
    return CompleteRequest(Irp, status, Irp->IoStatus.Information, NULL);
}

// IRP_MN_REMOVE_DEVICE, FDO and child: see the walk-through at the top.
static NTSTATUS Removal(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    StopTakingRequests(DeviceObject, IRP_MN_REMOVE_DEVICE);
    // The drivers below learn of a removal only once no request of this
    // device is still on its way to them.
    DrainRequests(DeviceObject);
    if (IsFdo(DeviceObject))
        ForwardHandled(ext, Irp);
    // RemoveUnit deletes the device: nothing of it is touched after.
    NTSTATUS status = RemoveUnit(DeviceObject, IRP_MN_REMOVE_DEVICE);
    return CompleteRequest(Irp, status, Irp->IoStatus.Information, NULL);
}

static NTSTATUS ChildTargetRelation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS), TAG_TARGET_RELATIONS);
    if (relations == NULL)
        return CompletePnp(DeviceObject, Irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = 1;
    relations->Objects[0] = DeviceObject;
    ObReferenceObject(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, (ULONG_PTR)relations, DeviceObject);
}

// FDO: QueryBusRelations reports the child of unit 0 and passes the request
// down. Child: only the target relation is answered.
static NTSTATUS QueryRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    DEVICE_RELATION_TYPE type = Stack->Parameters.QueryDeviceRelations.Type;
    if (IsFdo(DeviceObject)) {
        BOOLEAN complete = TRUE;
        NTSTATUS status = QueryBusRelations(DeviceObject, type, Irp, &complete);
        if (complete)
            return CompletePnp(DeviceObject, Irp, status);
        return status;
    }
    if (type == TargetDeviceRelation)
        return ChildTargetRelation(DeviceObject, Irp);
    return CompletePnp(DeviceObject, Irp, Irp->IoStatus.Status);
}

// The instance ID ("QXZR1394_" and the port number) is unique only for a
// numbered printer. One whose numbering failed (and every printer on the
// legacy platform, which numbers none) answers "..._000" like any other
// such printer: claimed unique, two of them would be one device to the PnP
// manager (Windows stops: a duplicate PDO). Not claimed, the PnP manager
// tells them apart by their parents.
static NTSTATUS ChildCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PDEVICE_CAPABILITIES caps = Stack->Parameters.DeviceCapabilities.Capabilities;
    PDEVICE_EXTENSION parent = ((PCHILD_EXTENSION)DeviceObject->DeviceExtension)->Parent;
    KMSIM_POINT();
    caps->UniqueID = parent != NULL && parent->PortNumber != 0;
    caps->RawDeviceOK = 1;
    caps->SurpriseRemovalOK = 1;
    return CompletePnp(DeviceObject, Irp, STATUS_SUCCESS);
}

static NTSTATUS ChildQueryId(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    UNICODE_STRING id;
    RtlZeroMemory(&id, sizeof id);
    NTSTATUS status = QueryChildId(DeviceObject, Stack->Parameters.QueryId.IdType, &id);
    if (status == STATUS_NOT_IMPLEMENTED)
        return CompletePnp(DeviceObject, Irp, Irp->IoStatus.Status);
    return CompleteRequest(Irp, status, NT_SUCCESS(status) ? (ULONG_PTR)id.Buffer : 0,
                           DeviceObject);
}

static NTSTATUS UsageNotification(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    switch (Stack->Parameters.UsageNotification.Type) {
    case DeviceUsageTypePaging:
        if (Stack->Parameters.UsageNotification.InPath && !PnpStateStarted(ext))
            return CompletePnp(DeviceObject, Irp, STATUS_DEVICE_NOT_READY);
        // fall through
    case DeviceUsageTypeHibernation:
    case DeviceUsageTypeDumpFile:
        return CompletePnp(DeviceObject, Irp, ForwardIrpAndWait(ext, Irp));
    default:
        return CompletePnp(DeviceObject, Irp, STATUS_INVALID_PARAMETER);
    }
}

// PnpDispatch
//   IRP_MJ_PNP for the FDOs and the child. PASSIVE_LEVEL, in a PnP manager
//   thread; the PnP manager sends one request of a device at a time, while
//   reads, writes, opens and device control may run beside it.
//   FDO: a function driver; every request reaches the port driver, most
//   unchanged, state changes after this driver has handled them.
//   Child: the bus driver; it answers its requests itself, except the
//   device text, which comes from the parent's stack.
//   Stop, surprise removal and removal: see the walk-through at the top.
//   The request counts itself in IoCount while it is here.
NTSTATUS NTAPI PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    BOOLEAN fdo = IsFdo(DeviceObject);
    UCHAR minor = stack->MinorFunction;

    IoCountAcquire(DeviceObject);
    switch (minor) {
    case IRP_MN_START_DEVICE:
        return StartDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
        RecordState(ext, minor);
        return CompletePnp(DeviceObject, Irp, fdo ? ForwardHandled(ext, Irp) : STATUS_SUCCESS);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        CancelQuery(ext, minor == IRP_MN_CANCEL_REMOVE_DEVICE ? IRP_MN_QUERY_REMOVE_DEVICE
                                                              : IRP_MN_QUERY_STOP_DEVICE);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return fdo ? PassDown(DeviceObject, Irp) : CompletePnp(DeviceObject, Irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
        return StopDevice(DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemoval(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return Removal(DeviceObject, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return QueryRelations(DeviceObject, Irp, stack);
    case IRP_MN_QUERY_CAPABILITIES:
        return fdo ? PassDown(DeviceObject, Irp) : ChildCapabilities(DeviceObject, Irp, stack);
    case IRP_MN_QUERY_ID:
        return fdo ? PassDown(DeviceObject, Irp) : ChildQueryId(DeviceObject, Irp, stack);
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return UsageNotification(DeviceObject, Irp, stack);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return PassDown(DeviceObject, Irp);
    default:
        return fdo ? PassDown(DeviceObject, Irp)
                   : CompletePnp(DeviceObject, Irp, Irp->IoStatus.Status);
    }
}

// RemoveChild
//   The child's own removal, its requests drained. PASSIVE_LEVEL.
//   Removed by the PnP manager while its parent stays, the child is kept and
//   the parent is asked for its bus relations again; on the legacy platform
//   a child removed without a plain open and close of the port since its last
//   removal is no longer reported (SuppressedChild). Removed because its
//   parent goes (ParentRemoving), it is deleted.
static VOID RemoveChild(PDEVICE_OBJECT Child)
{
    PCHILD_EXTENSION cext = (PCHILD_EXTENSION)Child->DeviceExtension;
    PDEVICE_EXTENSION parent = cext->Parent;

    if (IsLegacyPlatform() && parent->ActivityFlags != (ACTIVITY_OPENED | ACTIVITY_CLOSED))
        parent->SuppressedChild = Child;
    parent->ActivityFlags = 0;
    if (!cext->ParentRemoving) {
        // The unit's PDO, not LowerDevice: with a lower filter that is the
        // filter's device, and the PnP manager takes only a PDO here.
        IoInvalidateDeviceRelations(parent->Pdo, BusRelations);
        return;
    }
    parent->ChildPdo = NULL;
    if (parent->SuppressedChild == Child)
        parent->SuppressedChild = NULL;
    RtlFreeUnicodeString(&cext->ChildName);
    IoDeleteDevice(Child);
}

// CleanUpUnit
//   Undoes what start and publication set up on an FDO, at a surprise
//   removal and again (finding nothing left) at the removal. PASSIVE_LEVEL.
//   Requests may still be running (a surprise removal does not wait): the
//   data path does not touch what is freed here once FLAG_STARTED is clear,
//   and the child's ID queries check DeviceIdString.
static VOID CleanUpUnit(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    UnitTableMarkRemoved(Fdo);
    PCHAR identification = TakeIdentification(ext);
    if (identification != NULL)
        ExFreePool(identification);
    FreeDescriptors(ext);
    if (IsLegacyPlatform() && ext->LptNumber != 0) {
        WCHAR linkText[32];
        UNICODE_STRING link;
        FormatNumberedName(linkText, L"\\DosDevices\\LPT", ext->LptNumber);
        RtlInitUnicodeString(&link, linkText);
        IoDeleteSymbolicLink(&link);
        ext->LptNumber = 0;
    }
    if (ext->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
        RtlFreeUnicodeString(&ext->InterfaceName);
        ext->InterfaceName.Buffer = NULL;
    }
}

// The child never outlives its parent: its requests are drained and it is
// deleted before the parent's stack goes.
static VOID RemoveChildOf(PDEVICE_EXTENSION Parent)
{
    PCHILD_EXTENSION cext = (PCHILD_EXTENSION)Parent->ChildPdo->DeviceExtension;
    cext->ParentRemoving = TRUE;
    DrainRequests(Parent->ChildPdo);
    RemoveUnit(Parent->ChildPdo, IRP_MN_REMOVE_DEVICE);
}

// DeleteUnit
//   The last step of an FDO's removal, its requests drained. PASSIVE_LEVEL.
//   Removes the child, frees the engine of a port still open, takes the FDO
//   out of the unit table, detaches and deletes it.
static VOID DeleteUnit(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    if (ext->ChildPdo != NULL)
        RemoveChildOf(ext);
    // A port still open when the device goes (its handles are closed
    // later, or never) must not keep the engine's buffers.
    if (ext->EngineState & ENGINE_BUFFERS_READY) {
        EngineTeardown(Fdo);
        ext->EngineState = 0;
    }
    UnitTableDropFdo(Fdo);
    IoDetachDevice(ext->LowerDevice);
    IoDeleteDevice(Fdo);
}

// RemoveUnit
//   The removal work of IRP_MN_SURPRISE_REMOVAL and IRP_MN_REMOVE_DEVICE;
//   any other code has nothing to undo. Always STATUS_SUCCESS.
//   PASSIVE_LEVEL. Before a removal the caller has drained the device's
//   requests (DrainRequests).
//   Surprise removal: FDO, CleanUpUnit; child, nothing.
//   Removal: FDO, CleanUpUnit then DeleteUnit; child, RemoveChild.
NTSTATUS RemoveUnit(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction)
{
    BOOLEAN fdo = IsFdo(DeviceObject);
    switch (MinorFunction) {
    case IRP_MN_SURPRISE_REMOVAL:
        if (fdo)
            CleanUpUnit(DeviceObject);
        break;
    case IRP_MN_REMOVE_DEVICE:
        if (!fdo) {
            RemoveChild(DeviceObject);
            break;
        }
        CleanUpUnit(DeviceObject);
        DeleteUnit(DeviceObject);
        break;
    default:
        break;
    }
    return STATUS_SUCCESS;
}
