// The verifier: guarded pool blocks and their quarantine, the driver each
// thread runs for, and the checks made around every dispatch routine (IRQL
// given back as it was received; STATUS_PENDING returned exactly when the
// routine marked its stack location pending; a request not pended is
// completed before its dispatch routine returns).
#include "verifier.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <map>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define KM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KM_ASAN 1
#endif
#endif
#ifdef KM_ASAN
#include <sanitizer/asan_interface.h>
#define KM_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define KM_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define KM_POISON(p, n) ((void)(p), (void)(n))
#define KM_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace kmsim
{

namespace
{
const UCHAR kGuardByte = 0xF7;
const UCHAR kFreedByte = 0xDF;
const SIZE_T kBackGuard = 16;
// Freed blocks stay out of reuse this long, so that a stale pointer keeps
// pointing at poison rather than at somebody else's new block.
const size_t kQuarantineBlocks = 4096;
const SIZE_T kQuarantineBytes = 32u << 20;

struct Quarantined {
    UCHAR* base;
    UCHAR* user;
    SIZE_T bytes;
    ULONG tag;
};
std::mutex quarantineLock;
// Never destroyed: blocks still held at exit stay reachable, not leaks.
std::deque<Quarantined>& quarantine = *new std::deque<Quarantined>;
SIZE_T quarantineBytes = 0;

// Written without the sanitizer's checks: the guards and freed blocks are
// poisoned for it, and only the verifier itself may touch them.
#ifdef KM_ASAN
__attribute__((no_sanitize_address))
#endif
void Fill(UCHAR* p, UCHAR value, SIZE_T n)
{
    for (SIZE_T i = 0; i < n; i++)
        p[i] = value;
}

#ifdef KM_ASAN
__attribute__((no_sanitize_address))
#endif
bool Holds(const UCHAR* p, UCHAR value, SIZE_T n)
{
    for (SIZE_T i = 0; i < n; i++)
        if (p[i] != value)
            return false;
    return true;
}

SIZE_T FrontGuard(SIZE_T alignment)
{
    return alignment < 16 ? 16 : alignment;
}

void Release(const Quarantined& q, bool check)
{
    if (check && !Holds(q.user, kFreedByte, q.bytes))
        Violation("pool block of tag " + TagName(q.tag) + " (" + std::to_string(q.bytes) +
                  " bytes) written after it was freed");
    KM_UNPOISON(q.base, (q.user - q.base) + q.bytes + kBackGuard);
    free(q.base);
}
} // namespace

PVOID GuardedAllocate(SIZE_T bytes, SIZE_T alignment)
{
    SIZE_T front = FrontGuard(alignment);
    SIZE_T total = front + bytes + kBackGuard;
    total = (total + front - 1) / front * front;
    UCHAR* base = (UCHAR*)aligned_alloc(front, total);
    if (base == NULL)
        return NULL;
    UCHAR* user = base + front;
    Fill(base, kGuardByte, front);
    Fill(user + bytes, kGuardByte, kBackGuard);
    KM_POISON(base, front);
    KM_POISON(user + bytes, kBackGuard);
    return user;
}

void GuardedFree(PVOID p, SIZE_T bytes, SIZE_T alignment, ULONG tag)
{
    UCHAR* user = (UCHAR*)p;
    SIZE_T front = FrontGuard(alignment);
    UCHAR* base = user - front;
    if (!Holds(base, kGuardByte, front))
        Violation("pool block of tag " + TagName(tag) + " (" + std::to_string(bytes) +
                  " bytes) written before its start (underrun)");
    if (!Holds(user + bytes, kGuardByte, kBackGuard))
        Violation("pool block of tag " + TagName(tag) + " (" + std::to_string(bytes) +
                  " bytes) written past its end (overrun)");
    Fill(user, kFreedByte, bytes);
    KM_POISON(user, bytes);
    std::vector<Quarantined> leaving;
    {
        std::lock_guard<std::mutex> g(quarantineLock);
        quarantine.push_back(Quarantined{base, user, bytes, tag});
        quarantineBytes += bytes;
        while (quarantine.size() > kQuarantineBlocks || quarantineBytes > kQuarantineBytes) {
            leaving.push_back(quarantine.front());
            quarantineBytes -= quarantine.front().bytes;
            quarantine.pop_front();
        }
    }
    for (const Quarantined& q : leaving)
        Release(q, true);
}

void GuardedDiscard(PVOID p, SIZE_T bytes, SIZE_T alignment)
{
    UCHAR* user = (UCHAR*)p;
    UCHAR* base = user - FrontGuard(alignment);
    KM_UNPOISON(base, (user - base) + bytes + kBackGuard);
    free(base);
}

void CheckQuarantine()
{
    std::lock_guard<std::mutex> g(quarantineLock);
    for (const Quarantined& q : quarantine)
        if (!Holds(q.user, kFreedByte, q.bytes))
            Violation("pool block of tag " + TagName(q.tag) + " (" + std::to_string(q.bytes) +
                      " bytes) written after it was freed");
}

void DropQuarantine()
{
    // Taken out into a vector that goes with this call: a fuzzer counts the
    // allocations each input leaves behind.
    std::vector<Quarantined> all;
    {
        std::lock_guard<std::mutex> g(quarantineLock);
        all.assign(quarantine.begin(), quarantine.end());
        quarantine.clear();
        quarantineBytes = 0;
    }
    for (const Quarantined& q : all)
        Release(q, false);
}

// ---- the driver the current thread runs for ------------------------------------

namespace
{
thread_local std::vector<PDRIVER_OBJECT> driverStack;
}

PDRIVER_OBJECT CurrentDriver()
{
    return driverStack.empty() ? nullptr : driverStack.back();
}

DriverScope::DriverScope(PDRIVER_OBJECT driver)
{
    driverStack.push_back(driver);
}

DriverScope::~DriverScope()
{
    driverStack.pop_back();
}

// ---- user buffers ----------------------------------------------------------------------
// Each buffer's pages are one shared memory object mapped twice: at the
// user address and at the system address. The user mapping is made
// inaccessible whenever the caller's context is not the current one (a
// request carrying it dispatched on another thread, a request pended by its
// dispatch routine, the range unmapped); a fault there is reported and the
// mapping opened again so that the run goes on to its end.

namespace
{
enum UserState { kUserOpen, kUserClosed, kUserUnmapped };
struct UserRange {
    std::atomic<UCHAR*> base{nullptr}; // the user mapping
    std::atomic<size_t> length{0};
    std::atomic<UCHAR*> system{nullptr};
    std::atomic<PKTHREAD> owner{nullptr};
    std::atomic<int> state{kUserOpen};
};
const int kUserRanges = 64;
// Scanned by the fault handler without a lock; changed under userLock.
UserRange userRanges[kUserRanges];
std::mutex userLock;
struct sigaction previousSegv;

UserRange* FindUserRange(const void* va)
{
    const UCHAR* a = (const UCHAR*)va;
    for (UserRange& r : userRanges) {
        UCHAR* base = r.base.load();
        if (base != nullptr && a >= base && a < base + r.length.load())
            return &r;
    }
    return nullptr;
}

void SetUserAccess(UserRange* r, bool open)
{
    mprotect(r->base.load(), r->length.load(), open ? PROT_READ | PROT_WRITE : PROT_NONE);
}

void OnSegv(int sig, siginfo_t* info, void* context)
{
    UserRange* r = FindUserRange(info->si_addr);
    if (r == nullptr) {
        if (previousSegv.sa_flags & SA_SIGINFO) {
            previousSegv.sa_sigaction(sig, info, context);
        } else if (previousSegv.sa_handler != SIG_DFL && previousSegv.sa_handler != SIG_IGN) {
            previousSegv.sa_handler(sig);
        } else {
            signal(sig, SIG_DFL);
            raise(sig);
        }
        return;
    }
    int state = r->state.load();
    if (state == kUserUnmapped)
        Violation("user buffer accessed through its user address after the caller unmapped it");
    else if (r->owner.load() != KeGetCurrentThread())
        Violation("user buffer accessed through its user address outside the caller's context");
    else
        r->state = kUserOpen; // the caller itself, back in its own context
    SetUserAccess(r, true);
}

void InstallFaultHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_sigaction = OnSegv;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &previousSegv);
    });
}

