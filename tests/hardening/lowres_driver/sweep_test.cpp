// Low resources: for each step of a printer's life, the 1st, 2nd, ... Nth
// allocation the driver makes in that step fails (pool, IRPs, MDLs, device
// objects), until a run gets through the step without reaching the failure.
// Every run must end cleanly: each request answered with success or an
// error, what was reported written really reaching the printer, nothing left
// in the pool, no device left over and no kernel rule broken.
#include "printer_session.h"

#include <gtest/gtest.h>

#include <iostream>
#include <map>

namespace
{

enum Step {
    kLoad,
    kPlug,
    kStart,
    kOpen,
    kWrite,
    kRead,
    kControl,
    kClose,
    kSurpriseRemoval,
    kRemoval,
    kUnload,
    kStepCount
};

const char* StepName(int step)
{
    static const char* names[] = {"Load",    "Plug",  "Start",           "Open",    "Write", "Read",
                                  "Control", "Close", "SurpriseRemoval", "Removal", "Unload"};
    return names[step];
}

std::vector<UCHAR> Data(size_t n, UCHAR seed)
{
    std::vector<UCHAR> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (UCHAR)(seed + i * 13 + (i >> 7));
    return v;
}

// A request that comes back must carry its final status.
bool Clean(NTSTATUS s)
{
    return s != STATUS_PENDING;
}

struct Outcome {
    bool hit = false;    // the armed failure was reached
    std::string problem; // empty when the run ended cleanly
};

class LifeRun
{
  public:
    LifeRun(int failStep, unsigned long failAt, bool async, bool legacy)
        : failStep_(failStep), failAt_(failAt), async_(async), legacy_(legacy)
    {
    }

    Outcome Run()
    {
        kmsim::Reset();
        kmsim::SetLegacyPlatform(legacy_);
        Arm(kLoad);
        bool loaded = s_.Load();
        Disarm(kLoad);
        if (loaded) {
            s_.Plug(async_ ? sbp2sim::Completion::kAsync : sbp2sim::Completion::kSync);
            Arm(kPlug);
            s_.AddDevices();
            Disarm(kPlug);
            Arm(kStart);
            s_.StartDevices();
            Disarm(kStart);
            Arm(kOpen);
            bool open = Check("open", s_.Open().status) == STATUS_SUCCESS;
            Disarm(kOpen);
            Arm(kWrite);
            for (size_t n : {10u, 4096u, 70000u})
                WriteAll(Data(n, (UCHAR)n), open);
            Disarm(kWrite);
            Arm(kRead);
            Check("read", s_.Read(64).status);
            Disarm(kRead);
            Arm(kControl);
            Controls();
            Disarm(kControl);
            if (failStep_ == kSurpriseRemoval) {
                Arm(kSurpriseRemoval);
                s_.SurpriseRemoveOnly();
                Check("close after surprise removal", s_.Close().status);
                s_.FinishRemoval();
                Disarm(kSurpriseRemoval);
            } else {
                Arm(kClose);
                NTSTATUS closed = Check("close", s_.Close().status);
                Disarm(kClose);
                if (open && closed == STATUS_SUCCESS && s_.printer->PrintData() != reported_)
                    problem_ += "print data (" + std::to_string(s_.printer->PrintData().size()) +
                                " bytes) differ from what the writes reported (" + writes_ + "); ";
                Arm(kRemoval);
                s_.Remove();
                Disarm(kRemoval);
            }
        }
        Arm(kUnload);
        s_.Shutdown();
        Disarm(kUnload);

        problem_ += session::LeftBehind();
        Outcome o;
        o.hit = hit_;
        o.problem = problem_;
        kmsim::Reset();
        return o;
    }

  private:
    // As the spooler writes: a write that takes fewer bytes than offered
    // (the printer refused them for now) is retried with the rest.
    void WriteAll(const std::vector<UCHAR>& data, bool open)
    {
        size_t done = 0;
        for (int attempt = 0; attempt < 4 && done < data.size(); attempt++) {
            session::Reply r = s_.Write(std::vector<UCHAR>(data.begin() + (long)done, data.end()));
            Check("write", r.status);
            writes_ += std::to_string(data.size() - done) + ":" + std::to_string(r.status) + "/" +
                       std::to_string(r.bytes) + " ";
            if (!NT_SUCCESS(r.status))
                break;
            size_t taken = std::min<size_t>(r.bytes, data.size() - done);
            if (open)
                reported_.insert(reported_.end(), data.begin() + (long)done,
                                 data.begin() + (long)(done + taken));
            done += taken;
        }
    }

