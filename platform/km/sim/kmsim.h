// Control API of the simulated kernel, for tests and tools only. Product
// code never includes this header.
#ifndef PRN_KM_SIM_KMSIM_H
#define PRN_KM_SIM_KMSIM_H

#include <wdm.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kmsim
{

// ---- whole machine ---------------------------------------------------------
// Back to a freshly booted machine: empty pool, namespace, registry and
// devnode tree, clock at its start, current platform, no failures armed, no
// violations. Everything still allocated is dropped without running code.
void Reset();

// ---- lock order --------------------------------------------------------------
// As Driver Verifier's deadlock detection: the order in which each thread
// takes fast mutexes is recorded across every test of the process (not
// cleared by Reset), and a violation reported when a lock is taken while
// one of the same or a later rank is held, or when the order closes a
// cycle with an order seen before (even if no deadlock happened). A lock
// is named by its place: at `offset` in any device extension, or a global.
void NameExtensionLock(const std::string& name, size_t offset, int rank);
void NameGlobalLock(const std::string& name, PFAST_MUTEX mutex, int rank);
// Forgets the names and the order seen (for a test of the check itself).
void ResetLockOrder();
// A name for another object a thread may wait on (an event), at `offset`
// in any device extension or a global, so that a tool can say where a
// thread waits. The locks named above are named for this too.
void NameExtensionObject(const std::string& name, size_t offset);
void NameGlobalObject(const std::string& name, const void* object);
// Where a thread blocked in the simulated kernel waits: "waiting for the
// fast mutex EngineMutex of \Device\Printer0", "" when it does not.
std::string WhereThreadWaits(std::thread::id thread);

// ---- strings -----------------------------------------------------------------
std::u16string U16(const std::string& ascii);
std::string Narrow(const WCHAR* s);
std::string Narrow(const std::u16string& s);
std::string Narrow(const UNICODE_STRING& s);

// ---- pool --------------------------------------------------------------------
ULONG Tag(const char (&letters)[5]); // Tag("ZR l")
std::string TagName(ULONG tag);
size_t PoolOutstanding(ULONG tag); // allocations of that tag not yet freed
size_t PoolOutstandingTotal();
// Empty when nothing is allocated, else one line per tag: "ZR f: 2 (96 bytes)".
std::string LeakReport();
// The same for the pool a driver allocated (in its entry, AddDevice, dispatch
// and completion routines and unload, IRPs and MDLs included). UnloadDriver
// reports a non-empty one as a violation.
std::string LeakReportOf(PDRIVER_OBJECT driver);
// Allocations made so far (pool, IRPs, MDLs, device objects); a sweep runs a
// scenario once to count them, then fails each one in turn.
unsigned long AllocationCount();
void FailNthAllocation(unsigned long n); // 1 = the next allocation fails
// Counts only the allocations made for one driver ("prnsbp": its entry,
// AddDevice, dispatch, completion and unload routines, IRPs and MDLs
// included) from now on, and fails the nth of them (0: count only).
// ClearFailures stops it.
void FailNthAllocationOf(const std::string& service, unsigned long n);
unsigned long AllocationsOfWatchedDriver(); // counted since FailNthAllocationOf
void FailTag(ULONG tag);                    // every allocation with that tag fails
void ClearFailures();
// The lookaside lists initialised now: their tag, depth, entry size and
// entries out (the last counted by a checked kernel only).
struct LookasideInfo {
    ULONG tag;
    USHORT depth;
    ULONG size;
    long out;
};
std::vector<LookasideInfo> LookasideLists();
// Pool tags the simulated kernel uses for its own objects.
extern const ULONG kTagIrp, kTagMdl, kTagDevice, kTagIoBuffer, kTagString, kTagInterface;
// Counted and failed like an allocation: mapping locked pages into system
// space (MmMapLockedPagesSpecifyCache, so MmGetSystemAddressForMdlSafe).
extern const ULONG kTagMapping;
// Strings that RtlAnsiStringToUnicodeString and RtlUnicodeStringToAnsiString
// allocate: their owner frees them with RtlFree*String, never ExFreePool.
extern const ULONG kTagRtlString;

// Size and tag of an allocated pool block (0 when p is not allocated).
SIZE_T PoolBlockSize(PVOID p);
ULONG PoolBlockTag(PVOID p);

// ---- verifier ------------------------------------------------------------------
// Rule breaks seen so far (IRP completed twice, blocking wait at
// DISPATCH_LEVEL, freeing unknown memory, deleting an attached device...).
// Always on: pool blocks carry guards checked when they are freed, freed
// blocks are poisoned (0xDF) and held back from reuse for a while and checked
// for late writes when they leave (or at CheckQuarantine); under
// AddressSanitizer the guards and freed blocks are poisoned for it too, so a
// stray access stops the test where it happens. Every dispatch routine must
// return at the IRQL it was called at, return STATUS_PENDING exactly when it
// called IoMarkIrpPending, and complete the IRP before returning any other
// status.
std::vector<std::string> Violations();
void ClearViolations();
// What a run left on the machine once its printers are unplugged and the
// driver unloaded, one line each: pool blocks, device objects, references,
// links, enabled interfaces, key handles, power requests the driver never
// let go of and every rule it broke. Empty when clean; tests, fuzzers and
// prnsim all end their runs with this one check.
std::string LeftBehind();
void Violation(const std::string& what); // also used by the bus simulation
// Reports quarantined blocks written after they were freed.
void CheckQuarantine();

// ---- user buffers ------------------------------------------------------------------
// A caller's buffer in user space, described for direct I/O as the I/O
// manager does: the MDL's virtual address is the user address, the pages
// are locked but not mapped into system space. The user address is valid
// only in the caller's context: while a request carrying the buffer is
// dispatched on another thread (another process's context), after the
// dispatch routine returned STATUS_PENDING (until the caller touches the
// buffer again), and after Unmap, any access through it is reported as a
// violation ("user buffer ..."). The kernel reaches the pages through
// MmGetSystemAddressForMdlSafe, which maps them at another address.
class UserBuffer
{
  public:
    explicit UserBuffer(size_t bytes);
    ~UserBuffer();
    UserBuffer(const UserBuffer&) = delete;
    UserBuffer& operator=(const UserBuffer&) = delete;
    UCHAR* data() { return user_; } // the user address, for the caller
    size_t size() const { return bytes_; }
    PMDL Mdl() { return mdl_; }
    // Another thread of the caller frees the range: from now on the user
    // address is gone (the locked pages stay reachable through the MDL).
    void Unmap();
    // The pages as they are, read through the system mapping.
    std::vector<UCHAR> Contents() const;

  private:
    size_t bytes_;
    size_t mapped_;
    UCHAR* userBase_;
    UCHAR* systemBase_;
    UCHAR* user_;
    PMDL mdl_;
};

// ---- checked or retail kernel -----------------------------------------------------
// The kernel runs checked after Reset: every verifier check above. A retail
// kernel, as on a free build of the system, is for benchmarks and large
// print jobs: no guards, poison, quarantine or failure injection, no
// bookkeeping of dispatch calls, IRPs or lookaside entries; lookaside lists
// keep freed entries for reuse up to their depth, and events and fast
// mutexes that nobody waits on change state without the kernel's lock. Pool
// is still counted by tag, so leak reports work as before. Switch on a
// freshly reset machine (nothing allocated); Reset switches back.
void SetRetailKernel(bool on);
bool IsRetailKernel();

// ---- clock and platform --------------------------------------------------------
// The machine's clock: it only goes forward. Now() and the tick count
// (KeQueryTickCount, KeQueryTimeIncrement) follow it; the system time
// (KeQuerySystemTime) follows it too, moved by what the time was set to.
LONGLONG Now(); // 100-ns units, never 0
void AdvanceClock(LONGLONG hundredNs);
// `moved` runs after every step of the clock (AdvanceClock, and the time a
// KeDelayExecutionThread lets pass), in the thread that moved it and outside
// the kernel's locks: what waits for a time to come (the port driver's
// request timer) looks again. The id is for UnwatchClock.
int WatchClock(std::function<void()> moved);
void UnwatchClock(int id);
// The system time set back by `hundredNs`, as a user or a time server may
// set it: KeQuerySystemTime reads that much less from now on.
void SetSystemTimeBack(LONGLONG hundredNs);
LONGLONG SystemTime();
LONGLONG TotalDelayed();             // sum of KeDelayExecutionThread intervals
void SetLegacyPlatform(bool legacy); // legacy: IoIsWdmVersionAvailable(1, 0x10) is FALSE
bool IsLegacyPlatform();

// ---- object namespace ----------------------------------------------------------
PDEVICE_OBJECT FindDevice(const std::string& name); // "\Device\Printer0"
std::string DeviceName(PDEVICE_OBJECT device);      // "" for an unnamed device
bool SymbolicLinkExists(const std::string& name);   // "\DosDevices\LPT2"
std::string SymbolicLinkTarget(const std::string& name);
size_t SymbolicLinkCount();
// IoCreateSymbolicLink fails with `status` (STATUS_SUCCESS: no failure).
void FailSymbolicLinks(NTSTATUS status);
// ObReferenceObjectByPointer fails with `status` and takes no reference, as
// with an object of another type (STATUS_SUCCESS: no failure).
void FailReferencesByPointer(NTSTATUS status);
size_t LiveDeviceCount();                            // device objects not yet freed
size_t ExtraReferenceCount();                        // object references taken and not given back
PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device); // what it is attached to
std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver);

