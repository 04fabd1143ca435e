// The child device of a printer: unit 0's FDO acts as bus driver for one PDO
// whose printer-style IDs ("LPTENUM\...") let the printer's own driver
// package be installed on it.

#include <ntddk.h>
#include "prnsbp.h"
#include "identify.h"

// "LPTENUM\" or "SCSI\" in front of a 255-character identification string.
#define CHILD_ID_TEXT_SIZE (ID_STRING_SIZE + 16)
// A name left behind by a child that is still being torn down makes us try
// the next number; this many tries are plenty.
#define CHILD_NAME_ATTEMPTS 64

// Names the child after its parent's device number: "\Device\PrinterChild0"
// belongs to "\Device\Printer0". The number is unique while the parent
// lives, and the child never outlives its parent.
static NTSTATUS MakeChildName(PDEVICE_EXTENSION Extension, ULONG Attempt, PUNICODE_STRING Name)
{
    CHAR text[48];
    ULONG used = 0;
    text[0] = '\0';
    IdAppendText(text, sizeof(text), &used, "\\Device\\PrinterChild");
    IdAppendDecimal(text, sizeof(text), &used, Extension->DeviceNumber + Attempt, 1);
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, text);
    return RtlAnsiStringToUnicodeString(Name, &ansi, TRUE);
}

static VOID InitChildExtension(PDEVICE_OBJECT Child, PDEVICE_EXTENSION Parent, PUNICODE_STRING Name)
{
    PCHILD_EXTENSION ext = (PCHILD_EXTENSION)Child->DeviceExtension;
    RtlZeroMemory(ext, sizeof(CHILD_EXTENSION));
    ext->Self = Child;
    ext->IoCount = 1;
    KeInitializeEvent(&ext->IoIdleEvent, NotificationEvent, FALSE);
    // The child sends its requests to the top of the parent's stack. It keeps
    // no reference: the parent deletes the child before its own stack goes.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Parent->Self);
    ObDereferenceObject(top);
    ext->LowerDevice = top;
    ext->PrevPnpState = PNP_STATE_NONE;
    ext->PnpState = IRP_MN_STOP_DEVICE;
    ext->ChildName = *Name;
    ext->Parent = Parent;
}

