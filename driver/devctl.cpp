// Device control of the printer port: the private control codes that give
// the printer driver's user-mode components a second way into the engine,
// the parallel-port device-ID request, the serial time-out pair, SCSI
// pass-through to unit 0, and internal device control carrying SRBs.

#include <ntddk.h>
#include <ntddpar.h>
#include <ntddscsi.h>
#include <ntddser.h>
#include "prnsbp.h"

// SCSI_PASS_THROUGH as the 32-bit platform lays it out; the driver exists
// for that platform only, so the host's own sizeof must not decide.
#define PASS_THROUGH_MIN_INPUT 44
// The serial time-outs are five ULONGs on every platform.
#define SERIAL_TIMEOUTS_SIZE 20
// A write time-out below two seconds would report the printer off line
// before it had a chance to take a page.
#define MIN_WRITE_TIMEOUT_MS 2000
// The IEEE 1284 device ID starts with its own 16-bit big-endian length.
#define DEVICE_ID_LENGTH_FIELD 2

// Every handler below answers one control code on the printer's unit-0 FDO;
// Command is the printer command of its table entry (0 where it has none).
// A handler leaves the answer's length in Information.

// The data of the two write codes is the caller's input; the output length
// gives the count. Never send more than the caller actually handed in.
static NTSTATUS HandleWrite(PDEVICE_OBJECT Fdo, USHORT Command, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    ULONG length = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (length > Stack->Parameters.DeviceIoControl.InputBufferLength)
        length = Stack->Parameters.DeviceIoControl.InputBufferLength;
    NTSTATUS status = SendPrinterCommand(Command, Fdo, Irp->AssociatedIrp.SystemBuffer, &length);
    Irp->IoStatus.Information = status == STATUS_SUCCESS ? length : 0;
    return status;
}

static NTSTATUS HandleReply(PDEVICE_OBJECT Fdo, USHORT Command, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    ULONG length = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    Irp->IoStatus.Information = 0;
    NTSTATUS status = SendPrinterCommand(Command, Fdo, Irp->AssociatedIrp.SystemBuffer, &length);
    if (status == STATUS_SUCCESS) {
        Irp->IoStatus.Information = length;
        return STATUS_SUCCESS;
    }
    // An INFO reply is always 8 bytes: a smaller buffer is the caller's
    // mistake and says so instead of pretending an empty answer.
    if (status == STATUS_BUFFER_TOO_SMALL && Command != CMD_STATUS_READ)
        return STATUS_BUFFER_TOO_SMALL;
    return STATUS_SUCCESS;
}

static NTSTATUS HandleDeviceId(PDEVICE_OBJECT Fdo, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    ULONG capacity = buffer != NULL ? Stack->Parameters.DeviceIoControl.OutputBufferLength : 0;
    ULONG length = capacity;
    Irp->IoStatus.Information = 0;
    NTSTATUS status = SendPrinterCommand(CMD_DEVICE_ID, Fdo, buffer, &length);
    if (status != STATUS_SUCCESS)
        return STATUS_BUFFER_TOO_SMALL;
    // The engine bounds the length field by the bytes received; the zero we
    // append must still fit in the caller's buffer. Without a buffer the
    // capacity is 0 and nothing below touches it.
    if (buffer != NULL && length > DEVICE_ID_LENGTH_FIELD && ext->StripIdLength) {
        length -= DEVICE_ID_LENGTH_FIELD;
        RtlMoveMemory(buffer, buffer + DEVICE_ID_LENGTH_FIELD, length);
    }
    if (length == 0)
        return STATUS_SUCCESS;
    if (length >= capacity)
        return STATUS_BUFFER_TOO_SMALL;
    buffer[length] = 0;
    Irp->IoStatus.Information = length + 1;
    return STATUS_SUCCESS;
}

static NTSTATUS HandleDeviceIdCode(PDEVICE_OBJECT Fdo, USHORT Command, PIRP Irp,
                                   PIO_STACK_LOCATION Stack)
{
    UNREFERENCED_PARAMETER(Command);
    return HandleDeviceId(Fdo, Irp, Stack);
}

