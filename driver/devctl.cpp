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

static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static BOOLEAN PortIsOpen(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    return (ext->Flags & FLAG_STARTED) && !ext->DeviceError && UnitTableBothUnitsPresent(Fdo) &&
           ext->Unit0Open && ext->Unit1Open;
}

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

static NTSTATUS HandleClear(PDEVICE_OBJECT Fdo, PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    NTSTATUS status = SendPrinterCommand(CMD_DATA_CLEAR, Fdo, NULL, NULL);
    if (status != STATUS_SUCCESS)
        status = SendPrinterCommand(CMD_STATUS_CLEAR, Fdo, NULL, NULL);
    return status;
}

static NTSTATUS HandleSetTimeouts(PDEVICE_OBJECT Fdo, PIRP Irp, PIO_STACK_LOCATION Stack)
{
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

static NTSTATUS HandleGetTimeouts(PDEVICE_OBJECT Fdo, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    PSERIAL_TIMEOUTS timeouts = (PSERIAL_TIMEOUTS)Irp->AssociatedIrp.SystemBuffer;
    Irp->IoStatus.Information = 0;
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength < SERIAL_TIMEOUTS_SIZE)
        return STATUS_BUFFER_TOO_SMALL;
    if (timeouts == NULL)
        return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(timeouts, SERIAL_TIMEOUTS_SIZE);
    timeouts->WriteTotalTimeoutConstant = ext->TimeoutSeconds * 1000;
    Irp->IoStatus.Information = SERIAL_TIMEOUTS_SIZE;
    return STATUS_SUCCESS;
}

// Sends a pass-through request to unit 0's SBP-2 device as a SCSI class
// request; the port driver completes it.
static NTSTATUS PassThroughToUnit0(PDEVICE_OBJECT Fdo, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoGetNextIrpStackLocation(Irp)->MinorFunction = IRP_MN_SCSI_CLASS;
    IoCountRelease(Fdo);
    return IoCallDriver(ext->LowerDevice, Irp);
}

static NTSTATUS PassDown(PDEVICE_OBJECT Fdo, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    IoSkipCurrentIrpStackLocation(Irp);
    IoCountRelease(Fdo);
    return IoCallDriver(ext->LowerDevice, Irp);
}

