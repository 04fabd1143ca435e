// Events, fast mutexes, waits, IRQL, the simulated clock and the verifier log.
#include "core.h"
#include "explore.h"
#include "verifier.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <vector>

namespace kmsim
{

std::recursive_mutex g_lock;
std::condition_variable_any g_cv;
std::atomic<bool> g_retail{false};
std::atomic<int> g_sleepers{0};

namespace
{
const LONGLONG kBootTime = 132000000000000000LL; // a date in 2019, in 100-ns units since 1601
std::atomic<LONGLONG> now{kBootTime};
// What setting the time has added to the system time (negative: set back).
// The interrupt time and tick count run on from `now` whatever is set.
std::atomic<LONGLONG> systemTimeBias{0};
// What looks again whenever the clock moves (a port driver's request timer),
// by the id WatchClock gave. Its own lock: a watcher runs in the thread that
// moved the clock, which may hold anything but this.
std::mutex watchLock;
std::map<int, std::function<void()>> clockWatchers;
int lastWatcher = 0;
// The machine had been up a while when the test began: no tick count reads 0.
const LONGLONG kUptimeAtReset = 10 * 10000000LL;
// One tick of the interval clock, in 100-ns units: as fine as the clock
// itself, so that intervals measured in ticks come out exactly as the
// simulated time (a PC's tick is 100000 to 156250).
const ULONG kTimeIncrement = 1;
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

// What each blocked thread waits on, for a tool to say where it is
// (guarded by g_lock).
struct WaitingOn {
    PVOID object;
    bool mutex;
};
std::map<std::thread::id, WaitingOn> waitsByThread;

// Registers the calling thread's wait for as long as it blocks.
struct BlockedWait {
    BlockedWait(const std::function<bool()>* c, PVOID object, bool mutex) : condition(c)
    {
        blockedWaits.push_back(condition);
        waitsByThread[std::this_thread::get_id()] = WaitingOn{object, mutex};
    }
    ~BlockedWait()
    {
        for (size_t i = 0; i < blockedWaits.size(); i++)
            if (blockedWaits[i] == condition) {
                blockedWaits.erase(blockedWaits.begin() + (long)i);
                break;
            }
        waitsByThread.erase(std::this_thread::get_id());
    }
    const std::function<bool()>* condition;
};
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

// Counts a thread in g_sleepers while it waits on g_cv (under g_lock).
struct Sleeper {
    Sleeper() { g_sleepers.fetch_add(1); }
    ~Sleeper() { g_sleepers.fetch_sub(1); }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;
};

// After a lock-free change of an event or fast mutex: wake the sleepers, if
// any. A sleeper counts itself before it tests its condition under g_lock,
// so either it sees the change or it is counted here.
void WakeSleepers()
{
    if (g_sleepers.load() != 0) {
        std::lock_guard<std::recursive_mutex> g(g_lock);
        g_cv.notify_all();
    }
}

// Takes the event's signal (a synchronization event resets as it releases
// its waiter) or reports that it is not signalled.
bool TakeSignal(PRKEVENT event)
{
    if (event->Header.Type == SynchronizationEvent) {
        LONG signalled = 1;
        return __atomic_compare_exchange_n(&event->Header.SignalState, &signalled, 0, false,
                                           __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }
    return __atomic_load_n(&event->Header.SignalState, __ATOMIC_SEQ_CST) != 0;
}

bool TakeFastMutex(PFAST_MUTEX mutex)
{
    LONG free = 1;
    return __atomic_compare_exchange_n(&mutex->Count, &free, 0, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

void BecomeOwner(PFAST_MUTEX mutex)
{
    __atomic_store_n(&mutex->Owner, KeGetCurrentThread(), __ATOMIC_RELAXED);
    mutex->OldIrql = irql;
    irql = APC_LEVEL;
    if (!Retail())
        LockTaken(mutex);
    RaceAcquire(mutex);
}

// A timed wait that nothing satisfies now: the time passes at once.
NTSTATUS PassTimeout(PLARGE_INTEGER timeout)
{
    LONGLONG t = timeout->QuadPart;
    if (t < 0)
        now += -t;
    else if (t > now)
        now = t;
    return STATUS_TIMEOUT;
}

// What could let a waiter go on, without taking the signal.
bool Signalled(PRKEVENT event)
{
    return __atomic_load_n(&event->Header.SignalState, __ATOMIC_SEQ_CST) != 0;
}

// Under the explorer a wait is a condition the scheduler evaluates: the
// thread is not run again until the event is signalled.
NTSTATUS ScheduledWait(PRKEVENT event, PLARGE_INTEGER timeout)
{
    if (TakeSignal(event)) {
        RaceAcquire(event);
        return STATUS_SUCCESS;
    }
    if (timeout != NULL)
        return PassTimeout(timeout);
    auto signalled = [event] { return Signalled(event); };
    while (!TakeSignal(event)) {
        {
            std::lock_guard<std::recursive_mutex> g(g_lock);
            waiting[event]++;
        }
        bool woken = Block(signalled, "KeWaitForSingleObject");
        {
            std::lock_guard<std::recursive_mutex> g(g_lock);
            if (--waiting[event] == 0)
                waiting.erase(event);
        }
        if (!woken) {
            Violation("wait never satisfied (deadlock)");
            return STATUS_TIMEOUT;
        }
    }
    RaceAcquire(event);
    return STATUS_SUCCESS;
}

void ScheduledAcquire(PFAST_MUTEX mutex)
{
    if (__atomic_load_n(&mutex->Owner, __ATOMIC_RELAXED) == KeGetCurrentThread()) {
        Violation("fast mutex acquired again by its owner (deadlock)");
        return;
    }
    auto released = [mutex] { return __atomic_load_n(&mutex->Count, __ATOMIC_SEQ_CST) == 1; };
    while (!TakeFastMutex(mutex)) {
        if (!Block(released, "ExAcquireFastMutex")) {
            Violation("fast mutex never released (deadlock)");
            return;
        }
    }
    BecomeOwner(mutex);
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

void SetRetailKernel(bool on)
{
    if (on && PoolOutstandingTotal() != 0)
        Violation("kernel switched to retail with pool allocated");
    g_retail = on;
}

bool IsRetailKernel()
{
    return g_retail.load();
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

std::string LeftBehind()
{
    std::string out;
    std::string pool = LeakReport();
    for (size_t at = 0, end; at < pool.size(); at = end + 1) {
        end = pool.find('\n', at);
        if (end == std::string::npos)
            end = pool.size();
        out += "pool left allocated: " + pool.substr(at, end - at) + "\n";
    }
    auto count = [&out](size_t n, const char* what) {
        if (n != 0)
            out += std::to_string(n) + " " + what + "\n";
    };
    count(OpenFileCount(), "handles left open");
    count(LiveDeviceCount(), "device objects left");
    count(ExtraReferenceCount(), "references left");
    count(SymbolicLinkCount(), "symbolic links left");
    count(EnabledInterfaceCount(), "interfaces left enabled");
    count(OpenKeyHandles(), "registry keys left open");
    count(PowerIrpsWithoutStartNext(), "power requests without PoStartNextPowerIrp");
    for (const std::string& v : Violations())
        out += "violation: " + v + "\n";
    return out;
}

LONGLONG Now()
{
    return now.load();
}
// Outside every kernel lock: a watcher takes locks of its own.
static void TellClockWatchers()
{
    std::vector<std::function<void()>> watchers;
    {
        std::lock_guard<std::mutex> g(watchLock);
        for (auto& w : clockWatchers)
            watchers.push_back(w.second);
    }
    for (auto& w : watchers)
        w();
}
void AdvanceClock(LONGLONG hundredNs)
{
    now += hundredNs;
    TellClockWatchers();
}
int WatchClock(std::function<void()> moved)
{
    std::lock_guard<std::mutex> g(watchLock);
    clockWatchers[++lastWatcher] = std::move(moved);
    return lastWatcher;
}
void UnwatchClock(int id)
{
    std::lock_guard<std::mutex> g(watchLock);
    clockWatchers.erase(id);
}
void SetSystemTimeBack(LONGLONG hundredNs)
{
    systemTimeBias -= hundredNs;
}
LONGLONG SystemTime()
{
    return now.load() + systemTimeBias.load();
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

std::string WhereThreadWaits(std::thread::id thread)
{
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto it = waitsByThread.find(thread);
    if (it == waitsByThread.end())
        return "";
    return (it->second.mutex ? "waiting for the fast mutex " : "waiting on the event ") +
           DescribeObject(it->second.object);
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
    systemTimeBias = 0;
    delayed = 0;
    legacy = false;
    g_retail = false;
    ClearViolations();
    OnFastMutexRelease(nullptr, nullptr);
    LockOrderNewMachine();
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
    std::unique_lock<std::recursive_mutex> g(g_lock, std::defer_lock);
    if (!Retail())
        g.lock();
    memset(Event, 0, sizeof *Event);
    Event->Header.Type = (UCHAR)Type;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    __atomic_store_n(&Event->Header.SignalState, State ? 1 : 0, __ATOMIC_RELEASE);
    MarkEventInitialised(Event);
    RaceForget(Event);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    if (irql > DISPATCH_LEVEL)
        Violation("KeSetEvent above DISPATCH_LEVEL");
    CheckEventInitialised(Event, "KeSetEvent");
    Point(PointKind::kSetEvent, Event);
    RaceRelease(Event);
    if (Retail()) {
        LONG previous = __atomic_exchange_n(&Event->Header.SignalState, 1, __ATOMIC_SEQ_CST);
        WakeSleepers();
        return previous;
    }
    std::lock_guard<std::recursive_mutex> g(g_lock);
    LONG previous = __atomic_exchange_n(&Event->Header.SignalState, 1, __ATOMIC_SEQ_CST);
    g_cv.notify_all();
    return previous;
}

static LONG ClearSignal(PRKEVENT Event, const char* routine)
{
    CheckEventInitialised(Event, routine);
    Point(PointKind::kClearEvent, Event);
    std::unique_lock<std::recursive_mutex> g(g_lock, std::defer_lock);
    if (!Retail())
        g.lock();
    return __atomic_exchange_n(&Event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    ClearSignal(Event, "KeClearEvent");
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    return ClearSignal(Event, "KeResetEvent");
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    CheckEventInitialised(Event, "KeReadStateEvent");
    std::unique_lock<std::recursive_mutex> g(g_lock, std::defer_lock);
    if (!Retail())
        g.lock();
    return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_SEQ_CST);
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
    Point(PointKind::kWait, event);
    if (Scheduled())
        return ScheduledWait(event, Timeout);
    if (Retail() && TakeSignal(event))
        return STATUS_SUCCESS;
    std::unique_lock<std::recursive_mutex> g(g_lock);
    if (TakeSignal(event))
        return STATUS_SUCCESS;
    if (Timeout != NULL)
        return PassTimeout(Timeout);
    Sleeper sleeper;
    std::function<bool()> signalled = [&] { return Signalled(event); };
    BlockedWait blocked(&signalled, Object, false);
    waiting[Object]++;
    bool satisfied = g_cv.wait_for(g, kDeadlockGuard, [&] { return TakeSignal(event); });
    if (--waiting[Object] == 0)
        waiting.erase(Object);
    if (!satisfied) {
        Violation("wait never satisfied (deadlock)");
        return STATUS_TIMEOUT;
    }
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
    LONGLONG system = SystemTime(); // an absolute interval is a system time
    LONGLONG step = t < 0 ? -t : (t > system ? t - system : 0);
    now += step;
    delayed += step;
    if (step != 0)
        TellClockWatchers();
    Point(PointKind::kYield);
    return STATUS_SUCCESS;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = SystemTime();
}

// On x86 the platform's macro reads the data export KeTickCount; here a
// routine counts the ticks of the machine's clock since boot.
VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    TickCount->QuadPart = (now.load() - kBootTime + kUptimeAtReset) / kTimeIncrement;
}

ULONG NTAPI KeQueryTimeIncrement(void)
{
    return kTimeIncrement;
}

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    std::unique_lock<std::recursive_mutex> g(g_lock, std::defer_lock);
    if (!Retail())
        g.lock();
    memset(FastMutex, 0, sizeof *FastMutex);
    __atomic_store_n(&FastMutex->Count, 1, __ATOMIC_SEQ_CST);
    RaceForget(FastMutex);
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    if (irql > APC_LEVEL)
        Violation("ExAcquireFastMutex above APC_LEVEL");
    Point(PointKind::kAcquire, FastMutex);
    if (Scheduled()) {
        ScheduledAcquire(FastMutex);
        return;
    }
    if (Retail() && TakeFastMutex(FastMutex)) {
        BecomeOwner(FastMutex);
        return;
    }
    std::unique_lock<std::recursive_mutex> g(g_lock);
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == KeGetCurrentThread()) {
        Violation("fast mutex acquired again by its owner (deadlock)");
        return;
    }
    Sleeper sleeper;
    std::function<bool()> released = [&] {
        return __atomic_load_n(&FastMutex->Count, __ATOMIC_SEQ_CST) == 1;
    };
    BlockedWait blocked(&released, FastMutex, true);
    if (!g_cv.wait_for(g, kDeadlockGuard, [&] { return TakeFastMutex(FastMutex); })) {
        Violation("fast mutex never released (deadlock)");
        return;
    }
    BecomeOwner(FastMutex);
}

BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    Point(PointKind::kAcquire, FastMutex);
    std::unique_lock<std::recursive_mutex> g(g_lock, std::defer_lock);
    if (!Retail())
        g.lock();
    if (!TakeFastMutex(FastMutex))
        return FALSE;
    BecomeOwner(FastMutex);
    return TRUE;
}

static VOID ReleaseFastMutexOnly(PFAST_MUTEX FastMutex)
{
    std::unique_lock<std::recursive_mutex> g(g_lock, std::defer_lock);
    if (!Retail())
        g.lock();
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) != KeGetCurrentThread()) {
        Violation("fast mutex released by a thread that does not own it");
        return;
    }
    __atomic_store_n(&FastMutex->Owner, (PKTHREAD)NULL, __ATOMIC_RELAXED);
    irql = (KIRQL)FastMutex->OldIrql;
    if (!Retail())
        LockGiven(FastMutex);
    RaceRelease(FastMutex);
    __atomic_store_n(&FastMutex->Count, 1, __ATOMIC_SEQ_CST);
    if (g.owns_lock())
        g_cv.notify_all();
    else
        WakeSleepers();
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    ReleaseFastMutexOnly(FastMutex);
    if (releaseStepArmed)
        RunReleaseStep(FastMutex);
    Point(PointKind::kRelease, FastMutex);
}

// A schedule point, and for the race checker a release and an acquire on
// the address, whatever the operation does there.
static void InterlockedPoint(LONG volatile* Target)
{
    Point(PointKind::kInterlocked, (const void*)Target);
    RaceAcquire((const void*)Target);
    RaceRelease((const void*)Target);
}

LONG FASTCALL InterlockedIncrement(LONG volatile* Addend)
{
    InterlockedPoint(Addend);
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG FASTCALL InterlockedDecrement(LONG volatile* Addend)
{
    InterlockedPoint(Addend);
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG FASTCALL InterlockedExchange(LONG volatile* Target, LONG Value)
{
    InterlockedPoint(Target);
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG FASTCALL InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand)
{
    InterlockedPoint(Destination);
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

LONG FASTCALL InterlockedExchangeAdd(LONG volatile* Addend, LONG Value)
{
    InterlockedPoint(Addend);
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

} // extern "C"