// A command without data; its status is the answer.
static NTSTATUS HandleCommand(PDEVICE_OBJECT Fdo, USHORT Command, PIRP Irp,
                              PIO_STACK_LOCATION Stack)
{
    UNREFERENCED_PARAMETER(Stack);
    Irp->IoStatus.Information = 0;
    return SendPrinterCommand(Command, Fdo, NULL, NULL);
}

// Clearing the status is best effort: the caller always hears success.
static NTSTATUS HandleStatusClear(PDEVICE_OBJECT Fdo, USHORT Command, PIRP Irp,
                                  PIO_STACK_LOCATION Stack)
{
    HandleCommand(Fdo, Command, Irp, Stack);
    return STATUS_SUCCESS;
}

static NTSTATUS HandleClear(PDEVICE_OBJECT Fdo, USHORT Command, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    UNREFERENCED_PARAMETER(Command);
    UNREFERENCED_PARAMETER(Stack);
    Irp->IoStatus.Information = 0;
    NTSTATUS status = SendPrinterCommand(CMD_DATA_CLEAR, Fdo, NULL, NULL);
    if (status != STATUS_SUCCESS)
        status = SendPrinterCommand(CMD_STATUS_CLEAR, Fdo, NULL, NULL);
    return status;
}

static NTSTATUS HandleFlush(PDEVICE_OBJECT Fdo, USHORT Command, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    UNREFERENCED_PARAMETER(Stack);
    Irp->IoStatus.Information = 0;
    return FlushDataBuffer(Command, Fdo);
}

static NTSTATUS HandleDiscard(PDEVICE_OBJECT Fdo, USHORT Command, PIRP Irp,
                              PIO_STACK_LOCATION Stack)
{
    UNREFERENCED_PARAMETER(Command);
    UNREFERENCED_PARAMETER(Stack);
    Irp->IoStatus.Information = 0;
    EngineDiscardData(Fdo);
    return STATUS_SUCCESS;
}

static NTSTATUS HandleSetTimeouts(PDEVICE_OBJECT Fdo, USHORT Command, PIRP Irp,
                                  PIO_STACK_LOCATION Stack)
{
    UNREFERENCED_PARAMETER(Command);
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    PSERIAL_TIMEOUTS timeouts = (PSERIAL_TIMEOUTS)Irp->AssociatedIrp.SystemBuffer;
    Irp->IoStatus.Information = 0;
    if (timeouts == NULL)
        return STATUS_INVALID_PARAMETER;
    if (Stack->Parameters.DeviceIoControl.InputBufferLength < SERIAL_TIMEOUTS_SIZE)
        return STATUS_BUFFER_TOO_SMALL;
    if (timeouts->WriteTotalTimeoutConstant < MIN_WRITE_TIMEOUT_MS)
        return STATUS_INVALID_PARAMETER;
    ext->TimeoutSeconds = timeouts->WriteTotalTimeoutConstant / 1000;
    return STATUS_SUCCESS;
}

static NTSTATUS HandleGetTimeouts(PDEVICE_OBJECT Fdo, USHORT Command, PIRP Irp,
                                  PIO_STACK_LOCATION Stack)
{
    UNREFERENCED_PARAMETER(Command);
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    PSERIAL_TIMEOUTS timeouts = (PSERIAL_TIMEOUTS)Irp->AssociatedIrp.SystemBuffer;
    Irp->IoStatus.Information = 0;
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength < SERIAL_TIMEOUTS_SIZE)
        return STATUS_BUFFER_TOO_SMALL;
    if (timeouts == NULL)
        return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(timeouts, SERIAL_TIMEOUTS_SIZE);
    // "TIME_OUT" may hold more seconds than 32 bits of milliseconds can.
    timeouts->WriteTotalTimeoutConstant =
        ext->TimeoutSeconds > MAXULONG / 1000 ? MAXULONG : ext->TimeoutSeconds * 1000;
    Irp->IoStatus.Information = SERIAL_TIMEOUTS_SIZE;
    return STATUS_SUCCESS;
}

