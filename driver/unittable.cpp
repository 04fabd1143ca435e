// The unit table: pairs the two SBP-2 units of each printer and keeps the
// printer key that identifies a printer across reconnections. Every walk
// of the list holds UnitTableLock; the referenced lookups take the FDO's
// in-progress count under it (prnsbp.h, "Locks").
#include "prnsbp.h"

#define KEY_BYTES (PRINTER_KEY_CHARS * sizeof(WCHAR)) // 34

NTSTATUS QueryDeviceProperty(PDEVICE_OBJECT Pdo, DEVICE_REGISTRY_PROPERTY Property, PVOID* Buffer,
                             PULONG Length)
{
    ULONG needed = 0;
    *Buffer = NULL;
    *Length = 0;
    NTSTATUS status = IoGetDeviceProperty(Pdo, Property, 0, NULL, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL)
        return status;
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, needed, TAG_PROPERTY);
    if (buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = IoGetDeviceProperty(Pdo, Property, needed, buffer, &needed);
    *Buffer = buffer;
    *Length = needed;
    return status;
}

static VOID LockTable(void)
{
    ExAcquireFastMutex(&UnitTableLock);
}
static VOID UnlockTable(void)
{
    ExReleaseFastMutex(&UnitTableLock);
}

// Caller holds the lock.
static PPRINTER_NODE FindNodeByFdo(PDEVICE_OBJECT Fdo, PULONG SlotOut)
{
    if (Fdo == NULL)
        return NULL;
    for (PPRINTER_NODE node = PrinterList; node != NULL; node = node->Next) {
        for (ULONG slot = 0; slot < 2; slot++) {
            if (node->Slot[slot].Fdo == Fdo) {
                if (SlotOut != NULL)
                    *SlotOut = slot;
                return node;
            }
        }
    }
    return NULL;
}

static VOID UnlinkAndFree(PPRINTER_NODE victim)
{
    for (PPRINTER_NODE* link = &PrinterList; *link != NULL; link = &(*link)->Next) {
        if (*link == victim) {
            *link = victim->Next;
            ExFreePool(victim);
            return;
        }
    }
}

// Caller holds the lock.
static VOID RemoveByPdoLocked(PDEVICE_OBJECT Pdo)
{
    BOOLEAN found = TRUE;
    if (Pdo == NULL)
        return;
    while (found) {
        found = FALSE;
        for (PPRINTER_NODE node = PrinterList; node != NULL; node = node->Next) {
            if (node->Slot[0].Pdo == Pdo || node->Slot[1].Pdo == Pdo) {
                UnlinkAndFree(node);
                found = TRUE;
                break;
            }
        }
    }
}

// Frees the nodes marked removed whose slot 0 still holds a PDO, and the
// marked nodes that no longer hold any unit (both FDOs deleted).
// Caller holds the lock.
static VOID PurgeRemovedLocked(void)
{
    BOOLEAN found = TRUE;
    while (found) {
        found = FALSE;
        for (PPRINTER_NODE node = PrinterList; node != NULL; node = node->Next) {
            if (!node->Removed)
                continue;
            if (node->Slot[0].Pdo != NULL) {
                RemoveByPdoLocked(node->Slot[0].Pdo);
                found = TRUE;
                break;
            }
            if (node->Slot[1].Pdo == NULL) {
                UnlinkAndFree(node);
                found = TRUE;
                break;
            }
        }
    }
}

VOID UnitTablePurgeRemoved(void)
{
    LockTable();
    PurgeRemovedLocked();
    UnlockTable();
}

// Finds, in a PDO name of NameChars code units, the slot selector and the
// printer key. Returns STATUS_DEVICE_BUSY for a name without a usable key
// (no '&', or fewer than 16 characters and a terminator after the last
// '&': the 34 key bytes would run past the name); STATUS_SUCCESS with
// *Slot = 2 when the unit belongs to no slot.
static NTSTATUS ParseUnitName(const WCHAR* Name, ULONG NameChars, PULONG Slot, const WCHAR** Key)
{
    LONG last = -1, beforeLast = -1;
    for (ULONG i = 0; i < NameChars; i++) {
        if (Name[i] == L'&') {
            beforeLast = last;
            last = (LONG)i;
        }
    }
    *Slot = 2;
    *Key = NULL;
    if (last < 0)
        return STATUS_DEVICE_BUSY;
    if (beforeLast < 0 || (Name[beforeLast + 1] != L'0' && Name[beforeLast + 1] != L'1'))
        return STATUS_SUCCESS;
    if (NameChars - (ULONG)(last + 1) < PRINTER_KEY_CHARS)
        return STATUS_DEVICE_BUSY;
    *Slot = Name[beforeLast + 1] == L'0' ? 0 : 1;
    *Key = &Name[last + 1];
    return STATUS_SUCCESS;
}

