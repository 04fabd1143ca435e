/*
 * prnsbp: printer class driver for IEEE 1394 (SBP-2) printers.
 *
 * Driver-wide state, the two device-extension layouts, the unit table, the
 * printer command codes and the prototypes of every routine that one source
 * file of the driver calls in another.
 */
#ifndef PRNSBP_H
#define PRNSBP_H

#include <ntddk.h>
#include <srb.h>
#include <ntddscsi.h>
#include <ntddstor.h>
#include <ntddser.h>
#include <ntddpar.h>

#include "kernelcrt.h"
#include "sbp2req.h"

#ifndef IOCTL_SCSI_EXECUTE_NONE
/* (FILE_DEVICE_SCSI << 16) + 0x13; the device type lives in scsi.h, which the driver
 * does not include. */
#define IOCTL_SCSI_EXECUTE_NONE 0x001B0013
#endif

/* Pool tags: the letters read "ZR x" in a pool dump (first byte lowest). */
#define PRN_TAG(a, b, c, d)                                                                        \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) |                    \
     ((ULONG)(UCHAR)(d) << 24))
#define TAG_REGISTRY_PATH PRN_TAG('Z', 'R', ' ', 'l')
#define TAG_QUERY_TABLE PRN_TAG('Z', 'R', ' ', 'e')
#define TAG_ID_STRING PRN_TAG('Z', 'R', ' ', 'b')
#define TAG_STORAGE_EVENT PRN_TAG('Z', 'R', ' ', 'o')
#define TAG_STORAGE_DESCRIPTOR PRN_TAG('Z', 'R', ' ', 'p')
#define TAG_PROPERTY PRN_TAG('Z', 'R', ' ', ' ')
#define TAG_UNIT_TABLE PRN_TAG('Z', 'R', ' ', 'f')
#define TAG_SBP2_REQUEST PRN_TAG('Z', 'R', ' ', 'c')
#define TAG_TARGET_RELATIONS PRN_TAG('Z', 'R', ' ', 'g')
#define TAG_BUS_RELATIONS PRN_TAG('Z', 'R', ' ', 'h')
#define TAG_DATA_BUFFER PRN_TAG('Z', 'R', ' ', 'r')
#define TAG_SENSE_BUFFER PRN_TAG('Z', 'R', ' ', 'a')
#define TAG_SRB_LOOKASIDE PRN_TAG('S', 'c', 's', '$')

/* Extension flags (common header). */
#define FLAG_FDO 0x01
#define FLAG_CHILD_STARTED 0x02
#define FLAG_LOOKASIDE_READY 0x04
#define FLAG_STARTED 0x08
#define FLAG_BASE_RELEASED 0x10 /* the in-progress count's base reference is given up */

#define PNP_STATE_NONE 0xFF
#define IEEE1394_BUS_TYPE 4
#define DEFAULT_TIMEOUT_SECONDS 90
#define DEFAULT_MDL_SIZE 0x8000
#define REPLY_BUFFER_SIZE 4096
#define SENSE_BUFFER_SIZE 18
#define SRB_LENGTH 64
#define ID_STRING_SIZE 256
#define PRINTER_KEY_CHARS 17
#define PRINTER_KEY_LENGTH 36 /* 17 code units and a terminator, in bytes */

/* ActivityFlags: port activity since the child was last removed. */
#define ACTIVITY_OPENED 0x01
#define ACTIVITY_CLOSED 0x02
#define ACTIVITY_WRITE 0x04
#define ACTIVITY_READ 0x08
#define ACTIVITY_DEVICE_CONTROL 0x10

/* EngineState bits */
#define ENGINE_BUFFERS_READY 0x1
#define ENGINE_UNIT0_INFO_SENT 0x2
#define ENGINE_UNIT1_INFO_SENT 0x4

/* Printer command codes: bits 12-15 unit, 8-11 direction (0 out, 1 in), 0-7 operation. */
#define CMD_PRINT_DATA 0x0001
#define CMD_VENDOR_DATA 0x0003
#define CMD_FLUSH 0x0005
#define CMD_DATA_CLEAR 0x0009
#define CMD_UNIT0_INFO_A 0x010B
#define CMD_UNIT0_INFO_B 0x010D
#define CMD_STATUS_READ 0x1106
#define CMD_STATUS_CLEAR 0x1108
#define CMD_DEVICE_ID 0x110A
#define CMD_UNIT1_INFO_A 0x110C
#define CMD_UNIT1_INFO_B 0x110E
#define CMD_UNIT(c) (((c) >> 12) & 0xF)
#define CMD_DIRECTION(c) (((c) >> 8) & 0xF)
#define CMD_OPERATION(c) ((c)&0xFF)

