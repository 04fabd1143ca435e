// The race checker on code built for it (racy_code.cpp): accesses to a
// device extension that nothing orders are reported, in the first
// schedule already; those a lock, an event or an interlocked flag orders
// are not, in any schedule.
#include "explore.h"
#include "kmsim.h"
#include "racy_code.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>

namespace
{

using Step = std::function<void(Counters*)>;

// a and b on one device's extension (or, with inExtension false, on a
// Counters of the test's own, which is not checked).
kmsim::ExploreResult OnOneExtension(const Step& a, const Step& b, int bound,
                                    bool inExtension = true)
{
    kmsim::DeclareExtensionLayout("Counters", sizeof(Counters),
                                  {{"total", offsetof(Counters, total), sizeof(LONG)},
                                   {"ready", offsetof(Counters, ready), sizeof(LONG)}});
    static Counters own;
    kmsim::ExploreOptions options;
    options.bound = bound;
    return kmsim::Explore(options, [&] {
        kmsim::Reset();
        PDEVICE_OBJECT device = nullptr;
        Counters* c = &own;
        if (inExtension) {
            IoCreateDevice(nullptr, sizeof(Counters), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                           &device);
            c = (Counters*)device->DeviceExtension;
        }
        c->total = c->ready = 0;
        ExInitializeFastMutex(&c->lock);
        KeInitializeEvent(&c->published, NotificationEvent, FALSE);
        kmsim::Spawn("a", [&] { a(c); });
        kmsim::Spawn("b", [&] { b(c); });
        kmsim::Join("a");
        kmsim::Join("b");
        if (device != nullptr)
            IoDeleteDevice(device);
    });
}

TEST(RaceCheckTest, UnorderedAccessesAreReportedInTheFirstSchedule)
{
    ASSERT_TRUE(kmsim::RaceCheckArmed());
    kmsim::ResetRaceNames();
    kmsim::ExploreResult r = OnOneExtension(AddUnlocked, AddUnlocked, 0);
    ASSERT_EQ(r.failures.size(), 1u);
    EXPECT_EQ(r.failures[0].schedule, "");
    ASSERT_EQ(r.failures[0].reports.size(), 2u) << kmsim::Describe(r);
    EXPECT_EQ(r.failures[0].reports[0],
              "violation: data race on Counters.total: read by b in AddUnlocked after a write "
              "by a in AddUnlocked, with no happens-before between them");
    EXPECT_NE(r.failures[0].reports[1].find("write by b in AddUnlocked after a write by a"),
              std::string::npos);

    // An event set without anyone waiting for it orders nothing.
    auto peek = [](Counters* c) { PeekUnlocked(c); };
    auto publish = [](Counters* c) { Publish(c, 5); };
    r = OnOneExtension(publish, peek, 0);
    ASSERT_EQ(r.failures.size(), 1u);
    EXPECT_NE(r.failures[0].reports[0].find("read by b in PeekUnlocked after a write by a in "
                                            "Publish"),
              std::string::npos);

    // A suppression of the reads hides that one, not two writes.
    kmsim::SuppressRace("Counters", "total", "a read that may be a moment late", true);
    EXPECT_TRUE(OnOneExtension(publish, peek, 1).failures.empty());
    EXPECT_GT(kmsim::SuppressedRaces()["Counters.total"], 0u);
    EXPECT_EQ(OnOneExtension(AddUnlocked, AddUnlocked, 0).failures.size(), 1u);
    kmsim::ResetRaceNames();

    // Memory that is no device's extension is not checked.
    EXPECT_TRUE(OnOneExtension(AddUnlocked, AddUnlocked, 0, false).failures.empty());
    kmsim::Reset();
}

TEST(RaceCheckTest, AccessesOrderedByALockAnEventOrAnInterlockedFlagAreNot)
{
    kmsim::ResetRaceNames();
    LONG seen = 0;
    Step pairs[][2] = {
        {AddLocked, AddLocked},
        {[](Counters* c) { Publish(c, 5); }, [&seen](Counters* c) { seen = AwaitPublished(c); }},
        {[](Counters* c) { PublishByFlag(c, 5); },
         [&seen](Counters* c) { seen = ReadWhenFlagged(c); }},
    };
    for (auto& pair : pairs) {
        kmsim::ExploreResult r = OnOneExtension(pair[0], pair[1], 2);
        EXPECT_TRUE(r.complete);
        EXPECT_GT(r.schedules, 1u);
        EXPECT_TRUE(r.failures.empty()) << kmsim::Describe(r);
    }
    EXPECT_EQ(seen, 5);
    kmsim::Reset();
}

} // namespace
