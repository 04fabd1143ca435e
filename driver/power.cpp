/* Power and system control for the FDOs and the child PDO. */
#include "prnsbp.h"

NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (ext->Flags & FLAG_FDO) {
        PoStartNextPowerIrp(Irp);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        return PoCallDriver(ext->LowerDevice, Irp);
    }
    /* The child: no power state is kept; while the port is open the
     * printer cannot change state under the open handle. */
    PCHILD_EXTENSION cext = (PCHILD_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
    case IRP_MN_POWER_SEQUENCE:
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
        status = cext->Parent->OpenCount != 0 ? STATUS_DEVICE_POWER_FAILURE : STATUS_SUCCESS;
        break;
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    Irp->IoStatus.Status = status;
    PoStartNextPowerIrp(Irp);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI SystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    IoCountAcquire(DeviceObject);
    IoSkipCurrentIrpStackLocation(Irp);
    IoCountRelease(DeviceObject);
    return IoCallDriver(ext->LowerDevice, Irp);
}
