// Events, fast mutexes, waits, IRQL, the simulated clock and the verifier log.
#include "core.h"
#include "verifier.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
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
// A wait that nothing satisfies within this real time is reported as a
// deadlock instead of hanging the test run.
const auto kDeadlockGuard = std::chrono::seconds(20);

// A step armed with OnFastMutexRelease (guarded by g_lock).
struct ReleaseStep {
    PFAST_MUTEX mutex = nullptr;
    PKTHREAD thread = nullptr;
    std::function<bool()> step;
};
ReleaseStep releaseStep;
std::atomic<bool> releaseStepArmed{false};
// Objects threads are blocked on right now, with how many (guarded by g_lock).
std::map<PVOID, size_t> waiting;

void RunReleaseStep(PFAST_MUTEX mutex)
{
    std::function<bool()> step;
    {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        if (releaseStep.mutex != mutex || releaseStep.thread != KeGetCurrentThread())
            return;
        step = std::move(releaseStep.step);
        releaseStep = ReleaseStep();
        releaseStepArmed = false;
    }
    if (step())
        return;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (!releaseStepArmed) {
        releaseStep = ReleaseStep{mutex, KeGetCurrentThread(), std::move(step)};
        releaseStepArmed = true;
    }
}
} // namespace

void OnFastMutexRelease(PFAST_MUTEX mutex, std::function<bool()> step)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    releaseStep = ReleaseStep{mutex, KeGetCurrentThread(), std::move(step)};
    releaseStepArmed = mutex != nullptr;
}

size_t WaitersOn(PVOID object)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = waiting.find(object);
    return it == waiting.end() ? 0 : it->second;
}

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

void ResetSync()
{
    now = kBootTime;
    delayed = 0;
    legacy = false;
    ClearViolations();
    OnFastMutexRelease(nullptr, nullptr);
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
    MarkEventInitialised(Event);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    if (irql > DISPATCH_LEVEL)
        Violation("KeSetEvent above DISPATCH_LEVEL");
    CheckEventInitialised(Event, "KeSetEvent");
    std::lock_guard<std::recursive_mutex> g(g_lock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    g_cv.notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    CheckEventInitialised(Event, "KeClearEvent");
    std::lock_guard<std::recursive_mutex> g(g_lock);
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    CheckEventInitialised(Event, "KeResetEvent");
    std::lock_guard<std::recursive_mutex> g(g_lock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    CheckEventInitialised(Event, "KeReadStateEvent");
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
    CheckEventInitialised(event, "KeWaitForSingleObject");
    std::unique_lock<std::recursive_mutex> g(g_lock);
    auto signalled = [&] { return event->Header.SignalState != 0; };
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
        waiting[Object]++;
        bool satisfied = g_cv.wait_for(g, kDeadlockGuard, signalled);
        if (--waiting[Object] == 0)
            waiting.erase(Object);
        if (!satisfied) {
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
    if (!g_cv.wait_for(g, kDeadlockGuard, [&] { return FastMutex->Count == 1; })) {
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

static VOID ReleaseFastMutexOnly(PFAST_MUTEX FastMutex)
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

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    ReleaseFastMutexOnly(FastMutex);
    if (releaseStepArmed)
        RunReleaseStep(FastMutex);
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
