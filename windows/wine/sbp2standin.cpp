/*
 * A stand-in for the IEEE 1394 SBP-2 port driver, as a real kernel image for
 * Wine's ntoskrnl: the function driver of one root-enumerated bus device
 * that reports the two logical units of one printer as PDOs, answers what a
 * printer class driver sends them (claim, storage descriptors, the device-ID
 * leaf, create and close, SRBs with the printer's command set) and keeps what
 * the printer received. A control device lets the test program read that
 * record and make the printer refuse data, fail in transport or leave the
 * bus.
 *
 * Where Wine differs from Windows, the work-around lives here:
 * - IoBuildDeviceIoControlRequest with METHOD_BUFFERED passes the caller's
 *   input buffer as the system buffer and does not copy the answer back to
 *   the caller's output buffer: answers are written there directly.
 * - IoOpenDeviceInterfaceRegistryKey is a stub that ends the process, and
 *   ObReferenceObjectByPointer a stub that takes no reference: the class
 *   driver's imports of them are pointed at routines of the stand-in
 *   (winegaps.cpp).
 * - IoInvalidateDeviceRelations queues the device without a reference, and
 *   the class driver asks for unit 0's bus relations when its child is
 *   removed, which happens as the unit itself goes: a unit PDO deleted at its
 *   removal is kept referenced until the driver unloads, so the enumeration
 *   that runs later finds a deleted device, not freed memory, and the unit
 *   answers it with an error.
 * - The PnP manager asks a device for its bus relations only when told to:
 *   the bus asks for its own after its start, and the test program asks for
 *   unit 0's (where the class driver reports its child) when it is ready.
 */
#include <wdm.h>
#include <ntddstor.h>
#include <srb.h>

#include "../../driver/sbp2req.h"
#include "winegaps.h"
#include "standin.h"

#ifndef STATUS_IO_DEVICE_ERROR
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)
#endif

#define STANDIN_TAG 0x6E695453 /* "STin" */
#define PRINT_DATA_CAPACITY (1024 * 1024)
#define SENSE_REFUSED_BYTE 8
#define INFO_REPLY_BYTES 8
#define IEEE1394_BUS 4
#define SCSI_BUS 1

enum DeviceKind { KIND_CONTROL, KIND_BUS, KIND_UNIT };

typedef struct STANDIN_EXTENSION {
    DeviceKind Kind;
    ULONG Unit;
    BOOLEAN Claimed;
    PDEVICE_OBJECT Lower; /* bus FDO: the root device below it */
} STANDIN_EXTENSION, *PSTANDIN_EXTENSION;

static PDEVICE_OBJECT ControlDevice;
static PDEVICE_OBJECT BusFdo;
static PDEVICE_OBJECT BusPdo;
static PDEVICE_OBJECT UnitPdo[2];
static PDEVICE_OBJECT DeletedUnitPdo[2]; /* deleted, still referenced (see above) */
static BOOLEAN PrinterGone;
static BOOLEAN RefuseData;
static ULONG FailNext;
static ULONG BusType = SCSI_BUS;
static PUCHAR PrintData;
static STANDIN_STATE State;
static FAST_MUTEX StateLock;

static PSTANDIN_EXTENSION Ext(PDEVICE_OBJECT Device)
{
    return (PSTANDIN_EXTENSION)Device->DeviceExtension;
}

static VOID LogRequest(PIRP Irp, NTSTATUS Status)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT device = stack->DeviceObject;
    if (device == NULL || ((PSTANDIN_EXTENSION)device->DeviceExtension)->Kind != KIND_UNIT)
        return;
    unsigned long* entry = State.Log[State.LogCount++ % STANDIN_LOG_ENTRIES];
    entry[0] = ((PSTANDIN_EXTENSION)device->DeviceExtension)->Unit << 16 |
               stack->MajorFunction << 8 | stack->MinorFunction;
    entry[1] = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL
                   ? stack->Parameters.DeviceIoControl.IoControlCode
                   : 0;
    entry[2] = stack->Parameters.DeviceIoControl.InputBufferLength;
    entry[3] = stack->Parameters.DeviceIoControl.OutputBufferLength;
    entry[4] = (unsigned long)Status;
}

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    LogRequest(Irp, Status);
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static SIZE_T TextLength(const char* Text)
{
    SIZE_T n = 0;
    while (Text[n] != 0)
        n++;
    return n;
}

