// What the hardening runs found in the driver, case by case.
#include "driver_rig.h"
#include "printer_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{

class FindingsTest : public ::testing::TestWithParam<sbp2sim::Completion>
{
  protected:
    void SetUp() override
    {
        kmsim::Reset();
        ASSERT_TRUE(s.Load());
        s.Plug(GetParam());
        s.AddDevices();
        s.StartDevices();
        ASSERT_EQ(s.Open().status, STATUS_SUCCESS);
    }
    void TearDown() override
    {
        s.Close();
        rig::ShutDownClean(s);
        kmsim::Reset();
    }
    session::PrinterSession s;
};

// The port driver's device-ID request carries a pointer to its request
// block in the stack location; a caller of the port must not be able to
// hand it one (the lengths of its buffers would be taken for the pointer).
TEST_P(FindingsTest, PortDriverRequestFromACallerIsRefused)
{
    int before = sbp2sim::CountersOf(s.bus).deviceIdRequests;
    for (int unit = 0; unit < 2; unit++) {
        for (ULONG out : {0u, 64u, 4096u}) {
            session::Reply r =
                s.Control(IOCTL_SBP2_REQUEST, std::vector<UCHAR>(24, 0xAB), out, nullptr, unit);
            EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
            EXPECT_EQ(r.bytes, 0u);
        }
    }
    EXPECT_EQ(sbp2sim::CountersOf(s.bus).deviceIdRequests, before);
    // Other codes still go down to the port driver.
    std::vector<UCHAR> query(12, 0);
    EXPECT_EQ(s.Control(IOCTL_STORAGE_QUERY_PROPERTY, query, 64).status, STATUS_SUCCESS);
}

// Requests that arrive while a unit is stopped bring the in-progress count
// to 0 and signal; a restart takes the base reference back. A signal that
// came late, after the restart, once left the count with the base taken
// twice, and the next removal waited for ever.
TEST_P(FindingsTest, RestartUnderRequestsKeepsOneBaseReference)
{
    PDEVICE_OBJECT fdo = s.Fdo(0);
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)fdo->DeviceExtension;
    for (int round = 0; round < 150; round++) {
        ASSERT_EQ(kmsim::SendPnp(s.Pdo(0), IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
        kmsim::SendPnp(s.Pdo(0), IRP_MN_STOP_DEVICE);
        std::atomic<bool> started{false};
        std::thread requests([&] {
            while (!started) {
                IoCountAcquire(fdo);
                IoCountRelease(fdo);
            }
        });
        EXPECT_EQ(kmsim::StartDevice(s.Pdo(0)), STATUS_SUCCESS);
        started = true;
        requests.join();
        // A late signal may leave the event set; waits look at the count.
        ASSERT_EQ(ext->IoCount, 1) << "round " << round;
    }
}

// PnP changes FLAG_STARTED without the engine lock while the engine changes
// FLAG_LOOKASIDE_READY in the same byte under it: neither change may undo
// the other.
TEST_P(FindingsTest, FlagChangesOfPnpAndEngineAreNotLost)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)s.Fdo(0)->DeviceExtension;
    UCHAR before = ext->Flags;
    const int kToggles = 20000;
    std::thread pnp([&] {
        for (int i = 0; i < kToggles; i++)
            ChangeExtensionFlags(ext, i % 2 ? FLAG_STARTED : 0, i % 2 ? 0 : FLAG_STARTED);
    });
    for (int i = 0; i < kToggles; i++)
        ChangeExtensionFlags(ext, i % 2 ? FLAG_LOOKASIDE_READY : 0,
                             i % 2 ? 0 : FLAG_LOOKASIDE_READY);
    pnp.join();
    // Both ended on their odd step: set.
    EXPECT_EQ(ext->Flags & (FLAG_STARTED | FLAG_LOOKASIDE_READY),
              FLAG_STARTED | FLAG_LOOKASIDE_READY);
    EXPECT_EQ(ext->Flags & FLAG_FDO, FLAG_FDO);
    ChangeExtensionFlags(ext, before, (UCHAR)~before);
}

INSTANTIATE_TEST_SUITE_P(Port, FindingsTest,
                         ::testing::Values(sbp2sim::Completion::kSync, sbp2sim::Completion::kAsync,
                                           sbp2sim::Completion::kMixed),
                         [](const ::testing::TestParamInfo<sbp2sim::Completion>& info) {
                             return std::string(sbp2sim::CompletionName(info.param));
                         });

} // namespace
