/*
 * Kernel routines the class driver imports that Wine 8's ntoskrnl lacks or
 * only pretends to have. The stand-in points the class driver's imports of
 * them at routines of its own that do what Windows does:
 *
 * - IoOpenDeviceInterfaceRegistryKey is a stub that ends the process when
 *   called; the class driver calls it to write the port's values on a 1394
 *   adapter. The replacement opens the key Windows opens: "Device
 *   Parameters" under the interface's instance key.
 * - ObReferenceObjectByPointer is a stub that takes no reference and fails;
 *   the class driver references its child with it when it reports the child
 *   in unit 0's bus relations. Wine's PnP manager keeps that list and drops
 *   its references when the unit's PDO is deleted, so without a reference
 *   taken the child's device object is freed under the class driver, whose
 *   own IoDeleteDevice of the child then reads and writes the freed block
 *   (its reference count among it): the heap of the process that hosts the
 *   drivers is corrupted or not depending on what the heap or the other
 *   threads put there in between. The replacement references the object
 *   as Windows does for a kernel-mode caller that names no type.
 *
 * And one piece of data: KeTickCount. On x86, wdm.h's KeQueryTickCount is a
 * macro that reads the data export; Wine's KeTickCount moves only when its
 * own KeQueryTickCount routine is called, so a driver reading it sees a
 * clock that has stopped. A thread of the stand-in calls that routine every
 * millisecond, which keeps the export moving for every driver of the
 * process, as the clock interrupt keeps it on Windows.
 */
#include <wdm.h>
#include <ntimage.h>

#include "winegaps.h"

typedef VOID(NTAPI* QUERY_TICK_COUNT)(PLARGE_INTEGER CurrentCount);
static QUERY_TICK_COUNT QueryTickCount;

static VOID NTAPI MoveTickCount(PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    LARGE_INTEGER interval;
    interval.QuadPart = -10000; /* 1 ms */
    for (;;) {
        LARGE_INTEGER now;
        QueryTickCount(&now);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

BOOLEAN KeepTickCountMoving(void)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"KeQueryTickCount");
    QueryTickCount = (QUERY_TICK_COUNT)MmGetSystemRoutineAddress(&name);
    if (QueryTickCount == NULL)
        return FALSE;
    HANDLE thread;
    if (!NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                         MoveTickCount, NULL)))
        return FALSE;
    ZwClose(thread);
    return TRUE;
}

#define CLASS_GUID_CHARS 38
#define KEY_PATH_CHARS 512

static const WCHAR DeviceClasses[] =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses\\";

static BOOLEAN Append(PWCHAR Path, PULONG Used, const WCHAR* Text, ULONG Chars)
{
    if (*Used + Chars + 1 > KEY_PATH_CHARS)
        return FALSE;
    RtlCopyMemory(Path + *Used, Text, Chars * sizeof(WCHAR));
    *Used += Chars;
    Path[*Used] = 0;
    return TRUE;
}

/* "\??\<instance, '\' as '#'>#{class}" names the key
 * DeviceClasses\{class}\##?#<instance, '\' as '#'>#{class}\#\Device Parameters
 * (no reference string: the class driver registers none). */
static NTSTATUS NTAPI OpenDeviceInterfaceKey(PUNICODE_STRING Link, ACCESS_MASK Access, PHANDLE Key)
{
    ULONG chars = Link->Length / sizeof(WCHAR);
    const WCHAR* link = Link->Buffer;
    *Key = NULL;
    if (chars < 4 + CLASS_GUID_CHARS || link[0] != L'\\' || link[1] != L'?' || link[2] != L'?' ||
        link[3] != L'\\')
        return STATUS_OBJECT_NAME_INVALID;
    WCHAR path[KEY_PATH_CHARS];
    ULONG used = 0;
    path[0] = 0;
    BOOLEAN fits = Append(path, &used, DeviceClasses, sizeof(DeviceClasses) / sizeof(WCHAR) - 1) &&
                   Append(path, &used, link + chars - CLASS_GUID_CHARS, CLASS_GUID_CHARS) &&
                   Append(path, &used, L"\\##?#", 5) && Append(path, &used, link + 4, chars - 4) &&
                   Append(path, &used, L"\\#\\Device Parameters", 20);
    if (!fits)
        return STATUS_NAME_TOO_LONG;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    return ZwCreateKey(Key, Access, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
}

/* The image holding Code: images start on a 64 KiB boundary at or below
 * their code, and every boundary between there and the code lies inside the
 * mapped image. */
static PUCHAR ImageOf(PVOID Code)
{
    ULONG_PTR at = (ULONG_PTR)Code & ~(ULONG_PTR)0xFFFF;
    for (int step = 0; step < 64 && at != 0; step++, at -= 0x10000) {
        PIMAGE_DOS_HEADER dos = (PIMAGE_DOS_HEADER)at;
        if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 || dos->e_lfanew > 0x1000)
            continue;
        IMAGE_NT_HEADERS32* nt = (IMAGE_NT_HEADERS32*)(at + dos->e_lfanew);
        if (nt->Signature == IMAGE_NT_SIGNATURE &&
            (ULONG_PTR)Code < at + nt->OptionalHeader.SizeOfImage)
            return (PUCHAR)at;
    }
    return NULL;
}

