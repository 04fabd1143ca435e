/* Opening and closing the port: placeholder until the data path lands.
 * Every create and close is completed with STATUS_NOT_IMPLEMENTED. */
#include "prnsbp.h"

static NTSTATUS CompleteNotImplemented(PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS NTAPI CreateCloseDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteNotImplemented(Irp);
}

NTSTATUS OpenPort(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteNotImplemented(Irp);
}

NTSTATUS ClosePort(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteNotImplemented(Irp);
}

VOID WaitSinceStamp(LARGE_INTEGER Stamp, ULONG Milliseconds)
{
    /* Not implemented yet: does not wait. */
    UNREFERENCED_PARAMETER(Stamp);
    UNREFERENCED_PARAMETER(Milliseconds);
}
