/* Device control: placeholder until it lands. Every request is completed
 * with STATUS_NOT_IMPLEMENTED. */
#include "prnsbp.h"

static NTSTATUS CompleteNotImplemented(PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteNotImplemented(Irp);
}

NTSTATUS NTAPI InternalDeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteNotImplemented(Irp);
}
