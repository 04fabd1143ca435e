// The schedule explorer's scheduler: one token, handed from thread to
// thread at schedule points, and the search over where to hand it.
//
// Every scheduled thread has an OS thread of its own but runs only while
// it holds the token (current == its id); at a point it decides, under
// `lock`, who runs next and sleeps on its own condition variable until the
// token comes back. So nothing a scheduled thread does between two points
// can overlap anything another does, and the kernel's own locks are never
// held across a point (points sit outside them).
#include "explore.h"

#include "core.h"

#include <algorithm>
#include <csignal>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KM_HAVE_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KM_HAVE_ASAN 1
#endif
#ifdef KM_HAVE_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace kmsim
{
namespace
{

enum class State { kRunnable, kBlocked, kFinished };

struct Thread {
    std::string name;
    size_t id = 0;
    State state = State::kRunnable;
    std::function<bool()> ready; // while blocked
    const char* what = nullptr;
    bool final = false; // the scenario's end: waits for the others for real
    unsigned long points = 0;
    bool daemon = false;
    int priority = 0; // PCT
    std::condition_variable cv;
    bool released = true; // no OS thread runs it (any more)
};

// The OS threads that run scheduled threads, kept from run to run: a
// thread start per run would cost more than the run.
struct Worker {
    std::thread os;
    std::condition_variable cv;
    Thread* job = nullptr;
    std::function<void()> body;
    bool quit = false;
};

// A point where more than one thread could run.
struct Decision {
    size_t self;
    unsigned long points; // self's points so far, this one included
    std::vector<size_t> enabled;
    size_t byDefault;
    size_t chosen;
    bool preemptive; // self could have gone on
};

enum class Mode { kSearch, kReplay, kPct };

struct Run {
    Mode mode = Mode::kSearch;
    std::vector<size_t> prefix;                                         // search
    std::map<std::pair<std::string, unsigned long>, std::string> steps; // replay
    std::vector<Decision> decisions;
    std::vector<std::string> reports;
    unsigned long points = 0;
    unsigned long maxPoints = 200000;
    bool ending = false; // abandoned or over: no more decisions, waits let go
    // PCT: priority change points (run.points values) and the next low
    // priority to give.
    std::mt19937 random;
    std::vector<unsigned long> changes;
    int nextLow = 0;
    int depth = 2;
};

std::mutex lock;
std::atomic<bool> running{false};
size_t current = 0;
std::vector<std::unique_ptr<Thread>> threads;
Run run;
thread_local Thread* self = nullptr;
std::vector<std::unique_ptr<Worker>> pool;
std::vector<Worker*> idle;
std::condition_variable releasedCv;

void Decide(std::unique_lock<std::mutex>& g, Thread* me, bool yield);
void CountPoint(Thread* me);

void WorkerLoop(Worker* w)
{
    std::unique_lock<std::mutex> g(lock);
    while (true) {
        w->cv.wait(g, [w] { return w->job != nullptr || w->quit; });
        if (w->job == nullptr)
            return;
        Thread* raw = w->job;
        std::function<void()> body = std::move(w->body);
        raw->cv.wait(g, [raw] { return current == raw->id; });
        self = raw;
        g.unlock();
        body();
        body = nullptr;
        g.lock();
        raw->state = State::kFinished;
        CountPoint(raw); // its end is a point of its own
        Decide(g, raw, false);
        self = nullptr;
        w->job = nullptr;
        raw->released = true;
        idle.push_back(w);
        releasedCv.notify_all();
    }
}

struct PoolStopper {
    ~PoolStopper()
    {
        {
            std::lock_guard<std::mutex> g(lock);
            for (auto& w : pool) {
                w->quit = true;
                w->cv.notify_one();
            }
        }
        for (auto& w : pool)
            if (w->os.joinable())
                w->os.join();
    }
} poolStopper;

bool Enabled(const Thread& t)
{
    if (t.state == State::kFinished)
        return false;
    if (t.state == State::kRunnable)
        return true;
    return t.ready() || (run.ending && !t.final);
}

std::string Where(const Thread& t)
{
    std::string s = t.name;
    if (t.state == State::kBlocked && t.what != nullptr)
        s += std::string(" waiting in ") + t.what;
    return s;
}

size_t IdOf(const std::string& name)
{
    for (auto& t : threads)
        if (t->name == name)
            return t->id;
    return (size_t)-1;
}

std::string Render(const std::vector<Decision>& decisions, int* preemptions)
{
    std::string s;
    int n = 0;
    for (const Decision& d : decisions) {
        if (d.preemptive && d.chosen != d.self)
            n++;
        if (d.chosen == d.byDefault)
            continue;
        if (!s.empty())
            s += ",";
        s += threads[d.self]->name + "@" + std::to_string(d.points) + ">" + threads[d.chosen]->name;
    }
    if (preemptions)
        *preemptions = n;
    return s;
}

size_t Choose(Thread* me, const std::vector<size_t>& enabled, size_t byDefault)
{
    size_t chosen = byDefault;
    if (run.mode == Mode::kSearch) {
        size_t index = run.decisions.size();
        if (index < run.prefix.size()) {
            chosen = run.prefix[index];
            if (std::find(enabled.begin(), enabled.end(), chosen) == enabled.end()) {
                run.reports.push_back("the run did not repeat itself: decision " +
                                      std::to_string(index) + " went elsewhere");
                chosen = byDefault;
            }
        }
    } else if (run.mode == Mode::kReplay) {
        auto it = run.steps.find({me->name, me->points});
        if (it != run.steps.end()) {
            size_t id = IdOf(it->second);
            if (std::find(enabled.begin(), enabled.end(), id) != enabled.end())
                chosen = id;
            else
                run.reports.push_back("schedule step " + me->name + "@" +
                                      std::to_string(me->points) + ">" + it->second +
                                      ": that thread cannot run there");
            run.steps.erase(it);
        }
    } else {
        // The scenario's own thread is not one of the operations: it keeps
        // its priority, and the change waits for one of theirs.
        if (!run.changes.empty() && run.points >= run.changes.front() && me->id != 0) {
            run.changes.erase(run.changes.begin());
            me->priority = run.nextLow--;
        }
        int best = -1000000;
        for (size_t id : enabled)
            if (threads[id]->priority > best) {
                best = threads[id]->priority;
                chosen = id;
            }
    }
    return chosen;
}

// The calling thread holds the token and `lock`; hands the token to whoever
// runs next and returns once it is back (at once when it stays), or at once
// when the caller has finished.
void Decide(std::unique_lock<std::mutex>& g, Thread* me, bool yield)
{
    std::vector<size_t> enabled;
    for (auto& t : threads)
        if (Enabled(*t))
            enabled.push_back(t->id);
    if (enabled.empty()) {
        std::string who;
        for (auto& t : threads)
            if (t->state == State::kBlocked && !t->final)
                who += (who.empty() ? "" : "; ") + Where(*t);
        run.reports.push_back("deadlock: no thread can go on: " + who);
        run.ending = true;
        for (auto& t : threads)
            if (Enabled(*t))
                enabled.push_back(t->id);
        if (enabled.empty())
            return;
    }
    bool preemptive = me->state == State::kRunnable;
    size_t byDefault = enabled.front();
    if (preemptive && !yield) {
        byDefault = me->id;
    } else if (preemptive) {
        for (size_t id : enabled)
            if (id > me->id) {
                byDefault = id;
                break;
            }
    }
    size_t chosen = byDefault;
    if (enabled.size() > 1 && !yield && !run.ending) {
        chosen = Choose(me, enabled, byDefault);
        run.decisions.push_back(
            Decision{me->id, me->points, enabled, byDefault, chosen, preemptive});
    }
    if (chosen == me->id) {
        me->state = State::kRunnable;
        return;
    }
    current = chosen;
    threads[chosen]->cv.notify_one();
    if (me->state == State::kFinished)
        return;
    me->cv.wait(g, [me] { return current == me->id; });
    me->state = State::kRunnable;
}

void CountPoint(Thread* me)
{
    me->points++;
    if (++run.points > run.maxPoints && !run.ending) {
        run.reports.push_back("livelock: the run did not end within " +
                              std::to_string(run.maxPoints) + " schedule points");
        run.ending = true;
    }
    if (run.points > 4 * run.maxPoints) {
        fprintf(stderr, "explore: a thread keeps running after the run was abandoned (%s)\n",
                me->name.c_str());
        abort();
    }
}

// A run that crashes the process still says how to replay it.
void PrintScheduleOnDeath()
{
    if (!running)
        return;
    std::string s = Render(run.decisions, nullptr);
    fprintf(stderr, "explore: the run that stopped here had the schedule \"%s\"\n", s.c_str());
}

#ifndef KM_HAVE_ASAN
void OnFatalSignal(int signal)
{
    PrintScheduleOnDeath();
    ::signal(signal, SIG_DFL);
    raise(signal);
}
#endif

void HookCrashReport()
{
    static bool hooked = false;
    if (hooked)
        return;
    hooked = true;
#ifdef KM_HAVE_ASAN
    __sanitizer_set_death_callback(PrintScheduleOnDeath);
#else
    for (int signal : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL})
        ::signal(signal, OnFatalSignal);
#endif
}

// One run of the scenario under the schedule set up in `run`.
std::vector<std::string> RunOnce(const std::function<void()>& scenario)
{
    {
        std::lock_guard<std::mutex> g(lock);
        threads.clear();
        auto main = std::make_unique<Thread>();
        main->name = "main";
        // Under PCT it runs whenever it can: the operations it starts all
        // exist before their priorities decide among them.
        main->priority = 1 << 30;
        self = main.get();
        threads.push_back(std::move(main));
        current = 0;
        run.decisions.clear();
        run.reports.clear();
        run.points = 0;
        run.ending = false;
        running = true;
    }
    RaceRunBegins();
    HookCrashReport();
    ClearViolations();
    scenario();
    Thread* me = self;
    {
        std::unique_lock<std::mutex> g(lock);
        for (auto& t : threads)
            if (t.get() != me && t->state != State::kFinished && !t->daemon)
                run.reports.push_back("left unfinished when the scenario ended: " + Where(*t));
        run.ending = true;
        me->final = true;
        me->ready = [me] {
            for (auto& t : threads)
                if (t.get() != me && t->state != State::kFinished)
                    return false;
            return true;
        };
        me->what = "the end of the scenario";
        if (!me->ready()) {
            me->state = State::kBlocked;
            Decide(g, me, false);
        }
        me->ready = nullptr;
        releasedCv.wait(g, [] {
            for (auto& t : threads)
                if (!t->released)
                    return false;
            return true;
        });
    }
    running = false;
    self = nullptr;
    std::vector<std::string> reports = run.reports;
    for (const std::string& v : Violations())
        reports.push_back("violation: " + v);
    if (run.mode == Mode::kReplay)
        for (auto& s : run.steps)
            reports.push_back("schedule step " + s.first.first + "@" +
                              std::to_string(s.first.second) + ">" + s.second + " never reached");
    return reports;
}

ExploreFailure Failure(const std::vector<std::string>& reports)
{
    ExploreFailure f;
    f.schedule = Render(run.decisions, &f.preemptions);
    f.reports = reports;
    return f;
}

void Account(ExploreResult* result)
{
    result->schedules++;
    result->longestRun = std::max(result->longestRun, run.points);
    result->decisions = std::max(result->decisions, run.decisions.size());
}

std::map<std::pair<std::string, unsigned long>, std::string> ParseSchedule(const std::string& s,
                                                                           std::string* error)
{
    std::map<std::pair<std::string, unsigned long>, std::string> steps;
    size_t at = 0;
    while (at < s.size()) {
        size_t end = s.find(',', at);
        if (end == std::string::npos)
            end = s.size();
        std::string step = s.substr(at, end - at);
        size_t a = step.find('@'), b = step.find('>');
        char* stop = nullptr;
        unsigned long n = a == std::string::npos ? 0 : strtoul(step.c_str() + a + 1, &stop, 10);
        if (a == std::string::npos || b == std::string::npos || a == 0 || b + 1 >= step.size() ||
            stop != step.c_str() + b || n == 0) {
            *error = "bad schedule step '" + step + "' (THREAD@POINT>THREAD)";
            return {};
        }
        steps[{step.substr(0, a), n}] = step.substr(b + 1);
        at = end + 1;
    }
    return steps;
}

} // namespace

