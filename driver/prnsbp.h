// prnsbp: printer class driver for IEEE 1394 (SBP-2) printers.
//
// Driver-wide state, the two device-extension layouts, the unit table, the
// printer command codes and the prototypes of every routine that one source
// file of the driver calls in another.
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

// A read of a field another thread may change just then (see "Locks"): on
// the simulated kernel a place where its schedule explorer may switch
// threads, nothing on Windows.
#ifndef KMSIM_POINT
#define KMSIM_POINT() ((void)0)
#endif

#ifndef IOCTL_SCSI_EXECUTE_NONE
// (FILE_DEVICE_SCSI << 16) + 0x13; the device type lives in scsi.h, which the driver
// does not include.
#define IOCTL_SCSI_EXECUTE_NONE 0x001B0013
#endif

// Pool tags: the letters read "ZR x" in a pool dump (first byte lowest).
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
#define TAG_SRB_LOOKASIDE PRN_TAG('S', 'c', 's', '$') // the engine's SRB lookaside list

// Extension flags (common header).
#define FLAG_FDO 0x01
#define FLAG_CHILD_STARTED 0x02
#define FLAG_LOOKASIDE_READY 0x04 // the SRB lookaside list is initialised
#define FLAG_STARTED 0x08
#define FLAG_BASE_RELEASED 0x10 // the in-progress count's base reference is given up
#define FLAG_STOPPED 0x20       // IRP_MN_STOP_DEVICE went down; no start since

#define PNP_STATE_NONE 0xFF
#define IEEE1394_BUS_TYPE 4
#define DEFAULT_TIMEOUT_SECONDS 90
#define DEFAULT_MDL_SIZE 0x8000
#define REPLY_BUFFER_SIZE 4096
#define SENSE_BUFFER_SIZE 18
#define SRB_LENGTH 64
#define ID_STRING_SIZE 256
#define PRINTER_KEY_CHARS 17
#define PRINTER_KEY_LENGTH 36 // 17 code units and a terminator, in bytes

// ActivityFlags: port activity since the child was last removed.
// What a handle may do, as its open granted it, kept in the file object's
// FsContext2 with HANDLE_ACCESS_KNOWN (a bit no access right uses). A file
// object without it (the legacy platform has no security) may do anything.
#define HANDLE_ACCESS_KNOWN 0x08000000
BOOLEAN HandleMayWrite(PIRP Irp);
void RecordHandleAccess(PIO_STACK_LOCATION Stack);

#define ACTIVITY_OPENED 0x01
#define ACTIVITY_CLOSED 0x02
#define ACTIVITY_WRITE 0x04
#define ACTIVITY_READ 0x08
#define ACTIVITY_DEVICE_CONTROL 0x10

// EngineState bits
#define ENGINE_BUFFERS_READY 0x1
#define ENGINE_UNIT0_INFO_SENT 0x2
#define ENGINE_UNIT1_INFO_SENT 0x4

// Printer command codes: bits 12-15 unit, 8-11 direction (0 out, 1 in), 0-7 operation.
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

// Private device-control codes.
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

// ---- device extensions ----------------------------------------------------

