// The verifier: guarded pool blocks and their quarantine, the driver each
// thread runs for, and the checks made around every dispatch routine (IRQL
// given back as it was received; STATUS_PENDING returned exactly when the
// routine marked its stack location pending; a request not pended is
// completed before its dispatch routine returns).
#include "verifier.h"

#include <cstdlib>
#include <deque>
#include <map>
#include <vector>

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

// ---- dispatch calls ------------------------------------------------------------------

namespace
{
struct Frame {
    PIRP irp;
    CHAR location;
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
    std::lock_guard<std::recursive_mutex> g(g_lock);
    frames[irp].push_back(f);
    return f;
}

void DispatchEnd(void* frame, NTSTATUS returned, KIRQL before)
{
    Frame* f = (Frame*)frame;
    KIRQL after = KeGetCurrentIrql();
    if (after != before)
        Violation("dispatch routine " + Who(f) + " called at IRQL " + std::to_string(before) +
                  " returned at IRQL " + std::to_string(after));
    std::lock_guard<std::recursive_mutex> g(g_lock);
    f->returned = true;
    bool pending = returned == STATUS_PENDING;
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

} // namespace kmsim