// The user range an IRP's MDL describes, if any.
UserRange* UserRangeOf(PIRP irp)
{
    return irp->MdlAddress != NULL ? FindUserRange(MmGetMdlVirtualAddress(irp->MdlAddress))
                                   : nullptr;
}

void CloseUserRange(UserRange* r)
{
    std::lock_guard<std::mutex> g(userLock);
    if (r->state == kUserOpen) {
        r->state = kUserClosed;
        SetUserAccess(r, false);
    }
}

void OpenUserRange(UserRange* r)
{
    std::lock_guard<std::mutex> g(userLock);
    if (r->state == kUserClosed) {
        r->state = kUserOpen;
        SetUserAccess(r, true);
    }
}
} // namespace

PVOID SystemAddressOfUserBuffer(PVOID va)
{
    UserRange* r = FindUserRange(va);
    if (r == nullptr)
        return NULL;
    return r->system.load() + ((UCHAR*)va - r->base.load());
}

UserBuffer::UserBuffer(size_t bytes) : bytes_(bytes)
{
    // The buffer starts inside its first page, as user buffers usually do.
    const size_t offset = 0x64;
    long page = sysconf(_SC_PAGESIZE);
    mapped_ = (offset + bytes + (size_t)page - 1) / (size_t)page * (size_t)page;
    int fd = memfd_create("kmsim-user-buffer", 0);
    if (fd < 0 || ftruncate(fd, (off_t)mapped_) != 0)
        abort();
    userBase_ = (UCHAR*)mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    systemBase_ = (UCHAR*)mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (userBase_ == MAP_FAILED || systemBase_ == MAP_FAILED)
        abort();
    user_ = userBase_ + offset;
    InstallFaultHandler();
    {
        std::lock_guard<std::mutex> g(userLock);
        for (UserRange& r : userRanges)
            if (r.base.load() == nullptr) {
                r.length = mapped_;
                r.system = systemBase_;
                r.owner = KeGetCurrentThread();
                r.state = kUserOpen;
                r.base = userBase_;
                break;
            }
    }
    // What MmProbeAndLockPages leaves: locked pages, no system mapping yet.
    mdl_ = (PMDL)calloc(1, sizeof(MDL));
    ULONG_PTR va = (ULONG_PTR)user_;
    mdl_->Size = sizeof(MDL);
    mdl_->StartVa = (PVOID)(va & ~(ULONG_PTR)(PAGE_SIZE - 1));
    mdl_->ByteOffset = (ULONG)(va & (PAGE_SIZE - 1));
    mdl_->ByteCount = (ULONG)bytes;
    mdl_->MdlFlags = MDL_PAGES_LOCKED;
}

