// Driver entry and unload, the registry configuration, the platform test
// and the in-progress count of a device.
#include "prnsbp.h"

PWSTR RegistryPath;
ULONG RegistryPathSize;
WCHAR LinkNameBuffer[64];
PPRINTER_NODE PrinterList;
FAST_MUTEX UnitTableLock;
FAST_MUTEX FlagsLock;
KEVENT PortNumberLock;

// DriverEntry runs once; the kernel frees the section named INIT after it
// returns, so it alone lives there and everything else stays resident.
#if defined(_WIN32)
#define INIT_SECTION_CODE __attribute__((section("INIT")))
#else
#define INIT_SECTION_CODE
#endif

extern "C" INIT_SECTION_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                        PUNICODE_STRING ServicePath)
{
    ULONG size = (ULONG)ServicePath->Length + sizeof(WCHAR);
    PWSTR copy = (PWSTR)ExAllocatePoolWithTag(PagedPool, size, TAG_REGISTRY_PATH);
    if (copy == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(copy, ServicePath->Buffer, ServicePath->Length);
    copy[ServicePath->Length / sizeof(WCHAR)] = 0;
    RegistryPath = copy;
    RegistryPathSize = size;
    RtlZeroMemory(LinkNameBuffer, sizeof LinkNameBuffer);
    PrinterList = NULL;
    ExInitializeFastMutex(&UnitTableLock);
    ExInitializeFastMutex(&FlagsLock);
    KeInitializeEvent(&PortNumberLock, SynchronizationEvent, TRUE);

    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = CreateCloseDispatch;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = CreateCloseDispatch;
    DriverObject->MajorFunction[IRP_MJ_READ] = ReadWriteDispatch;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = ReadWriteDispatch;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControlDispatch;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalDeviceControlDispatch;
    DriverObject->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SystemControlDispatch;
    DriverObject->MajorFunction[IRP_MJ_PNP] = PnpDispatch;
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UnitTableFreeAll();
    if (RegistryPath != NULL) {
        ExFreePool(RegistryPath);
        RegistryPath = NULL;
        RegistryPathSize = 0;
    }
}

// A direct query stores what the value holds, not what we asked for: a
// string value (an INF line that wrote "30" instead of 0x00010001,30) comes
// back as a UNICODE_STRING with a pool buffer. The result is therefore
// received in room for either; only a number counts, a string is freed and
// reads as 0.
typedef union _REGISTRY_DWORD_RESULT {
    ULONG Value;
    UNICODE_STRING Text;
} REGISTRY_DWORD_RESULT;

ULONG QueryDwordValue(PRTL_QUERY_REGISTRY_TABLE Table, PCWSTR Path, PCWSTR ValueName)
{
    REGISTRY_DWORD_RESULT result;
    ULONG zero = 0;
    RtlZeroMemory(&result, sizeof result);
    RtlZeroMemory(Table, 2 * sizeof(RTL_QUERY_REGISTRY_TABLE));
    Table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    Table[0].Name = (PWSTR)ValueName;
    Table[0].EntryContext = &result;
    Table[0].DefaultType = REG_DWORD;
    Table[0].DefaultData = &zero;
    Table[0].DefaultLength = sizeof(ULONG);
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, Path,
                                             Table, NULL, NULL);
    if (result.Text.Buffer != NULL) {
        RtlFreeUnicodeString(&result.Text);
        return 0;
    }
    return NT_SUCCESS(status) ? result.Value : 0;
}

ULONG ReadRegistryDword(PCWSTR ValueName)
{
    if (RegistryPath == NULL)
        return 0;
    PRTL_QUERY_REGISTRY_TABLE table = (PRTL_QUERY_REGISTRY_TABLE)ExAllocatePoolWithTag(
        NonPagedPool, 2 * sizeof(RTL_QUERY_REGISTRY_TABLE), TAG_QUERY_TABLE);
    if (table == NULL)
        return 0;
    ULONG value = QueryDwordValue(table, RegistryPath, ValueName);
    ExFreePool(table);
    return value;
}

BOOLEAN IsLegacyPlatform(void)
{
    return IoIsWdmVersionAvailable(1, 0x10) ? FALSE : TRUE;
}

// Both extension kinds keep IoCount and IoIdleEvent at the same offsets,
// so the FDO layout serves for either.
BOOLEAN IoCountAcquire(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    InterlockedIncrement(&ext->IoCount);
    return TRUE;
}