const char* PointName(PointKind kind)
{
    switch (kind) {
    case PointKind::kAcquire:
        return "ExAcquireFastMutex";
    case PointKind::kRelease:
        return "ExReleaseFastMutex";
    case PointKind::kSetEvent:
        return "KeSetEvent";
    case PointKind::kClearEvent:
        return "KeClearEvent";
    case PointKind::kWait:
        return "KeWaitForSingleObject";
    case PointKind::kInterlocked:
        return "Interlocked";
    case PointKind::kYield:
        return "KeDelayExecutionThread";
    case PointKind::kCall:
        return "IofCallDriver";
    case PointKind::kComplete:
        return "completion routine";
    case PointKind::kDelete:
        return "IoDeleteDevice";
    case PointKind::kFree:
        return "ExFreePool";
    case PointKind::kPort:
        return "port driver";
    case PointKind::kField:
        return "field";
    case PointKind::kSpawn:
        return "thread start";
    }
    return "?";
}

bool Scheduled()
{
    return self != nullptr;
}

long ScheduledThreadId()
{
    return self != nullptr ? (long)self->id : -1;
}

std::string ScheduledThreadName(size_t id)
{
    return id < threads.size() ? threads[id]->name : "?";
}

void Point(PointKind kind, const void* object)
{
    (void)object;
    Thread* me = self;
    if (me == nullptr)
        return;
    std::unique_lock<std::mutex> g(lock);
    CountPoint(me);
    Decide(g, me, kind == PointKind::kYield);
}

