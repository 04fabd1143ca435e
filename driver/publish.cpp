/* Port and interface publication: placeholder until it lands. Nothing is
 * registered, numbered or written. */
#include "prnsbp.h"

VOID RegisterPortInterface(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    ext->InterfaceName.Buffer = NULL; /* no interface registered */
}

NTSTATUS AssignPortNumber(PDEVICE_OBJECT Fdo)
{
    UNREFERENCED_PARAMETER(Fdo);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WritePortInterfaceValues(PDEVICE_OBJECT Fdo)
{
    UNREFERENCED_PARAMETER(Fdo);
    return STATUS_NOT_IMPLEMENTED;
}

VOID WritePortName(PDEVICE_OBJECT DeviceObject, ULONG PortNumber)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(PortNumber);
}
