// One printer under load from every side at once: threads writing, reading
// and sending device control through open handles, a thread opening and
// closing handles, and the PnP manager stopping and restarting the units,
// pulling the printer off the bus and removing it in order, each time
// plugging a printer in again. Bounded by iteration counts; run under the
// sanitizers of the default build and under ThreadSanitizer.
#include "driver_rig.h"
#include "printer_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// Under ThreadSanitizer, the driver's deliberate unlocked reads are left as
// they are; driver/prnsbp.h ("Locks") lists them and why each is harmless.
// Every other race in these runs is reported.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:ChangeExtensionFlags\nrace:StartUnit\nrace:RemoveChild\n";
}

namespace
{

// Handles keep a printer's devices from being removed, as on the real
// system: the orderly removal waits until the last handle is closed (and
// lets no new one open meanwhile); a surprise removal happens at once and
// its removal follows the last close.
class HandleGate
{
  public:
    // FALSE while the printer is going: the open fails as it would.
    bool Enter()
    {
        std::lock_guard<std::mutex> g(lock_);
        if (closing_)
            return false;
        handles_++;
        return true;
    }
    void Leave()
    {
        std::lock_guard<std::mutex> g(lock_);
        handles_--;
        cv_.notify_all();
    }
    void CloseAndDrain()
    {
        std::unique_lock<std::mutex> g(lock_);
        closing_ = true;
        cv_.wait(g, [&] { return handles_ == 0; });
    }
    void Reopen()
    {
        std::lock_guard<std::mutex> g(lock_);
        closing_ = false;
    }

  private:
    std::mutex lock_;
    std::condition_variable cv_;
    int handles_ = 0;
    bool closing_ = false;
};

struct Tally {
    std::atomic<long> requests{0};
    std::atomic<long> succeeded{0};
    std::atomic<long> unfinished{0}; // came back STATUS_PENDING
    void Count(NTSTATUS s)
    {
        requests++;
        if (NT_SUCCESS(s))
            succeeded++;
        if (s == STATUS_PENDING)
            unfinished++;
    }
};

class PnpStressTest : public ::testing::TestWithParam<sbp2sim::Completion>
{
  protected:
    void SetUp() override
    {
        kmsim::Reset();
        // The asynchronous port sits below a pass-through lower filter.
        kmsim::LowerFilterOptions filter;
        filter.enabled = GetParam() == sbp2sim::Completion::kAsync;
        kmsim::SetLowerFilter(filter);
        ASSERT_TRUE(s.Load());
        PlugPrinter();
    }
    void TearDown() override
    {
        rig::ShutDownClean(s);
        kmsim::Reset();
    }

    void PlugPrinter()
    {
        s.removed[0] = s.removed[1] = false;
        s.Plug(GetParam());
        s.AddDevices();
        s.StartDevices();
        models.push_back(s.printer);
    }

    // One handle's life on the port: open, `body`, close. FALSE when the
    // printer was going and the handle could not be had.
    bool WithHandle(const std::function<void()>& body)
    {
        if (!gate.Enter()) {
            std::this_thread::yield();
            return false;
        }
        NTSTATUS opened = s.Open().status;
        tally.Count(opened);
        if (NT_SUCCESS(opened)) {
            body();
            // No close follows a failed open: there is no handle to close.
            tally.Count(s.Close().status);
        }
        gate.Leave();
        return true;
    }

    // Runs handle lives until `count` were had and the PnP thread is done.
    void Repeat(int count, const std::function<void()>& body)
    {
        int had = 0;
        while (had < count || !pnpDone)
            if (WithHandle(body))
                had++;
    }

    // The PnP thread lets the I/O threads get some requests in between.
    void AwaitProgress(long requests)
    {
        long target = tally.requests + requests;
        while (tally.requests < target)
            std::this_thread::yield();
    }

    session::PrinterSession s;
    HandleGate gate;
    Tally tally;
    std::vector<std::shared_ptr<sbp2sim::SimPrinter>> models;
    std::atomic<bool> pnpDone{false};
};

TEST_P(PnpStressTest, IoAndOpensRaceStopsRemovalsAndSurpriseRemovals)
{
    const int kHandles = 25; // per I/O thread
    const int kPnpRounds = 6;
    std::vector<std::thread> threads;

    for (int w = 0; w < 2; w++)
        threads.emplace_back([&, w] {
            Repeat(kHandles, [&] {
                for (size_t n : {(size_t)37 + w, (size_t)4096, (size_t)9000})
                    tally.Count(s.Write(std::vector<UCHAR>(n, (UCHAR)(w + n))).status);
            });
        });
    threads.emplace_back([&] {
        Repeat(kHandles, [&] {
            tally.Count(s.Read(64).status);
            tally.Count(s.Read(0).status);
        });
    });
    threads.emplace_back([&] {
        Repeat(kHandles, [&] {
            tally.Count(s.Control(IOCTL_PRNSBP_GET_DEVICE_ID, {}, 512).status);
            tally.Count(s.Control(IOCTL_PRNSBP_READ_STATUS, {}, 32, nullptr, 1).status);
            tally.Count(s.Control(IOCTL_PRNSBP_FLUSH, {}, 0).status);
            tally.Count(
                s.Control(IOCTL_STORAGE_QUERY_PROPERTY, std::vector<UCHAR>(12, 0), 64).status);
        });
    });
    threads.emplace_back([&] { Repeat(3 * kHandles, [] {}); });
    threads.emplace_back([&] {
        for (int round = 0; round < kPnpRounds; round++) {
            AwaitProgress(60);
            for (int unit = 0; unit < 2; unit++)
                kmsim::Rebalance(s.Pdo(unit));
            AwaitProgress(30);
            if (round % 2 == 0) {
                s.SurpriseRemoveOnly(); // handles stay open and fail
                gate.CloseAndDrain();
                s.FinishRemoval();
            } else {
                gate.CloseAndDrain();
                s.Remove();
            }
            sbp2sim::Unplug(s.bus);
            PlugPrinter();
            gate.Reopen();
        }
        pnpDone = true;
    });
    for (std::thread& t : threads)
        t.join();

    EXPECT_TRUE(pnpDone);
    EXPECT_EQ(tally.unfinished, 0);
    EXPECT_GT(tally.succeeded, 0);
    for (auto& m : models)
        EXPECT_EQ(m->Overlaps(), 0);
    RecordProperty("requests", (int)tally.requests);
    std::printf("stress: %ld requests (%ld succeeded) over %d PnP rounds\n", tally.requests.load(),
                tally.succeeded.load(), kPnpRounds);
}

INSTANTIATE_TEST_SUITE_P(Port, PnpStressTest,
                         ::testing::Values(sbp2sim::Completion::kSync, sbp2sim::Completion::kAsync,
                                           sbp2sim::Completion::kMixed),
                         [](const ::testing::TestParamInfo<sbp2sim::Completion>& info) {
                             return std::string(sbp2sim::CompletionName(info.param));
                         });

} // namespace