UserBuffer::~UserBuffer()
{
    {
        std::lock_guard<std::mutex> g(userLock);
        UserRange* r = FindUserRange(userBase_);
        if (r != nullptr) {
            r->base = nullptr;
            r->length = 0;
        }
    }
    free(mdl_);
    munmap(userBase_, mapped_);
    munmap(systemBase_, mapped_);
}

void UserBuffer::Unmap()
{
    std::lock_guard<std::mutex> g(userLock);
    UserRange* r = FindUserRange(userBase_);
    r->state = kUserUnmapped;
    SetUserAccess(r, false);
}

std::vector<UCHAR> UserBuffer::Contents() const
{
    const UCHAR* p = systemBase_ + (user_ - userBase_);
    return std::vector<UCHAR>(p, p + bytes_);
}

// ---- dispatch calls ------------------------------------------------------------------

namespace
{
struct Frame {
    PIRP irp;
    CHAR location;
    UserRange* foreignUser = nullptr; // closed while this routine runs
    // Who was called, put into words only for a violation.
    PDRIVER_OBJECT driver;
    UCHAR major;
    UCHAR minor;
    bool completed = false;
    bool marked = false;
    bool returned = false;
    bool detached = false; // the IRP was freed: the frame is no longer in `frames`
};
// Frames of IRPs whose dispatch has not returned or whose completion has not
// reached the frame's stack location yet.
std::map<PIRP, std::vector<Frame*>> frames;

std::string Hex2(unsigned v)
{
    const char* digits = "0123456789ABCDEF";
    return std::string("0x") + digits[(v >> 4) & 0xF] + digits[v & 0xF];
}

std::string StatusText(NTSTATUS s)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", (unsigned)s);
    return text;
}