/* ------------------------------------------------------------------------
 * The printer's command set. */

static VOID KeepPrintData(PSCSI_REQUEST_BLOCK Srb)
{
    ULONG room = PRINT_DATA_CAPACITY - State.PrintBytes;
    ULONG n = Srb->DataTransferLength < room ? Srb->DataTransferLength : room;
    if (State.DataSrbs == 0) {
        RtlCopyMemory(State.FirstCdb, Srb->Cdb, sizeof(State.FirstCdb));
    }
    if (n != 0 && Srb->DataBuffer != NULL) {
        RtlCopyMemory(PrintData + State.PrintBytes, Srb->DataBuffer, n);
    }
    State.PrintBytes += n;
    State.DataSrbs++;
}

static NTSTATUS SrbError(PSCSI_REQUEST_BLOCK Srb, UCHAR SrbStatus, UCHAR Refused)
{
    PUCHAR sense = (PUCHAR)Srb->SenseInfoBuffer;
    if (sense != NULL && Srb->SenseInfoBufferLength > SENSE_REFUSED_BYTE) {
        RtlZeroMemory(sense, Srb->SenseInfoBufferLength);
        sense[0] = 0x70;
        sense[SENSE_REFUSED_BYTE] = Refused;
        SrbStatus |= SRB_STATUS_AUTOSENSE_VALID;
    }
    Srb->SrbStatus = SrbStatus;
    return STATUS_IO_DEVICE_ERROR;
}

/* The reply to a data-in command, or NULL for a command this unit lacks. */
static const UCHAR* ReplyFor(ULONG Unit, UCHAR Op, UCHAR Sub, PULONG Length, PUCHAR Scratch)
{
    UCHAR unitCode = Unit == 0 ? 0x00 : 0x20;
    if ((Op == 0xC2 || Op == 0xC3) && Sub == unitCode) {
        for (ULONG i = 0; i < INFO_REPLY_BYTES; i++)
            Scratch[i] = (UCHAR)(i == 0 ? 0xA0 + Unit : i == 1 ? 0xB0 + (Op - 0xC2) : i);
        *Length = INFO_REPLY_BYTES;
        return Scratch;
    }
    if (Unit == 1 && Op == 0xC1 && Sub == 0x20) {
        State.StatusReads++;
        *Length = (ULONG)TextLength(STANDIN_STATUS_REPLY);
        return (const UCHAR*)STANDIN_STATUS_REPLY;
    }
    if (Unit == 1 && Op == 0xC1 && Sub == 0x22) {
        /* The 2-byte big-endian length counts itself. */
        ULONG text = (ULONG)TextLength(STANDIN_DEVICE_ID);
        Scratch[0] = (UCHAR)((text + 2) >> 8);
        Scratch[1] = (UCHAR)(text + 2);
        RtlCopyMemory(Scratch + 2, STANDIN_DEVICE_ID, text);
        State.DeviceIdReads++;
        *Length = text + 2;
        return Scratch;
    }
    return NULL;
}

/* A port driver maps the request's MDL, not the SRB's pointer: the two must
 * describe the same bytes. */
static BOOLEAN BuffersAgree(PIRP Irp, PSCSI_REQUEST_BLOCK Srb)
{
    if (Srb->DataTransferLength == 0)
        return TRUE;
    PMDL mdl = Irp->MdlAddress;
    if (mdl == NULL || Srb->DataBuffer == NULL)
        return FALSE;
    PUCHAR start = (PUCHAR)MmGetMdlVirtualAddress(mdl);
    PUCHAR data = (PUCHAR)Srb->DataBuffer;
    return data >= start && data + Srb->DataTransferLength <= start + MmGetMdlByteCount(mdl);
}

