// Adding and starting a printer unit, and the small request routines
// (completing a request, forward and wait, the event-signalling
// completion) the rest of the driver uses.
#include "prnsbp.h"

NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    if (Context != NULL)
        KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information, PDEVICE_OBJECT Counted)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    if (Counted != NULL)
        IoCountRelease(Counted);
    return Status;
}

NTSTATUS ForwardIrpAndWait(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS ClaimDevice(PDEVICE_OBJECT Target, BOOLEAN Release)
{
    SCSI_REQUEST_BLOCK srb;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    RtlZeroMemory(&srb, sizeof srb);
    srb.Length = sizeof(SCSI_REQUEST_BLOCK);
    srb.Function = Release ? SRB_FUNCTION_RELEASE_DEVICE : SRB_FUNCTION_CLAIM_DEVICE;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SCSI_EXECUTE_NONE, Target, NULL, 0, NULL, 0,
                                             TRUE, &event, &ioStatus);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Scsi.Srb = &srb;
    srb.OriginalRequest = irp;
    NTSTATUS status = IoCallDriver(Target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return Release ? STATUS_SUCCESS : status;
}

// The port driver may complete one query at once and pend the next. The
// event is signalled by every completion, waited for or not, so each query
// starts from a cleared one: a wait must never end on the signal of the
// query before.
static NTSTATUS SendPropertyQuery(PDEVICE_OBJECT Target, PSTORAGE_PROPERTY_QUERY Query,
                                  PVOID Output, ULONG OutputLength, PKEVENT Event)
{
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_UNSUCCESSFUL;
    ioStatus.Information = 0;
    KeClearEvent(Event);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_STORAGE_QUERY_PROPERTY, Target, Query,
                                             sizeof(STORAGE_PROPERTY_QUERY), Output, OutputLength,
                                             FALSE, Event, &ioStatus);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(Target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

// The copy is at least as large as the descriptor structure and zero-filled
// beyond what the port driver returned, so a short descriptor never makes
// a reader run past the buffer.
NTSTATUS QueryStorageProperty(PDEVICE_OBJECT Target, STORAGE_PROPERTY_ID PropertyId,
                              PSTORAGE_DESCRIPTOR_HEADER* Descriptor)
{
    STORAGE_PROPERTY_QUERY query;
    STORAGE_DESCRIPTOR_HEADER header;
    PVOID buffer = NULL;

    *Descriptor = NULL;
    PKEVENT event = (PKEVENT)ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), TAG_STORAGE_EVENT);
    if (event == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(event, SynchronizationEvent, FALSE);

    RtlZeroMemory(&query, sizeof query);
    query.PropertyId = PropertyId;
    query.QueryType = PropertyStandardQuery;
    RtlZeroMemory(&header, sizeof header);
    NTSTATUS status = SendPropertyQuery(Target, &query, &header, sizeof header, event);
    if (NT_SUCCESS(status)) {
        ULONG minimum = PropertyId == StorageAdapterProperty ? sizeof(STORAGE_ADAPTER_DESCRIPTOR)
                                                             : sizeof(STORAGE_DEVICE_DESCRIPTOR);
        ULONG size = header.Size > minimum ? header.Size : minimum;
        buffer = ExAllocatePoolWithTag(NonPagedPool, size, TAG_STORAGE_DESCRIPTOR);
        if (buffer == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(buffer, size);
            status = SendPropertyQuery(Target, &query, buffer, size, event);
        }
    }
    ExFreePool(event);
    if (!NT_SUCCESS(status)) {
        if (buffer != NULL)
            ExFreePool(buffer);
        return status;
    }
    // Readers bound themselves by Size: keep the size this buffer was
    // allocated for, whatever the second answer claimed.
    ((PSTORAGE_DESCRIPTOR_HEADER)buffer)->Size = header.Size;
    *Descriptor = (PSTORAGE_DESCRIPTOR_HEADER)buffer;
    return status;
}

// The zero-terminated string at Offset of the device descriptor, or "" when
// the offset or the terminator lies outside the descriptor.
static const CHAR* DescriptorString(PSTORAGE_DEVICE_DESCRIPTOR Descriptor, ULONG Offset)
{
    ULONG size = Descriptor->Size;
    if (Offset == 0 || Offset >= size)
        return "";
    const CHAR* text = (const CHAR*)Descriptor + Offset;
    for (ULONG i = 0; Offset + i < size; i++)
        if (text[i] == 0)
            return text;
    return "";
}

// Appends Text to Out (Capacity bytes) without passing its end.
static VOID AppendBounded(PCHAR Out, ULONG Capacity, const CHAR* Text)
{
    ULONG used = CrtStringLength(Out);
    while (*Text != 0 && used + 1 < Capacity)
        Out[used++] = *Text++;
    Out[used] = 0;
}

static VOID FormatScsiIdentity(PDEVICE_EXTENSION ext)
{
    ext->DeviceIdString[0] = 0;
    AppendBounded(ext->DeviceIdString, ID_STRING_SIZE, "Printer&Ven_");
    AppendBounded(ext->DeviceIdString, ID_STRING_SIZE,
                  DescriptorString(ext->DeviceDescriptor, ext->DeviceDescriptor->VendorIdOffset));
    AppendBounded(ext->DeviceIdString, ID_STRING_SIZE, "&Prod_");
    AppendBounded(ext->DeviceIdString, ID_STRING_SIZE,
                  DescriptorString(ext->DeviceDescriptor, ext->DeviceDescriptor->ProductIdOffset));
}

// Identification and publication happen once per FDO. When reading the
// device ID fails, the identification string is given up again, so the
// next start tries once more instead of running with an empty identity.
static NTSTATUS IdentifyPrinter(PDEVICE_OBJECT Fdo, PDEVICE_EXTENSION ext)
{
    ext->DeviceIdString = (PCHAR)ExAllocatePoolWithTag(PagedPool, ID_STRING_SIZE, TAG_ID_STRING);
    if (ext->DeviceIdString == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(ext->DeviceIdString, ID_STRING_SIZE);
    if (ext->AdapterDescriptor->BusType != IEEE1394_BUS_TYPE) {
        FormatScsiIdentity(ext);
        ext->PortNumber = ext->DeviceNumber;
        return STATUS_SUCCESS;
    }
    NTSTATUS status = QueryPrinterDeviceId(ext);
    if (!NT_SUCCESS(status)) {
        ExFreePool(ext->DeviceIdString);
        ext->DeviceIdString = NULL;
        return status;
    }
    if (!IsLegacyPlatform()) {
        RegisterPortInterface(Fdo);
        AssignPortNumber(Fdo);
    }
    WritePortInterfaceValues(Fdo);
    return STATUS_SUCCESS;
}

static VOID FreeDescriptors(PDEVICE_EXTENSION ext)
{
    if (ext->AdapterDescriptor != NULL) {
        ExFreePool(ext->AdapterDescriptor);
        ext->AdapterDescriptor = NULL;
    }
    if (ext->DeviceDescriptor != NULL) {
        ExFreePool(ext->DeviceDescriptor);
        ext->DeviceDescriptor = NULL;
    }
}

NTSTATUS StartUnit(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSTORAGE_DESCRIPTOR_HEADER descriptor;

    // The child is marked started at every start: a stop or a removal
    // cleared FLAG_STARTED, and a child started again carries requests
    // again.
    if (!(ext->Flags & FLAG_FDO)) {
        ChangeExtensionFlags(ext, FLAG_CHILD_STARTED | FLAG_STARTED, 0);
        return STATUS_SUCCESS;
    }
    ext->TimeoutSeconds = ReadRegistryDword(L"TIME_OUT");
    if (ext->TimeoutSeconds == 0)
        ext->TimeoutSeconds = DEFAULT_TIMEOUT_SECONDS;

    // A restart after a stop asks again; the copies of the earlier start go.
    FreeDescriptors(ext);
    NTSTATUS status = QueryStorageProperty(ext->LowerDevice, StorageAdapterProperty, &descriptor);
    if (!NT_SUCCESS(status))
        return status;
    ext->AdapterDescriptor = (PSTORAGE_ADAPTER_DESCRIPTOR)descriptor;
    status = QueryStorageProperty(ext->LowerDevice, StorageDeviceProperty, &descriptor);
    if (!NT_SUCCESS(status))
        return status;
    ext->DeviceDescriptor = (PSTORAGE_DEVICE_DESCRIPTOR)descriptor;

    if (ext->DeviceIdString == NULL) {
        status = IdentifyPrinter(DeviceObject, ext);
        if (!NT_SUCCESS(status))
            return status;
        EnablePortInterface(DeviceObject);
    }
    ChangeExtensionFlags(ext, FLAG_STARTED, 0);
    ext->UseScsiPrint = ReadRegistryDword(L"USE_SCSI_PRINT");
    ext->StripIdLength = 1;
    ext->MdlSize = ReadRegistryDword(L"MDL_SIZE");
    ext->StartComplete = 1;
    return STATUS_SUCCESS;
}

static NTSTATUS CreateLptLink(PDEVICE_EXTENSION ext, PUNICODE_STRING DeviceName)
{
    WCHAR linkText[32];
    UNICODE_STRING link;
    for (ULONG n = 2;; n++) {
        FormatNumberedName(linkText, L"\\DosDevices\\LPT", n);
        RtlInitUnicodeString(&link, linkText);
        NTSTATUS status = IoCreateSymbolicLink(&link, DeviceName);
        if (status == STATUS_OBJECT_NAME_COLLISION)
            continue;
        if (!NT_SUCCESS(status))
            return status;
        FormatNumberedName(LinkNameBuffer, L"\\\\.\\LPT", n);
        ext->LptNumber = n;
        return STATUS_SUCCESS;
    }
}

// Creates the FDO under the first free "\Device\Printer%d" name.
static NTSTATUS CreatePrinterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* Fdo, PULONG Number,
                                    PWCHAR NameText, PUNICODE_STRING Name)
{
    NTSTATUS status;
    for (ULONG number = 0;; number++) {
        FormatNumberedName(NameText, L"\\Device\\Printer", number);
        FormatNumberedName(LinkNameBuffer, L"\\\\.\\Printer", number);
        RtlInitUnicodeString(Name, NameText);
        // FILE_DEVICE_SECURE_OPEN: the device's security holds for a name
        // below it too ("\Device\Printer0\x"), as for the device itself.
        status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), Name, FILE_DEVICE_PRINTER,
                                FILE_DEVICE_SECURE_OPEN, FALSE, Fdo);
        if (status != STATUS_OBJECT_NAME_COLLISION) {
            *Number = number;
            return status;
        }
    }
}