bool Block(const std::function<bool()>& ready, const char* what)
{
    Thread* me = self;
    if (me == nullptr)
        return ready();
    std::unique_lock<std::mutex> g(lock);
    if (ready())
        return true;
    if (run.ending)
        return false;
    me->state = State::kBlocked;
    me->ready = ready;
    me->what = what;
    CountPoint(me);
    Decide(g, me, false);
    me->ready = nullptr;
    return ready();
}

void WaitUntilOthersRest(const char* what)
{
    Thread* me = self;
    if (me == nullptr)
        return;
    // Evaluated by the scheduler under `lock`, like every condition.
    Block(
        [me] {
            for (auto& t : threads)
                if (t.get() != me && t->state != State::kFinished &&
                    (t->state == State::kRunnable || t->ready()))
                    return false;
            return true;
        },
        what);
}

std::vector<std::string> Unfinished()
{
    std::lock_guard<std::mutex> g(lock);
    std::vector<std::string> out;
    for (auto& t : threads)
        if (t.get() != self && t->state != State::kFinished && !t->daemon)
            out.push_back(Where(*t));
    return out;
}

void Spawn(const std::string& name, std::function<void()> body, bool daemon)
{
    if (self == nullptr) {
        Violation("Spawn of '" + name + "' outside an explored run");
        return;
    }
    {
        std::lock_guard<std::mutex> g(lock);
        if (IdOf(name) != (size_t)-1) {
            run.reports.push_back("two threads named '" + name + "'");
            return;
        }
        auto t = std::make_unique<Thread>();
        Thread* raw = t.get();
        raw->name = name;
        raw->id = threads.size();
        raw->daemon = daemon;
        raw->released = false;
        if (run.mode == Mode::kPct)
            raw->priority = run.depth + (int)(run.random() % 1000);
        threads.push_back(std::move(t));
        RaceSpawn(self->id, raw->id);
        Worker* w;
        if (idle.empty()) {
            pool.push_back(std::make_unique<Worker>());
            w = pool.back().get();
            w->os = std::thread(WorkerLoop, w);
        } else {
            w = idle.back();
            idle.pop_back();
        }
        w->job = raw;
        w->body = std::move(body);
        w->cv.notify_one();
    }
    Point(PointKind::kSpawn, nullptr);
}

