// Publication of a printer as a printer port: the device interface that the
// port monitor looks for, the values it reads there, and the port number that
// stays with a printer for good.

#include <ntddk.h>
#include "prnsbp.h"
#include "identify.h"

// {28D78FAD-5A12-11D1-AE5B-0000F803A8C2}: the class of USB printers, whose
// port monitor also creates our ports.
static const GUID PortInterfaceClass = {
    0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};
// {79016500-6B8F-4147-9E51-8D3E7B343DD5}: the class used on Windows 98/Me.
static const GUID LegacyPortInterfaceClass = {
    0x79016500, 0x6B8F, 0x4147, {0x9E, 0x51, 0x8D, 0x3E, 0x7B, 0x34, 0x3D, 0xD5}};

// "\PortNumber\Port" and up to ten digits behind the base path.
#define PORT_KEY_SUFFIX_CHARS 32
// A stored printer key is read into this many bytes; a longer value is not
// one of ours and counts as not matching.
#define STORED_KEY_BUFFER_BYTES 512
// The description keeps the printer key from this code unit on: the part
// that tells two printers of one model apart.
#define KEY_TAIL_START 11
// The colon and six code units of the key's tail.
#define KEY_TAIL_BYTES 14
#define DESCRIPTION_ANSI_BYTES 256
#define DESCRIPTION_WIDE_BYTES 512
// No system hands out this many printer ports: a "MaxPortNumber" above it
// was not written by this driver, and the search goes no further.
#define PORT_NUMBER_LIMIT 4096

VOID RegisterPortInterface(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    const GUID* guid = IsLegacyPlatform() ? &LegacyPortInterfaceClass : &PortInterfaceClass;
    NTSTATUS status = IoRegisterDeviceInterface(ext->Pdo, guid, NULL, &ext->InterfaceName);
    if (!NT_SUCCESS(status)) {
        ext->InterfaceName.Buffer = NULL;
        return;
    }
}

// Unit 1 is registered too but stays disabled: one printer, one port. Called
// once the interface's values are written: a port monitor woken by the
// arrival reads them at once.
VOID EnablePortInterface(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    if (ext->InterfaceName.Buffer != NULL && UnitTableIsInSlot(0, NULL, Fdo))
        IoSetDeviceInterfaceState(&ext->InterfaceName, TRUE);
}

// A registry path of the port numbers, built in one pool buffer that is
// reused for every key the search visits.
typedef struct _PORT_KEY_PATH {
    PWSTR Buffer;
    ULONG Chars; // capacity, terminator included
} PORT_KEY_PATH, *PPORT_KEY_PATH;

static BOOLEAN AllocatePortKeyPath(PPORT_KEY_PATH Path)
{
    Path->Chars = RegistryPathSize / sizeof(WCHAR) + PORT_KEY_SUFFIX_CHARS + 1;
    Path->Buffer =
        (PWSTR)ExAllocatePoolWithTag(PagedPool, Path->Chars * sizeof(WCHAR), TAG_QUERY_TABLE);
    return Path->Buffer != NULL;
}

// Base + "\PortNumber", or Base + "\PortNumber\Port<n>" when Port is not 0.
// Base is the service key, or its parent on a legacy platform.
static PCWSTR FormatPortKeyPath(PPORT_KEY_PATH Path, ULONG Port)
{
    PWSTR path = Path->Buffer;
    ULONG used = 0;
    for (ULONG i = 0; used + 1 < Path->Chars && RegistryPath[i] != 0; i++)
        path[used++] = RegistryPath[i];
    if (IsLegacyPlatform()) {
        while (used > 0 && path[used - 1] != L'\\')
            used--;
        if (used > 0)
            used--;
    }
    path[used] = 0;
    IdAppendWide(path, Path->Chars, &used, L"\\PortNumber");
    if (Port != 0) {
        IdAppendWide(path, Path->Chars, &used, L"\\Port");
        IdAppendWideDecimal(path, Path->Chars, &used, Port, 1);
    }
    return path;
}

// "MaxPortNumber", 0 when it is missing, cannot be read or is not a number.
static ULONG ReadMaxPortNumber(PRTL_QUERY_REGISTRY_TABLE Table, PPORT_KEY_PATH Path)
{
    return QueryDwordValue(Table, FormatPortKeyPath(Path, 0), L"MaxPortNumber");
}

// Where a stored printer key is read into.
typedef struct _STORED_KEY {
    PWCHAR Buffer;
    ULONG Capacity;  // bytes
    BOOLEAN Present; // a "Guid" value of any type
    BOOLEAN Found;   // a string that fits
} STORED_KEY, *PSTORED_KEY;

typedef enum _PORT_STATE { PORT_FREE, PORT_OF_KEY, PORT_TAKEN } PORT_STATE;