static NTSTATUS ExecuteSrb(ULONG Unit, PIRP Irp, PSCSI_REQUEST_BLOCK Srb, PULONG_PTR Information)
{
    UCHAR op = Srb->Cdb[0];
    UCHAR sub = Srb->Cdb[1];
    *Information = 0;
    State.Unit[Unit].Srbs++;
    if (!BuffersAgree(Irp, Srb))
        State.Unit[Unit].BadSrbs++;
    BOOLEAN dataOut = Unit == 0 && (op == 0x0A || (op == 0xC0 && sub == 0x00));
    if (dataOut && FailNext != 0) {
        FailNext--;
        State.FailedSrbs++;
        Srb->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
        return STATUS_IO_DEVICE_ERROR;
    }
    if (dataOut && RefuseData) {
        State.RefusedSrbs++;
        return SrbError(Srb, SRB_STATUS_ERROR, 1);
    }
    if (dataOut) {
        KeepPrintData(Srb);
        Srb->SrbStatus = SRB_STATUS_SUCCESS;
        *Information = Srb->DataTransferLength;
        return STATUS_SUCCESS;
    }
    if ((Unit == 0 && op == 0xC0 && sub == 0x01) || (Unit == 1 && op == 0xC1 && sub == 0x21)) {
        Srb->SrbStatus = SRB_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
    UCHAR scratch[256];
    ULONG length = 0;
    const UCHAR* reply = ReplyFor(Unit, op, sub, &length, scratch);
    if (reply == NULL) {
        State.Unit[Unit].BadSrbs++;
        Srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
        return STATUS_IO_DEVICE_ERROR;
    }
    ULONG n = length < Srb->DataTransferLength ? length : Srb->DataTransferLength;
    if (n != 0 && Srb->DataBuffer != NULL)
        RtlCopyMemory(Srb->DataBuffer, reply, n);
    Srb->SrbStatus = SRB_STATUS_SUCCESS;
    *Information = n;
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------------
 * The unit PDOs. */

static NTSTATUS UnitScsi(PDEVICE_OBJECT Pdo, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PSCSI_REQUEST_BLOCK srb = stack->Parameters.Scsi.Srb;
    PSTANDIN_EXTENSION ext = Ext(Pdo);
    if (srb == NULL)
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    ExAcquireFastMutex(&StateLock);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    switch (srb->Function) {
    case SRB_FUNCTION_CLAIM_DEVICE:
        State.Unit[ext->Unit].Claims++;
        status = ext->Claimed ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
        ext->Claimed = TRUE;
        break;
    case SRB_FUNCTION_RELEASE_DEVICE:
        State.Unit[ext->Unit].Releases++;
        ext->Claimed = FALSE;
        break;
    case SRB_FUNCTION_EXECUTE_SCSI:
        if (PrinterGone) {
            srb->SrbStatus = SRB_STATUS_NO_DEVICE;
            status = STATUS_DEVICE_DOES_NOT_EXIST;
        } else {
            status = ExecuteSrb(ext->Unit, Irp, srb, &information);
        }
        break;
    default:
        srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    ExReleaseFastMutex(&StateLock);
    return Complete(Irp, status, information);
}

/* A METHOD_BUFFERED request built in the kernel: Windows gives the port
 * driver a system buffer and copies the answer to the caller's output buffer
 * at completion. Wine passes the caller's input buffer as the system buffer
 * and copies nothing back, so the answer goes straight to the output buffer
 * (this stand-in runs on Wine only), and the input is read before. */
static VOID AnswerBuffered(PIRP Irp, const VOID* Answer, ULONG Length)
{
    PVOID out = Irp->UserBuffer != NULL ? Irp->UserBuffer : Irp->AssociatedIrp.SystemBuffer;
    if (Length != 0)
        RtlCopyMemory(out, Answer, Length);
}

static ULONG AdapterDescriptor(PUCHAR Out)
{
    PSTORAGE_ADAPTER_DESCRIPTOR d = (PSTORAGE_ADAPTER_DESCRIPTOR)Out;
    RtlZeroMemory(d, sizeof(*d));
    d->Version = sizeof(*d);
    d->Size = sizeof(*d);
    d->MaximumTransferLength = 0x10000;
    d->MaximumPhysicalPages = 17;
    d->AlignmentMask = 3;
    d->BusType = (UCHAR)BusType;
    d->BusMajorVersion = 1;
    return sizeof(*d);
}

static ULONG AppendText(PUCHAR Out, ULONG At, const char* Text)
{
    SIZE_T n = TextLength(Text) + 1;
    RtlCopyMemory(Out + At, Text, n);
    return At + (ULONG)n;
}

static ULONG DeviceDescriptor(PUCHAR Out)
{
    PSTORAGE_DEVICE_DESCRIPTOR d = (PSTORAGE_DEVICE_DESCRIPTOR)Out;
    RtlZeroMemory(d, sizeof(*d));
    ULONG at = sizeof(*d);
    d->Version = sizeof(*d);
    d->DeviceType = 2; /* printer */
    d->VendorIdOffset = at;
    at = AppendText(Out, at, "ORVEX");
    d->ProductIdOffset = at;
    at = AppendText(Out, at, "ZR_4410X");
    d->ProductRevisionOffset = at;
    at = AppendText(Out, at, "1.00");
    d->BusType = (STORAGE_BUS_TYPE)BusType;
    d->Size = at;
    return at;
}

static NTSTATUS QueryProperty(PDEVICE_OBJECT Pdo, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    ULONG inLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    STORAGE_PROPERTY_QUERY query;
    State.Unit[Ext(Pdo)->Unit].StorageQueries++;
    if (Irp->AssociatedIrp.SystemBuffer == NULL || inLength < sizeof(ULONG) * 2)
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    RtlCopyMemory(&query, Irp->AssociatedIrp.SystemBuffer, sizeof(ULONG) * 2);
    if (query.QueryType != PropertyStandardQuery ||
        (query.PropertyId != StorageAdapterProperty && query.PropertyId != StorageDeviceProperty))
        return Complete(Irp, STATUS_NOT_SUPPORTED, 0);
    if (outLength < sizeof(STORAGE_DESCRIPTOR_HEADER))
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    UCHAR answer[256];
    ULONG length = query.PropertyId == StorageAdapterProperty ? AdapterDescriptor(answer)
                                                              : DeviceDescriptor(answer);
    if (length > outLength)
        length = outLength;
    AnswerBuffered(Irp, answer, length);
    return Complete(Irp, STATUS_SUCCESS, length);
}

/* The configuration ROM's text leaf: 12 bytes of leaf and descriptor
 * headers, then the IEEE 1284 device ID. The caller frees the buffer. */
static NTSTATUS DeviceIdLeaf(PDEVICE_OBJECT Pdo, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PSBP2_REQUEST request = (PSBP2_REQUEST)Stack->Parameters.Others.Argument1;
    State.Unit[Ext(Pdo)->Unit].LeafRequests++;
    if (request == NULL || request->RequestNumber != SBP2_REQUEST_RETRIEVE_TEXT_LEAFS ||
        request->Key != SBP2_DEVICE_ID_LEAF_KEY)
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    ULONG text = (ULONG)TextLength(STANDIN_DEVICE_ID) + 1;
    ULONG size = SBP2_TEXT_LEAF_HEADER_SIZE + text;
    PUCHAR leaf = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, size, STANDIN_TAG);
    if (leaf == NULL)
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlZeroMemory(leaf, SBP2_TEXT_LEAF_HEADER_SIZE);
    ULONG quadlets = (8 + text + 3) / 4;
    leaf[0] = (UCHAR)(quadlets >> 8);
    leaf[1] = (UCHAR)quadlets;
    RtlCopyMemory(leaf + SBP2_TEXT_LEAF_HEADER_SIZE, STANDIN_DEVICE_ID, text);
    request->Buffer = leaf;
    request->Length = size;
    return Complete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS UnitDeviceControl(PDEVICE_OBJECT Pdo, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_STORAGE_QUERY_PROPERTY:
        return QueryProperty(Pdo, Irp, stack);
    case IOCTL_SBP2_REQUEST:
        return DeviceIdLeaf(Pdo, Irp, stack);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS UnitCreateClose(PDEVICE_OBJECT Pdo, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    STANDIN_UNIT_STATE* unit = &State.Unit[Ext(Pdo)->Unit];
    if (stack->MajorFunction == IRP_MJ_CREATE)
        unit->Creates++;
    else
        unit->Closes++;
    return Complete(Irp, PrinterGone ? STATUS_DEVICE_DOES_NOT_EXIST : STATUS_SUCCESS, 0);
}

/* A string or multi-string of ASCII text from paged pool; the PnP manager
 * frees it. Multi gives each '|' as a separator. */
static PWCHAR PoolIdString(const char* Text, BOOLEAN Multi)
{
    SIZE_T n = TextLength(Text);
    PWCHAR w = (PWCHAR)ExAllocatePoolWithTag(PagedPool, (n + 2) * sizeof(WCHAR), STANDIN_TAG);
    if (w == NULL)
        return NULL;
    for (SIZE_T i = 0; i < n; i++)
        w[i] = Multi && Text[i] == '|' ? 0 : (WCHAR)(UCHAR)Text[i];
    w[n] = 0;
    w[n + 1] = 0;
    return w;
}

static NTSTATUS UnitQueryId(PDEVICE_OBJECT Pdo, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    ULONG unit = Ext(Pdo)->Unit;
    PWCHAR id = NULL;
    switch (Stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        id = PoolIdString(unit == 0 ? STANDIN_UNIT_DEVICE_ID("0") : STANDIN_UNIT_DEVICE_ID("1"),
                          FALSE);
        break;
    case BusQueryHardwareIDs:
        id = PoolIdString(
            unit == 0 ? STANDIN_UNIT_HARDWARE_IDS("0") : STANDIN_UNIT_HARDWARE_IDS("1"), TRUE);
        break;
    case BusQueryCompatibleIDs:
        /* Wine's PnP manager installs nothing on a device without this. */
        id = PoolIdString("SBP2\\CmdSetId104d8|", TRUE);
        break;
    case BusQueryInstanceID:
        id = PoolIdString(unit == 0 ? STANDIN_PRINTER_KEY "&0" : STANDIN_PRINTER_KEY "&1", FALSE);
        break;
    default:
        return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
    if (id == NULL)
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    return Complete(Irp, STATUS_SUCCESS, (ULONG_PTR)id);
}

static VOID DeleteUnit(ULONG Unit);

static NTSTATUS UnitPnp(PDEVICE_OBJECT Pdo, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PSTANDIN_EXTENSION ext = Ext(Pdo);
    STANDIN_UNIT_STATE* unit = &State.Unit[ext->Unit];
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        unit->Starts++;
        unit->Attached = Pdo->AttachedDevice != NULL;
        if (unit->Attached && !State.ReferenceRoutine)
            State.ReferenceRoutine = ProvideReferenceRoutine(Pdo->AttachedDevice->DriverObject);
        if (BusType == IEEE1394_BUS && unit->Attached && !State.InterfaceKeyRoutine)
            State.InterfaceKeyRoutine =
                ProvideInterfaceKeyRoutine(Pdo->AttachedDevice->DriverObject);
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_SURPRISE_REMOVAL:
        unit->Surprises++;
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return Complete(Irp, STATUS_SUCCESS, Irp->IoStatus.Information);
    case IRP_MN_REMOVE_DEVICE:
        unit->Removes++;
        unit->Attached = Pdo->AttachedDevice != NULL;
        Complete(Irp, STATUS_SUCCESS, 0);
        if (PrinterGone)
            DeleteUnit(ext->Unit); /* off the bus: the PDO goes with its removal */
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->UniqueID = 1;
        caps->Address = ext->Unit;
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_QUERY_ID:
        return UnitQueryId(Pdo, Irp, stack);
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            PWCHAR text = PoolIdString("ORVEX ZR_4410X", FALSE);
            return Complete(Irp, text ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES,
                            (ULONG_PTR)text);
        }
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS r = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
                PagedPool, sizeof(DEVICE_RELATIONS), STANDIN_TAG);
            if (r == NULL)
                return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            r->Count = 1;
            r->Objects[0] = Pdo;
            ObReferenceObject(Pdo);
            return Complete(Irp, STATUS_SUCCESS, (ULONG_PTR)r);
        }
        if (UnitPdo[ext->Unit] != Pdo) /* deleted: see the note at the top */
            return Complete(Irp, STATUS_NO_SUCH_DEVICE, 0);
        break; /* a unit has no children of its own: keep what is there */
    default:
        break;
    }
    return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
}

/* The unit's PDO is deleted, its memory kept until the driver unloads. */
static VOID DeleteUnit(ULONG Unit)
{
    PDEVICE_OBJECT pdo = UnitPdo[Unit];
    UnitPdo[Unit] = NULL;
    State.Unit[Unit].Present = 0;
    if (DeletedUnitPdo[Unit] != NULL)
        ObDereferenceObject(DeletedUnitPdo[Unit]);
    ObReferenceObject(pdo);
    DeletedUnitPdo[Unit] = pdo;
    IoDeleteDevice(pdo);
}

static NTSTATUS CreateUnit(ULONG Unit)
{
    /* The class driver reads the unit from the digit after the next-to-last
     * '&' and the printer from what follows the last one. */
    static const WCHAR* const names[2] = {STANDIN_UNIT_NAME(L"0"), STANDIN_UNIT_NAME(L"1")};
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, names[Unit]);
    PDEVICE_OBJECT pdo;
    NTSTATUS status = IoCreateDevice(BusFdo->DriverObject, sizeof(STANDIN_EXTENSION), &name,
                                     FILE_DEVICE_MASS_STORAGE, 0, FALSE, &pdo);
    if (!NT_SUCCESS(status))
        return status;
    PSTANDIN_EXTENSION ext = Ext(pdo);
    RtlZeroMemory(ext, sizeof(*ext));
    ext->Kind = KIND_UNIT;
    ext->Unit = Unit;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    UnitPdo[Unit] = pdo;
    State.Unit[Unit].Present = 1;
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------------
 * The bus: function driver of the root-enumerated device. */

static NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS ForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Lower, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

static NTSTATUS PassDown(PDEVICE_OBJECT Lower, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Lower, Irp);
}

