// Events, fast mutexes, waits, IRQL, the simulated clock and the verifier log.
#include "core.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <vector>

namespace kmsim
{

std::recursive_mutex g_lock;
std::condition_variable_any g_cv;

namespace
{
const LONGLONG kBootTime = 132000000000000000LL; // a date in 2019, in 100-ns units since 1601
std::atomic<LONGLONG> now{kBootTime};
std::atomic<LONGLONG> delayed{0};
std::atomic<bool> legacy{false};
thread_local KIRQL irql = PASSIVE_LEVEL;
thread_local char threadTag;
std::mutex violationLock;
std::vector<std::string> violations;
// The conditions of the untimed waits threads are blocked in (guarded by
// g_lock), so a tool running several threads can tell when all of them
// wait for something only another of them could do.
std::vector<const std::function<bool()>*> blockedWaits;

// Registers the calling thread's wait for as long as it blocks.
struct BlockedWait {
    explicit BlockedWait(const std::function<bool()>* c) : condition(c)
    {
        blockedWaits.push_back(condition);
    }
    ~BlockedWait()
    {
        for (size_t i = 0; i < blockedWaits.size(); i++)
            if (blockedWaits[i] == condition) {
                blockedWaits.erase(blockedWaits.begin() + (long)i);
                break;
            }
    }
    const std::function<bool()>* condition;
};
// A wait that nothing satisfies within this real time is reported as a
// deadlock instead of hanging the test run.
const auto kDeadlockGuard = std::chrono::seconds(20);
} // namespace

void Violation(const std::string& what)
{
    std::lock_guard<std::mutex> g(violationLock);
    violations.push_back(what);
}

std::vector<std::string> Violations()
{
    std::lock_guard<std::mutex> g(violationLock);
    return violations;
}

void ClearViolations()
{
    std::lock_guard<std::mutex> g(violationLock);
    violations.clear();
}

LONGLONG Now()
{
    return now.load();
}
void AdvanceClock(LONGLONG hundredNs)
{
    now += hundredNs;
}
LONGLONG TotalDelayed()
{
    return delayed.load();
}
void SetLegacyPlatform(bool on)
{
    legacy = on;
}
bool IsLegacyPlatform()
{
    return legacy.load();
}
KIRQL CurrentIrql()
{
    return irql;
}

size_t ThreadsWaitingInVain()
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    size_t n = 0;
    for (const std::function<bool()>* c : blockedWaits)
        if (!(*c)())
            n++;
    return n;
}

void ResetSync()
{
    now = kBootTime;
    delayed = 0;
    legacy = false;
    ClearViolations();
}

} // namespace kmsim

using namespace kmsim;

extern "C" {

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    // Windows 98 and Me offer WDM 1.0 and 1.05; Windows 2000 1.10 and later more.
    unsigned version = MajorVersion * 0x100u + MinorVersion;
    unsigned available = legacy ? 0x105u : 0x130u;
    return version <= available ? TRUE : FALSE;
}

KIRQL NTAPI KeGetCurrentIrql(void)
{
    return irql;
}

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    if (NewIrql < irql)
        Violation("KeRaiseIrql to a lower IRQL");
    *OldIrql = irql;
    irql = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > irql)
        Violation("KeLowerIrql to a higher IRQL");
    irql = NewIrql;
}

PKTHREAD NTAPI KeGetCurrentThread(void)
{
    return (PKTHREAD)&threadTag;
}

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    memset(Event, 0, sizeof *Event);
    Event->Header.Type = (UCHAR)Type;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    if (irql > DISPATCH_LEVEL)
        Violation("KeSetEvent above DISPATCH_LEVEL");
    std::lock_guard<std::recursive_mutex> g(g_lock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    g_cv.notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    PRKEVENT event = (PRKEVENT)Object;
    bool poll = Timeout != NULL && Timeout->QuadPart == 0;
    if (irql >= DISPATCH_LEVEL && !poll) {
        Violation("blocking wait at IRQL " + std::to_string(irql));
        return STATUS_UNSUCCESSFUL; // refused: the platform would stop the machine here
    }
    std::unique_lock<std::recursive_mutex> g(g_lock);
    std::function<bool()> signalled = [&] { return event->Header.SignalState != 0; };
    if (!signalled()) {
        if (Timeout != NULL) {
            // A timed wait that nothing satisfies now: the time passes at once.
            LONGLONG t = Timeout->QuadPart;
            if (t < 0)
                now += -t;
            else if (t > now)
                now = t;
            return STATUS_TIMEOUT;
        }
        BlockedWait blocked(&signalled);
        if (!g_cv.wait_for(g, kDeadlockGuard, signalled)) {
            Violation("wait never satisfied (deadlock)");
            return STATUS_TIMEOUT;
        }
    }
    if (event->Header.Type == SynchronizationEvent)
        event->Header.SignalState = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    if (irql > APC_LEVEL)
        Violation("KeDelayExecutionThread above APC_LEVEL");
    LONGLONG t = Interval->QuadPart;
    LONGLONG step = t < 0 ? -t : (t > now ? t - now : 0);
    now += step;
    delayed += step;
    return STATUS_SUCCESS;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = now.load();
}

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    memset(FastMutex, 0, sizeof *FastMutex);
    FastMutex->Count = 1;
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    if (irql > APC_LEVEL)
        Violation("ExAcquireFastMutex above APC_LEVEL");
    std::unique_lock<std::recursive_mutex> g(g_lock);
    if (FastMutex->Owner == KeGetCurrentThread()) {
        Violation("fast mutex acquired again by its owner (deadlock)");
        return;
    }
    std::function<bool()> released = [&] { return FastMutex->Count == 1; };
    BlockedWait blocked(&released);
    if (!g_cv.wait_for(g, kDeadlockGuard, released)) {
        Violation("fast mutex never released (deadlock)");
        return;
    }
    FastMutex->Count = 0;
    FastMutex->Owner = KeGetCurrentThread();
    FastMutex->OldIrql = irql;
    irql = APC_LEVEL;
}

BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (FastMutex->Count != 1)
        return FALSE;
    FastMutex->Count = 0;
    FastMutex->Owner = KeGetCurrentThread();
    FastMutex->OldIrql = irql;
    irql = APC_LEVEL;
    return TRUE;
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (FastMutex->Owner != KeGetCurrentThread()) {
        Violation("fast mutex released by a thread that does not own it");
        return;
    }
    FastMutex->Owner = NULL;
    FastMutex->Count = 1;
    irql = (KIRQL)FastMutex->OldIrql;
    g_cv.notify_all();
}

LONG FASTCALL InterlockedIncrement(LONG volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG FASTCALL InterlockedDecrement(LONG volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG FASTCALL InterlockedExchange(LONG volatile* Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG FASTCALL InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

LONG FASTCALL InterlockedExchangeAdd(LONG volatile* Addend, LONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

} // extern "C"