// ---- files and handles ----------------------------------------------------------
// A program's handle, as the I/O manager keeps it: a file object on the
// device the name resolved to (it references that device, so a deleted
// device stays in memory while handles are open). Requests on it go to the
// top of that device's stack as it is at each request, with the file
// object in the stack location, from a caller of `mode`.
struct OpenOptions {
    ACCESS_MASK access = FILE_GENERIC_READ | FILE_GENERIC_WRITE; // GENERIC_* are mapped
    std::string trailing; // a name after the device's, e.g. "\\x"
    KPROCESSOR_MODE mode = UserMode;
    bool privileged = false; // an administrator's or the system's: any access
};
struct OpenResult {
    PFILE_OBJECT file = nullptr; // nullptr when the open failed
    NTSTATUS status = STATUS_SUCCESS;
    bool reachedDriver = false; // false: the I/O manager refused it itself
};
// IRP_MJ_CREATE through the name of `device`. The I/O manager refuses an
// open of a device that is deleted, still initialising or being removed
// (STATUS_NO_SUCH_DEVICE) without sending anything; a create the driver
// fails leaves no file object and gets no close. On Windows 2000 and later
// an unprivileged user-mode open asking for more than the device's
// security grants (SetDeviceUserAccess) is refused (STATUS_ACCESS_DENIED),
// except through a trailing name on a device without
// FILE_DEVICE_SECURE_OPEN: the I/O manager leaves such an open to the
// driver. The create carries the granted access in its security context
// (AccessState->PreviouslyGrantedAccess). The legacy platform has no
// security: nothing is refused and every handle may do everything.
// Requests on a user-mode handle need the access they imply, as the I/O
// manager checks it: a read FILE_READ_DATA, a write FILE_WRITE_DATA, a
// device control the access bits of its code (STATUS_ACCESS_DENIED, not
// sent).
OpenResult OpenFile(PDEVICE_OBJECT device, const OpenOptions& options = OpenOptions());
// CloseHandle: IRP_MJ_CLEANUP to the top of the stack at once, and
// IRP_MJ_CLOSE once no request on the handle is on its way any more (from
// the thread whose request ends last); then the file object goes and, on
// Windows 2000 and later, a removal that waited for it is sent. Returns
// the close's result when it went at once. Requests on a closed handle
// fail with STATUS_INVALID_HANDLE, as they do for a program.
struct IrpResult;
IrpResult CloseFile(PFILE_OBJECT file);
// What an unprivileged caller may be granted on the device (its security
// descriptor's grant to everyone, as an INF's Security line sets it).
void SetDeviceUserAccess(PDEVICE_OBJECT device, ACCESS_MASK allowed);
// Handles open on any device of the stack that `device` belongs to.
size_t OpenFilesOn(PDEVICE_OBJECT device);
size_t OpenFileCount();
// The device a handle was opened on.
PDEVICE_OBJECT FileDevice(PFILE_OBJECT file);