// Handles a code that the engine answers; runs with the engine lock held.
static NTSTATUS HandleEngineCode(PDEVICE_OBJECT Fdo, ULONG Code, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    switch (Code) {
    case IOCTL_PRNSBP_WRITE:
        return HandleWrite(Fdo, CMD_PRINT_DATA, Irp, Stack);
    case IOCTL_PRNSBP_WRITE_VENDOR:
        return HandleWrite(Fdo, CMD_VENDOR_DATA, Irp, Stack);
    case IOCTL_PRNSBP_DATA_CLEAR:
        Irp->IoStatus.Information = 0;
        return SendPrinterCommand(CMD_DATA_CLEAR, Fdo, NULL, NULL);
    case IOCTL_PRNSBP_READ_STATUS:
        return HandleReply(Fdo, CMD_STATUS_READ, Irp, Stack);
    case IOCTL_PRNSBP_STATUS_CLEAR:
        Irp->IoStatus.Information = 0;
        SendPrinterCommand(CMD_STATUS_CLEAR, Fdo, NULL, NULL);
        return STATUS_SUCCESS;
    case IOCTL_PRNSBP_GET_DEVICE_ID:
    case IOCTL_PAR_QUERY_DEVICE_ID:
        return HandleDeviceId(Fdo, Irp, Stack);
    case IOCTL_PRNSBP_UNIT0_INFO_A:
        return HandleReply(Fdo, CMD_UNIT0_INFO_A, Irp, Stack);
    case IOCTL_PRNSBP_UNIT1_INFO_A:
        return HandleReply(Fdo, CMD_UNIT1_INFO_A, Irp, Stack);
    case IOCTL_PRNSBP_UNIT0_INFO_B:
        return HandleReply(Fdo, CMD_UNIT0_INFO_B, Irp, Stack);
    case IOCTL_PRNSBP_UNIT1_INFO_B:
        return HandleReply(Fdo, CMD_UNIT1_INFO_B, Irp, Stack);
    case IOCTL_PRNSBP_CLEAR:
    case IOCTL_PRNSBP_LEGACY_CLEAR:
        return HandleClear(Fdo, Irp);
    case IOCTL_PRNSBP_FLUSH:
        Irp->IoStatus.Information = 0;
        return FlushDataBuffer(CMD_FLUSH, Fdo);
    case IOCTL_PRNSBP_DISCARD:
        Irp->IoStatus.Information = 0;
        EngineDiscardData(Fdo);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return HandleSetTimeouts(Fdo, Irp, Stack);
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return HandleGetTimeouts(Fdo, Irp, Stack);
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

static BOOLEAN IsPassThrough(ULONG Code)
{
    return Code == IOCTL_SCSI_PASS_THROUGH || Code == IOCTL_SCSI_PASS_THROUGH_DIRECT;
}

// The port driver's device-ID request carries a pointer to a kernel request
// block in the stack location. Only this driver may send it, straight to its
// lower device; coming from a caller of the port, the port driver would take
// the caller's buffer lengths for that pointer and write through them.
static BOOLEAN IsPortDriverRequest(ULONG Code)
{
    return Code == IOCTL_SBP2_REQUEST;
}

static BOOLEAN IsHandledHere(ULONG Code)
{
    switch (Code) {
    case IOCTL_PRNSBP_LEGACY_CLEAR:
    case IOCTL_PRNSBP_WRITE:
    case IOCTL_PRNSBP_WRITE_VENDOR:
    case IOCTL_PRNSBP_DATA_CLEAR:
    case IOCTL_PRNSBP_READ_STATUS:
    case IOCTL_PRNSBP_STATUS_CLEAR:
    case IOCTL_PRNSBP_GET_DEVICE_ID:
    case IOCTL_PRNSBP_UNIT0_INFO_A:
    case IOCTL_PRNSBP_UNIT1_INFO_A:
    case IOCTL_PRNSBP_UNIT0_INFO_B:
    case IOCTL_PRNSBP_UNIT1_INFO_B:
    case IOCTL_PRNSBP_CLEAR:
    case IOCTL_PRNSBP_FLUSH:
    case IOCTL_PRNSBP_DISCARD:
    case IOCTL_PAR_QUERY_DEVICE_ID:
    case IOCTL_SERIAL_SET_TIMEOUTS:
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return TRUE;
    default:
        return FALSE;
    }
}

// A request on either unit of a printer works on unit 0's engine and goes
// down to unit 0's device. Device control works only while the port is open,
// for every code, the ones passed down included.
NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_OBJECT fdo = UnitTableReferenceUnit0Fdo(DeviceObject);
    if (fdo == NULL)
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)fdo->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    EngineAcquire(fdo);
    ext->ActivityFlags |= ACTIVITY_DEVICE_CONTROL;
    if (!PortIsOpen(fdo)) {
        EngineRelease(fdo);
        CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
        IoCountRelease(fdo);
        return STATUS_DELETE_PENDING;
    }
    if (!IsHandledHere(code)) {
        EngineRelease(fdo);
        if (IsPortDriverRequest(code)) {
            CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
            IoCountRelease(fdo);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (!IsPassThrough(code))
            return PassDown(fdo, Irp);
        if (stack->Parameters.DeviceIoControl.InputBufferLength >= PASS_THROUGH_MIN_INPUT)
            return PassThroughToUnit0(fdo, Irp);
        CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
        IoCountRelease(fdo);
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = HandleEngineCode(fdo, code, Irp, stack);
    EngineRelease(fdo);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoCountRelease(fdo);
    return status;
}

// SRBs from a driver above go to the SBP-2 unit below: an FDO hands them to
// its own unit as SCSI class requests, the child to the top of its parent's
// stack.
NTSTATUS NTAPI InternalDeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    IoCountAcquire(DeviceObject);
    if (!(ext->Flags & FLAG_STARTED)) {
        CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
        IoCountRelease(DeviceObject);
        return STATUS_DELETE_PENDING;
    }
    if (ext->Flags & FLAG_FDO) {
        PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
        next->MajorFunction = IRP_MJ_SCSI;
        next->MinorFunction = IRP_MN_SCSI_CLASS;
        next->Parameters.Scsi.Srb = current->Parameters.Scsi.Srb;
    } else {
        IoCopyCurrentIrpStackLocationToNext(Irp);
    }
    PDEVICE_OBJECT lower = ext->LowerDevice;
    IoCountRelease(DeviceObject);
    return IoCallDriver(lower, Irp);
}