static BOOLEAN SameName(const char* A, const char* B)
{
    for (; *A && *B; A++, B++) {
        char a = *A >= 'A' && *A <= 'Z' ? (char)(*A + 32) : *A;
        char b = *B >= 'A' && *B <= 'Z' ? (char)(*B + 32) : *B;
        if (a != b)
            return FALSE;
    }
    return *A == *B;
}

static BOOLEAN ReplaceImport(PUCHAR Base, const char* Dll, const char* Routine, PVOID Replacement)
{
    IMAGE_NT_HEADERS32* nt = (IMAGE_NT_HEADERS32*)(Base + ((PIMAGE_DOS_HEADER)Base)->e_lfanew);
    IMAGE_DATA_DIRECTORY directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return FALSE;
    for (PIMAGE_IMPORT_DESCRIPTOR d = (PIMAGE_IMPORT_DESCRIPTOR)(Base + directory.VirtualAddress);
         d->Name != 0; d++) {
        if (!SameName((const char*)(Base + d->Name), Dll))
            continue;
        PIMAGE_THUNK_DATA32 names = (PIMAGE_THUNK_DATA32)(Base + d->OriginalFirstThunk);
        PIMAGE_THUNK_DATA32 slots = (PIMAGE_THUNK_DATA32)(Base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL32(names->u1.Ordinal))
                continue;
            PIMAGE_IMPORT_BY_NAME byName = (PIMAGE_IMPORT_BY_NAME)(Base + names->u1.AddressOfData);
            if (SameName((const char*)byName->Name, Routine)) {
                slots->u1.Function = (ULONG)(ULONG_PTR)Replacement;
                return TRUE;
            }
        }
    }
    return FALSE;
}

LONG ReferencesGiven;

static NTSTATUS NTAPI ReferenceObjectByPointer(PVOID Object, ACCESS_MASK Access, POBJECT_TYPE Type,
                                               KPROCESSOR_MODE Mode)
{
    UNREFERENCED_PARAMETER(Access);
    UNREFERENCED_PARAMETER(Type);
    UNREFERENCED_PARAMETER(Mode);
    ObReferenceObject(Object);
    InterlockedIncrement(&ReferencesGiven);
    return STATUS_SUCCESS;
}

static BOOLEAN ReplaceClassDriverImport(PDRIVER_OBJECT ClassDriver, const char* Routine,
                                        PVOID Replacement)
{
    PUCHAR base = ImageOf((PVOID)ClassDriver->MajorFunction[IRP_MJ_PNP]);
    return base != NULL && ReplaceImport(base, "ntoskrnl.exe", Routine, Replacement);
}

BOOLEAN ProvideInterfaceKeyRoutine(PDRIVER_OBJECT ClassDriver)
{
    return ReplaceClassDriverImport(ClassDriver, "IoOpenDeviceInterfaceRegistryKey",
                                    (PVOID)OpenDeviceInterfaceKey);
}

BOOLEAN ProvideReferenceRoutine(PDRIVER_OBJECT ClassDriver)
{
    return ReplaceClassDriverImport(ClassDriver, "ObReferenceObjectByPointer",
                                    (PVOID)ReferenceObjectByPointer);
}