// Callers may release at up to DISPATCH_LEVEL (an SRB from a driver above),
// so releasing is interlocked operations and KeSetEvent only. The count
// reaches 0 only while the base reference is given up (a stop, a removal).
// A request that brought the count to 0 may set the event a moment after a
// restart took the base back and reset it: the event can therefore be
// signalled while the count is not 0. IoCountWaitIdle re-checks the count
// instead of trusting the event, and whether the base is held is recorded
// apart from the event (FLAG_BASE_RELEASED), never read from it.
VOID IoCountRelease(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (InterlockedDecrement(&ext->IoCount) == 0)
        KeSetEvent(&ext->IoIdleEvent, IO_NO_INCREMENT, FALSE);
}

// Hands a counted request to the device below and only then leaves the
// count: a removal waits for the count before it deletes the device, so
// neither the extension nor the device LowerDevice names can go under the
// call. Up to DISPATCH_LEVEL.
NTSTATUS IoCountCallLower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = IoCallDriver(ext->LowerDevice, Irp);
    IoCountRelease(DeviceObject);
    return status;
}

// PnP only (a stop, a removal), at PASSIVE_LEVEL.
VOID IoCountReleaseBase(PDEVICE_OBJECT DeviceObject)
{
    ChangeExtensionFlags((PDEVICE_EXTENSION)DeviceObject->DeviceExtension, FLAG_BASE_RELEASED, 0);
    IoCountRelease(DeviceObject);
}

// Before the device is used again (restart) or drained again (removal) the
// base reference is taken back, so that the next wait holds back for every
// request still in the driver. PnP only, at PASSIVE_LEVEL.
VOID IoCountRetakeBase(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (ext->Flags & FLAG_BASE_RELEASED) {
        InterlockedIncrement(&ext->IoCount);
        ChangeExtensionFlags(ext, 0, FLAG_BASE_RELEASED);
        KeClearEvent(&ext->IoIdleEvent);
    }
}

// Waits until the count is 0. The event is cleared before each look at the
// count: a release to 0 after the look sets it again and ends the wait,
// and a late signal from before a restart only costs another look.
VOID IoCountWaitIdle(PDEVICE_OBJECT DeviceObject, KWAIT_REASON Reason)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    for (;;) {
        KeClearEvent(&ext->IoIdleEvent);
        if (InterlockedCompareExchange(&ext->IoCount, 0, 0) == 0)
            return;
        KeWaitForSingleObject(&ext->IoIdleEvent, Reason, KernelMode, FALSE, NULL);
    }
}

// The parent's identification and whether it sits on 1394, for a child's
// ID query, taken under FlagsLock; FALSE once a surprise removal has freed
// either (TakeIdentification, FreeDescriptors) or between two starts.
BOOLEAN CopyIdentification(PDEVICE_EXTENSION Ext, PCHAR Copy, PBOOLEAN On1394)
{
    ExAcquireFastMutex(&FlagsLock);
    PCHAR text = Ext->DeviceIdString;
    PSTORAGE_ADAPTER_DESCRIPTOR adapter = Ext->AdapterDescriptor;
    KMSIM_POINT();
    BOOLEAN found = text != NULL && adapter != NULL;
    if (found) {
        RtlCopyMemory(Copy, text, ID_STRING_SIZE);
        *On1394 = adapter->BusType == IEEE1394_BUS_TYPE;
    }
    ExReleaseFastMutex(&FlagsLock);
    if (!found)
        return FALSE;
    Copy[ID_STRING_SIZE - 1] = '\0';
    return TRUE;
}

// Puts Descriptor in place of the adapter descriptor under FlagsLock and
// returns the one before, for its owner to free.
PSTORAGE_ADAPTER_DESCRIPTOR ExchangeAdapterDescriptor(PDEVICE_EXTENSION Ext,
                                                      PSTORAGE_ADAPTER_DESCRIPTOR Descriptor)
{
    ExAcquireFastMutex(&FlagsLock);
    PSTORAGE_ADAPTER_DESCRIPTOR before = Ext->AdapterDescriptor;
    Ext->AdapterDescriptor = Descriptor;
    ExReleaseFastMutex(&FlagsLock);
    return before;
}

// Unhooks the identification for its owner to free, under FlagsLock.
PCHAR TakeIdentification(PDEVICE_EXTENSION Ext)
{
    ExAcquireFastMutex(&FlagsLock);
    PCHAR text = Ext->DeviceIdString;
    Ext->DeviceIdString = NULL;
    ExReleaseFastMutex(&FlagsLock);
    return text;
}

// Every change of Flags after AddDevice; FlagsLock is why (prnsbp.h, "Locks").
VOID ChangeExtensionFlags(PDEVICE_EXTENSION Extension, UCHAR Set, UCHAR Clear)
{
    ExAcquireFastMutex(&FlagsLock);
    Extension->Flags = (UCHAR)((Extension->Flags & ~Clear) | Set);
    ExReleaseFastMutex(&FlagsLock);
}
