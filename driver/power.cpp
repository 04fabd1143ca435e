// Power and system control for the FDOs and the child PDO.
#include "prnsbp.h"

// PowerDispatch
//   IRP_MJ_POWER, from the power manager. FDO: passed to the port driver
//   unchanged; the in-progress count is not touched. Child: answered here, see
//   below. Stop and removal do not change what power requests get.
NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (ext->Flags & FLAG_FDO) {
        PoStartNextPowerIrp(Irp);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        return PoCallDriver(ext->LowerDevice, Irp);
    }
    // The child: no power state is kept. While the port is open a query is
    // refused, so that the system does not choose to sleep under an open
    // handle; a set-power request cannot be refused (the system sleeps
    // anyway). The child cannot wake anything: a wait-wake fails at once
    // rather than report a wake that never happened. It keeps no power
    // sequence either: a sequence request is not implemented (a success
    // would hand back counts nobody filled in), refused as a query while the
    // port is open.
    PCHILD_EXTENSION cext = (PCHILD_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_SET_POWER:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_WAIT_WAKE:
        status = STATUS_NOT_SUPPORTED;
        break;
    case IRP_MN_POWER_SEQUENCE:
        status =
            cext->Parent->OpenCount != 0 ? STATUS_DEVICE_POWER_FAILURE : STATUS_NOT_IMPLEMENTED;
        break;
    case IRP_MN_QUERY_POWER:
        status = cext->Parent->OpenCount != 0 ? STATUS_DEVICE_POWER_FAILURE : STATUS_SUCCESS;
        break;
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    PoStartNextPowerIrp(Irp);
    return CompleteRequest(Irp, status, Irp->IoStatus.Information, NULL);
}

// SystemControlDispatch
//   IRP_MJ_SYSTEM_CONTROL (WMI): neither kind of device answers it; it goes to
//   the device below as it came, until the removal: a sender that still
//   holds the device object after it gets STATUS_NO_SUCH_DEVICE, since the
//   device below may be gone. The removal records its state before it
//   waits for the count, so a request counted in before that is down before
//   the removal goes on.
NTSTATUS NTAPI SystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    IoCountAcquire(DeviceObject);
    if (ext->PnpState == IRP_MN_REMOVE_DEVICE)
        return CompleteRequest(Irp, STATUS_NO_SUCH_DEVICE, 0, DeviceObject);
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCountCallLower(DeviceObject, Irp);
}
