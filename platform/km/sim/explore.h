// The schedule explorer: runs a scenario's threads one at a time and tries
// every interleaving of them with at most a few preemptions. For tests and
// tools only; product code never includes this header.
//
// While a scenario runs under Explore or Replay, every thread that takes
// part (the scenario's own, the ones it starts with Spawn, the port
// driver's completion thread) runs only when the scheduler hands it the
// token, and gives the token up at the schedule points of the simulated
// kernel: fast mutex acquire and release, event set, clear and wait, every
// Interlocked operation, KeDelayExecutionThread (a yield), IofCallDriver,
// each completion routine, IoDeleteDevice, ExFreePool, the port driver's
// hand-offs, and the driver's marked field reads (KMSIM_POINT). A blocking
// wait becomes a condition the scheduler evaluates: no real time and no
// polling decide anything, so every run of a schedule is the same run.
//
// A schedule is written as the decisions that differ from the default
// ("run the current thread on; when it blocks or ends, the first runnable
// thread in the order they were started; at a yield, the next one"):
// "w@7>s,s@3>w" means at thread w's 7th point switch to s, at s's 3rd back
// to w. A switch away from a thread that could go on is a preemption; a
// yield is never one. The search bound counts every decision that differs
// from the default: the preemptions, and the choice of another thread than
// the first where the current one blocks or ends (free, such choices would
// multiply with every request the port driver pends).
#ifndef PRN_KM_SIM_EXPLORE_H
#define PRN_KM_SIM_EXPLORE_H

#include <wdm.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kmsim
{

// ---- inside a scenario -------------------------------------------------------
// Starts a scheduled thread running body; it runs when the schedule gives
// it the token. A daemon (the port driver's completion thread) may stay
// blocked when the scenario ends: it is then let go.
void Spawn(const std::string& name, std::function<void()> body, bool daemon = false);
// Blocks the calling thread until the named thread has ended. False when
// the run was abandoned first (a deadlock), with the thread still running.
bool Join(const std::string& name);
// Spawn, unless a thread of that name runs in this run already (true when
// it started one).
bool SpawnOnce(const std::string& name, std::function<void()> body, bool daemon = false);
// Blocks the calling thread until no other thread of the run can go on
// by itself (each has ended or waits for something): a tool's "let
// everything run that can".
void WaitUntilOthersRest(const char* what);
// The names of the threads still running and where each waits.
std::vector<std::string> Unfinished();
// True while the calling thread is one the scheduler runs.
bool Scheduled();
// The scenario's own check failed: recorded like a verifier report, and the
// schedule is reported as failing.
void Report(const std::string& what);

// ---- used by the simulated platform ------------------------------------------
enum class PointKind {
    kAcquire,
    kRelease,
    kSetEvent,
    kClearEvent,
    kWait,
    kInterlocked,
    kYield,
    kCall,
    kComplete,
    kDelete,
    kFree,
    kPort,
    kField,
    kSpawn,
};
// A schedule point of the calling thread (nothing when it is not scheduled).
void Point(PointKind kind, const void* object = nullptr);
// Blocks the calling scheduled thread until ready() holds; what says where
// it waits (in reports). False when the run is being abandoned
// (a deadlock, or the scenario ended) and ready() still does not hold.
bool Block(const std::function<bool()>& ready, const char* what);
// The point's kind as reports name it.
const char* PointName(PointKind kind);

// ---- data races between points -------------------------------------------------
// Code built with -fsanitize=thread and linked with the hooks of
// platform/km/racehooks (the driver in the catalogue's binary) reports each
// of its accesses; those that fall into a live device extension are checked
// against the accesses other scheduled threads made to the same bytes. Two
// of them, at least one a write, with no happens-before between them are a
// race, reported like a verifier report ("data race on
// DEVICE_EXTENSION.OpenCount: write by b in ... after a read by a in ...").
// Happens-before comes from what the scheduler sees: a fast mutex's release
// and its next acquire, KeSetEvent and a wait it satisfied, IoCallDriver and
// the completion of that IRP, every Interlocked operation (a release and an
// acquire on its address), Spawn and Join. Without the hooks nothing is
// checked.
struct ExtensionField {
    const char* name;
    size_t offset;
    size_t size;
};
// Names the fields of extensions of `size` bytes (reports name them; an
// extension of another size is "extension+0x...").
void DeclareExtensionLayout(const std::string& name, size_t size,
                            const std::vector<ExtensionField>& fields);
// A race on that field is not reported: a deliberate unlocked access, for
// `reason`. readsOnly: only a read against a write (two writes still are).
void SuppressRace(const std::string& layout, const std::string& field, const std::string& reason,
                  bool readsOnly);
// How many races each suppression ("DEVICE_EXTENSION.Flags") has hidden.
std::map<std::string, size_t> SuppressedRaces();
// Forgets layouts and suppressions (for a test of the check itself).
void ResetRaceNames();
// True when instrumented code is linked in (its constructors arm the check).
bool RaceCheckArmed();
// Called by the hooks.
void ArmRaceCheck();
void RaceAccess(const void* address, size_t size, bool write, const void* pc);

// ---- exploring ---------------------------------------------------------------
struct ExploreOptions {
    int bound = 2;                    // decisions off the default per schedule, at most
    size_t maxSchedules = 200000;     // stop after this many (the result says so)
    size_t maxFailures = 1;           // stop after this many failing schedules
    unsigned long maxPoints = 200000; // points in one run before it is a livelock
    // Probabilistic concurrency testing instead of bounded search: runs
    // random schedules with random thread priorities and depth-1 priority
    // change points (for three or more threads).
    bool pct = false;
    int depth = 2;
    size_t runs = 1000;
    unsigned seed = 1;
    // Progress: called after every run with the schedules done so far.
    std::function<void(size_t)> progress;
};

struct ExploreFailure {
    std::string schedule; // replays it exactly
    int preemptions = 0;
    std::vector<std::string> reports; // what went wrong, in order
};

struct ExploreResult {
    size_t schedules = 0;
    bool complete = false;        // every schedule within the bound was run
    unsigned long longestRun = 0; // points in the longest run
    size_t decisions = 0;         // most decision points in one run
    std::vector<ExploreFailure> failures;
};

// Runs scenario once per schedule. The scenario sets up its own machine
// (kmsim::Reset first), starts its concurrent operations with Spawn, joins
// them, makes its checks and tears the machine down; every verifier report
// and Report made in a run fails that run's schedule.
ExploreResult Explore(const ExploreOptions& options, const std::function<void()>& scenario);
// Runs scenario once with the schedule given as Explore printed it.
ExploreResult Replay(const std::string& schedule, const std::function<void()>& scenario,
                     unsigned long maxPoints = 200000);
// The schedule of the run under way, as far as it has come (for a crash
// report), or empty when none runs.
std::string CurrentSchedule();
// One line per failure: "schedule w@7>s (1 preemption): report; report".
std::string Describe(const ExploreResult& result);

} // namespace kmsim

#endif