static NTSTATUS StoreUnit(PDEVICE_OBJECT Pdo, PDEVICE_OBJECT Fdo, ULONG slot, const WCHAR* key)
{
    PPRINTER_NODE node;
    for (node = PrinterList; node != NULL; node = node->Next)
        if (RtlCompareMemory(node->Key, key, KEY_BYTES) == KEY_BYTES)
            break;
    if (node != NULL) {
        if (node->Slot[slot].Pdo == NULL && node->Slot[slot].Fdo == NULL) {
            node->Slot[slot].Pdo = Pdo;
            node->Slot[slot].Fdo = Fdo;
            node->Slot[slot].Closed = 0;
            return STATUS_SUCCESS;
        }
        // The printer came back before its old node was purged.
        RemoveByPdoLocked(node->Slot[slot].Pdo);
    }
    node = (PPRINTER_NODE)ExAllocatePoolWithTag(PagedPool, sizeof(PRINTER_NODE), TAG_UNIT_TABLE);
    if (node == NULL)
        return STATUS_DEVICE_BUSY;
    RtlZeroMemory(node, sizeof *node);
    node->KeyLength = PRINTER_KEY_LENGTH;
    RtlCopyMemory(node->Key, key, KEY_BYTES);
    node->Slot[slot].Pdo = Pdo;
    node->Slot[slot].Fdo = Fdo;
    PPRINTER_NODE* tail = &PrinterList;
    while (*tail != NULL)
        tail = &(*tail)->Next;
    *tail = node;
    return STATUS_SUCCESS;
}

NTSTATUS UnitTableAdd(PDEVICE_OBJECT Pdo, PDEVICE_OBJECT Fdo)
{
    PVOID name = NULL;
    ULONG length = 0;
    ULONG slot;
    const WCHAR* key;

    UnitTablePurgeRemoved();
    NTSTATUS query =
        QueryDeviceProperty(Pdo, DevicePropertyPhysicalDeviceObjectName, &name, &length);
    if (name != NULL && !NT_SUCCESS(query)) {
        // the buffer came back but the name was not written into it
        ExFreePool(name);
        name = NULL;
    }
    if (name == NULL)
        return STATUS_DEVICE_BUSY;
    NTSTATUS status = ParseUnitName((const WCHAR*)name, length / sizeof(WCHAR), &slot, &key);
    if (NT_SUCCESS(status) && slot < 2) {
        LockTable();
        status = StoreUnit(Pdo, Fdo, slot, key);
        UnlockTable();
    }
    ExFreePool(name);
    return status;
}

VOID UnitTableMarkRemoved(PDEVICE_OBJECT Fdo)
{
    LockTable();
    PPRINTER_NODE node = FindNodeByFdo(Fdo, NULL);
    if (node != NULL)
        node->Removed = 1;
    UnlockTable();
}

// The FDO is about to be deleted: its slot must no longer lead to it, or
// the other unit's lookups would hand out a deleted device. A node that
// still holds the other unit is no longer being removed; one that holds
// nothing stays marked and goes at the next purge.
VOID UnitTableDropFdo(PDEVICE_OBJECT Fdo)
{
    ULONG slot;
    LockTable();
    PPRINTER_NODE node = FindNodeByFdo(Fdo, &slot);
    if (node != NULL) {
        node->Slot[slot].Pdo = NULL;
        node->Slot[slot].Fdo = NULL;
        node->Slot[slot].Closed = 0;
        if (node->Slot[1 - slot].Fdo != NULL)
            node->Removed = 0;
        else
            node->Removed = 1;
    }
    UnlockTable();
}

VOID UnitTableFreeAll(void)
{
    LockTable();
    while (PrinterList != NULL) {
        PPRINTER_NODE next = PrinterList->Next;
        ExFreePool(PrinterList);
        PrinterList = next;
    }
    UnlockTable();
}

BOOLEAN UnitTableIsInSlot(ULONG Slot, PDEVICE_OBJECT Pdo, PDEVICE_OBJECT Fdo)
{
    BOOLEAN hit = FALSE;
    if (Slot > 1)
        return FALSE;
    LockTable();
    for (PPRINTER_NODE node = PrinterList; node != NULL && !hit; node = node->Next)
        if ((Pdo != NULL && node->Slot[Slot].Pdo == Pdo) ||
            (Fdo != NULL && node->Slot[Slot].Fdo == Fdo))
            hit = TRUE;
    UnlockTable();
    return hit;
}

static PDEVICE_OBJECT LookupSlot(PDEVICE_OBJECT Fdo, ULONG slot, BOOLEAN wantFdo)
{
    PDEVICE_OBJECT result = NULL;
    LockTable();
    PPRINTER_NODE node = FindNodeByFdo(Fdo, NULL);
    if (node != NULL)
        result = wantFdo ? node->Slot[slot].Fdo : node->Slot[slot].Pdo;
    UnlockTable();
    return result;
}