// Takes a "Guid" that is a string and fits. A direct query would store a
// value of another type over the UNICODE_STRING itself (a blob with its
// length and type in front of it), past the reader's stack variable.
static NTSTATUS NTAPI CopyStoredKey(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                    ULONG ValueLength, PVOID Context, PVOID EntryContext)
{
    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);
    PSTORED_KEY stored = (PSTORED_KEY)EntryContext;
    stored->Present = TRUE;
    if (ValueType == REG_SZ && ValueLength <= stored->Capacity) {
        RtlCopyMemory(stored->Buffer, ValueData, ValueLength);
        stored->Found = TRUE;
    }
    return STATUS_SUCCESS;
}

// Whether port Port is stored with the printer key Key (KeyLength bytes,
// terminator included), with another one, or with none.
static PORT_STATE StoredPortState(PRTL_QUERY_REGISTRY_TABLE Table, PPORT_KEY_PATH Path, ULONG Port,
                                  PWCHAR Key, ULONG KeyLength)
{
    WCHAR buffer[STORED_KEY_BUFFER_BYTES / sizeof(WCHAR)];
    STORED_KEY stored;
    RtlZeroMemory(buffer, sizeof(buffer));
    stored.Buffer = buffer;
    stored.Capacity = sizeof(buffer);
    stored.Present = FALSE;
    stored.Found = FALSE;
    RtlZeroMemory(Table, 2 * sizeof(RTL_QUERY_REGISTRY_TABLE));
    Table[0].QueryRoutine = CopyStoredKey;
    Table[0].Name = (PWSTR)L"Guid";
    Table[0].EntryContext = &stored;
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                             FormatPortKeyPath(Path, Port), Table, NULL, NULL);
    if (!NT_SUCCESS(status) || !stored.Present)
        return PORT_FREE;
    return stored.Found && KeyLength <= sizeof(buffer) &&
                   RtlCompareMemory(buffer, Key, KeyLength) == KeyLength
               ? PORT_OF_KEY
               : PORT_TAKEN;
}

// "MaxPortNumber" only ever grows.
static NTSTATUS RecordNewPort(PPORT_KEY_PATH Path, ULONG Port, ULONG Max, PWCHAR Key,
                              ULONG KeyLength)
{
    if (Port > Max)
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, FormatPortKeyPath(Path, 0), L"MaxPortNumber",
                              REG_DWORD, &Port, sizeof(ULONG));
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, FormatPortKeyPath(Path, Port), L"Guid",
                                 REG_SZ, Key, KeyLength);
}

// A new printer gets the number after the highest handed out. A highest
// number beyond what can exist was not written by us: the search stops at
// the limit and the printer takes the first number without a key.
static ULONG FindOrAddPort(PRTL_QUERY_REGISTRY_TABLE Table, PPORT_KEY_PATH Path, PWCHAR Key,
                           ULONG KeyLength, NTSTATUS* Status)
{
    ULONG max = ReadMaxPortNumber(Table, Path);
    KMSIM_POINT(); // another printer's start may number itself here
    ULONG searched = max < PORT_NUMBER_LIMIT ? max : PORT_NUMBER_LIMIT;
    ULONG firstFree = 0;
    for (ULONG port = 1; port <= searched; port++) {
        PORT_STATE state = StoredPortState(Table, Path, port, Key, KeyLength);
        if (state == PORT_OF_KEY) {
            *Status = STATUS_SUCCESS;
            return port;
        }
        if (state == PORT_FREE && firstFree == 0)
            firstFree = port;
    }
    ULONG port = max < PORT_NUMBER_LIMIT ? max + 1 : firstFree;
    if (port == 0) {
        *Status = STATUS_INSUFFICIENT_RESOURCES;
        return 0;
    }
    *Status = RecordNewPort(Path, port, max, Key, KeyLength);
    return port;
}