// A pass-through request goes down only with a whole request block in it.
static NTSTATUS CheckPassThrough(PDEVICE_OBJECT Fdo, USHORT Command, PIRP Irp,
                                 PIO_STACK_LOCATION Stack)
{
    UNREFERENCED_PARAMETER(Fdo);
    UNREFERENCED_PARAMETER(Command);
    UNREFERENCED_PARAMETER(Irp);
    return Stack->Parameters.DeviceIoControl.InputBufferLength >= PASS_THROUGH_MIN_INPUT
               ? STATUS_SUCCESS
               : STATUS_INVALID_PARAMETER;
}

// The port driver's device-ID request carries a pointer to a kernel request
// block in the stack location. Only this driver may send it, straight to its
// lower device; coming from a caller of the port, the port driver would take
// the caller's buffer lengths for that pointer and write through them.
static NTSTATUS RefusePortDriverRequest(PDEVICE_OBJECT Fdo, USHORT Command, PIRP Irp,
                                        PIO_STACK_LOCATION Stack)
{
    UNREFERENCED_PARAMETER(Fdo);
    UNREFERENCED_PARAMETER(Command);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Stack);
    return STATUS_INVALID_DEVICE_REQUEST;
}

typedef NTSTATUS (*CONTROL_HANDLER)(PDEVICE_OBJECT Fdo, USHORT Command, PIRP Irp,
                                    PIO_STACK_LOCATION Stack);

// How a code in the table is carried out. Codes not in the table go down to
// unit 0's device unchanged.
#define CONTROL_ENGINE 0x1 // answered here under the engine lock, then completed
#define CONTROL_SCSI_CLASS                                                                         \
    0x2                     // sent down as a SCSI class request once its handler accepts it;
                            // otherwise completed with the handler's status
#define CONTROL_REFUSED 0x4 // completed with its handler's status, never sent down
// Sends print data, drops what is buffered or queued, or changes the
// printer's or the port's state: only on a handle that may write (the codes
// are FILE_ANY_ACCESS, so the I/O manager does not check it).
#define CONTROL_CHANGES 0x8
// Passed down for a program too: the port driver answers it for anyone.
#define CONTROL_FOR_ANYONE 0x10

typedef struct _CONTROL_ENTRY {
    ULONG Code;
    CONTROL_HANDLER Handler;
    USHORT Command;
    UCHAR Route;
} CONTROL_ENTRY;

static const CONTROL_ENTRY ControlTable[] = {
    {IOCTL_PRNSBP_LEGACY_CLEAR, HandleClear, 0, CONTROL_ENGINE | CONTROL_CHANGES},
    {IOCTL_PRNSBP_WRITE, HandleWrite, CMD_PRINT_DATA, CONTROL_ENGINE | CONTROL_CHANGES},
    {IOCTL_PRNSBP_WRITE_VENDOR, HandleWrite, CMD_VENDOR_DATA, CONTROL_ENGINE | CONTROL_CHANGES},
    {IOCTL_PRNSBP_DATA_CLEAR, HandleCommand, CMD_DATA_CLEAR, CONTROL_ENGINE | CONTROL_CHANGES},
    {IOCTL_PRNSBP_READ_STATUS, HandleReply, CMD_STATUS_READ, CONTROL_ENGINE},
    {IOCTL_PRNSBP_STATUS_CLEAR, HandleStatusClear, CMD_STATUS_CLEAR,
     CONTROL_ENGINE | CONTROL_CHANGES},
    {IOCTL_PRNSBP_GET_DEVICE_ID, HandleDeviceIdCode, 0, CONTROL_ENGINE},
    {IOCTL_PRNSBP_UNIT0_INFO_A, HandleReply, CMD_UNIT0_INFO_A, CONTROL_ENGINE},
    {IOCTL_PRNSBP_UNIT1_INFO_A, HandleReply, CMD_UNIT1_INFO_A, CONTROL_ENGINE},
    {IOCTL_PRNSBP_UNIT0_INFO_B, HandleReply, CMD_UNIT0_INFO_B, CONTROL_ENGINE},
    {IOCTL_PRNSBP_UNIT1_INFO_B, HandleReply, CMD_UNIT1_INFO_B, CONTROL_ENGINE},
    {IOCTL_PRNSBP_CLEAR, HandleClear, 0, CONTROL_ENGINE | CONTROL_CHANGES},
    {IOCTL_PRNSBP_FLUSH, HandleFlush, CMD_FLUSH, CONTROL_ENGINE | CONTROL_CHANGES},
    {IOCTL_PRNSBP_DISCARD, HandleDiscard, 0, CONTROL_ENGINE | CONTROL_CHANGES},
    {IOCTL_PAR_QUERY_DEVICE_ID, HandleDeviceIdCode, 0, CONTROL_ENGINE},
    {IOCTL_SERIAL_SET_TIMEOUTS, HandleSetTimeouts, 0, CONTROL_ENGINE | CONTROL_CHANGES},
    {IOCTL_SERIAL_GET_TIMEOUTS, HandleGetTimeouts, 0, CONTROL_ENGINE},
    // The pass-through codes carry FILE_READ_ACCESS | FILE_WRITE_ACCESS: the
    // I/O manager lets them through only on a handle that may read and write.
    {IOCTL_SCSI_PASS_THROUGH, CheckPassThrough, 0, CONTROL_SCSI_CLASS},
    {IOCTL_SCSI_PASS_THROUGH_DIRECT, CheckPassThrough, 0, CONTROL_SCSI_CLASS},
    {IOCTL_SBP2_REQUEST, RefusePortDriverRequest, 0, CONTROL_REFUSED},
    {IOCTL_STORAGE_QUERY_PROPERTY, NULL, 0, CONTROL_FOR_ANYONE},
};

