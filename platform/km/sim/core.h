// Internals shared by the files of the simulated kernel.
#ifndef PRN_KM_SIM_CORE_H
#define PRN_KM_SIM_CORE_H

#include "kmsim.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

namespace kmsim
{

// One lock and one condition variable for every dispatcher object: events
// and fast mutexes keep their state in the platform structures and waiters
// re-check it whenever anything is signalled.
extern std::recursive_mutex g_lock;
extern std::condition_variable_any g_cv;

// Retail kernel (SetRetailKernel): the verifier's bookkeeping is skipped and
// events and fast mutexes change state without g_lock. Whoever goes to sleep
// on g_cv counts itself in g_sleepers first, so a lock-free signal takes
// g_lock to wake it only when somebody sleeps.
extern std::atomic<bool> g_retail;
extern std::atomic<int> g_sleepers;
inline bool Retail()
{
    return g_retail.load(std::memory_order_relaxed);
}

// Passed-down requests (passed.cpp), reported only while a driver is
// watched (WatchPassedRequests): each IoCallDriver hop, each stack location
// the completion walk leaves, each IRP freed.
extern std::atomic<PDRIVER_OBJECT> g_watchedDriver;
inline bool WatchingPassed()
{
    return g_watchedDriver.load(std::memory_order_relaxed) != nullptr;
}
void PassedHop(PIRP irp, PDEVICE_OBJECT target);
void PassedCompleting(PIRP irp);
void PassedIrpFreed(PIRP irp);

// Bookkeeping of a device object, hung on DeviceObjectExtension.
struct DeviceInfo {
    std::u16string name;
    LONG references = 1; // the creation reference
    bool deleted = false;
    PDEVICE_OBJECT attachedTo = nullptr;
    // The PDO at the bottom of the stack the device was attached into (the
    // device itself for a PDO, or one never attached).
    PDEVICE_OBJECT stackPdo = nullptr;
    // What the device's security descriptor grants an unprivileged caller:
    // a device created without one of its own gets read, write and execute
    // for everyone.
    ACCESS_MASK userAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_EXECUTE;
};
// A reference of the I/O manager's own (a file object's), not counted
// among the drivers' references.
void ReferenceDevice(PDEVICE_OBJECT device);
void DereferenceDevice(PDEVICE_OBJECT device);
PDEVICE_OBJECT StackPdoOf(PDEVICE_OBJECT device);
// Devices of `driver` deleted but not yet freed (still referenced).
size_t DeletedDevicesStillHeld(PDRIVER_OBJECT driver);
DeviceInfo* Info(PDEVICE_OBJECT device);
bool IsLiveDevice(PVOID object);

// Pool without the verifier's accounting of callers (for the kernel's own
// objects, still counted by tag).
PVOID PoolAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag);
void PoolFree(PVOID p);
// Reports (and forgets) every lookaside list still initialised inside the
// memory about to go: `what` names the memory and what happens to it.
void CheckNoLookasideListInside(const void* start, SIZE_T bytes, const std::string& what);
bool ShouldFailAllocation(ULONG tag);

std::u16string ToU16(PCWSTR s);
std::u16string ToU16(PCUNICODE_STRING s);
std::u16string Lower(const std::u16string& s);

// Reset hooks of the individual files.
void ResetPool();
void ResetIo();
void ResetRegistry();
void ResetSync();
void ResetPnp();
void ResetInterfaces();
void ResetFilter();
void ResetPassed();

// The lower filter (filter.cpp): attached to a PDO when filters are on
// (NULL otherwise), or taken off again when the function driver's AddDevice
// fails.
PDEVICE_OBJECT AttachLowerFilter(PDEVICE_OBJECT pdo);
// The upper filter, attached once the function driver's AddDevice succeeded.
PDEVICE_OBJECT AttachUpperFilter(PDEVICE_OBJECT pdo);
void DetachLowerFilter(PDEVICE_OBJECT filter);

// Where p lies in the extension of a live device object (io.cpp).
bool ExtensionOffsetOf(const void* p, size_t* offset);
PDEVICE_OBJECT DeviceOfExtension(const void* p, size_t* offset);
// A dispatcher object in words: "EngineMutex of \Device\Printer0" for a
// named one (objnames.cpp).
std::string DescribeObject(const void* object);

// Lock order (lockorder.cpp): a fast mutex taken and given up by the
// calling thread.
void LockTaken(PFAST_MUTEX mutex);
void LockGiven(PFAST_MUTEX mutex);
void LockOrderNewMachine();

// The scheduler's id and name of the calling thread in the explored run
// under way (sched.cpp), -1 when it is not scheduled.
long ScheduledThreadId();
std::string ScheduledThreadName(size_t id);

// The race checker (racecheck.cpp): a new run, thread starts and joins,
// release and acquire on a synchronisation object (RaceForget: it is
// initialised anew), device extensions made and freed.
void RaceRunBegins();
void RaceSpawn(size_t parent, size_t child);
void RaceJoin(size_t joiner, size_t joined);
void RaceAcquire(const void* object);
void RaceRelease(const void* object);
void RaceForget(const void* object);
void RaceDeviceCreated(PDEVICE_OBJECT device);
void RaceDeviceFreed(PDEVICE_OBJECT device);
void RaceForgetDevices();

// PnP harness hook for IoInvalidateDeviceRelations.
void QueueInvalidation(PDEVICE_OBJECT device);
// The stack of `pdo` had its surprise removal and waits for its removal:
// no driver of it may detach or delete a device yet.
bool AwaitingRemoval(PDEVICE_OBJECT pdo);
// No new open of the stack: surprise-removed, or an orderly removal of it
// is on its way.
bool OpensRefused(PDEVICE_OBJECT pdo);
// The driver object was unloaded (its pointer is kept, never followed).
bool DriverUnloaded(PDRIVER_OBJECT driver);
// The stack of `pdo` is stopped: its IRP_MN_STOP_DEVICE succeeded and no
// start has come since (pnp.cpp).
bool StackStopped(PDEVICE_OBJECT pdo);
// A handle closed: a removal that waited for it may go now (pnp.cpp).
void SendRemovalsNoLongerHeld();
// Builds and sends a request as the I/O manager or PnP manager does, with
// the file object and requestor mode it carries (pnp.cpp).
IrpResult SendWith(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                   const std::function<void(PIO_STACK_LOCATION)>& setup, NTSTATUS initialStatus,
                   PMDL mdl, PVOID systemBuffer, PFILE_OBJECT file, KPROCESSOR_MODE mode);
// Handles open on the stack whose bottom is `pdo` (files.cpp).
size_t FilesOpenOnStack(PDEVICE_OBJECT pdo);
void ResetFiles();

// Devnode identifiers (devids.cpp): "<device ID>\<instance ID>" once the
// PnP manager has asked for them, else empty.
std::u16string IdInstancePath(PDEVICE_OBJECT pdo);
// The devnode's parent PDO, or NULL (pnp.cpp).
PDEVICE_OBJECT ParentOf(PDEVICE_OBJECT pdo);
// The surprise removal of pdo has completed: a new devnode may take its path.
void ReleaseInstancePath(PDEVICE_OBJECT pdo);
void ForgetDeviceIds(PDEVICE_OBJECT pdo);
void ResetDeviceIds();

} // namespace kmsim

#endif