NTSTATUS AssignPortNumber(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    ext->PortNumber = 0;
    if (!UnitTableIsInSlot(0, NULL, Fdo))
        return STATUS_DEVICE_BUSY;
    ULONG keyLength;
    WCHAR key[PRINTER_KEY_CHARS + 1];
    NTSTATUS status = UnitTableGetPrinterKey(Fdo, &keyLength, key);
    if (!NT_SUCCESS(status))
        return status;
    // Without memory for the search nothing is numbered: a search that
    // could not read the registry must not hand out a number in use.
    PRTL_QUERY_REGISTRY_TABLE table = (PRTL_QUERY_REGISTRY_TABLE)ExAllocatePoolWithTag(
        NonPagedPool, 2 * sizeof(RTL_QUERY_REGISTRY_TABLE), TAG_QUERY_TABLE);
    if (table == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    PORT_KEY_PATH path;
    if (!AllocatePortKeyPath(&path)) {
        ExFreePool(table);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Two printers starting at once would each read "MaxPortNumber" before
    // the other wrote it and take one number: one search at a time. The
    // registry routines need PASSIVE_LEVEL, so the lock is an event.
    KeWaitForSingleObject(&PortNumberLock, Executive, KernelMode, FALSE, NULL);
    ext->PortNumber = FindOrAddPort(table, &path, key, keyLength, &status);
    KeSetEvent(&PortNumberLock, IO_NO_INCREMENT, FALSE);
    ExFreePool(path.Buffer);
    ExFreePool(table);
    return status;
}

static NTSTATUS SetValue(HANDLE Key, PCWSTR Name, ULONG Type, PVOID Data, ULONG Size)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    return ZwSetValueKey(Key, &name, 0, Type, Data, Size);
}

// A REG_SZ value's size includes its terminator: a reader may take the
// data as it comes, and without one would read past the end.
static NTSTATUS SetTextValue(HANDLE Key, PCWSTR Name, PCWSTR Text)
{
    return SetValue(Key, Name, REG_SZ, (PVOID)Text, (CrtWideLength(Text) + 1) * sizeof(WCHAR));
}

// "Manufacturer Model:" and the tail of the printer key, e.g.
// "Acme P-1:A1B2C3".
static NTSTATUS SetPortDescription(PDEVICE_EXTENSION Ext, HANDLE Key, PWCHAR PrinterKey)
{
    CHAR text[DESCRIPTION_ANSI_BYTES];
    WCHAR wide[DESCRIPTION_WIDE_BYTES / sizeof(WCHAR)];
    ULONG used = 0;
    text[0] = '\0';
    IdAppendTextN(text, sizeof(text), &used, Ext->Manufacturer, sizeof(Ext->Manufacturer));
    IdAppendText(text, sizeof(text), &used, " ");
    IdAppendTextN(text, sizeof(text), &used, Ext->Model, sizeof(Ext->Model));
    RtlZeroMemory(wide, sizeof(wide));
    // The system's conversion, as for the child's IDs: bytes above 0x7F are
    // characters of the system code page. Room is kept for the key's tail.
    ANSI_STRING ansi;
    UNICODE_STRING converted;
    RtlInitAnsiString(&ansi, text);
    converted.Buffer = wide;
    converted.Length = 0;
    converted.MaximumLength = (USHORT)(sizeof(wide) - KEY_TAIL_BYTES - sizeof(WCHAR));
    NTSTATUS status = RtlAnsiStringToUnicodeString(&converted, &ansi, FALSE);
    if (!NT_SUCCESS(status))
        return status;
    ULONG textBytes = converted.Length;
    ULONG chars = textBytes / sizeof(WCHAR);
    wide[chars++] = L':';
    for (ULONG i = KEY_TAIL_START; i < PRINTER_KEY_CHARS && PrinterKey[i] != 0; i++)
        wide[chars++] = PrinterKey[i];
    // With its terminator, whatever the key's length (the buffer is zeroed).
    return SetValue(Key, L"Port Description", REG_SZ, wide, (chars + 1) * sizeof(WCHAR));
}

NTSTATUS WritePortInterfaceValues(PDEVICE_OBJECT Fdo)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Fdo->DeviceExtension;
    if (!UnitTableIsInSlot(0, NULL, Fdo))
        return STATUS_SUCCESS;
    if (ext->InterfaceName.Buffer == NULL)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    HANDLE key;
    NTSTATUS status = IoOpenDeviceInterfaceRegistryKey(&ext->InterfaceName, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status))
        return status;
    if (IsLegacyPlatform())
        SetTextValue(key, L"Link Name", LinkNameBuffer);
    ULONG port = ext->PortNumber;
    SetValue(key, L"Port Number", REG_DWORD, &port, sizeof(ULONG));
    // Only the last write's status is returned; the callers go on either way.
    SetTextValue(key, L"Base Name", PORT_BASE_NAME_W);
    ULONG keyLength;
    WCHAR printerKey[PRINTER_KEY_CHARS + 1];
    NTSTATUS keyStatus = UnitTableGetPrinterKey(Fdo, &keyLength, printerKey);
    if (!NT_SUCCESS(keyStatus)) {
        ZwClose(key);
        return keyStatus;
    }
    status = SetPortDescription(ext, key, printerKey);
    ZwClose(key);
    return status;
}

VOID WritePortName(PDEVICE_OBJECT DeviceObject, ULONG PortNumber)
{
    HANDLE key;
    if (!NT_SUCCESS(
            IoOpenDeviceRegistryKey(DeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key)))
        return;
    WCHAR name[PORT_NAME_CHARS];
    ULONG used = 0;
    name[0] = 0;
    IdAppendWide(name, PORT_NAME_CHARS, &used, PORT_BASE_NAME_W);
    IdAppendWideDecimal(name, PORT_NAME_CHARS, &used, PortNumber, 3);
    SetTextValue(key, L"PortName", name);
    ZwClose(key);
}
