/* SCSI request engine: placeholder until the data path lands. Every command
 * is refused; nothing is sent to the printer. */
#include "prnsbp.h"

BOOLEAN EngineSetup(PDEVICE_OBJECT Fdo)
{
    UNREFERENCED_PARAMETER(Fdo);
    return FALSE; /* no buffers are set up yet */
}

VOID EngineTeardown(PDEVICE_OBJECT Fdo)
{
    UNREFERENCED_PARAMETER(Fdo);
}

NTSTATUS SendPrinterCommand(USHORT Command, PDEVICE_OBJECT Fdo, PVOID Buffer, PULONG Length)
{
    UNREFERENCED_PARAMETER(Command);
    UNREFERENCED_PARAMETER(Fdo);
    UNREFERENCED_PARAMETER(Buffer);
    if (Length != NULL)
        *Length = 0;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS FlushDataBuffer(USHORT Command, PDEVICE_OBJECT Fdo)
{
    UNREFERENCED_PARAMETER(Command);
    UNREFERENCED_PARAMETER(Fdo);
    return STATUS_NOT_IMPLEMENTED;
}

BOOLEAN TimeElapsed(LARGE_INTEGER Stamp, ULONG Milliseconds)
{
    /* Not implemented yet: every interval counts as elapsed. */
    UNREFERENCED_PARAMETER(Stamp);
    UNREFERENCED_PARAMETER(Milliseconds);
    return TRUE;
}

NTSTATUS NTAPI SrbCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Context);
    return STATUS_SUCCESS;
}
