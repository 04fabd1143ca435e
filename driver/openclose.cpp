// Opening and closing the printer port. The port is one device to its users
// but two SBP-2 units to the bus: the first open creates unit 0, then unit 1;
// the last close flushes buffered print data and closes unit 1, then unit 0.
// The printer needs more than a millisecond between these steps.
#include "engine.h"

#define UNIT_STEP_SPACING_MS 1
// A printer that keeps refusing the last close's data is asked again every
// 100 ms for the same 60 s a refused write gets; then the data are dropped.
#define CLOSE_FLUSH_PAUSE_MS 100

VOID WaitSinceStamp(LARGE_INTEGER Stamp, ULONG Milliseconds)
{
    if (Stamp.QuadPart == 0)
        return;
    while (!TimeElapsed(Stamp, Milliseconds)) {
        LARGE_INTEGER interval;
        interval.QuadPart = -(LONGLONG)Milliseconds * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

static PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

// The create or close itself, sent to Unit (the device below a unit's FDO)
// and waited for.
static BOOLEAN SendToTarget(PDEVICE_OBJECT Unit, UCHAR MajorFunction, LARGE_INTEGER Stamp,
                            NTSTATUS* Result)
{
    // One location of our own and the unit's stack, which may be deeper
    // than unit 0's.
    PIRP irp = IoAllocateIrp((CCHAR)(Unit->StackSize + 1), FALSE);
    if (irp == NULL)
        return FALSE;
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = MajorFunction;
    IoGetNextIrpStackLocation(irp)->MajorFunction = MajorFunction;

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);

    WaitSinceStamp(Stamp, UNIT_STEP_SPACING_MS);
    IoCallDriver(Unit, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    *Result = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return TRUE;
}

// Sends IRP_MJ_CREATE or IRP_MJ_CLOSE to one unit of the printer, more than
// a millisecond after Stamp. FALSE when the unit is gone or no request
// packet could be had; otherwise *Result holds the unit's answer.
static BOOLEAN SendToUnit(PDEVICE_OBJECT Fdo, ULONG Slot, UCHAR MajorFunction, LARGE_INTEGER Stamp,
                          NTSTATUS* Result)
{
    // Counted on the unit's own FDO while it is sent (the unit's removal
    // waits for it); a unit whose removal has begun is treated like a packet
    // that could not be had.
    PDEVICE_OBJECT counted;
    PDEVICE_OBJECT target = UnitTableReferenceTarget(Fdo, Slot, &counted);
    if (target == NULL)
        return FALSE;
    BOOLEAN sent = SendToTarget(target, MajorFunction, Stamp, Result);
    if (counted != NULL)
        IoCountRelease(counted);
    return sent;
}

BOOLEAN PortIsOpen(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = ExtensionOf(Fdo);
    return (ext->Flags & FLAG_STARTED) && !ext->DeviceError && UnitTableBothUnitsPresent(Fdo) &&
           ext->Unit0Open && ext->Unit1Open;
}

// Both units must be in the table, finished starting, and reachable.
static BOOLEAN BothUnitsUsable(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT Fdo)
{
    PDEVICE_OBJECT unit1Fdo = UnitTableReferenceUnit1Fdo(DeviceObject);
    if (unit1Fdo == NULL)
        return FALSE;
    BOOLEAN started = ExtensionOf(unit1Fdo)->StartComplete != 0;
    IoCountRelease(unit1Fdo);
    return started && ExtensionOf(Fdo)->StartComplete && UnitTableGetUnit0Pdo(Fdo) != NULL &&
           UnitTableGetUnit1Pdo(Fdo) != NULL;
}

static VOID ResetConnection(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = ExtensionOf(Fdo);
    if (ext->EngineState & ENGINE_BUFFERS_READY)
        EngineTeardown(Fdo);
    ext->Unit0Open = 0;
    ext->Unit1Open = 0;
    ext->EngineState = 0;
    ext->WriteCount = 0;
    ext->DeviceError = 0;
    ext->ActivityFlags = ACTIVITY_OPENED;
}

// Unit 1 could not be reached once unit 0 was open. The open fails, and no
// close will come for it (the I/O manager sends none for a failed create),
// so unit 0 is closed again here and the port left closed, as when unit 0
// refuses: kept half open and counted, the port would take every later open
// as a second one and refuse their data until the printer went away.
static VOID AbandonOpen(PDEVICE_OBJECT Fdo, LARGE_INTEGER Unit0Opened)
{
    PDEVICE_EXTENSION ext = ExtensionOf(Fdo);
    NTSTATUS ignored;
    if (SendToUnit(Fdo, 0, IRP_MJ_CLOSE, Unit0Opened, &ignored))
        ext->Unit0Open = 0;
    ext->OpenCount = 0;
    ext->LastCloseTime = IntervalTime();
}

// Unit 1 is between a stop and its next start: it is not sent anything.
static BOOLEAN UnitOneStopped(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_OBJECT unit1Fdo = UnitTableReferenceUnit1Fdo(DeviceObject);
    if (unit1Fdo == NULL)
        return FALSE;
    BOOLEAN stopped = (ExtensionOf(unit1Fdo)->Flags & FLAG_STOPPED) != 0;
    IoCountRelease(unit1Fdo);
    return stopped;
}

// Called with OpenMutex and the engine lock held. A first open needs both
// units running: it is refused before unit 0 is created while unit 1 is
// stopped.
static NTSTATUS OpenUnits(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = ExtensionOf(Fdo);
    if (!BothUnitsUsable(DeviceObject, Fdo) || !(ext->Flags & FLAG_STARTED) ||
        UnitOneStopped(DeviceObject))
        return STATUS_DELETE_PENDING;
    // The transport failed: this open starts a new connection even while
    // other handles are open. Those handles stay counted, so that the new
    // connection closes with the last handle and not with the first of the
    // old ones to go.
    BOOLEAN restart = ext->DeviceError != 0;
    ext->DeviceError = 0;
    if (ext->OpenCount != 0 && !restart) {
        if (IsLegacyPlatform())
            return STATUS_DEVICE_BUSY;
        ext->OpenCount++;
        return STATUS_SUCCESS;
    }
    ULONG handles = ext->OpenCount;
    ext->OpenCount = 0;
    ResetConnection(Fdo);

    NTSTATUS result;
    if (!SendToUnit(Fdo, 0, IRP_MJ_CREATE, ext->LastCloseTime, &result))
        return STATUS_DELETE_PENDING;
    if (result != STATUS_SUCCESS)
        return result;
    LARGE_INTEGER unit0Opened = IntervalTime();
    ext->Unit0Open = 1;
    ext->OpenCount = handles + 1;
    if (!SendToUnit(Fdo, 1, IRP_MJ_CREATE, unit0Opened, &result)) {
        AbandonOpen(Fdo, unit0Opened);
        return STATUS_DELETE_PENDING;
    }
    // Unit 1 carries only status; its refusal does not keep the port shut.
    ext->Unit1Open = 1;
    ext->LastOpenTime = IntervalTime();
    return STATUS_SUCCESS;
}

// Sends what the engine still holds. A printer that refuses it is asked
// again for the refusal window; after that, or once the transport has
// failed (DeviceError), the data are dropped.
static VOID FlushForClose(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = ExtensionOf(Fdo);
    if (ext->FlushFailed)
        return;
    BOOLEAN refused = FALSE;
    LARGE_INTEGER firstRefusal;
    firstRefusal.QuadPart = 0;
    while (ext->PrintFill != 0 && !ext->DeviceError) {
        // A printer that takes part goes on at once; one that takes none
        // is refusing.
        ULONG before = ext->PrintFill;
        if (FlushDataBuffer(CMD_FLUSH, Fdo) == STATUS_SUCCESS && ext->PrintFill < before)
            continue;
        if (!refused) {
            refused = TRUE;
            firstRefusal = IntervalTime();
        } else if (TimeElapsed(firstRefusal, ENGINE_REFUSAL_WINDOW_MS)) {
            return;
        }
        LARGE_INTEGER pause;
        pause.QuadPart = -(LONGLONG)CLOSE_FLUSH_PAUSE_MS * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}

// Called with CloseMutex and the engine lock held. A close cannot be
// refused: with unit 1 gone or going (its removal may begin while this
// close is on its way) the handle is still counted out, and the last one
// still closes unit 0 on the bus; only the buffered data are not sent.
static NTSTATUS CloseUnits(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = ExtensionOf(Fdo);
    BOOLEAN usable = BothUnitsUsable(DeviceObject, Fdo);
    NTSTATUS answer = usable ? STATUS_SUCCESS : STATUS_DELETE_PENDING;
    if (ext->OpenCount == 0) {
        // A handle of a connection whose reopening failed: nothing is open
        // and counting it down would wrap the count and pass the next first
        // open off as a second one.
        return answer;
    }
    if (ext->OpenCount != 1) {
        ext->OpenCount--;
        return answer;
    }
    if (ext->EngineState & ENGINE_BUFFERS_READY) {
        // A stopped unit 0 takes no data: its flush would only be refused
        // for the whole refusal window.
        if (usable && !(ext->Flags & FLAG_STOPPED))
            FlushForClose(Fdo);
        EngineTeardown(Fdo);
        ext->EngineState = 0;
    }
    ext->ActivityFlags |= ACTIVITY_CLOSED;

    // A close cannot be refused: when unit 1 cannot be sent its close (no
    // packet), the port still ends closed and unit 0 is closed on the bus;
    // the close reports it as before.
    NTSTATUS status = STATUS_DELETE_PENDING;
    BOOLEAN unit1Reached = TRUE;
    if (ext->Unit1Open) {
        ext->Unit1Open = 0;
        if (!ext->DeviceError)
            unit1Reached = SendToUnit(Fdo, 1, IRP_MJ_CLOSE, ext->LastOpenTime, &status);
    }
    ext->OpenCount = 0;
    LARGE_INTEGER unit1Closed = IntervalTime();
    if (ext->Unit0Open) {
        ext->Unit0Open = 0;
        if (ext->DeviceError)
            return status;
        NTSTATUS ignored;
        if (!SendToUnit(Fdo, 0, IRP_MJ_CLOSE, unit1Closed, &ignored))
            return STATUS_DELETE_PENDING;
        status = unit1Reached && usable ? STATUS_SUCCESS : STATUS_DELETE_PENDING;
    } else {
        status = STATUS_DELETE_PENDING;
    }
    ext->LastCloseTime = IntervalTime();
    return status;
}

// The open and the close alike, on the printer's unit-0 FDO (counted in by
// the caller): run the step under its own mutex and the engine lock,
// complete the request.
static NTSTATUS RunPortStep(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT Fdo, PIRP Irp, BOOLEAN Open)
{
    NTSTATUS status = STATUS_DELETE_PENDING;
    // An open needs both units; a close is counted whatever is left.
    if (!Open || UnitTableBothUnitsPresent(Fdo)) {
        PDEVICE_EXTENSION ext = ExtensionOf(Fdo);
        PFAST_MUTEX mutex = Open ? &ext->OpenMutex : &ext->CloseMutex;
        ExAcquireFastMutex(mutex);
        EngineAcquire(Fdo);
        status = Open ? OpenUnits(DeviceObject, Fdo) : CloseUnits(DeviceObject, Fdo);
        EngineRelease(Fdo);
        ExReleaseFastMutex(mutex);
    }
    return CompleteRequest(Irp, status, 0, NULL);
}

NTSTATUS OpenPort(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT Fdo, PIRP Irp)
{
    return RunPortStep(DeviceObject, Fdo, Irp, TRUE);
}

NTSTATUS ClosePort(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT Fdo, PIRP Irp)
{
    return RunPortStep(DeviceObject, Fdo, Irp, FALSE);
}

// The access an open granted, for the requests on its handle. The I/O
// manager has checked it against the device's security; the legacy
// platform checks nothing and its handles may do everything.
void RecordHandleAccess(PIO_STACK_LOCATION Stack)
{
    PFILE_OBJECT file = Stack->FileObject;
    PIO_SECURITY_CONTEXT security = Stack->Parameters.Create.SecurityContext;
    if (file == NULL || IsLegacyPlatform() || security == NULL || security->AccessState == NULL)
        return;
    ACCESS_MASK granted = security->AccessState->PreviouslyGrantedAccess;
    file->FsContext2 = (PVOID)(ULONG_PTR)(granted | HANDLE_ACCESS_KNOWN);
}

BOOLEAN HandleMayWrite(PIRP Irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (Irp->RequestorMode == KernelMode || file == NULL)
        return TRUE;
    ULONG_PTR access = (ULONG_PTR)file->FsContext2;
    return !(access & HANDLE_ACCESS_KNOWN) || (access & FILE_WRITE_DATA) != 0;
}

NTSTATUS NTAPI CreateCloseDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        // The port has nothing below it: "\Device\Printer0\x" names nothing.
        if (stack->FileObject != NULL && stack->FileObject->FileName.Length != 0)
            return CompleteRequest(Irp, STATUS_OBJECT_NAME_NOT_FOUND, 0, NULL);
        RecordHandleAccess(stack);
    }
    PDEVICE_OBJECT fdo = UnitTableReferenceUnit0Fdo(DeviceObject);
    if (fdo == NULL)
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0, NULL);
    PDEVICE_EXTENSION ext = ExtensionOf(fdo);
    ExAcquireFastMutex(&ext->OpenCloseMutex);
    NTSTATUS status = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE
                          ? OpenPort(DeviceObject, fdo, Irp)
                          : ClosePort(DeviceObject, fdo, Irp);
    ExReleaseFastMutex(&ext->OpenCloseMutex);
    IoCountRelease(fdo);
    return status;
}