static NTSTATUS ReportUnits(PDEVICE_OBJECT Fdo, PIRP Irp)
{
    ULONG count = 0;
    PDEVICE_RELATIONS r = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS) + sizeof(PDEVICE_OBJECT), STANDIN_TAG);
    if (r == NULL)
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    for (ULONG unit = 0; unit < 2; unit++) {
        if (UnitPdo[unit] != NULL && !PrinterGone) {
            ObReferenceObject(UnitPdo[unit]);
            r->Objects[count++] = UnitPdo[unit];
        }
    }
    r->Count = count;
    State.RelationsQueries++;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = (ULONG_PTR)r;
    return PassDown(Ext(Fdo)->Lower, Irp);
}

static NTSTATUS BusPnp(PDEVICE_OBJECT Fdo, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT lower = Ext(Fdo)->Lower;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(lower, Irp);
        if (NT_SUCCESS(status)) {
            for (ULONG unit = 0; unit < 2 && NT_SUCCESS(status); unit++)
                if (UnitPdo[unit] == NULL)
                    status = CreateUnit(unit);
            State.BusStarted = 1;
            IoInvalidateDeviceRelations(BusPdo, BusRelations);
        }
        return Complete(Irp, status, 0);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations)
            return ReportUnits(Fdo, Irp);
        return PassDown(lower, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(lower, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(lower, Irp);
        for (ULONG unit = 0; unit < 2; unit++) {
            if (UnitPdo[unit] != NULL)
                DeleteUnit(unit);
        }
        IoDetachDevice(lower);
        IoDeleteDevice(Fdo);
        BusFdo = NULL;
        BusPdo = NULL;
        return status;
    }
    default:
        return PassDown(lower, Irp);
    }
}