// ---- IRQL of the calling thread -------------------------------------------------
KIRQL CurrentIrql();
// Threads blocked in an untimed wait (an event, a fast mutex) that nothing
// has satisfied yet: they run again only when another thread acts.
size_t ThreadsWaitingInVain();

// ---- scheduling a test's steps into the driver's ----------------------------------
// Runs `step` on the calling thread right after that thread releases `mutex`
// (ExReleaseFastMutex), again at each such release until `step` returns
// true. It lets a test put a request or a PnP action exactly between two
// steps of the driver. A null mutex disarms it; Reset too.
void OnFastMutexRelease(PFAST_MUTEX mutex, std::function<bool()> step);
// Threads blocked in KeWaitForSingleObject on `object` right now.
size_t WaitersOn(PVOID object);

// ---- registry ---------------------------------------------------------------------
// Paths are absolute ("\Registry\Machine\System\..."), case-insensitive.
void RegSetDword(const std::string& key, const std::string& name, ULONG value);
void RegSetString(const std::string& key, const std::string& name, const std::u16string& value);
void RegSetBinary(const std::string& key, const std::string& name, ULONG type,
                  const std::vector<unsigned char>& data);
bool RegGetDword(const std::string& key, const std::string& name, ULONG* value);
// REG_SZ data as stored (a terminator, if stored, is kept).
bool RegGetString(const std::string& key, const std::string& name, std::u16string* value);
bool RegGetRaw(const std::string& key, const std::string& name, ULONG* type,
               std::vector<unsigned char>* data);