bool SpawnOnce(const std::string& name, std::function<void()> body, bool daemon)
{
    {
        std::lock_guard<std::mutex> g(lock);
        if (IdOf(name) != (size_t)-1)
            return false;
    }
    Spawn(name, std::move(body), daemon);
    return true;
}

bool Join(const std::string& name)
{
    Thread* t;
    {
        std::lock_guard<std::mutex> g(lock);
        size_t id = IdOf(name);
        if (id == (size_t)-1) {
            run.reports.push_back("join of a thread never started: '" + name + "'");
            return false;
        }
        t = threads[id].get();
    }
    if (!Block([t] { return t->state == State::kFinished; }, "a join"))
        return false;
    RaceJoin(self->id, t->id);
    return true;
}

void Report(const std::string& what)
{
    Violation(what);
}

std::string CurrentSchedule()
{
    std::unique_lock<std::mutex> g(lock, std::try_to_lock);
    if (!running)
        return "";
    return Render(run.decisions, nullptr);
}

ExploreResult Explore(const ExploreOptions& options, const std::function<void()>& scenario)
{
    ExploreResult result;
    run.maxPoints = options.maxPoints;
    if (options.pct) {
        run.mode = Mode::kPct;
        run.depth = options.depth < 1 ? 1 : options.depth;
        unsigned long length = 0;
        for (size_t i = 0; i < options.runs; i++) {
            run.random.seed(options.seed + (unsigned)i);
            run.changes.clear();
            run.nextLow = run.depth - 1;
            for (int c = 1; c < run.depth && length > 0; c++)
                run.changes.push_back(1 + run.random() % length);
            std::sort(run.changes.begin(), run.changes.end());
            std::vector<std::string> reports = RunOnce(scenario);
            Account(&result);
            length = std::max(length, run.points);
            if (!reports.empty()) {
                result.failures.push_back(Failure(reports));
                if (result.failures.size() >= options.maxFailures)
                    return result;
            }
            if (options.progress)
                options.progress(result.schedules);
        }
        result.complete = true;
        return result;
    }
    run.mode = Mode::kSearch;
    int bound = options.bound < 0 ? 0 : options.bound;
    // Iterative context bounding: every schedule with no decision off the
    // default, then those with one, then two.
    // Iterative context bounding: every schedule with 0 preemptions, then
    // those with 1, then 2.
    std::vector<std::vector<std::vector<size_t>>> work((size_t)bound + 1);
    work[0].push_back({});
    while (true) {
        size_t level = 0;
        while (level < work.size() && work[level].empty())
            level++;
        if (level == work.size()) {
            result.complete = true;
            break;
        }
        if (result.schedules >= options.maxSchedules)
            break;
        run.prefix = std::move(work[level].back());
        work[level].pop_back();
        std::vector<std::string> reports = RunOnce(scenario);
        Account(&result);
        if (!reports.empty()) {
            result.failures.push_back(Failure(reports));
            if (result.failures.size() >= options.maxFailures)
                break;
        }
        int preemptions = 0;
        std::vector<size_t> chosen;
        for (size_t i = 0; i < run.decisions.size(); i++) {
            const Decision& d = run.decisions[i];
            if (i >= run.prefix.size())
                for (size_t alt : d.enabled) {
                    if (alt == d.chosen)
                        continue;
                    // A different choice where the thread could not go
                    // on costs as much as a preemption: free, such choices
                    // multiply with every request the port driver pends.
                    int cost = preemptions + 1;
                    if (cost > bound)
                        continue;
                    std::vector<size_t> child = chosen;
                    child.push_back(alt);
                    work[(size_t)cost].push_back(std::move(child));
                }
            if (d.chosen != d.byDefault)
                preemptions++;
            chosen.push_back(d.chosen);
        }
        if (options.progress)
            options.progress(result.schedules);
    }
    return result;
}

ExploreResult Replay(const std::string& schedule, const std::function<void()>& scenario,
                     unsigned long maxPoints)
{
    ExploreResult result;
    std::string error;
    run.steps = ParseSchedule(schedule, &error);
    if (!error.empty()) {
        ExploreFailure f;
        f.schedule = schedule;
        f.reports.push_back(error);
        result.failures.push_back(f);
        return result;
    }
    run.mode = Mode::kReplay;
    run.maxPoints = maxPoints;
    std::vector<std::string> reports = RunOnce(scenario);
    Account(&result);
    result.complete = true;
    if (!reports.empty())
        result.failures.push_back(Failure(reports));
    run.mode = Mode::kSearch;
    return result;
}

std::string Describe(const ExploreResult& result)
{
    std::string out;
    for (const ExploreFailure& f : result.failures) {
        out += "schedule \"" + f.schedule + "\" (" + std::to_string(f.preemptions) +
               (f.preemptions == 1 ? " preemption" : " preemptions") + "):";
        for (const std::string& r : f.reports)
            out += "\n  " + r;
        out += "\n";
    }
    return out;
}

} // namespace kmsim

extern "C" VOID KmsimFieldPoint(VOID)
{
    kmsim::Point(kmsim::PointKind::kField);
}