/* Private device-control codes. */
#define PRNSBP_CTL(f) CTL_CODE(FILE_DEVICE_UNKNOWN, (f), METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PRNSBP_LEGACY_CLEAR 0x00000007
#define IOCTL_PRNSBP_WRITE PRNSBP_CTL(0x810)
#define IOCTL_PRNSBP_WRITE_VENDOR PRNSBP_CTL(0x811)
#define IOCTL_PRNSBP_DATA_CLEAR PRNSBP_CTL(0x812)
#define IOCTL_PRNSBP_READ_STATUS PRNSBP_CTL(0x813)
#define IOCTL_PRNSBP_STATUS_CLEAR PRNSBP_CTL(0x814)
#define IOCTL_PRNSBP_GET_DEVICE_ID PRNSBP_CTL(0x815)
#define IOCTL_PRNSBP_UNIT0_INFO_A PRNSBP_CTL(0x816)
#define IOCTL_PRNSBP_UNIT1_INFO_A PRNSBP_CTL(0x817)
#define IOCTL_PRNSBP_UNIT0_INFO_B PRNSBP_CTL(0x818)
#define IOCTL_PRNSBP_UNIT1_INFO_B PRNSBP_CTL(0x819)
#define IOCTL_PRNSBP_CLEAR PRNSBP_CTL(0x81A)
#define IOCTL_PRNSBP_FLUSH PRNSBP_CTL(0x81B)
#define IOCTL_PRNSBP_DISCARD PRNSBP_CTL(0x81C)

/* ---- device extensions ---------------------------------------------------- */

/*
 * Extension of every FDO. The first five fields, and IoCount and IoIdleEvent
 * further on, sit at the same offsets as in CHILD_EXTENSION: the PnP, power
 * and system-control dispatch routines read them before they know which
 * kind of device they serve.
 */
typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDevice;
    UCHAR Flags;
    UCHAR PrevPnpState;
    UCHAR PnpState;
    NPAGED_LOOKASIDE_LIST SrbLookaside;
    LONG IoCount;
    KEVENT IoIdleEvent;
    PDEVICE_OBJECT Pdo;
    PSTORAGE_DEVICE_DESCRIPTOR DeviceDescriptor;
    PSTORAGE_ADAPTER_DESCRIPTOR AdapterDescriptor;
    ULONG TimeoutSeconds;
    ULONG DeviceNumber;
    ULONG SrbFlagsExtra;
    UNICODE_STRING InterfaceName;
    CHAR ChildIdBuffer[ID_STRING_SIZE];
    PCHAR DeviceIdString;
    ULONG PortNumber;
    ULONG LptNumber;
    PDEVICE_OBJECT ChildPdo;
    ULONG OpenCount;
    ULONG Unit0Open;
    ULONG Unit1Open;
    ULONG StartComplete;
    ULONG EngineState;
    CHAR Manufacturer[64];
    CHAR Model[80];
    ULONG WriteCount;
    ULONG UseScsiPrint;
    ULONG StripIdLength;
    ULONG MdlSize;
    /* SCSI request engine, one set per printer (in the unit-0 FDO) */
    PMDL PrintMdl;
    PUCHAR PrintBuffer;
    ULONG PrintBufferSize;
    ULONG PrintFill;
    ULONG FlushFailed;
    PMDL ReplyMdl;
    PUCHAR ReplyBuffer;
    ULONG ReplyBufferSize;
    KEVENT SendDoneEvent;
    PUCHAR SenseBuffer;
    USHORT CdbSequence;
    UCHAR WriteSequence;
    UCHAR StatusSequence;
    ULONG RetryPending;
    LARGE_INTEGER RetryStart;
    ULONG DeviceError;
    /* child device and port activity */
    PDEVICE_OBJECT SuppressedChild;
    ULONG ActivityFlags;
    /* open and close */
    FAST_MUTEX OpenCloseMutex;
    FAST_MUTEX OpenMutex;
    FAST_MUTEX CloseMutex;
    LARGE_INTEGER LastOpenTime;
    LARGE_INTEGER LastCloseTime;
    /* Keeps engine operations of one printer (reads, writes and device
     * control from several threads) from overlapping; initialised by
     * AddDevice. */
    FAST_MUTEX EngineMutex;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

/* Extension of a printer's child PDO. */
typedef struct _CHILD_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDevice; /* top of the parent FDO's stack, not referenced */
    UCHAR Flags;
    UCHAR PrevPnpState;
    UCHAR PnpState;
    union {
        UNICODE_STRING ChildName;
        /* keeps IoCount and IoIdleEvent where DEVICE_EXTENSION has them */
        NPAGED_LOOKASIDE_LIST ChildNameSlot;
    };
    LONG IoCount;
    KEVENT IoIdleEvent;
    PDEVICE_EXTENSION Parent;
    BOOLEAN ParentRemoving;
} CHILD_EXTENSION, *PCHILD_EXTENSION;