    void Controls()
    {
        std::vector<UCHAR> serialTimeouts(sizeof(SERIAL_TIMEOUTS), 0);
        serialTimeouts[16] = 0x30; // WriteTotalTimeoutConstant 0x7530 ms
        serialTimeouts[17] = 0x75;
        struct Request {
            ULONG code;
            std::vector<UCHAR> in;
            ULONG out;
        } requests[] = {
            {IOCTL_PRNSBP_GET_DEVICE_ID, {}, 1024},
            {IOCTL_PAR_QUERY_DEVICE_ID, {}, 64},
            {IOCTL_PRNSBP_READ_STATUS, {}, 64},
            {IOCTL_PRNSBP_UNIT1_INFO_B, {}, 8},
            {IOCTL_PRNSBP_WRITE, Data(300, 7), 0},
            {IOCTL_PRNSBP_FLUSH, {}, 0},
            {IOCTL_SERIAL_SET_TIMEOUTS, serialTimeouts, 0},
            {IOCTL_SERIAL_GET_TIMEOUTS, {}, sizeof(SERIAL_TIMEOUTS)},
            {IOCTL_STORAGE_QUERY_PROPERTY, std::vector<UCHAR>(12, 0), 64},
        };
        for (const Request& r : requests) {
            session::Reply reply = s_.Control(r.code, r.in, r.out);
            Check("device control", reply.status);
            if (r.code == IOCTL_PRNSBP_WRITE && NT_SUCCESS(reply.status))
                reported_.insert(reported_.end(), r.in.begin(), r.in.end());
        }
    }

    NTSTATUS Check(const char* what, NTSTATUS s)
    {
        if (!Clean(s))
            problem_ += std::string(what) + " ended with status " + std::to_string(s) + "; ";
        return s;
    }
    void Arm(int step)
    {
        if (step == failStep_)
            kmsim::FailNthAllocationOf("prnsbp", failAt_);
    }
    void Disarm(int step)
    {
        if (step != failStep_)
            return;
        hit_ = kmsim::AllocationsOfWatchedDriver() >= failAt_;
        kmsim::ClearFailures();
    }

    int failStep_;
    unsigned long failAt_;
    bool async_;
    bool legacy_;
    bool hit_ = false;
    session::PrinterSession s_;
    std::vector<UCHAR> reported_;
    std::string writes_; // length:status/bytes of each write
    std::string problem_;
};

struct SweepCase {
    int step;
    bool async;
    bool legacy; // Windows 98/Me: DOS names, other interface class and keys
};

std::string CaseName(const SweepCase& c)
{
    return std::string(StepName(c.step)) + (c.async ? "Async" : "Sync") +
           (c.legacy ? "Legacy" : "");
}

class LowResourceSweep : public ::testing::TestWithParam<SweepCase>
{
  public:
    static std::map<std::string, unsigned long>& Driven()
    {
        static std::map<std::string, unsigned long> driven;
        return driven;
    }
    static void TearDownTestSuite()
    {
        unsigned long total = 0;
        for (auto& e : Driven())
            total += e.second;
        for (auto& e : Driven())
            std::cout << "  " << e.first << ": " << e.second << " failure points\n";
        std::cout << "low-resource sweep: " << Driven().size() << " scenarios, " << total
                  << " (scenario, failure point) pairs driven\n";
    }
};

TEST_P(LowResourceSweep, EveryFailurePointEndsCleanly)
{
    const SweepCase& c = GetParam();
    unsigned long n = 1;
    for (;; n++) {
        Outcome o = LifeRun(c.step, n, c.async, c.legacy).Run();
        ASSERT_EQ(o.problem, "") << StepName(c.step) << ": allocation " << n << " failed";
        if (!o.hit)
            break;
        ASSERT_LT(n, 2000u) << "the sweep does not end";
    }
    Driven()[CaseName(c)] = n - 1;
    RecordProperty("failure_points", (int)(n - 1));
}

std::vector<SweepCase> AllCases()
{
    std::vector<SweepCase> cases;
    for (int step = 0; step < kStepCount; step++)
        for (bool async : {false, true})
            for (bool legacy : {false, true})
                cases.push_back({step, async, legacy});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Life, LowResourceSweep, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<SweepCase>& info) {
                             return CaseName(info.param);
                         });

} // namespace