static const CONTROL_ENTRY* FindControl(ULONG Code)
{
    for (ULONG i = 0; i < sizeof(ControlTable) / sizeof(ControlTable[0]); i++)
        if (ControlTable[i].Code == Code)
            return &ControlTable[i];
    return NULL;
}

// A request that came in on unit 1's device was sized for unit 1's stack,
// which may be shallower than unit 0's (a filter on one unit only). Handed
// on as it is, a driver below would find no stack location left and the
// system would stop (NO_MORE_IRP_STACK_LOCATIONS). Such a request goes down
// in a packet of our own sized for unit 0's stack, carrying the caller's
// stack location, buffers and mode; the caller's request is completed with
// its answer. Fdo counts the request until then.
static NTSTATUS SendInOwnPacket(PDEVICE_OBJECT Fdo, PIRP Irp, UCHAR MinorFunction)
{
    PDEVICE_OBJECT lower = ((PDEVICE_EXTENSION)Fdo->DeviceExtension)->LowerDevice;
    PIRP own = IoAllocateIrp(lower->StackSize, FALSE);
    if (own == NULL)
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0, Fdo);
    PIO_STACK_LOCATION from = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION to = IoGetNextIrpStackLocation(own);
    to->MajorFunction = from->MajorFunction;
    to->MinorFunction = MinorFunction;
    to->Flags = from->Flags;
    to->Parameters = from->Parameters;
    to->FileObject = from->FileObject;
    own->AssociatedIrp.SystemBuffer = Irp->AssociatedIrp.SystemBuffer;
    own->MdlAddress = Irp->MdlAddress;
    own->UserBuffer = Irp->UserBuffer;
    own->RequestorMode = Irp->RequestorMode;
    own->Tail.Overlay.Thread = Irp->Tail.Overlay.Thread;

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(own, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, own) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status = own->IoStatus.Status;
    ULONG_PTR information = own->IoStatus.Information;
    own->MdlAddress = NULL; // the caller's, freed with the caller's request
    IoFreeIrp(own);
    return CompleteRequest(Irp, status, information, Fdo);
}

// Locations the request still has for unit 0's stack, beyond its current
// one: a request passed on with its location copied needs one for every
// device below the FDO, one skipped needs one fewer.
static BOOLEAN FitsUnit0Stack(PDEVICE_OBJECT Fdo, PIRP Irp, BOOLEAN Copied)
{
    PDEVICE_OBJECT lower = ((PDEVICE_EXTENSION)Fdo->DeviceExtension)->LowerDevice;
    return Irp->CurrentLocation - (Copied ? 1 : 0) >= lower->StackSize;
}