// Locks
// -----
// There is no thread of the driver's own. Dispatch routines run at
// PASSIVE_LEVEL in their callers' threads; SRB completion routines may run
// at DISPATCH_LEVEL. Every lock is a fast mutex (APC_LEVEL while held), so
// none is taken in a completion routine.
//
// Driver-wide:
//   UnitTableLock   PrinterList and every PRINTER_NODE in it (slots, Removed,
//                   Closed). Taken only inside unittable.cpp, around each walk
//                   of the list: no lookup reads a node that is being unlinked
//                   and freed.
//   FlagsLock       every change of an extension's Flags after AddDevice
//                   (ChangeExtensionFlags): PnP changes FLAG_STARTED and
//                   FLAG_BASE_RELEASED without the engine lock (a surprise
//                   removal must not wait for a request the printer may never
//                   answer), the engine changes FLAG_LOOKASIDE_READY under it;
//                   neither side's change may be lost to the other's. Also the
//                   DeviceIdString and AdapterDescriptor pointers once
//                   started: a surprise removal unhooks them
//                   (TakeIdentification, FreeDescriptors) and a start
//                   replaces the descriptor (ExchangeAdapterDescriptor) while
//                   the child's ID queries copy the identification and the
//                   bus type (CopyIdentification).
//
//   PortNumberLock  a synchronization event used as a lock (the registry
//                   routines need PASSIVE_LEVEL): one search of the stored
//                   port numbers at a time (AssignPortNumber), so that two
//                   printers starting at once cannot take one number. Taken
//                   with no other lock held, and nothing is taken under it.
//
// Per printer, in the extension of its unit-0 FDO (the same fields of the
// unit-1 FDO are never taken):
//   OpenCloseMutex  one open or close of the port at a time (CreateCloseDispatch).
//   OpenMutex,      the open step and the close step (RunPortStep), inside
//   CloseMutex      OpenCloseMutex.
//   EngineMutex     (EngineAcquire/EngineRelease) the I/O state of the printer:
//                   the engine's buffers and sequences, EngineState, OpenCount,
//                   Unit0Open, Unit1Open, WriteCount, DeviceError, ActivityFlags
//                   and TimeoutSeconds once started. Every read, write, device
//                   control, open and close holds it around its check of the
//                   port state (PortIsOpen) and its engine calls. Not recursive.
//
// Order: OpenCloseMutex -> OpenMutex or CloseMutex -> EngineMutex ->
// UnitTableLock or FlagsLock. UnitTableLock and FlagsLock are leaves: nothing
// is taken while one of them is held, and they are never held together. A
// routine may wait for the printer (an SRB, a create or close of a unit)
// while it holds the mutexes above EngineMutex and EngineMutex itself, never
// while it holds a leaf.
//
// Which locks a routine may take:
//   CreateCloseDispatch   OpenCloseMutex, OpenMutex/CloseMutex, EngineMutex,
//                         UnitTableLock, FlagsLock (engine setup and teardown)
//   ReadWriteDispatch     EngineMutex, UnitTableLock, FlagsLock (engine setup)
//   DeviceControlDispatch EngineMutex, UnitTableLock, FlagsLock (engine setup)
//   InternalDeviceControlDispatch, PowerDispatch, SystemControlDispatch: none
//   PnpDispatch, AddDevice, DriverUnload: UnitTableLock, FlagsLock, never the
//                         per-printer mutexes
//   SrbCompletion, SignalEventCompletion: none
//
// In-progress count (interlocked, no lock): every request counts itself in
// the IoCount of the device it works on while it is inside the driver. PnP,
// system control and internal device control count on their own device
// (IoCountAcquire). Read, write, open, close and device control count on the
// printer's unit-0 FDO, taken under UnitTableLock by the referenced lookups
// (UnitTableReferenceUnit0Fdo), so that a removal that has closed the FDO's
// slot (UnitTableCloseFdo) hands it to no one after. A request passed down
// leaves the count only once IoCallDriver has returned (IoCountCallLower):
// the device below it, and the parent FDO below the child, stay until then.
// The driver's own requests to a unit (the engine's SRBs, the creates and
// closes of the units) also count on that unit's FDO while they are out
// (UnitTableReferenceTarget), so that unit 1's removal waits for them
// before the removal goes down to a lower filter. IoCount holds one base
// reference from AddDevice (or the child's creation) on; a stop or removal
// gives the base up (IoCountReleaseBase, recorded in FLAG_BASE_RELEASED) and
// waits until the count is 0 (IoCountWaitIdle on IoIdleEvent); a start takes
// it back (IoCountRetakeBase). IoCountRelease may run at DISPATCH_LEVEL.
//
// PnP state: the PnP manager sends one PnP request of a device at a time and
// never beside its AddDevice, so the fields only PnP writes (PnpState,
// PrevPnpState, the descriptors, DeviceIdString, InterfaceName, LptNumber,
// ChildPdo, PortNumber, StartComplete, LinkNameBuffer) need no lock.
//
// Deliberate unlocked reads (the races a ThreadSanitizer run reports and the
// stress test leaves as they are; the explorer's race checker is told of
// them in platform/session/printer_session.h, DeclareDeliberateRaces):
//   - Flags, of the FDO and of the child: opens, reads, writes, device
//     control, internal device control, PnP and IsFdo read the bits
//     without FlagsLock. A request that reads FLAG_STARTED just before a stop
//     or removal clears it behaves as if it had come a moment earlier; the
//     stop or removal then waits for it through IoCount.
//   - StartUnit rewrites TimeoutSeconds, UseScsiPrint, StripIdLength and
//     MdlSize at every start without the engine lock; the data path reads
//     them under it. A start runs after the stop has drained the requests,
//     and it writes the values they had unless the registry changed.
//   - RemoveChild resets the parent's ActivityFlags without the engine lock
//     that the data path holds when it sets bits; a lost bit only changes
//     whether a legacy child is reported again.
//   - PowerDispatch reads the parent's OpenCount for the child, and
//     BothUnitsUsable reads unit 1's StartComplete, without a lock: each is
//     a single aligned word, and either value is an answer that could have
//     been given a moment earlier or later.
//   - The SRB completion routine sets DeviceError and SendDoneEvent without
//     the engine lock; the sender, which holds it, reads them after the wait.
//     It gives the SRB back to SrbLookaside, whose own lock (the list's
//     interlocked pop and push) makes that safe at DISPATCH_LEVEL. The list
//     is set up and deleted only while no SRB is out (EngineSetup,
//     EngineTeardown): every send waits for its completion.
//   - SystemControlDispatch reads PnpState, which only PnP writes, to refuse
//     a request that comes after the removal: the removal records its state
//     before it waits for IoCount, which the request holds across the read.
//   - After DrainRequests (removal) no request is left: DeleteUnit tears down
//     the engine without the engine lock.

