/*
 * Plug and Play for both kinds of device: the FDOs on the SBP-2 units (a
 * function driver that lets the port driver see every request) and each
 * printer's child PDO (the bus driver that owns it); and the removal work.
 */
#include "prnsbp.h"

static BOOLEAN IsFdo(PDEVICE_OBJECT DeviceObject)
{
    return (((PDEVICE_EXTENSION)DeviceObject->DeviceExtension)->Flags & FLAG_FDO) != 0;
}

static NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoCountRelease(DeviceObject);
    return IoCallDriver(ext->LowerDevice, Irp);
}

static NTSTATUS Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, BOOLEAN Release)
{
    if (Release)
        IoCountRelease(DeviceObject);
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
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

static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    IoCountRetakeBase(DeviceObject);
    if (IsFdo(DeviceObject)) {
        NTSTATUS status = ForwardIrpAndWait(ext, Irp);
        if (!NT_SUCCESS(status))
            return Complete(DeviceObject, Irp, status, TRUE);
    }
    return Complete(DeviceObject, Irp, StartUnit(DeviceObject), TRUE);
}

/* A state change this driver has handled goes down saying so: the lower
 * drivers see STATUS_SUCCESS, not the status the PnP manager sent. */
static NTSTATUS ForwardHandled(PDEVICE_EXTENSION ext, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return ForwardIrpAndWait(ext, Irp);
}

static NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = STATUS_SUCCESS;
    ChangeExtensionFlags(ext, 0, FLAG_STARTED);
    IoCountRelease(DeviceObject); /* this request */
    IoCountReleaseBase(DeviceObject);
    IoCountWaitIdle(DeviceObject, Suspended);
    if (IsFdo(DeviceObject))
        status = ForwardHandled(ext, Irp);
    if (NT_SUCCESS(status)) {
        ext->PrevPnpState = PNP_STATE_NONE;
        ext->PnpState = IRP_MN_STOP_DEVICE;
    }
    return Complete(DeviceObject, Irp, status, FALSE);
}

/* Drops the base reference and waits until no request of the device is
 * left in the driver. Requests through the other unit count on this FDO:
 * none may find it once the wait has begun. After a stop the base
 * reference is already gone; it is taken back first so that the wait holds
 * for requests that came in since. */
static VOID DrainRequests(PDEVICE_OBJECT DeviceObject)
{
    if (IsFdo(DeviceObject))
        UnitTableCloseFdo(DeviceObject);
    IoCountRetakeBase(DeviceObject);
    IoCountReleaseBase(DeviceObject);
    IoCountWaitIdle(DeviceObject, Executive);
}

static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR Minor)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ChangeExtensionFlags(ext, 0, FLAG_STARTED);
    IoCountRelease(DeviceObject);
    RecordState(ext, Minor);
    /* The drivers below learn of a removal only once no request of this
     * device is still on its way to them. */
    if (Minor == IRP_MN_REMOVE_DEVICE)
        DrainRequests(DeviceObject);
    if (IsFdo(DeviceObject))
        ForwardHandled(ext, Irp);
    /* RemoveUnit may delete the device: nothing of it is touched after. */
    return Complete(DeviceObject, Irp, RemoveUnit(DeviceObject, Minor), FALSE);
}

static NTSTATUS ChildTargetRelation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS), TAG_TARGET_RELATIONS);
    if (relations == NULL)
        return Complete(DeviceObject, Irp, STATUS_INSUFFICIENT_RESOURCES, TRUE);
    relations->Count = 1;
    relations->Objects[0] = DeviceObject;
    ObReferenceObject(DeviceObject);
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    return Complete(DeviceObject, Irp, STATUS_SUCCESS, TRUE);
}

static NTSTATUS QueryRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    DEVICE_RELATION_TYPE type = Stack->Parameters.QueryDeviceRelations.Type;
    if (IsFdo(DeviceObject)) {
        BOOLEAN complete = TRUE;
        NTSTATUS status = QueryBusRelations(DeviceObject, type, Irp, &complete);
        if (complete)
            return Complete(DeviceObject, Irp, status, TRUE);
        return status;
    }
    if (type == TargetDeviceRelation)
        return ChildTargetRelation(DeviceObject, Irp);
    return Complete(DeviceObject, Irp, Irp->IoStatus.Status, TRUE);
}

static NTSTATUS ChildCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PDEVICE_CAPABILITIES caps = Stack->Parameters.DeviceCapabilities.Capabilities;
    caps->UniqueID = 1;
    caps->RawDeviceOK = 1;
    caps->SurpriseRemovalOK = 1;
    return Complete(DeviceObject, Irp, STATUS_SUCCESS, TRUE);
}

static NTSTATUS ChildQueryId(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    UNICODE_STRING id;
    RtlZeroMemory(&id, sizeof id);
    NTSTATUS status = QueryChildId(DeviceObject, Stack->Parameters.QueryId.IdType, &id);
    if (status == STATUS_NOT_IMPLEMENTED)
        return Complete(DeviceObject, Irp, Irp->IoStatus.Status, TRUE);
    Irp->IoStatus.Information = NT_SUCCESS(status) ? (ULONG_PTR)id.Buffer : 0;
    return Complete(DeviceObject, Irp, status, TRUE);
}

