// A loaded driver with one simulated printer plugged in and started, and the
// requests a user-mode program makes on its port.
#pragma once

#include "driver_rig.h"
#include "kmsim.h"
#include "prnsbp.h"
#include "sbp2sim.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace datapath
{

constexpr LONGLONG kMs = 10000; // 100-ns units per millisecond
constexpr LONGLONG kSecond = 1000 * kMs;

struct Options {
    ULONG mdlSize = 0;
    ULONG useScsiPrint = 0;
    bool legacy = false;
};

using Result = session::Reply;

inline std::vector<UCHAR> Pattern(size_t n, UCHAR seed)
{
    std::vector<UCHAR> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (UCHAR)(seed + i * 7 + (i >> 8));
    return v;
}

// Runs every test with a port driver that completes SRBs before returning,
// with one that pends them and completes them from its own thread, and with
// one that does either, request by request (seeded, reproducible); the
// asynchronous one with a pass-through lower filter between the port
// driver's PDOs and the FDOs.
class DataPathTest : public rig::DriverRig<::testing::TestWithParam<sbp2sim::Completion>>
{
  protected:
    void SetUp() override { Start(Options()); }

    void Start(const Options& options)
    {
        kmsim::Reset();
        kmsim::SetLegacyPlatform(options.legacy);
        kmsim::LowerFilterOptions filter;
        filter.enabled = GetParam() == sbp2sim::Completion::kAsync;
        kmsim::SetLowerFilter(filter);
        kmsim::RegSetDword(session::kService, "MDL_SIZE", options.mdlSize);
        kmsim::RegSetDword(session::kService, "USE_SCSI_PRINT", options.useScsiPrint);
        ASSERT_TRUE(Load());
        Plug(GetParam(), MakePrinter());
        ASSERT_EQ(PlugUnits(), STATUS_SUCCESS);
        for (int unit = 0; unit < 2; unit++)
            fdo[unit] = Fdo(unit);
        ASSERT_NE(fdo[0], nullptr);
        ASSERT_NE(fdo[1], nullptr);
        printer->ClearTrace();
    }

    // The printer behind the port; a test may put a misbehaving one there.
    virtual std::shared_ptr<sbp2sim::SimPrinter> MakePrinter()
    {
        return std::make_shared<sbp2sim::SimPrinter>();
    }

    // Starts again with other options (after the default SetUp).
    void Restart(const Options& options)
    {
        Stop();
        Start(options);
    }

    void TearDown() override { Stop(); }

    // Unplugs the printer and unloads the driver; nothing may be left.
    void Stop()
    {
        EXPECT_EQ(printer ? printer->Overlaps() : 0, 0);
        ShutDownClean();
        printer.reset();
    }

    PDEVICE_EXTENSION Ext() { return session::Ext(fdo[0]); }

    NTSTATUS Open(int unit = 0) { return session::SendSimple(fdo[unit], IRP_MJ_CREATE).status; }
    NTSTATUS Close(int unit = 0) { return session::SendSimple(fdo[unit], IRP_MJ_CLOSE).status; }

    Result Transfer(int unit, UCHAR major, UCHAR* data, ULONG mdlBytes, ULONG length)
    {
        return TransferTo(fdo[unit], major, data, mdlBytes, length);
    }

    Result Write(const std::vector<UCHAR>& data, int unit = 0)
    {
        std::vector<UCHAR> copy = data;
        written.insert(written.end(), data.begin(), data.end());
        return Transfer(unit, IRP_MJ_WRITE, copy.data(), (ULONG)copy.size(), (ULONG)copy.size());
    }
    Result Write(size_t n, int unit = 0) { return Write(Pattern(n, (UCHAR)written.size()), unit); }

    Result Read(std::vector<UCHAR>* out, ULONG capacity, int unit = 0)
    {
        out->assign(capacity, 0xEE);
        Result r = Transfer(unit, IRP_MJ_READ, out->data(), capacity, capacity);
        out->resize(r.bytes);
        return r;
    }

    // Engine calls as device control makes them: under the engine lock.
    NTSTATUS Command(USHORT command, void* buffer, ULONG* length)
    {
        EngineAcquire(fdo[0]);
        NTSTATUS s = SendPrinterCommand(command, fdo[0], buffer, length);
        EngineRelease(fdo[0]);
        return s;
    }
    NTSTATUS Flush()
    {
        EngineAcquire(fdo[0]);
        NTSTATUS s = FlushDataBuffer(CMD_FLUSH, fdo[0]);
        EngineRelease(fdo[0]);
        return s;
    }

    std::vector<ULONG> DataLengths()
    {
        std::vector<ULONG> out;
        for (const sbp2sim::BusEvent& e : printer->DataSrbs())
            out.push_back(e.transferLength);
        return out;
    }

    // The FDOs as the test began: requests keep going to them even once
    // they are off the stack.
    PDEVICE_OBJECT fdo[2] = {nullptr, nullptr};
    std::vector<UCHAR> written; // everything handed to Write, in order
};

inline std::string CompletionName(const ::testing::TestParamInfo<sbp2sim::Completion>& info)
{
    return sbp2sim::CompletionName(info.param);
}

#define DATAPATH_SUITE(suite)                                                                      \
    INSTANTIATE_TEST_SUITE_P(Completion, suite,                                                    \
                             ::testing::Values(sbp2sim::Completion::kSync,                         \
                                               sbp2sim::Completion::kAsync,                        \
                                               sbp2sim::Completion::kMixed),                       \
                             ::datapath::CompletionName)

} // namespace datapath