static VOID InitUnitExtension(PDEVICE_OBJECT Fdo, ULONG Number, PDEVICE_OBJECT Top)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    Fdo->Flags |= DO_DIRECT_IO;
    ExInitializeFastMutex(&ext->OpenCloseMutex);
    ExInitializeFastMutex(&ext->OpenMutex);
    ExInitializeFastMutex(&ext->CloseMutex);
    ExInitializeFastMutex(&ext->EngineMutex);
    ext->Flags |= FLAG_FDO;
    ext->Self = Fdo;
    ext->DeviceNumber = Number;
    if (Fdo->AlignmentRequirement < Top->AlignmentRequirement)
        Fdo->AlignmentRequirement = Top->AlignmentRequirement;
    ext->DeviceDescriptor = NULL;
    ext->AdapterDescriptor = NULL;
    ext->SrbFlagsExtra = SRB_FLAGS_DISABLE_SYNCH_TRANSFER;
}

// AddDevice
//   Claims the SBP-2 unit, creates and attaches its FDO and enters it into
//   the unit table; on the legacy platform also the LPT link and, for unit 0,
//   the port publication. PASSIVE_LEVEL; the PnP manager calls it once per
//   unit, never beside the unit's PnP requests. A failure undoes every step
//   taken, in reverse order.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    WCHAR nameText[32];
    UNICODE_STRING name;
    PDEVICE_OBJECT fdo = NULL;
    PDEVICE_OBJECT lower = NULL;
    PDEVICE_EXTENSION ext = NULL;
    ULONG number = 0;
    NTSTATUS status;

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Pdo);
    status = ClaimDevice(top, FALSE);
    if (!NT_SUCCESS(status))
        goto dereference_top;
    status = CreatePrinterDevice(DriverObject, &fdo, &number, nameText, &name);
    if (!NT_SUCCESS(status))
        goto release_claim;
    InitUnitExtension(fdo, number, top);
    ext = (PDEVICE_EXTENSION)fdo->DeviceExtension;

    // Requests go to the device we were attached to: a lower filter may
    // sit between the PDO and us.
    lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (lower == NULL) {
        status = STATUS_DEVICE_BUSY;
        goto delete_device;
    }
    // A stack is pageable for power all the way up or not at all.
    fdo->Flags |= lower->Flags & DO_POWER_PAGABLE;
    ext->LowerDevice = lower;
    ext->Pdo = Pdo;
    // The other unit's requests count on this FDO from the moment it is in
    // the unit table.
    ext->IoCount = 1;
    KeInitializeEvent(&ext->IoIdleEvent, NotificationEvent, FALSE);
    UnitTableAdd(Pdo, fdo);

    if (IsLegacyPlatform()) {
        status = CreateLptLink(ext, &name);
        if (!NT_SUCCESS(status))
            goto leave_table;
    }
    ObDereferenceObject(top);

    fdo->Flags &= ~DO_DEVICE_INITIALIZING;

    if (IsLegacyPlatform() && UnitTableIsInSlot(0, NULL, fdo)) {
        RegisterPortInterface(fdo);
        AssignPortNumber(fdo);
        WritePortName(Pdo, ext->PortNumber);
    }
    return STATUS_SUCCESS;

leave_table:
    UnitTableDropFdo(fdo);
    IoDetachDevice(lower);
delete_device:
    IoDeleteDevice(fdo);
release_claim:
    ClaimDevice(top, TRUE);
dereference_top:
    ObDereferenceObject(top);
    return status;
}