bool RegKeyExists(const std::string& key);
void RegDeleteKey(const std::string& key); // with its subkeys
void RegDeleteValue(const std::string& key, const std::string& name);
std::vector<std::string> RegSubkeys(const std::string& key);
std::vector<std::string> RegValueNames(const std::string& key);
bool RegSave(const std::string& file);
bool RegLoad(const std::string& file); // replaces the whole registry
size_t OpenKeyHandles();
// The device key of a devnode (IoOpenDeviceRegistryKey, PLUGPLAY_REGKEY_DEVICE).
std::string DeviceKeyPath(PDEVICE_OBJECT pdo);

// ---- device interfaces -------------------------------------------------------------
struct InterfaceInfo {
    std::string symbolicLink;
    PDEVICE_OBJECT pdo;
    GUID classGuid;
    bool enabled;
    std::string keyPath; // IoOpenDeviceInterfaceRegistryKey
    // The values under keyPath when the interface was last enabled: what a
    // program woken by its arrival finds there first.
    std::vector<std::string> valuesAtArrival;
};
std::vector<InterfaceInfo> Interfaces();
size_t EnabledInterfaceCount();

// ---- drivers and the PnP manager ---------------------------------------------------
constexpr const char* kServicesKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

// Creates a driver object and runs its entry point with the service key
// path of `service`. Returns NULL (and the status) when the entry fails.
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::string& service,
                          NTSTATUS* status = nullptr);
// Runs DriverUnload and frees the driver object; its devices must be gone.
void UnloadDriver(PDRIVER_OBJECT driver);
// A driver object without an entry point, for bus simulations.
PDRIVER_OBJECT CreateDriverObject(const std::string& name);
void DeleteDriverObject(PDRIVER_OBJECT driver);

// A request and its result, as the PnP or power manager sees it.
struct IrpResult {
    NTSTATUS status;
    ULONG_PTR information;
};
// Sends an IRP to the top of device's stack: the I/O manager sets
// IoStatus.Status to `initialStatus` first; `setup` fills the first stack
// location of the driver. Waits for completion, however the driver completes.
IrpResult SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                  const std::function<void(PIO_STACK_LOCATION)>& setup = nullptr,
                  NTSTATUS initialStatus = STATUS_NOT_SUPPORTED, PMDL mdl = nullptr,
                  PVOID systemBuffer = nullptr);
