// The schedule explorer on small programs whose interleavings are known.
#include "explore.h"
#include "kmsim.h"

#include <gtest/gtest.h>

#include <set>

namespace
{

// Two (or three) threads add to a counter by reading it, reaching a point
// and writing it back: only a preemption between a read and its write
// loses an update.
struct LostUpdate {
    LONG counter = 0;
    int threads = 2;
    void Add()
    {
        LONG seen = counter;
        kmsim::Point(kmsim::PointKind::kField);
        counter = seen + 1;
    }
    void operator()()
    {
        counter = 0;
        const char* names[] = {"a", "b", "c"};
        for (int i = 0; i < threads; i++)
            kmsim::Spawn(names[i], [this] { Add(); });
        for (int i = 0; i < threads; i++)
            kmsim::Join(names[i]);
        if (counter != threads)
            kmsim::Report("counter " + std::to_string(counter));
    }
};

TEST(ExploreTest, ALostUpdateNeedsOnePreemptionAndReplaysFromItsString)
{
    LostUpdate scenario;
    kmsim::ExploreOptions none;
    none.bound = 0;
    kmsim::ExploreResult r0 = kmsim::Explore(none, std::ref(scenario));
    EXPECT_TRUE(r0.complete);
    EXPECT_TRUE(r0.failures.empty()) << kmsim::Describe(r0);

    kmsim::ExploreOptions one;
    one.bound = 1;
    kmsim::ExploreResult r1 = kmsim::Explore(one, std::ref(scenario));
    ASSERT_EQ(r1.failures.size(), 1u);
    const kmsim::ExploreFailure& f = r1.failures[0];
    EXPECT_EQ(f.preemptions, 1);
    EXPECT_EQ(f.reports, std::vector<std::string>{"violation: counter 1"});

    kmsim::ExploreResult again = kmsim::Replay(f.schedule, std::ref(scenario));
    ASSERT_EQ(again.failures.size(), 1u) << f.schedule;
    EXPECT_EQ(again.failures[0].reports, f.reports);
    EXPECT_EQ(again.failures[0].schedule, f.schedule);
    EXPECT_TRUE(kmsim::Replay("", std::ref(scenario)).failures.empty());
}

// Every schedule within the bound runs once, and the bound decides which
// interleavings are reached: two threads of two steps each have six, three
// of them one decision off the default (aabb; abba, bbaa).
TEST(ExploreTest, EachScheduleWithinTheBoundRunsOnce)
{
    std::set<std::string> orders, schedules;
    std::string order;
    auto scenario = [&] {
        order.clear();
        for (const char* name : {"a", "b"})
            kmsim::Spawn(name, [&order, name] {
                for (int i = 0; i < 2; i++) {
                    kmsim::Point(kmsim::PointKind::kField);
                    order += name;
                }
            });
        kmsim::Join("a");
        kmsim::Join("b");
        orders.insert(order);
        schedules.insert(kmsim::CurrentSchedule());
    };
    for (int bound : {1, 3}) {
        orders.clear();
        schedules.clear();
        kmsim::ExploreOptions options;
        options.bound = bound;
        kmsim::ExploreResult r = kmsim::Explore(options, scenario);
        EXPECT_TRUE(r.complete);
        EXPECT_EQ(schedules.size(), r.schedules) << "bound " << bound;
        EXPECT_EQ(orders.size(), bound == 1 ? 3u : 6u) << "bound " << bound;
    }
}

// Two fast mutexes taken in opposite orders: the schedule that runs the
// threads one after the other deadlocks nowhere, yet the lock order check
// reports the cycle; the one that interleaves them deadlocks, reported
// with where each thread waits, not as a hang.
TEST(ExploreTest, ADeadlockIsReportedWithWhereEachThreadWaits)
{
    FAST_MUTEX m1, m2;
    auto scenario = [&] {
        kmsim::Reset();
        ExInitializeFastMutex(&m1);
        ExInitializeFastMutex(&m2);
        kmsim::Spawn("a", [&] {
            ExAcquireFastMutex(&m1);
            ExAcquireFastMutex(&m2);
            ExReleaseFastMutex(&m2);
            ExReleaseFastMutex(&m1);
        });
        kmsim::Spawn("b", [&] {
            ExAcquireFastMutex(&m2);
            ExAcquireFastMutex(&m1);
            ExReleaseFastMutex(&m1);
            ExReleaseFastMutex(&m2);
        });
        kmsim::Join("a");
        kmsim::Join("b");
    };
    kmsim::ResetLockOrder();
    kmsim::ExploreOptions options;
    options.bound = 1;
    options.maxFailures = 100;
    kmsim::ExploreResult r = kmsim::Explore(options, scenario);
    ASSERT_FALSE(r.failures.empty());
    ASSERT_FALSE(r.failures[0].reports.empty());
    EXPECT_EQ(r.failures[0].schedule, "");
    EXPECT_NE(r.failures[0].reports[0].find("(a cycle)"), std::string::npos)
        << r.failures[0].reports[0];
    const kmsim::ExploreFailure* deadlock = nullptr;
    for (const kmsim::ExploreFailure& f : r.failures)
        if (!f.reports.empty() && f.reports[0].rfind("deadlock: no thread can go on: ", 0) == 0)
            deadlock = &f;
    ASSERT_NE(deadlock, nullptr) << kmsim::Describe(r);
    EXPECT_NE(deadlock->reports[0].find("a waiting in ExAcquireFastMutex"), std::string::npos);
    EXPECT_NE(deadlock->reports[0].find("b waiting in ExAcquireFastMutex"), std::string::npos);
    kmsim::ResetLockOrder();
    kmsim::Reset();
}

// A thread that waits for an event only the other sets: never a deadlock,
// whatever the order; and a yield loop waiting for the other ends too.
TEST(ExploreTest, WaitsAndYieldsFollowTheOtherThread)
{
    KEVENT event;
    LONG flag = 0;
    auto scenario = [&] {
        kmsim::Reset();
        flag = 0;
        KeInitializeEvent(&event, SynchronizationEvent, FALSE);
        kmsim::Spawn("waiter", [&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            LARGE_INTEGER ms = {};
            ms.QuadPart = -10000;
            while (InterlockedCompareExchange(&flag, 0, 0) == 0)
                KeDelayExecutionThread(KernelMode, FALSE, &ms);
        });
        kmsim::Spawn("setter", [&] {
            KeSetEvent(&event, 0, FALSE);
            InterlockedExchange(&flag, 1);
        });
        kmsim::Join("waiter");
        kmsim::Join("setter");
    };
    kmsim::ExploreOptions options;
    kmsim::ExploreResult r = kmsim::Explore(options, scenario);
    EXPECT_TRUE(r.complete);
    EXPECT_TRUE(r.failures.empty()) << kmsim::Describe(r);
    EXPECT_GT(r.schedules, 2u);
    kmsim::Reset();
}

// PCT among three threads finds the lost update, runs the same schedules
// again for the same seed (CI's runs are repeatable), and each failing
// schedule replays.
TEST(ExploreTest, PctFindsALostUpdateAmongThreeThreadsTheSameWayEachTime)
{
    LostUpdate scenario;
    scenario.threads = 3;
    kmsim::ExploreOptions options;
    options.pct = true;
    options.depth = 2;
    options.runs = 60;
    options.seed = 7;
    options.maxFailures = 60;
    kmsim::ExploreResult first = kmsim::Explore(options, std::ref(scenario));
    kmsim::ExploreResult again = kmsim::Explore(options, std::ref(scenario));
    EXPECT_EQ(first.schedules, 60u);
    ASSERT_FALSE(first.failures.empty());
    ASSERT_EQ(again.failures.size(), first.failures.size());
    for (size_t i = 0; i < first.failures.size(); i++)
        EXPECT_EQ(again.failures[i].schedule, first.failures[i].schedule);
    kmsim::ExploreResult replayed = kmsim::Replay(first.failures[0].schedule, std::ref(scenario));
    ASSERT_EQ(replayed.failures.size(), 1u);
    EXPECT_EQ(replayed.failures[0].reports, first.failures[0].reports);
}

TEST(ExploreTest, AScheduleThatDoesNotFitIsSaidSo)
{
    LostUpdate scenario;
    kmsim::ExploreResult r = kmsim::Replay("a@9>b", std::ref(scenario));
    ASSERT_EQ(r.failures.size(), 1u);
    EXPECT_EQ(r.failures[0].reports.back(), "schedule step a@9>b never reached");
    r = kmsim::Replay("a9b", std::ref(scenario));
    ASSERT_EQ(r.failures.size(), 1u);
    EXPECT_EQ(r.failures[0].reports[0], "bad schedule step 'a9b' (THREAD@POINT>THREAD)");
}

} // namespace