// Extension of every FDO. The first five fields, and IoCount and IoIdleEvent
// further on, sit at the same offsets as in CHILD_EXTENSION: the PnP, power
// and system-control dispatch routines read them before they know which
// kind of device they serve. All I/O state of a printer lives in its unit-0
// FDO; in the unit-1 FDO those fields stay unused.
typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT Self;        // this FDO
    PDEVICE_OBJECT LowerDevice; // what AddDevice attached to: a lower filter or the PDO
    UCHAR Flags;                // FLAG_*; changed through ChangeExtensionFlags
    UCHAR PrevPnpState;         // the state before PnpState; PNP_STATE_NONE for none
    UCHAR PnpState;             // minor code of the last state-changing PnP request
    LONG IoCount;               // requests in the driver, plus the base reference
    KEVENT IoIdleEvent;         // set when IoCount reaches 0
    PDEVICE_OBJECT Pdo;         // the SBP-2 unit's PDO
    PSTORAGE_DEVICE_DESCRIPTOR DeviceDescriptor;   // from the port driver at each start
    PSTORAGE_ADAPTER_DESCRIPTOR AdapterDescriptor; // BusType tells 1394 from other adapters
    ULONG TimeoutSeconds;               // "TIME_OUT", or what IOCTL_SERIAL_SET_TIMEOUTS set
    ULONG DeviceNumber;                 // n of "\Device\Printer%d"
    ULONG SrbFlagsExtra;                // added to every SRB's flags
    UNICODE_STRING InterfaceName;       // the registered port interface (unit 0)
    CHAR ChildIdBuffer[ID_STRING_SIZE]; // the device ID last given for the child
    PCHAR DeviceIdString;               // printer identification, "ZR b"; NULL until identified
    ULONG PortNumber;                   // the port number kept for this printer
    ULONG LptNumber;                    // n of "\DosDevices\LPT%d" (legacy platform), 0 for none
    PDEVICE_OBJECT ChildPdo;            // the printer's child PDO (unit 0), NULL for none
    ULONG OpenCount;                    // handles open on the port
    ULONG Unit0Open;                    // unit 0 has accepted IRP_MJ_CREATE for this connection
    ULONG Unit1Open;                    // unit 1 has been sent IRP_MJ_CREATE for this connection
    ULONG StartComplete;                // StartUnit has finished once
    ULONG EngineState;     // ENGINE_* bits; 0 until the first engine call of a connection
    CHAR Manufacturer[64]; // from the device ID, for the port description
    CHAR Model[80];        // from the device ID, for the port description
    ULONG WriteCount;      // writes of this connection; the first is never held back
    ULONG UseScsiPrint;    // "USE_SCSI_PRINT": print data as PRINT rather than C0 00
    ULONG StripIdLength;   // device-control device IDs lose their length field
    ULONG MdlSize;         // "MDL_SIZE": the print buffer's size, 0 for the default
    // SCSI request engine, one set per printer (in the unit-0 FDO)
    PMDL PrintMdl;            // describes PrintBuffer
    PUCHAR PrintBuffer;       // where writes are coalesced, "ZR r"
    ULONG PrintBufferSize;    // its size: MDL_SIZE or 32 KiB
    ULONG PrintFill;          // bytes buffered and not yet sent
    ULONG FlushFailed;        // the last flush was refused: its data are still buffered
    PMDL ReplyMdl;            // describes ReplyBuffer
    PUCHAR ReplyBuffer;       // the printer's replies, REPLY_BUFFER_SIZE bytes, "ZR r"
    ULONG ReplyBufferSize;    // its size
    KEVENT SendDoneEvent;     // set by SrbCompletion for the SRB in flight
    PUCHAR SenseBuffer;       // sense bytes of the SRB in flight, "ZR a"
    USHORT CdbSequence;       // CDB bytes 6-7 of the commands that carry it
    UCHAR WriteSequence;      // CDB byte 5 of C0 00, one up per accepted write
    UCHAR StatusSequence;     // CDB byte 5 of C1 20, one up per status read
    ULONG RetryPending;       // a refusal run has begun at RetryStart
    LARGE_INTEGER RetryStart; // the first refusal of the run (IntervalTime)
    ULONG DeviceError;        // the transport failed in this connection
    // where the SRBs come from, "Scs$"; FLAG_LOOKASIDE_READY while initialised
    NPAGED_LOOKASIDE_LIST SrbLookaside;
    // child device and port activity
    PDEVICE_OBJECT SuppressedChild; // the child no longer reported (legacy platform)
    ULONG ActivityFlags;            // ACTIVITY_*: port activity since the child's last removal
    // open and close
    FAST_MUTEX OpenCloseMutex;   // see "Locks"
    FAST_MUTEX OpenMutex;        // see "Locks"
    FAST_MUTEX CloseMutex;       // see "Locks"
    LARGE_INTEGER LastOpenTime;  // unit 1 opened (IntervalTime): the first close waits a step
    LARGE_INTEGER LastCloseTime; // unit 0 closed (IntervalTime): the next open waits a step
    FAST_MUTEX EngineMutex;      // see "Locks"
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// Extension of a printer's child PDO.
typedef struct _CHILD_EXTENSION {
    PDEVICE_OBJECT Self;        // this PDO
    PDEVICE_OBJECT LowerDevice; // top of the parent FDO's stack, not referenced
    UCHAR Flags;                // FLAG_CHILD_STARTED, FLAG_STARTED, FLAG_BASE_RELEASED
    UCHAR PrevPnpState;         // as in DEVICE_EXTENSION
    UCHAR PnpState;             // as in DEVICE_EXTENSION; begins as IRP_MN_STOP_DEVICE
    LONG IoCount;               // as in DEVICE_EXTENSION
    KEVENT IoIdleEvent;         // as in DEVICE_EXTENSION
    UNICODE_STRING ChildName;   // "\Device\PrinterChild%d"
    PDEVICE_EXTENSION Parent;   // the unit-0 FDO that reports this child
    BOOLEAN ParentRemoving;     // the parent's removal deletes the child
} CHILD_EXTENSION, *PCHILD_EXTENSION;

