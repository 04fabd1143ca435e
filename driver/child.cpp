/* The child device: placeholder until it lands. No child is created; bus
 * relations pass down untouched and child IDs are not answered. */
#include "prnsbp.h"

NTSTATUS CreateChildPdo(PDEVICE_EXTENSION Extension)
{
    UNREFERENCED_PARAMETER(Extension);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS QueryBusRelations(PDEVICE_OBJECT Fdo, DEVICE_RELATION_TYPE Type, PIRP Irp,
                           PBOOLEAN Complete)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    UNREFERENCED_PARAMETER(Type);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoCountRelease(Fdo);
    *Complete = FALSE;
    return IoCallDriver(ext->LowerDevice, Irp);
}

NTSTATUS QueryChildId(PDEVICE_OBJECT Child, BUS_QUERY_ID_TYPE Type, PUNICODE_STRING Id)
{
    UNREFERENCED_PARAMETER(Child);
    UNREFERENCED_PARAMETER(Type);
    UNREFERENCED_PARAMETER(Id);
    return STATUS_NOT_IMPLEMENTED;
}
