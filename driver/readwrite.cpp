// Read and write on the printer port: a write carries print data to unit 0
// through the engine's coalescing buffer, a read returns the printer's status
// reply from unit 1. Both finish inside the dispatch routine.
#include "engine.h"

// Windows 98 and Me callers expect an access violation from a printer whose
// transport failed during the connection. TransportFailed is DeviceError as
// read under the engine lock: an open on another thread resets it.
static NTSTATUS FinishRequest(PDEVICE_OBJECT Fdo, PIRP Irp, NTSTATUS Status, ULONG Information,
                              BOOLEAN TransportFailed)
{
    if (TransportFailed && IsLegacyPlatform())
        return CompleteRequest(Irp, STATUS_ACCESS_VIOLATION, 0, Fdo);
    return CompleteRequest(Irp, Status, Status == STATUS_SUCCESS ? Information : 0, Fdo);
}

// The system address of the locked pages an MDL describes, or NULL when no
// mapping can be had. MmGetSystemAddressForMdlSafe would import
// MmMapLockedPagesSpecifyCache, which Windows 98 does not export; a driver
// that loads on both maps with MmMapLockedPages under MDL_MAPPING_CAN_FAIL,
// so that a failure returns NULL rather than stopping the system, and gives
// the caller's MDL its flag back as it was.
static PVOID SystemAddressOfMdl(PMDL Mdl)
{
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return Mdl->MappedSystemVa;
    CSHORT hadCanFail = (CSHORT)(Mdl->MdlFlags & MDL_MAPPING_CAN_FAIL);
    Mdl->MdlFlags = (CSHORT)(Mdl->MdlFlags | MDL_MAPPING_CAN_FAIL);
    PVOID address = MmMapLockedPages(Mdl, KernelMode);
    if (!hadCanFail)
        Mdl->MdlFlags = (CSHORT)(Mdl->MdlFlags & ~MDL_MAPPING_CAN_FAIL);
    return address;
}

// The I/O manager builds the MDL for the transfer length; a request whose
// stated length runs past its MDL is cut to the MDL so the engine never
// reads or writes beyond the caller's pages.
static ULONG TransferLength(PIRP Irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    ULONG described = MmGetMdlByteCount(Irp->MdlAddress);
    return length < described ? length : described;
}

NTSTATUS NTAPI ReadWriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_OBJECT fdo = UnitTableReferenceUnit0Fdo(DeviceObject);
    if (fdo == NULL)
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0, NULL);
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)fdo->DeviceExtension;
    if (Irp->MdlAddress == NULL) {
        EngineAcquire(fdo);
        BOOLEAN failed = ext->DeviceError != 0;
        EngineRelease(fdo);
        return FinishRequest(fdo, Irp, STATUS_SUCCESS, 0, failed);
    }
    BOOLEAN isWrite = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_WRITE;
    // The MDL's virtual address is the caller's user address: valid only in
    // the caller's context and only while the caller keeps the range. The
    // engine copies after waits on the printer, so it works on the locked
    // pages' system mapping.
    PVOID buffer = SystemAddressOfMdl(Irp->MdlAddress);
    if (buffer == NULL)
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0, fdo);
    ULONG length = TransferLength(Irp);
    NTSTATUS status;

    EngineAcquire(fdo);
    if (isWrite) {
        ext->WriteCount++;
        ext->ActivityFlags |= ACTIVITY_WRITE;
    } else {
        ext->ActivityFlags |= ACTIVITY_READ;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    if (!PortIsOpen(fdo)) {
        status = STATUS_DELETE_PENDING;
        length = 0;
    } else {
        USHORT command = CMD_STATUS_READ;
        if (isWrite)
            command = ext->UseScsiPrint ? CMD_PRINT_DATA : CMD_VENDOR_DATA;
        status = SendPrinterCommand(command, fdo, buffer, &length);
    }
    BOOLEAN failed = ext->DeviceError != 0;
    EngineRelease(fdo);
    return FinishRequest(fdo, Irp, status, length, failed);
}