// The same on a handle: to the top of the stack of the device it was
// opened on, as that stack is now, with the file object and the handle's
// requestor mode. Goes out even after the device's removal, as on Windows.
IrpResult SendOnFile(PFILE_OBJECT file, UCHAR major, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)>& setup = nullptr,
                     NTSTATUS initialStatus = STATUS_SUCCESS, PMDL mdl = nullptr,
                     PVOID systemBuffer = nullptr);
IrpResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                  const std::function<void(PIO_STACK_LOCATION)>& setup = nullptr);
IrpResult SendPower(PDEVICE_OBJECT pdo, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)>& setup = nullptr);
// A set- or query-power request for `state`: a SYSTEM_POWER_STATE when type
// is SystemPowerState, else a DEVICE_POWER_STATE.
IrpResult SendPowerState(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, int state);
// Same, sent to exactly `device` (not the top of its stack).
IrpResult SendIrpTo(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)>& setup = nullptr,
                    NTSTATUS initialStatus = STATUS_NOT_SUPPORTED);

// Devnodes: a bus reports a PDO; the PnP manager adds the function driver,
// starts, stops, enumerates children and removes.
void ReportPdo(PDEVICE_OBJECT pdo, PDEVICE_OBJECT parentPdo = nullptr);
NTSTATUS AddFunctionDriver(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
NTSTATUS StartDevice(PDEVICE_OBJECT pdo);
// AddDevice and start, as when a device is plugged in.
NTSTATUS PlugIn(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
// Query-stop, stop, start again (resource rebalance).
NTSTATUS Rebalance(PDEVICE_OBJECT pdo);
// Query-remove, then removal of children (deepest first) and the device.
// Returns the query's status; on failure a cancel-remove is sent instead.
// With handles open on a device of the subtree, Windows 2000 and later
// cancel the removal once the queries have succeeded (a veto of
// PNP_VetoOutstandingOpen, `veto` says so) and RemoveDevice returns
// STATUS_UNSUCCESSFUL; the legacy platform removes at once, handles or not.
NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo, std::string* veto = nullptr);
// The device and its children gone from the bus, as each platform orders
// it. Windows 2000 and later: surprise removal of the subtree at once; the
// removal of each device once no handle is open on its stack and its
// children are removed (so possibly at a later CloseFile). The legacy
// platform sends no surprise removal: the removal at once, handles or not;
// their requests and close then reach the removed devices.
void SurpriseRemove(PDEVICE_OBJECT pdo);
// The two halves of it, for tests that place the removal themselves: the
// surprise removal alone, then the removal whatever handles are open.
void SurpriseRemoveOnly(PDEVICE_OBJECT pdo);
void FinishRemoval(PDEVICE_OBJECT pdo);
// Devices surprise-removed whose removal waits for handles to close.
std::vector<PDEVICE_OBJECT> RemovalsWaitingForHandles();
// Called with each removal the PnP manager sends (the device, true before
// and false after), so a tool can show when it goes; nullptr disarms.
void OnRemoval(std::function<void(PDEVICE_OBJECT pdo, bool before)> watch);
// Bus relations of the device's stack; new children are reported and
// started (they are raw PDOs: no function driver), missing ones are
// surprise-removed and removed.
NTSTATUS EnumerateBus(PDEVICE_OBJECT pdo);
// Runs the bus enumerations that IoInvalidateDeviceRelations asked for.
void ProcessInvalidations();
size_t PendingInvalidations();
std::vector<PDEVICE_OBJECT> ChildrenOf(PDEVICE_OBJECT pdo);
bool IsReported(PDEVICE_OBJECT pdo);
bool IsStarted(PDEVICE_OBJECT pdo);
// Drops the devnode of a PDO without sending anything (the bus forgot it).
void ForgetPdo(PDEVICE_OBJECT pdo);

// A devnode's identifiers. The PnP manager asks a new child for them
// (IRP_MN_QUERY_ID: device ID, instance ID, hardware IDs, compatible IDs)
// before it starts it; from then on the child's device key is
// "...\Enum\<device ID>\<instance ID>\Device Parameters", as on the real
// system. A status other than success means the bus driver did not answer.
struct DeviceIds {
    NTSTATUS deviceIdStatus = STATUS_NOT_SUPPORTED;
    NTSTATUS instanceIdStatus = STATUS_NOT_SUPPORTED;
    NTSTATUS hardwareIdsStatus = STATUS_NOT_SUPPORTED;
    NTSTATUS compatibleIdsStatus = STATUS_NOT_SUPPORTED;
    std::string deviceId;
    std::string instanceId;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    bool uniqueId = false;      // the capabilities claim UniqueID
    std::string instancePrefix; // the parent's, before a non-unique instance ID
};
// Asks again (and records the answers); what EnumerateBus does for a child.
DeviceIds QueryDeviceIds(PDEVICE_OBJECT pdo);
// What the last query of that devnode gave (empty when never asked).
DeviceIds IdsOf(PDEVICE_OBJECT pdo);

// A pass-through lower filter between a PDO and its function driver, as an
// INF's LowerFilters value loads one: with `enabled`, AddFunctionDriver
// attaches a filter device to the PDO before it calls the driver's
// AddDevice. The filter passes every request down, copies the power and
// I/O flags of the device below, and detaches and deletes itself once
// IRP_MN_REMOVE_DEVICE has come back from the bus driver. `pendPnp`: it
// returns STATUS_PENDING for the PnP requests it passes on (they may be
// complete by then); `startStatus`: it fails IRP_MN_START_DEVICE with it.
// `ownLocation`: it keeps a stack location of its own in every request it
// passes on (copies it to the next instead of skipping it), so a request
// must bring one location more than the stack below needs.
struct LowerFilterOptions {
    bool enabled = false;
    bool pendPnp = false;
    NTSTATUS startStatus = STATUS_SUCCESS;
    bool ownLocation = false;
};
void SetLowerFilter(const LowerFilterOptions& options); // for drivers added from now on
LowerFilterOptions LowerFilter();
// What the latest filter attached to pdo has passed down so far.
struct FilterSeen {
    std::vector<UCHAR> pnp;   // PnP minor codes
    std::vector<UCHAR> power; // power minor codes
    unsigned requests = 0;    // every other request
    bool attached = false;    // still in the stack
};
FilterSeen LowerFilterSeen(PDEVICE_OBJECT pdo);
size_t LowerFilterCount(); // filter devices not yet deleted
// A pass-through upper filter (an INF's UpperFilters) on every function
// driver added from now on: attached above the FDO once AddDevice has
// succeeded, gone with the removal like the lower one.
void SetUpperFilter(bool enabled);
FilterSeen UpperFilterSeen(PDEVICE_OBJECT pdo);
// A device of one of the filters above (tools looking for the FDO skip it).
bool IsSimFilter(PDEVICE_OBJECT device);

// Requests a function driver received and passed on to a device of another
// driver (a lower filter, the bus driver's PDO), one entry per such hop, for
// a tool that shows where they went. Recorded from WatchPassedRequests(driver)
// on (NULL: stop) until the next Reset; the driver's own requests (those it
// built or allocated) are not included.
struct PassedRequest {
    LONGLONG time = 0;         // when the driver handed it on
    std::string target;        // the device's name, or its driver's path when unnamed
    std::string stackBottom;   // name of the PDO at the bottom of the target's stack
    bool toStackBottom = true; // handed straight to that PDO
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG code = 0; // IoControlCode (device control)
    bool completed = false;
    NTSTATUS status = STATUS_PENDING; // what it was completed with below the driver
};
void WatchPassedRequests(PDRIVER_OBJECT driver);
std::vector<PassedRequest> PassedRequests();

// Power IRPs completed without PoStartNextPowerIrp (checked by tests).
size_t PowerIrpsWithoutStartNext();

} // namespace kmsim

#endif