static NTSTATUS NTAPI AddBus(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo)
{
    if (BusFdo != NULL)
        return STATUS_DEVICE_BUSY; /* one printer bus */
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(STANDIN_EXTENSION), NULL,
                                     FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    PSTANDIN_EXTENSION ext = Ext(fdo);
    RtlZeroMemory(ext, sizeof(*ext));
    ext->Kind = KIND_BUS;
    ext->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (ext->Lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_DEVICE_BUSY;
    }
    BusFdo = fdo;
    BusPdo = Pdo;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------------
 * The control device of the test program. */

static NTSTATUS ControlRequest(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR information = 0;
    NTSTATUS status = STATUS_SUCCESS;
    ExAcquireFastMutex(&StateLock);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_STANDIN_GET_STATE:
        if (outLength < sizeof(State)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        State.Size = sizeof(State);
        State.ReferencesTaken = (unsigned long)ReferencesGiven;
        RtlCopyMemory(buffer, &State, sizeof(State));
        information = sizeof(State);
        break;
    case IOCTL_STANDIN_GET_DATA:
        information = State.PrintBytes < outLength ? State.PrintBytes : outLength;
        if (information != 0)
            RtlCopyMemory(buffer, PrintData, information);
        break;
    case IOCTL_STANDIN_CLEAR_DATA:
        State.PrintBytes = 0;
        State.DataSrbs = 0;
        State.RefusedSrbs = 0;
        State.FailedSrbs = 0;
        break;
    case IOCTL_STANDIN_REFUSE:
    case IOCTL_STANDIN_FAIL_NEXT:
        if (inLength < sizeof(ULONG)) {
            status = STATUS_INVALID_PARAMETER;
        } else if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_STANDIN_REFUSE) {
            RefuseData = *(PULONG)buffer != 0;
        } else {
            FailNext = *(PULONG)buffer;
        }
        break;
    case IOCTL_STANDIN_UNPLUG:
        PrinterGone = TRUE;
        if (BusPdo != NULL)
            IoInvalidateDeviceRelations(BusPdo, BusRelations);
        break;
    case IOCTL_STANDIN_ENUM_UNIT0:
        if (UnitPdo[0] != NULL)
            IoInvalidateDeviceRelations(UnitPdo[0], BusRelations);
        else
            status = STATUS_NO_SUCH_DEVICE;
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    ExReleaseFastMutex(&StateLock);
    return Complete(Irp, status, information);
}

/* ------------------------------------------------------------------------
 * Dispatch by the kind of device. */

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT Device, PIRP Irp)
{
    if (Ext(Device)->Kind == KIND_UNIT)
        return UnitCreateClose(Device, Irp);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT Device, PIRP Irp)
{
    switch (Ext(Device)->Kind) {
    case KIND_CONTROL:
        return ControlRequest(Irp);
    case KIND_UNIT:
        return UnitDeviceControl(Device, Irp);
    default:
        return PassDown(Ext(Device)->Lower, Irp);
    }
}