static_assert(offsetof(DEVICE_EXTENSION, IoCount) == offsetof(CHILD_EXTENSION, IoCount),
              "IoCount must sit at the same offset in both extensions");
static_assert(offsetof(DEVICE_EXTENSION, IoIdleEvent) == offsetof(CHILD_EXTENSION, IoIdleEvent),
              "IoIdleEvent must sit at the same offset in both extensions");
static_assert(offsetof(DEVICE_EXTENSION, PnpState) == offsetof(CHILD_EXTENSION, PnpState),
              "the common header must match");

// ---- unit table -----------------------------------------------------------

typedef struct _UNIT_SLOT {
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT Fdo;
    ULONG Closed; // the FDO is being removed: no new references
} UNIT_SLOT, *PUNIT_SLOT;

// One printer: its two units, under UnitTableLock.
typedef struct _PRINTER_NODE {
    struct _PRINTER_NODE* Next;
    ULONG Removed;     // a unit was removed: purged at the next AddDevice unless one remains
    UNIT_SLOT Slot[2]; // unit 0, unit 1
    ULONG KeyLength;   // PRINTER_KEY_LENGTH
    WCHAR Key[PRINTER_KEY_CHARS + 1]; // the printer key from the PDO's name
} PRINTER_NODE, *PPRINTER_NODE;

