// Printer identification: reading the IEEE 1284 device ID from the printer,
// parsing it, and the strings and checksum the child device's IDs are made of.

#include <ntddk.h>
#include "prnsbp.h"
#include "identify.h"

// Hardware and compatible IDs carry at most this many characters of the
// identification string in front of the checksum.
#define ID_HARDWARE_TEXT_CHARS 20
// The text leaf returned by the port driver starts with the leaf header and
// the descriptor header in front of the device ID text.
#define ID_LEAF_HEADER_BYTES SBP2_TEXT_LEAF_HEADER_SIZE

static const USHORT ChecksumLow[16] = {0x0000, 0xC0C1, 0xC181, 0x0140, 0xC301, 0x03C0,
                                       0x0280, 0xC241, 0xC601, 0x06C0, 0x0780, 0xC741,
                                       0x0500, 0xC5C1, 0xC481, 0x0440};
// The last entry is not the usual CRC-16 one (0x4400). The hardware IDs of
// printers already installed were made with this table, so it stays.
static const USHORT ChecksumHigh[16] = {0x0000, 0xCC01, 0xD801, 0x1400, 0xF001, 0x3C00,
                                        0x2800, 0xE401, 0xA001, 0x6C00, 0x7800, 0xB401,
                                        0x5000, 0x9C01, 0x8801, 0x4600};

VOID IdChecksum(PCHAR Data, USHORT Length, PUSHORT Checksum)
{
    USHORT crc = 0;
    for (USHORT i = 0; i < Length; i++) {
        UCHAR x = (UCHAR)((crc ^ (UCHAR)Data[i]) & 0xFF);
        crc = (USHORT)((crc >> 8) ^ ChecksumHigh[x >> 4] ^ ChecksumLow[x & 0xF]);
    }
    *Checksum = crc;
}

static BOOLEAN KeyStartsWith(PCHAR Key, const CHAR* Prefix)
{
    while (*Prefix != '\0') {
        if (*Key != *Prefix)
            return FALSE;
        Key++;
        Prefix++;
    }
    return TRUE;
}

static PCHAR FindChar(PCHAR Text, CHAR Wanted)
{
    for (; *Text != '\0'; Text++)
        if (*Text == Wanted)
            return Text;
    return NULL;
}

VOID ParseIeee1284Id(PCHAR String, PCHAR* Manufacturer, PCHAR* Model)
{
    *Manufacturer = NULL;
    *Model = NULL;
    PCHAR position = FindChar(String, '&');
    position = position != NULL ? position + 1 : String;
    for (;;) {
        while (*position == ' ')
            position++;
        PCHAR colon = FindChar(position, ':');
        if (colon == NULL)
            return;
        PCHAR value = colon + 1;
        // "MANUFA" rather than the whole word: some printers abbreviate it.
        if (KeyStartsWith(position, "MANUFA") || KeyStartsWith(position, "MFG"))
            *Manufacturer = value;
        else if (KeyStartsWith(position, "MODEL") || KeyStartsWith(position, "MDL"))
            *Model = value;
        PCHAR semicolon = FindChar(value, ';');
        if (semicolon == NULL)
            return;
        *semicolon = '\0';
        position = semicolon + 1;
    }
}

static VOID AppendChecksum(PCHAR Out, ULONG Size, PULONG Used, USHORT Checksum)
{
    static const CHAR digits[] = "0123456789ABCDEF";
    // "%4X": upper-case hexadecimal, blank-padded to four places.
    CHAR text[5];
    ULONG start = 4;
    text[4] = '\0';
    do {
        text[--start] = digits[Checksum & 0xF];
        Checksum = (USHORT)(Checksum >> 4);
    } while (Checksum != 0);
    while (start > 0)
        text[--start] = ' ';
    IdAppendText(Out, Size, Used, text);
}

static VOID BlanksToUnderscores(PCHAR Text)
{
    for (; *Text != '\0'; Text++)
        if (*Text == ' ')
            *Text = '_';
}

static ULONG BoundedLength(const CHAR* Text, ULONG Max)
{
    ULONG length = 0;
    while (length < Max && Text[length] != '\0')
        length++;
    return length;
}

static VOID CopyText(PCHAR Out, ULONG Size, const CHAR* Text)
{
    ULONG used = 0;
    IdAppendText(Out, Size, &used, Text);
}

static NTSTATUS BuildIdentification(PCHAR DeviceId, PCHAR Out, PCHAR OutDescription,
                                    PCHAR OutManufacturer, PCHAR OutModel)
{
    PCHAR manufacturer;
    PCHAR model;
    ParseIeee1284Id(DeviceId, &manufacturer, &model);
    if (manufacturer == NULL || model == NULL)
        return STATUS_NOT_FOUND;
    ULONG used = 0;
    IdAppendText(Out, ID_STRING_SIZE, &used, manufacturer);
    IdAppendText(Out, ID_STRING_SIZE, &used, model);
    if (OutDescription != NULL) {
        used = 0;
        IdAppendText(OutDescription, ID_STRING_SIZE, &used, manufacturer);
        IdAppendText(OutDescription, ID_STRING_SIZE, &used, " ");
        IdAppendText(OutDescription, ID_STRING_SIZE, &used, model);
    }
    if (OutManufacturer != NULL)
        CopyText(OutManufacturer, ID_MANUFACTURER_SIZE, manufacturer);
    if (OutModel != NULL)
        CopyText(OutModel, ID_MODEL_SIZE, model);
    return STATUS_SUCCESS;
}