// "\Driver\prnsbp 0x03/0x00"
std::string Who(const Frame* f)
{
    return DriverPath(f->driver) + " " + Hex2(f->major) + "/" + Hex2(f->minor);
}

void Drop(Frame* f)
{
    auto it = frames.find(f->irp);
    if (it != frames.end() && !f->detached) {
        auto& v = it->second;
        for (size_t i = 0; i < v.size(); i++)
            if (v[i] == f) {
                v.erase(v.begin() + (long)i);
                break;
            }
        if (v.empty())
            frames.erase(it);
    }
    delete f;
}
} // namespace

void* DispatchBegin(PIRP irp, PDEVICE_OBJECT device, UCHAR major, UCHAR minor)
{
    Frame* f = new Frame;
    f->irp = irp;
    f->location = irp->CurrentLocation;
    f->driver = device->DriverObject;
    f->major = major;
    f->minor = minor;
    // A request carrying a user buffer, dispatched on a thread other than
    // its caller's, runs in another process's context.
    UserRange* user = UserRangeOf(irp);
    if (user != nullptr && user->owner.load() != KeGetCurrentThread() &&
        user->state.load() == kUserOpen) {
        CloseUserRange(user);
        f->foreignUser = user;
    }
    std::lock_guard<std::recursive_mutex> g(g_lock);
    frames[irp].push_back(f);
    return f;
}

void DispatchEnd(void* frame, NTSTATUS returned, KIRQL before)
{
    Frame* f = (Frame*)frame;
    if (f->foreignUser != nullptr)
        OpenUserRange(f->foreignUser);
    KIRQL after = KeGetCurrentIrql();
    if (after != before)
        Violation("dispatch routine " + Who(f) + " called at IRQL " + std::to_string(before) +
                  " returned at IRQL " + std::to_string(after));
    std::lock_guard<std::recursive_mutex> g(g_lock);
    f->returned = true;
    bool pending = returned == STATUS_PENDING;
    // Pended with a user buffer: the caller goes on with its own work and
    // the buffer's user address is no longer the context of whoever
    // completes the request.
    if (pending && !f->completed && !f->detached) {
        UserRange* user = UserRangeOf(f->irp);
        if (user != nullptr)
            CloseUserRange(user);
    }
    if (f->completed) {
        if (pending && !f->marked)
            Violation("dispatch routine " + Who(f) +
                      " returned STATUS_PENDING without IoMarkIrpPending");
        if (!pending && f->marked)
            Violation("dispatch routine " + Who(f) + " marked the IRP pending but returned " +
                      StatusText(returned));
        Drop(f);
        return;
    }
    if (f->detached) {
        // Freed by its owner before completion reached this location
        // (STATUS_MORE_PROCESSING_REQUIRED further down): nothing to check.
        Drop(f);
        return;
    }
    if (!pending) {
        Violation("dispatch routine " + Who(f) + " returned " + StatusText(returned) +
                  " without completing the IRP or returning STATUS_PENDING");
        Drop(f);
    }
    // Pending and still in flight: the completion checks the mark.
}

void StackLocationCompleted(PIRP irp, CHAR location, bool pendingMarked)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = frames.find(irp);
    if (it == frames.end())
        return;
    std::vector<Frame*> done;
    for (Frame* f : it->second)
        if (f->location == location && !f->completed) {
            f->completed = true;
            f->marked = pendingMarked;
            if (f->returned)
                done.push_back(f);
        }
    for (Frame* f : done) {
        if (!f->marked)
            Violation("dispatch routine " + Who(f) +
                      " returned STATUS_PENDING without IoMarkIrpPending");
        Drop(f);
    }
}

void IrpFreed(PIRP irp)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = frames.find(irp);
    if (it == frames.end())
        return;
    for (Frame* f : it->second) {
        if (f->returned)
            delete f;
        else
            f->detached = true; // its dispatch routine checks and deletes it on return
    }
    frames.erase(it);
}