static NTSTATUS NTAPI DispatchScsi(PDEVICE_OBJECT Device, PIRP Irp)
{
    if (Ext(Device)->Kind == KIND_UNIT)
        return UnitScsi(Device, Irp);
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT Device, PIRP Irp)
{
    switch (Ext(Device)->Kind) {
    case KIND_UNIT:
        return UnitPnp(Device, Irp);
    case KIND_BUS:
        return BusPnp(Device, Irp);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT Device, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    if (Ext(Device)->Kind == KIND_BUS) {
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(Ext(Device)->Lower, Irp);
    }
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS status = minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER
                          ? STATUS_SUCCESS
                          : Irp->IoStatus.Status;
    return Complete(Irp, status, Irp->IoStatus.Information);
}

static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT Device, PIRP Irp)
{
    if (Ext(Device)->Kind == KIND_BUS)
        return PassDown(Ext(Device)->Lower, Irp);
    return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
}

static VOID NTAPI Unload(PDRIVER_OBJECT Driver)
{
    UNREFERENCED_PARAMETER(Driver);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, STANDIN_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    if (ControlDevice != NULL)
        IoDeleteDevice(ControlDevice);
    for (ULONG unit = 0; unit < 2; unit++)
        if (DeletedUnitPdo[unit] != NULL)
            ObDereferenceObject(DeletedUnitPdo[unit]);
    if (PrintData != NULL)
        ExFreePool(PrintData);
}