static_assert(offsetof(DEVICE_EXTENSION, IoCount) == offsetof(CHILD_EXTENSION, IoCount),
              "IoCount must sit at the same offset in both extensions");
static_assert(offsetof(DEVICE_EXTENSION, IoIdleEvent) == offsetof(CHILD_EXTENSION, IoIdleEvent),
              "IoIdleEvent must sit at the same offset in both extensions");
static_assert(offsetof(DEVICE_EXTENSION, PnpState) == offsetof(CHILD_EXTENSION, PnpState),
              "the common header must match");

/* ---- unit table ----------------------------------------------------------- */

typedef struct _UNIT_SLOT {
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT Fdo;
    ULONG Closed; /* the FDO is being removed: no new references */
} UNIT_SLOT, *PUNIT_SLOT;

typedef struct _PRINTER_NODE {
    struct _PRINTER_NODE* Next;
    ULONG Removed;
    UNIT_SLOT Slot[2];
    ULONG KeyLength;
    WCHAR Key[PRINTER_KEY_CHARS + 1];
} PRINTER_NODE, *PPRINTER_NODE;

/* ---- driver-wide state ---------------------------------------------------- */

extern PWSTR RegistryPath;     /* service key path, "ZR l" */
extern ULONG RegistryPathSize; /* bytes, terminator included */
extern WCHAR LinkNameBuffer[64];
extern PPRINTER_NODE PrinterList;
extern FAST_MUTEX UnitTableLock;
extern FAST_MUTEX FlagsLock; /* changes of an extension's Flags after AddDevice */

/* ---- entry, configuration, in-progress count (entry.cpp) ----------------- */

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING ServicePath);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
ULONG ReadRegistryDword(PCWSTR ValueName);
/* A REG_DWORD at an absolute path with a caller's two-entry query table; 0
 * when it is missing, unreadable or of another type. */
ULONG QueryDwordValue(PRTL_QUERY_REGISTRY_TABLE Table, PCWSTR Path, PCWSTR ValueName);
BOOLEAN IsLegacyPlatform(void);
BOOLEAN IoCountAcquire(PDEVICE_OBJECT DeviceObject);
VOID IoCountRelease(PDEVICE_OBJECT DeviceObject);
VOID IoCountReleaseBase(PDEVICE_OBJECT DeviceObject);
VOID IoCountRetakeBase(PDEVICE_OBJECT DeviceObject);
VOID IoCountWaitIdle(PDEVICE_OBJECT DeviceObject, KWAIT_REASON Reason);
VOID ChangeExtensionFlags(PDEVICE_EXTENSION Extension, UCHAR Set, UCHAR Clear);

/* ---- unit table (unittable.cpp) ------------------------------------------ */

NTSTATUS QueryDeviceProperty(PDEVICE_OBJECT Pdo, DEVICE_REGISTRY_PROPERTY Property, PVOID* Buffer,
                             PULONG Length);
NTSTATUS UnitTableAdd(PDEVICE_OBJECT Pdo, PDEVICE_OBJECT Fdo);
VOID UnitTableMarkRemoved(PDEVICE_OBJECT Fdo);
VOID UnitTablePurgeRemoved(void);
VOID UnitTableFreeAll(void);
VOID UnitTableDropFdo(PDEVICE_OBJECT Fdo);
BOOLEAN UnitTableIsInSlot(ULONG Slot, PDEVICE_OBJECT Pdo, PDEVICE_OBJECT Fdo);
BOOLEAN UnitTableBothUnitsPresent(PDEVICE_OBJECT Fdo);
PDEVICE_OBJECT UnitTableGetUnit0Pdo(PDEVICE_OBJECT Fdo);
PDEVICE_OBJECT UnitTableGetUnit1Pdo(PDEVICE_OBJECT Fdo);
/* Where requests of our own to a unit go: the device its FDO is attached to. */
PDEVICE_OBJECT UnitTableGetUnit0Target(PDEVICE_OBJECT Fdo);
PDEVICE_OBJECT UnitTableGetUnit1Target(PDEVICE_OBJECT Fdo);
PDEVICE_OBJECT UnitTableGetUnit0Fdo(PDEVICE_OBJECT Fdo);
PDEVICE_OBJECT UnitTableGetUnit1Fdo(PDEVICE_OBJECT Fdo);
/* The FDO of a unit with its in-progress count taken (IoCountRelease when
 * done), or NULL when there is none or it is being removed. */
PDEVICE_OBJECT UnitTableReferenceUnit0Fdo(PDEVICE_OBJECT Fdo);
PDEVICE_OBJECT UnitTableReferenceUnit1Fdo(PDEVICE_OBJECT Fdo);
VOID UnitTableCloseFdo(PDEVICE_OBJECT Fdo);
NTSTATUS UnitTableGetPrinterKey(PDEVICE_OBJECT Fdo, PULONG Length, PWCHAR* Key);