NTSTATUS CreateChildPdo(PDEVICE_EXTENSION Extension)
{
    if (Extension->ChildPdo != NULL)
        return Extension->ChildPdo == Extension->SuppressedChild ? STATUS_NOT_SUPPORTED
                                                                 : STATUS_SUCCESS;
    PDEVICE_OBJECT child = NULL;
    UNICODE_STRING name;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    for (ULONG attempt = 0; status == STATUS_OBJECT_NAME_COLLISION && attempt < CHILD_NAME_ATTEMPTS;
         attempt++) {
        status = MakeChildName(Extension, attempt, &name);
        if (!NT_SUCCESS(status))
            return status;
        status = IoCreateDevice(Extension->Self->DriverObject, sizeof(CHILD_EXTENSION), &name,
                                FILE_DEVICE_PRINTER, FILE_DEVICE_SECURE_OPEN, FALSE, &child);
        if (!NT_SUCCESS(status))
            RtlFreeUnicodeString(&name);
    }
    if (!NT_SUCCESS(status))
        return status;
    InitChildExtension(child, Extension, &name);
    Extension->ChildPdo = child;
    // The child's power requests need nothing resident: the power manager
    // may call it at PASSIVE_LEVEL.
    child->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    child->StackSize =
        (CCHAR)(((PCHILD_EXTENSION)child->DeviceExtension)->LowerDevice->StackSize + 1);
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static NTSTATUS ReportBusRelations(PDEVICE_OBJECT Fdo, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    PDEVICE_OBJECT reported = NULL;
    if (UnitTableIsInSlot(0, NULL, Fdo)) {
        NTSTATUS status = CreateChildPdo(ext);
        if (NT_SUCCESS(status))
            reported = ext->ChildPdo;
        else if (status != STATUS_NOT_SUPPORTED)
            return status;
    }
    // A driver above may have reported devices of its own: the list handed
    // on holds them (with the references they came with) and the child.
    PDEVICE_RELATIONS earlier = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
    ULONG kept = earlier != NULL ? earlier->Count : 0;
    PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(DEVICE_RELATIONS) + kept * sizeof(PDEVICE_OBJECT), TAG_BUS_RELATIONS);
    if (relations == NULL)
        return STATUS_SUCCESS;
    relations->Count = 0;
    for (ULONG i = 0; i < kept; i++)
        relations->Objects[relations->Count++] = earlier->Objects[i];
    // The PnP manager drops a reference of every device in the list: a
    // child whose reference was not taken would be freed under the driver,
    // so it is left out instead.
    if (reported != NULL && NT_SUCCESS(ObReferenceObjectByPointer(reported, 0, NULL, KernelMode)))
        relations->Objects[relations->Count++] = reported;
    if (earlier != NULL)
        ExFreePool(earlier);
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS QueryBusRelations(PDEVICE_OBJECT Fdo, DEVICE_RELATION_TYPE Type, PIRP Irp,
                           PBOOLEAN Complete)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    *Complete = TRUE;
    if (Type == BusRelations) {
        NTSTATUS status = ReportBusRelations(Fdo, Irp);
        if (!NT_SUCCESS(status))
            return status;
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoCountRelease(Fdo);
    *Complete = FALSE;
    return IoCallDriver(ext->LowerDevice, Irp);
}

static BOOLEAN ParentIs1394(PDEVICE_EXTENSION Parent)
{
    return Parent->AdapterDescriptor != NULL &&
           Parent->AdapterDescriptor->BusType == IEEE1394_BUS_TYPE;
}

// The converted text in a zeroed paged-pool buffer with Spare bytes of zeros
// beyond its terminator. The PnP manager frees ID strings with ExFreePool, so
// they come from the pool, not from RtlAnsiStringToUnicodeString's own
// allocation (which Wine keeps in another heap).
static NTSTATUS MakeIdBuffer(const CHAR* Text, ULONG Spare, PUNICODE_STRING Id)
{
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, Text);
    // Room for one code unit per byte and the terminator: enough in every
    // code page, without RtlxAnsiStringToUnicodeSize (windows/exports).
    ULONG size = ((ULONG)ansi.Length + 1) * sizeof(WCHAR);
    PWCHAR buffer = (PWCHAR)ExAllocatePoolWithTag(PagedPool, size + Spare, TAG_UNIT_TABLE);
    if (buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(buffer, size + Spare);
    UNICODE_STRING converted;
    converted.Buffer = buffer;
    converted.Length = 0;
    converted.MaximumLength = (USHORT)size;
    NTSTATUS status = RtlAnsiStringToUnicodeString(&converted, &ansi, FALSE);
    if (!NT_SUCCESS(status)) {
        ExFreePool(buffer);
        return status;
    }
    Id->Buffer = buffer;
    Id->Length = converted.Length;
    Id->MaximumLength = (USHORT)(size + Spare);
    return STATUS_SUCCESS;
}

// A single ID string; the PnP manager frees it.
static NTSTATUS MakeIdString(const CHAR* Text, PUNICODE_STRING Id)
{
    return MakeIdBuffer(Text, 0, Id);
}

// A multi-string of one entry: the converted text followed by two zero
// characters; the PnP manager frees it.
static NTSTATUS MakeIdMultiString(const CHAR* Text, PUNICODE_STRING Id)
{
    return MakeIdBuffer(Text, sizeof(WCHAR), Id);
}

static NTSTATUS QueryDeviceIdOfChild(PDEVICE_EXTENSION Parent, const CHAR* Identification,
                                     PUNICODE_STRING Id)
{
    CHAR text[CHILD_ID_TEXT_SIZE];
    ULONG used = 0;
    text[0] = '\0';
    IdAppendText(text, sizeof(text), &used, ParentIs1394(Parent) ? "LPTENUM\\" : "SCSI\\");
    IdAppendText(text, sizeof(text), &used, Identification);
    ULONG copied = 0;
    Parent->ChildIdBuffer[0] = '\0';
    IdAppendText(Parent->ChildIdBuffer, sizeof(Parent->ChildIdBuffer), &copied, text);
    return MakeIdString(text, Id);
}

static NTSTATUS QueryHardwareIdsOfChild(PDEVICE_OBJECT Child, PDEVICE_EXTENSION Parent,
                                        PCHAR Identification, ULONG Form, PUNICODE_STRING Id)
{
    if (!ParentIs1394(Parent))
        return MakeIdMultiString(Identification, Id);
    CHAR text[ID_STRING_SIZE];
    BuildIdFromDeviceId(Identification, Form, text, NULL, NULL, NULL);
    if (Form == ID_FORM_HARDWARE && !IsLegacyPlatform())
        WritePortName(Child, Parent->PortNumber);
    return MakeIdMultiString(text, Id);
}

static NTSTATUS QueryInstanceIdOfChild(PDEVICE_EXTENSION Parent, PUNICODE_STRING Id)
{
    CHAR text[32];
    ULONG used = 0;
    text[0] = '\0';
    IdAppendText(text, sizeof(text), &used, ParentIs1394(Parent) ? PORT_BASE_NAME_A : "SCSI");
    IdAppendDecimal(text, sizeof(text), &used, Parent->PortNumber, 3);
    return MakeIdString(text, Id);
}

NTSTATUS QueryChildId(PDEVICE_OBJECT Child, BUS_QUERY_ID_TYPE Type, PUNICODE_STRING Id)
{
    PDEVICE_EXTENSION parent = ((PCHILD_EXTENSION)Child->DeviceExtension)->Parent;
    Id->Buffer = NULL;
    Id->Length = 0;
    Id->MaximumLength = 0;
    if (Type != BusQueryDeviceID && Type != BusQueryHardwareIDs && Type != BusQueryCompatibleIDs &&
        Type != BusQueryInstanceID)
        return STATUS_NOT_IMPLEMENTED;
    // The parent's identification is freed when it is surprise-removed,
    // which may happen while this query runs: it is copied under FlagsLock.
    CHAR identification[ID_STRING_SIZE];
    if (parent == NULL || !CopyIdentification(parent, identification))
        return STATUS_DELETE_PENDING;
    switch (Type) {
    case BusQueryDeviceID:
        return QueryDeviceIdOfChild(parent, identification, Id);
    case BusQueryHardwareIDs:
        return QueryHardwareIdsOfChild(Child, parent, identification, ID_FORM_HARDWARE, Id);
    case BusQueryCompatibleIDs:
        return QueryHardwareIdsOfChild(Child, parent, identification, ID_FORM_COMPATIBLE, Id);
    default:
        return QueryInstanceIdOfChild(parent, Id);
    }
}