// ---- dispatcher objects ----------------------------------------------------------------

namespace
{
// Windows keeps the object's type and size in the header; a header that
// does not carry them was never initialised. Absolute is unused by events,
// so the mark lives there too and zeroed memory can never pass.
const UCHAR kEventMark = 0x5E;
const UCHAR kEventSize = (UCHAR)(sizeof(KEVENT) / sizeof(LONG));
} // namespace

void MarkEventInitialised(PRKEVENT event)
{
    event->Header.Size = kEventSize;
    event->Header.Absolute = kEventMark;
}

void CheckEventInitialised(PRKEVENT event, const char* routine)
{
    const DISPATCHER_HEADER& h = event->Header;
    if (h.Size != kEventSize || h.Absolute != kEventMark || h.Type > SynchronizationEvent)
        Violation(std::string(routine) + " on an event never initialised with KeInitializeEvent");
}

void ResetVerifier()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    // Frames of dispatch routines still running stay theirs to delete.
    for (auto& e : frames)
        for (Frame* f : e.second) {
            if (f->returned)
                delete f;
            else
                f->detached = true;
        }
    frames.clear();
}

// ---- PnP and power rules ---------------------------------------------------------------

bool MustCarrySuccess(UCHAR minor)
{
    switch (minor) {
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return true;
    default:
        return false;
    }
}

namespace
{

std::string DeviceText(PDEVICE_OBJECT d)
{
    std::string name = DeviceName(d);
    return DriverPath(d->DriverObject) + (name.empty() ? "" : " (" + name + ")");
}
} // namespace

void RequestArriving(PIRP irp, PDEVICE_OBJECT target)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT above = target->AttachedDevice;
    if (above == NULL)
        return; // sent to the top of a stack, not passed down
    if (stack->MajorFunction == IRP_MJ_PNP && MustCarrySuccess(stack->MinorFunction) &&
        irp->IoStatus.Status != STATUS_SUCCESS)
        Violation("IRP_MJ_PNP " + Hex2(stack->MinorFunction) + " passed down to " +
                  DeviceText(target) + " with IoStatus.Status " + StatusText(irp->IoStatus.Status) +
                  " instead of STATUS_SUCCESS");
    // Once a stop has succeeded the function driver holds or fails the
    // stack's I/O until the next start: the bus driver has given up the
    // hardware resources it would need (PnP, power and WMI requests still
    // go down).
    UCHAR major = stack->MajorFunction;
    if (Info(target)->attachedTo == NULL && major != IRP_MJ_PNP && major != IRP_MJ_POWER &&
        major != IRP_MJ_SYSTEM_CONTROL && StackStopped(target))
        Violation("IRP_MJ " + Hex2(major) + " sent to " + DeviceText(target) +
                  " after its IRP_MN_STOP_DEVICE, before its next start");
    // All device objects of a stack are pageable for power, or none: the
    // power manager calls the stack at PASSIVE_LEVEL when its PDO says so.
    if (stack->MajorFunction == IRP_MJ_POWER && (target->Flags & DO_POWER_PAGABLE) &&
        !(above->Flags & DO_POWER_PAGABLE))
        Violation("power IRP passed through " + DeviceText(above) +
                  " without DO_POWER_PAGABLE above " + DeviceText(target) + ", which has it");
}

void RequestCompleting(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_POWER || stack->MinorFunction != IRP_MN_SET_POWER ||
        NT_SUCCESS(irp->IoStatus.Status))
        return;
    PDEVICE_OBJECT device = stack->DeviceObject;
    bool system = stack->Parameters.Power.Type == SystemPowerState;
    // Only the bus driver (nothing below it) may fail a device power-up,
    // and only for a device that is gone or going.
    bool busPowerUp = !system && Info(device)->attachedTo == NULL &&
                      stack->Parameters.Power.State.DeviceState == PowerDeviceD0;
    if (busPowerUp)
        return;
    Violation(std::string("IRP_MN_SET_POWER for a ") + (system ? "system" : "device") +
              " power state failed with " + StatusText(irp->IoStatus.Status) + " by " +
              DeviceText(device));
}

} // namespace kmsim