/* ---- adding and starting a unit (adddevice.cpp) ------------------------- */

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo);
NTSTATUS StartUnit(PDEVICE_OBJECT DeviceObject);
NTSTATUS ClaimDevice(PDEVICE_OBJECT Target, BOOLEAN Release);
NTSTATUS QueryStorageProperty(PDEVICE_OBJECT Target, STORAGE_PROPERTY_ID PropertyId,
                              PSTORAGE_DESCRIPTOR_HEADER* Descriptor);
/* Completes a request that the driver handled itself (IO_NO_INCREMENT; no
 * request is left pending) and then, when Counted is given, lets the request
 * leave that device's in-progress count. Every dispatch routine completes
 * through here. */
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information, PDEVICE_OBJECT Counted);
NTSTATUS ForwardIrpAndWait(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

/* ---- port and interface publication (publish.cpp) ----------------------- */

VOID RegisterPortInterface(PDEVICE_OBJECT Fdo);
VOID EnablePortInterface(PDEVICE_OBJECT Fdo);
NTSTATUS AssignPortNumber(PDEVICE_OBJECT Fdo);
NTSTATUS WritePortInterfaceValues(PDEVICE_OBJECT Fdo);
VOID WritePortName(PDEVICE_OBJECT DeviceObject, ULONG PortNumber);

/* ---- identification (identify.cpp) and the child device (child.cpp) ----- */

NTSTATUS QueryPrinterDeviceId(PDEVICE_EXTENSION Extension);
NTSTATUS BuildIdFromDeviceId(PCHAR DeviceId, ULONG Form, PCHAR Out, PCHAR OutDescription,
                             PCHAR OutManufacturer, PCHAR OutModel);
VOID ParseIeee1284Id(PCHAR String, PCHAR* Manufacturer, PCHAR* Model);
VOID IdChecksum(PCHAR Data, USHORT Length, PUSHORT Checksum);
NTSTATUS CreateChildPdo(PDEVICE_EXTENSION Extension);
NTSTATUS QueryBusRelations(PDEVICE_OBJECT Fdo, DEVICE_RELATION_TYPE Type, PIRP Irp,
                           PBOOLEAN Complete);
NTSTATUS QueryChildId(PDEVICE_OBJECT Child, BUS_QUERY_ID_TYPE Type, PUNICODE_STRING Id);

/* ---- Plug and Play, power, system control (pnp.cpp, power.cpp) ---------- */

NTSTATUS NTAPI PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS RemoveUnit(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction);

/* ---- SCSI request engine (engine.cpp) ------------------------------------ */

BOOLEAN EngineSetup(PDEVICE_OBJECT Fdo);
VOID EngineTeardown(PDEVICE_OBJECT Fdo);
NTSTATUS SendPrinterCommand(USHORT Command, PDEVICE_OBJECT Fdo, PVOID Buffer, PULONG Length);
NTSTATUS FlushDataBuffer(USHORT Command, PDEVICE_OBJECT Fdo);
BOOLEAN TimeElapsed(LARGE_INTEGER Stamp, ULONG Milliseconds);
NTSTATUS NTAPI SrbCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
/* Engine state is one set per printer and the engine routines above do not
 * lock it: every caller holds the printer's engine lock (EngineMutex of the
 * unit-0 FDO) around its checks of the port state and its engine calls.
 * Not recursive; taken after OpenCloseMutex/OpenMutex/CloseMutex, never
 * before them. */
VOID EngineAcquire(PDEVICE_OBJECT Fdo);
VOID EngineRelease(PDEVICE_OBJECT Fdo);
/* Drops buffered print data unsent (the caller holds the engine lock). */
VOID EngineDiscardData(PDEVICE_OBJECT Fdo);

/* ---- read and write (readwrite.cpp) -------------------------------------- */

NTSTATUS NTAPI ReadWriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* ---- open and close (openclose.cpp) -------------------------------------- */

NTSTATUS NTAPI CreateCloseDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS OpenPort(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT Fdo, PIRP Irp);
NTSTATUS ClosePort(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT Fdo, PIRP Irp);
VOID WaitSinceStamp(LARGE_INTEGER Stamp, ULONG Milliseconds);
/* Whether print data and device control may go to the printer: the unit-0
 * FDO is started, both units are in the table and open, and the transport
 * has not failed. The caller holds the engine lock. */
BOOLEAN PortIsOpen(PDEVICE_OBJECT Fdo);

/* ---- device control (devctl.cpp) ----------------------------------------- */

NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI InternalDeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

#endif /* PRNSBP_H */
