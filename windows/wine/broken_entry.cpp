/*
 * A deliberately broken prnsbp.sys for the check's own test: the same driver
 * whose DriverEntry fails, so Wine loads no function driver for the units.
 * The check must fail on it.
 */
#include <wdm.h>

extern "C" NTSTATUS NTAPI BrokenEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    return STATUS_INSUFFICIENT_RESOURCES;
}
