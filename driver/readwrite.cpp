/* Read and write: placeholder until the data path lands. Every request is
 * completed with STATUS_NOT_IMPLEMENTED and no data. */
#include "prnsbp.h"

NTSTATUS CompleteAndRelease(PDEVICE_OBJECT Fdo, PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    UNREFERENCED_PARAMETER(Fdo);
    UNREFERENCED_PARAMETER(Information);
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI ReadWriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_NOT_IMPLEMENTED;
}
