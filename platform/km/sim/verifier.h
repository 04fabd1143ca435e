// Internals of the verifier: guarded pool blocks with a quarantine of freed
// memory, the driver on whose behalf the current thread runs (so that pool
// can be charged to a driver and its leaks reported when it unloads), and
// the bookkeeping of dispatch calls that checks IRQL and STATUS_PENDING.
#ifndef PRN_KM_SIM_VERIFIER_H
#define PRN_KM_SIM_VERIFIER_H

#include "core.h"

namespace kmsim
{

// ---- guarded blocks ---------------------------------------------------------
// A block is [front guard][caller's bytes][back guard] in one malloc'd area;
// `alignment` is what the caller's bytes need (16, or 64 for cache-aligned
// pool). Returns the caller's address or NULL.
PVOID GuardedAllocate(SIZE_T bytes, SIZE_T alignment);
// Checks both guards (a violation names the tag), poisons the caller's bytes
// and puts the block in the quarantine; a block leaving the quarantine is
// checked for writes made after it was freed.
void GuardedFree(PVOID p, SIZE_T bytes, SIZE_T alignment, ULONG tag);
// Gives a live block back without checks (machine reset).
void GuardedDiscard(PVOID p, SIZE_T bytes, SIZE_T alignment);
// Releases every quarantined block without checking it (machine reset).
void DropQuarantine();

// ---- the driver the current thread runs for -----------------------------------
PDRIVER_OBJECT CurrentDriver();
struct DriverScope {
    explicit DriverScope(PDRIVER_OBJECT driver);
    ~DriverScope();
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;
};
// "\Driver\prnsbp", or "" for a driver object the PnP manager did not make.
std::string DriverPath(PDRIVER_OBJECT driver);

// ---- dispatch calls -------------------------------------------------------------
// IoCallDriver brackets every dispatch routine with these two; the completion
// walk reports each stack location as it leaves it; freeing an IRP drops what
// is still known of it.
void* DispatchBegin(PIRP irp, PDEVICE_OBJECT device, UCHAR major, UCHAR minor);
void DispatchEnd(void* frame, NTSTATUS returned, KIRQL before);
void StackLocationCompleted(PIRP irp, CHAR location, bool pendingMarked);
void IrpFreed(PIRP irp);
void ResetVerifier();
// The state-changing PnP requests: a driver that passes one down has
// handled it and says so with STATUS_SUCCESS (the PnP manager sends them
// with STATUS_NOT_SUPPORTED).
bool MustCarrySuccess(UCHAR minor);

// ---- PnP and power rules -----------------------------------------------------------
// IoCallDriver reports every hop of a request; a hop to a device that has
// another attached above it is a request passed down the stack.
void RequestArriving(PIRP irp, PDEVICE_OBJECT target);
// IoCompleteRequest reports the status a driver completes a request with.
void RequestCompleting(PIRP irp);

// ---- dispatcher objects ---------------------------------------------------------
// KeInitializeEvent marks an event; setting, clearing, reading or waiting on
// one without the mark (zeroed or pool memory) is reported, naming `routine`.
void MarkEventInitialised(PRKEVENT event);

// ---- user buffers (see kmsim::UserBuffer) ---------------------------------------
// The system mapping of a user buffer's address, or NULL when `va` is not
// in one.
PVOID SystemAddressOfUserBuffer(PVOID va);
void CheckEventInitialised(PRKEVENT event, const char* routine);

} // namespace kmsim

#endif