static PDEVICE_OBJECT ReferenceSlot(PDEVICE_OBJECT Fdo, ULONG slot)
{
    PDEVICE_OBJECT result = NULL;
    LockTable();
    PPRINTER_NODE node = FindNodeByFdo(Fdo, NULL);
    if (node != NULL && node->Slot[slot].Fdo != NULL && !node->Slot[slot].Closed) {
        result = node->Slot[slot].Fdo;
        IoCountAcquire(result);
    }
    UnlockTable();
    return result;
}

PDEVICE_OBJECT UnitTableReferenceUnit0Fdo(PDEVICE_OBJECT Fdo)
{
    return ReferenceSlot(Fdo, 0);
}
PDEVICE_OBJECT UnitTableReferenceUnit1Fdo(PDEVICE_OBJECT Fdo)
{
    return ReferenceSlot(Fdo, 1);
}

// The FDO is about to wait for its requests before it is deleted.
VOID UnitTableCloseFdo(PDEVICE_OBJECT Fdo)
{
    ULONG slot;
    LockTable();
    PPRINTER_NODE node = FindNodeByFdo(Fdo, &slot);
    if (node != NULL)
        node->Slot[slot].Closed = 1;
    UnlockTable();
}

PDEVICE_OBJECT UnitTableGetUnit0Pdo(PDEVICE_OBJECT Fdo)
{
    return LookupSlot(Fdo, 0, FALSE);
}
PDEVICE_OBJECT UnitTableGetUnit1Pdo(PDEVICE_OBJECT Fdo)
{
    return LookupSlot(Fdo, 1, FALSE);
}
// The device our own requests to a unit go to: the top of the stack below
// the unit's FDO (a lower filter, or the port driver's PDO), so that every
// driver loaded for the unit sees them; the PDO once the FDO has left.
// The request counts on the unit's FDO, not only on the unit-0 FDO its
// caller holds: the removal of unit 1 then waits for it before it passes
// the removal down (and a lower filter deletes itself), and once that
// removal has closed the slot nobody is handed the unit any more.
PDEVICE_OBJECT UnitTableReferenceTarget(PDEVICE_OBJECT Fdo, ULONG Slot, PDEVICE_OBJECT* Counted)
{
    PDEVICE_OBJECT result = NULL;
    *Counted = NULL;
    if (Slot > 1)
        return NULL;
    LockTable();
    PPRINTER_NODE node = FindNodeByFdo(Fdo, NULL);
    if (node != NULL) {
        PDEVICE_OBJECT unitFdo = node->Slot[Slot].Fdo;
        if (unitFdo == NULL) {
            result = node->Slot[Slot].Pdo;
        } else if (!node->Slot[Slot].Closed) {
            // Counted before the flag is read: a stop that begins after the
            // read waits for this request before it goes down.
            PDEVICE_EXTENSION unitExt = (PDEVICE_EXTENSION)unitFdo->DeviceExtension;
            IoCountAcquire(unitFdo);
            if (unitExt->Flags & FLAG_STOPPED) {
                IoCountRelease(unitFdo);
            } else {
                result = unitExt->LowerDevice;
                *Counted = unitFdo;
            }
        }
    }
    UnlockTable();
    return result;
}
PDEVICE_OBJECT UnitTableGetUnit0Fdo(PDEVICE_OBJECT Fdo)
{
    return LookupSlot(Fdo, 0, TRUE);
}
PDEVICE_OBJECT UnitTableGetUnit1Fdo(PDEVICE_OBJECT Fdo)
{
    return LookupSlot(Fdo, 1, TRUE);
}

// One hold of the lock for both slots: every write asks this.
BOOLEAN UnitTableBothUnitsPresent(PDEVICE_OBJECT Fdo)
{
    BOOLEAN both = FALSE;
    LockTable();
    PPRINTER_NODE node = FindNodeByFdo(Fdo, NULL);
    if (node != NULL)
        both = node->Slot[0].Pdo != NULL && node->Slot[1].Pdo != NULL;
    UnlockTable();
    return both;
}

NTSTATUS UnitTableGetPrinterKey(PDEVICE_OBJECT Fdo, PULONG Length, WCHAR Key[PRINTER_KEY_CHARS + 1])
{
    NTSTATUS status = STATUS_DEVICE_BUSY;
    *Length = 0;
    Key[0] = 0;
    LockTable();
    PPRINTER_NODE node = FindNodeByFdo(Fdo, NULL);
    if (node != NULL) {
        *Length = node->KeyLength;
        RtlCopyMemory(Key, node->Key, sizeof(node->Key));
        status = STATUS_SUCCESS;
    }
    UnlockTable();
    return status;
}