// Sends a pass-through request to unit 0's SBP-2 device as a SCSI class
// request; the port driver completes it.
static NTSTATUS PassThroughToUnit0(PDEVICE_OBJECT Fdo, PIRP Irp)
{
    if (!FitsUnit0Stack(Fdo, Irp, TRUE))
        return SendInOwnPacket(Fdo, Irp, IRP_MN_SCSI_CLASS);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoGetNextIrpStackLocation(Irp)->MinorFunction = IRP_MN_SCSI_CLASS;
    return IoCountCallLower(Fdo, Irp);
}

static NTSTATUS PassDown(PDEVICE_OBJECT Fdo, PIRP Irp)
{
    if (!FitsUnit0Stack(Fdo, Irp, FALSE))
        return SendInOwnPacket(Fdo, Irp, IoGetCurrentIrpStackLocation(Irp)->MinorFunction);
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCountCallLower(Fdo, Irp);
}

// The request counts on Fdo and the engine lock is held; both are given up
// on every way out.
static NTSTATUS RouteControl(PDEVICE_OBJECT Fdo, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    const CONTROL_ENTRY* entry = FindControl(Stack->Parameters.DeviceIoControl.IoControlCode);
    if (entry != NULL && (entry->Route & CONTROL_ENGINE)) {
        NTSTATUS status = entry->Handler(Fdo, entry->Command, Irp, Stack);
        EngineRelease(Fdo);
        return CompleteRequest(Irp, status, Irp->IoStatus.Information, Fdo);
    }
    EngineRelease(Fdo);
    if (entry == NULL || entry->Handler == NULL)
        return PassDown(Fdo, Irp);
    NTSTATUS status = entry->Handler(Fdo, entry->Command, Irp, Stack);
    if ((entry->Route & CONTROL_SCSI_CLASS) && status == STATUS_SUCCESS)
        return PassThroughToUnit0(Fdo, Irp);
    return CompleteRequest(Irp, status, 0, Fdo);
}

// A request on either unit of a printer works on unit 0's engine and goes
// down to unit 0's device. Device control works only while the port is open,
// for every code, the ones passed down included.
// What a caller may have done. A driver above (kernel mode) is trusted
// with every code. A program gets the codes that change the printer only
// on a handle that may write, and reaches the port driver only with
// pass-through (the class driver's own way to the unit, which the I/O
// manager allows on a read-write handle) and what the port answers for
// anyone: its other codes are for the drivers above it.
static NTSTATUS CallerMaySend(PIRP Irp, const CONTROL_ENTRY* Entry)
{
    if (Irp->RequestorMode == KernelMode)
        return STATUS_SUCCESS;
    if (Entry == NULL)
        return STATUS_INVALID_DEVICE_REQUEST;
    if ((Entry->Route & CONTROL_CHANGES) && !HandleMayWrite(Irp))
        return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_OBJECT fdo = UnitTableReferenceUnit0Fdo(DeviceObject);
    if (fdo == NULL)
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0, NULL);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS allowed =
        CallerMaySend(Irp, FindControl(stack->Parameters.DeviceIoControl.IoControlCode));
    if (allowed != STATUS_SUCCESS)
        return CompleteRequest(Irp, allowed, 0, fdo);
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)fdo->DeviceExtension;
    EngineAcquire(fdo);
    ext->ActivityFlags |= ACTIVITY_DEVICE_CONTROL;
    if (!PortIsOpen(fdo)) {
        EngineRelease(fdo);
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0, fdo);
    }
    return RouteControl(fdo, Irp, IoGetCurrentIrpStackLocation(Irp));
}

// SRBs from a driver above go to the SBP-2 unit below: an FDO hands them to
// its own unit as SCSI class requests, the child to the top of its parent's
// stack.
NTSTATUS NTAPI InternalDeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    IoCountAcquire(DeviceObject);
    if (!(ext->Flags & FLAG_STARTED))
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0, DeviceObject);
    if (ext->Flags & FLAG_FDO) {
        PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
        next->MajorFunction = IRP_MJ_SCSI;
        next->MinorFunction = IRP_MN_SCSI_CLASS;
        next->Parameters.Scsi.Srb = current->Parameters.Scsi.Srb;
    } else {
        IoCopyCurrentIrpStackLocationToNext(Irp);
    }
    // Counted until it is down: the child's removal, which comes before its
    // parent's, waits for it, and so the parent FDO it goes to stays.
    return IoCountCallLower(DeviceObject, Irp);
}