// ---- driver-wide state ----------------------------------------------------

extern PWSTR RegistryPath;     // service key path, "ZR l"
extern ULONG RegistryPathSize; // bytes, terminator included
extern WCHAR LinkNameBuffer[64];
extern PPRINTER_NODE PrinterList;
extern FAST_MUTEX UnitTableLock; // see "Locks"
extern FAST_MUTEX FlagsLock;     // see "Locks"
extern KEVENT PortNumberLock;    // see "Locks"

// ---- entry, configuration, in-progress count (entry.cpp) -----------------

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING ServicePath);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
ULONG ReadRegistryDword(PCWSTR ValueName);
// A REG_DWORD at an absolute path with a caller's two-entry query table; 0
// when it is missing, unreadable or of another type.
ULONG QueryDwordValue(PRTL_QUERY_REGISTRY_TABLE Table, PCWSTR Path, PCWSTR ValueName);
BOOLEAN IsLegacyPlatform(void);
BOOLEAN IoCountAcquire(PDEVICE_OBJECT DeviceObject);
VOID IoCountRelease(PDEVICE_OBJECT DeviceObject);
NTSTATUS IoCountCallLower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN CopyIdentification(PDEVICE_EXTENSION Ext, PCHAR Copy, PBOOLEAN On1394);
PCHAR TakeIdentification(PDEVICE_EXTENSION Ext);
PSTORAGE_ADAPTER_DESCRIPTOR ExchangeAdapterDescriptor(PDEVICE_EXTENSION Ext,
                                                      PSTORAGE_ADAPTER_DESCRIPTOR Descriptor);
VOID IoCountReleaseBase(PDEVICE_OBJECT DeviceObject);
VOID IoCountRetakeBase(PDEVICE_OBJECT DeviceObject);
VOID IoCountWaitIdle(PDEVICE_OBJECT DeviceObject, KWAIT_REASON Reason);
VOID ChangeExtensionFlags(PDEVICE_EXTENSION Extension, UCHAR Set, UCHAR Clear);

// ---- unit table (unittable.cpp) ------------------------------------------

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
// Where requests of our own to a unit go: the device its FDO is attached
// to, with the unit FDO's in-progress count taken (*Counted; IoCountRelease
// once the request is back), or the unit's PDO when no FDO is on it (then
// *Counted is NULL). NULL once the unit's removal has begun, and while the
// unit is stopped (its port driver takes no I/O until the next start).
PDEVICE_OBJECT UnitTableReferenceTarget(PDEVICE_OBJECT Fdo, ULONG Slot, PDEVICE_OBJECT* Counted);
PDEVICE_OBJECT UnitTableGetUnit0Fdo(PDEVICE_OBJECT Fdo);
PDEVICE_OBJECT UnitTableGetUnit1Fdo(PDEVICE_OBJECT Fdo);
// The FDO of a unit with its in-progress count taken (IoCountRelease when
// done), or NULL when there is none or it is being removed.
PDEVICE_OBJECT UnitTableReferenceUnit0Fdo(PDEVICE_OBJECT Fdo);
PDEVICE_OBJECT UnitTableReferenceUnit1Fdo(PDEVICE_OBJECT Fdo);
VOID UnitTableCloseFdo(PDEVICE_OBJECT Fdo);
// A copy of the printer's key, taken under the lock (the node may be freed
// once it is released).
NTSTATUS UnitTableGetPrinterKey(PDEVICE_OBJECT Fdo, PULONG Length,
                                WCHAR Key[PRINTER_KEY_CHARS + 1]);