/* "Ieee1394" under the service key: the adapter reports bus type 4 instead
 * of SCSI. */
static VOID ReadConfiguration(PUNICODE_STRING RegistryPath)
{
    ULONG is1394 = 0, none = 0;
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = (PWSTR)L"Ieee1394";
    table[0].EntryContext = &is1394;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &none;
    table[0].DefaultLength = sizeof(ULONG);
    RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, RegistryPath->Buffer,
                           table, NULL, NULL);
    BusType = is1394 ? IEEE1394_BUS : SCSI_BUS;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath)
{
    ExInitializeFastMutex(&StateLock);
    ReadConfiguration(RegistryPath);
    if (!KeepTickCountMoving())
        return STATUS_UNSUCCESSFUL;
    PrintData = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, PRINT_DATA_CAPACITY, STANDIN_TAG);
    if (PrintData == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, STANDIN_DEVICE_NAME);
    RtlInitUnicodeString(&link, STANDIN_LINK_NAME);
    NTSTATUS status = IoCreateDevice(Driver, sizeof(STANDIN_EXTENSION), &name, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &ControlDevice);
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(ControlDevice->DeviceExtension, sizeof(STANDIN_EXTENSION));
        Ext(ControlDevice)->Kind = KIND_CONTROL;
        status = IoCreateSymbolicLink(&link, &name);
    }
    if (!NT_SUCCESS(status)) {
        if (ControlDevice != NULL)
            IoDeleteDevice(ControlDevice);
        ExFreePool(PrintData);
        return status;
    }
    ControlDevice->Flags |= DO_BUFFERED_IO;
    ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        Driver->MajorFunction[i] = DispatchOther;
    Driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    Driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    Driver->MajorFunction[IRP_MJ_SCSI] = DispatchScsi;
    Driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    Driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    Driver->DriverExtension->AddDevice = AddBus;
    Driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