// "LPTENUM\" (hardware form only), at most 20 characters of the
// identification string and its checksum, blanks made underscores.
static VOID BuildPrinterStyleId(PCHAR DeviceId, BOOLEAN WithPrefix, PCHAR Out)
{
    USHORT checksum;
    IdChecksum(DeviceId, (USHORT)BoundedLength(DeviceId, ID_STRING_SIZE), &checksum);
    ULONG used = 0;
    Out[0] = '\0';
    if (WithPrefix)
        IdAppendText(Out, ID_STRING_SIZE, &used, "LPTENUM\\");
    IdAppendTextN(Out, ID_STRING_SIZE, &used, DeviceId, ID_HARDWARE_TEXT_CHARS);
    AppendChecksum(Out, ID_STRING_SIZE, &used, checksum);
    BlanksToUnderscores(Out);
}

NTSTATUS BuildIdFromDeviceId(PCHAR DeviceId, ULONG Form, PCHAR Out, PCHAR OutDescription,
                             PCHAR OutManufacturer, PCHAR OutModel)
{
    switch (Form) {
    case ID_FORM_IDENTIFICATION:
        return BuildIdentification(DeviceId, Out, OutDescription, OutManufacturer, OutModel);
    case ID_FORM_HARDWARE:
        BuildPrinterStyleId(DeviceId, TRUE, Out);
        return STATUS_SUCCESS;
    case ID_FORM_COMPATIBLE:
        BuildPrinterStyleId(DeviceId, FALSE, Out);
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// Takes the device ID text out of the leaf the port driver returned and
// identifies the printer by it. The leaf is LeafLength bytes; its text need
// not be terminated, and a leaf too short for its headers has no text.
static VOID IdentifyFromLeaf(PDEVICE_EXTENSION Extension, PCHAR Leaf, ULONG LeafLength)
{
    CHAR identification[ID_STRING_SIZE];
    ULONG textLength = LeafLength > ID_LEAF_HEADER_BYTES ? LeafLength - ID_LEAF_HEADER_BYTES : 0;
    if (textLength > 0)
        RtlMoveMemory(Leaf, Leaf + ID_LEAF_HEADER_BYTES, textLength);
    // Within the leaf: textLength < LeafLength whenever the leaf has a byte.
    if (LeafLength > 0)
        Leaf[textLength] = '\0';
    identification[0] = '\0';
    NTSTATUS status = LeafLength > 0
                          ? BuildIdFromDeviceId(Leaf, ID_FORM_IDENTIFICATION, identification, NULL,
                                                Extension->Manufacturer, Extension->Model)
                          : STATUS_NOT_FOUND;
    CopyText(Extension->DeviceIdString, ID_STRING_SIZE,
             NT_SUCCESS(status) ? identification : UNNAMED_PRINTER_ID);
}

static VOID FillDeviceIdRequest(PSBP2_REQUEST Request)
{
    RtlZeroMemory(Request, sizeof(SBP2_REQUEST));
    Request->RequestNumber = SBP2_REQUEST_RETRIEVE_TEXT_LEAFS;
    Request->LeafFlags = SBP2REQ_RETRIEVE_TEXT_LEAF_INDIRECT;
    Request->Key = SBP2_DEVICE_ID_LEAF_KEY;
}

// Asks the port driver for the text leaf that holds the device ID and waits
// for the answer.
static NTSTATUS SendDeviceIdRequest(PDEVICE_EXTENSION Extension, PIRP Irp, PSBP2_REQUEST Request)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SBP2_REQUEST;
    next->Parameters.Others.Argument1 = Request;
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS QueryPrinterDeviceId(PDEVICE_EXTENSION Extension)
{
    PSBP2_REQUEST request =
        (PSBP2_REQUEST)ExAllocatePoolWithTag(NonPagedPool, sizeof(SBP2_REQUEST), TAG_SBP2_REQUEST);
    if (request == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIRP irp = IoAllocateIrp(Extension->LowerDevice->StackSize, FALSE);
    if (irp == NULL) {
        ExFreePool(request);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FillDeviceIdRequest(request);
    NTSTATUS status = SendDeviceIdRequest(Extension, irp, request);
    if (NT_SUCCESS(status) && NT_SUCCESS(irp->IoStatus.Status) && request->Buffer != NULL) {
        IdentifyFromLeaf(Extension, (PCHAR)request->Buffer, request->Length);
        ExFreePool(request->Buffer);
        status = STATUS_SUCCESS;
    } else if (NT_SUCCESS(irp->IoStatus.Status)) {
        // A success without a leaf leaves the printer unidentified: that
        // must not start it as if it had been.
        status = STATUS_UNSUCCESSFUL;
    } else {
        status = irp->IoStatus.Status;
    }
    IoFreeIrp(irp);
    ExFreePool(request);
    return status;
}
