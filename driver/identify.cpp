/* Printer identification: placeholder until it lands. The device ID is not
 * read, so a 1394 unit cannot be started yet. */
#include "prnsbp.h"

NTSTATUS QueryPrinterDeviceId(PDEVICE_EXTENSION Extension)
{
    UNREFERENCED_PARAMETER(Extension);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS BuildIdFromDeviceId(PCHAR DeviceId, ULONG Form, PCHAR Out, PCHAR OutDescription,
                             PCHAR OutManufacturer, PCHAR OutModel)
{
    UNREFERENCED_PARAMETER(DeviceId);
    UNREFERENCED_PARAMETER(Form);
    UNREFERENCED_PARAMETER(Out);
    UNREFERENCED_PARAMETER(OutDescription);
    UNREFERENCED_PARAMETER(OutManufacturer);
    UNREFERENCED_PARAMETER(OutModel);
    return STATUS_NOT_IMPLEMENTED;
}

VOID ParseIeee1284Id(PCHAR String, PCHAR* Manufacturer, PCHAR* Model)
{
    UNREFERENCED_PARAMETER(String);
    *Manufacturer = NULL; /* nothing is parsed yet */
    *Model = NULL;
}

VOID IdChecksum(PCHAR Data, USHORT Length, PUSHORT Checksum)
{
    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(Length);
    *Checksum = 0; /* not computed yet */
}