static NTSTATUS UsageNotification(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    switch (Stack->Parameters.UsageNotification.Type) {
    case DeviceUsageTypePaging:
        if (Stack->Parameters.UsageNotification.InPath && ext->PnpState != 0)
            return Complete(DeviceObject, Irp, STATUS_DEVICE_NOT_READY, TRUE);
        /* fall through */
    case DeviceUsageTypeHibernation:
    case DeviceUsageTypeDumpFile:
        return Complete(DeviceObject, Irp, ForwardIrpAndWait(ext, Irp), TRUE);
    default:
        return Complete(DeviceObject, Irp, STATUS_INVALID_PARAMETER, TRUE);
    }
}

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
        return Complete(DeviceObject, Irp, fdo ? ForwardHandled(ext, Irp) : STATUS_SUCCESS, TRUE);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        CancelQuery(ext, minor == IRP_MN_CANCEL_REMOVE_DEVICE ? IRP_MN_QUERY_REMOVE_DEVICE
                                                              : IRP_MN_QUERY_STOP_DEVICE);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return fdo ? PassDown(DeviceObject, Irp)
                   : Complete(DeviceObject, Irp, STATUS_SUCCESS, TRUE);
    case IRP_MN_STOP_DEVICE:
        return StopDevice(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return RemoveDevice(DeviceObject, Irp, minor);
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
                   : Complete(DeviceObject, Irp, Irp->IoStatus.Status, TRUE);
    }
}

static VOID RemoveChild(PDEVICE_OBJECT Child)
{
    PCHILD_EXTENSION cext = (PCHILD_EXTENSION)Child->DeviceExtension;
    PDEVICE_EXTENSION parent = cext->Parent;

    /* On the legacy platform a child removed without a plain open and close
     * of the port since its last removal is not reported again. */
    if (IsLegacyPlatform() && parent->ActivityFlags != (ACTIVITY_OPENED | ACTIVITY_CLOSED))
        parent->SuppressedChild = Child;
    parent->ActivityFlags = 0;
    if (!cext->ParentRemoving) {
        IoInvalidateDeviceRelations(parent->LowerDevice, BusRelations);
        return;
    }
    parent->ChildPdo = NULL;
    if (parent->SuppressedChild == Child)
        parent->SuppressedChild = NULL;
    RtlFreeUnicodeString(&cext->ChildName);
    IoDeleteDevice(Child);
}

static VOID CleanUpUnit(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    UnitTableMarkRemoved(Fdo);
    if (ext->DeviceIdString != NULL) {
        ExFreePool(ext->DeviceIdString);
        ext->DeviceIdString = NULL;
    }
    if (ext->DeviceDescriptor != NULL) {
        ExFreePool(ext->DeviceDescriptor);
        ext->DeviceDescriptor = NULL;
    }
    if (ext->AdapterDescriptor != NULL) {
        ExFreePool(ext->AdapterDescriptor);
        ext->AdapterDescriptor = NULL;
    }
    if (IsLegacyPlatform() && ext->LptNumber != 0) {
        WCHAR linkText[32];
        UNICODE_STRING link;
        swprintf(linkText, L"\\DosDevices\\LPT%d", (int)ext->LptNumber);
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

static VOID DeleteUnit(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    if (ext->ChildPdo != NULL) {
        PCHILD_EXTENSION cext = (PCHILD_EXTENSION)ext->ChildPdo->DeviceExtension;
        cext->ParentRemoving = TRUE;
        DrainRequests(ext->ChildPdo);
        RemoveUnit(ext->ChildPdo, IRP_MN_REMOVE_DEVICE);
    }
    /* A port still open when the device goes (its handles are closed
     * later, or never) must not keep the engine's buffers. */
    if (ext->EngineState & ENGINE_BUFFERS_READY) {
        EngineTeardown(Fdo);
        ext->EngineState = 0;
    }
    UnitTableDropFdo(Fdo);
    IoDetachDevice(ext->LowerDevice);
    IoDeleteDevice(Fdo);
}

/* The caller has drained the device's requests (DrainRequests) before a
 * removal. */
NTSTATUS RemoveUnit(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction)
{
    if (MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE || MinorFunction == IRP_MN_CANCEL_REMOVE_DEVICE)
        return STATUS_SUCCESS;
    if (!IsFdo(DeviceObject)) {
        if (MinorFunction == IRP_MN_REMOVE_DEVICE)
            RemoveChild(DeviceObject);
        return STATUS_SUCCESS;
    }
    CleanUpUnit(DeviceObject);
    if (MinorFunction == IRP_MN_REMOVE_DEVICE)
        DeleteUnit(DeviceObject);
    return STATUS_SUCCESS;
}