// ---- adding and starting a unit (adddevice.cpp) -------------------------

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo);
NTSTATUS StartUnit(PDEVICE_OBJECT DeviceObject);
// Frees the storage descriptors of the last start (the adapter's through
// ExchangeAdapterDescriptor).
VOID FreeDescriptors(PDEVICE_EXTENSION ext);
NTSTATUS ClaimDevice(PDEVICE_OBJECT Target, BOOLEAN Release);
NTSTATUS QueryStorageProperty(PDEVICE_OBJECT Target, STORAGE_PROPERTY_ID PropertyId,
                              PSTORAGE_DESCRIPTOR_HEADER* Descriptor);
// Completes a request that the driver handled itself (IO_NO_INCREMENT; no
// request is left pending) and then, when Counted is given, lets the request
// leave that device's in-progress count. Every dispatch routine completes
// through here.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information, PDEVICE_OBJECT Counted);
NTSTATUS ForwardIrpAndWait(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// ---- port and interface publication (publish.cpp) -----------------------

VOID RegisterPortInterface(PDEVICE_OBJECT Fdo);
VOID EnablePortInterface(PDEVICE_OBJECT Fdo);
NTSTATUS AssignPortNumber(PDEVICE_OBJECT Fdo);
NTSTATUS WritePortInterfaceValues(PDEVICE_OBJECT Fdo);
VOID WritePortName(PDEVICE_OBJECT DeviceObject, ULONG PortNumber);

// ---- identification (identify.cpp) and the child device (child.cpp) -----

NTSTATUS QueryPrinterDeviceId(PDEVICE_EXTENSION Extension);
NTSTATUS BuildIdFromDeviceId(PCHAR DeviceId, ULONG Form, PCHAR Out, PCHAR OutDescription,
                             PCHAR OutManufacturer, PCHAR OutModel);
VOID ParseIeee1284Id(PCHAR String, PCHAR* Manufacturer, PCHAR* Model);
VOID IdChecksum(PCHAR Data, USHORT Length, PUSHORT Checksum);
NTSTATUS CreateChildPdo(PDEVICE_EXTENSION Extension);
NTSTATUS QueryBusRelations(PDEVICE_OBJECT Fdo, DEVICE_RELATION_TYPE Type, PIRP Irp,
                           PBOOLEAN Complete);
NTSTATUS QueryChildId(PDEVICE_OBJECT Child, BUS_QUERY_ID_TYPE Type, PUNICODE_STRING Id);

// ---- Plug and Play, power, system control (pnp.cpp, power.cpp) ----------

NTSTATUS NTAPI PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS RemoveUnit(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction);

// ---- SCSI request engine (engine.cpp) ------------------------------------

BOOLEAN EngineSetup(PDEVICE_OBJECT Fdo);
VOID EngineTeardown(PDEVICE_OBJECT Fdo);
NTSTATUS SendPrinterCommand(USHORT Command, PDEVICE_OBJECT Fdo, PVOID Buffer, PULONG Length);
NTSTATUS FlushDataBuffer(USHORT Command, PDEVICE_OBJECT Fdo);
// 100-ns units since the system started, from the tick count: unlike the
// system time it cannot be set back. Every stamp and interval is on it.
LARGE_INTEGER IntervalTime(void);
BOOLEAN TimeElapsed(LARGE_INTEGER Stamp, ULONG Milliseconds);
NTSTATUS NTAPI SrbCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// The engine routines above run under the printer's engine lock, which
// their callers take (see "Locks").
VOID EngineAcquire(PDEVICE_OBJECT Fdo);
VOID EngineRelease(PDEVICE_OBJECT Fdo);
// Drops buffered print data unsent (the caller holds the engine lock).
VOID EngineDiscardData(PDEVICE_OBJECT Fdo);

// ---- read and write (readwrite.cpp) --------------------------------------

NTSTATUS NTAPI ReadWriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---- open and close (openclose.cpp) --------------------------------------

NTSTATUS NTAPI CreateCloseDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS OpenPort(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT Fdo, PIRP Irp);
NTSTATUS ClosePort(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT Fdo, PIRP Irp);
VOID WaitSinceStamp(LARGE_INTEGER Stamp, ULONG Milliseconds);
// Whether print data and device control may go to the printer: the unit-0
// FDO is started, both units are in the table and open, and the transport
// has not failed. The caller holds the engine lock.
BOOLEAN PortIsOpen(PDEVICE_OBJECT Fdo);

// ---- device control (devctl.cpp) -----------------------------------------

NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI InternalDeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

#endif // PRNSBP_H
