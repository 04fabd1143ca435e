// A lower filter between the port driver's PDO and the FDO, as an INF's
// LowerFilters value loads one: every request of the FDO must pass through
// it, the removal too, so that it can detach and go; and the lower drivers'
// ways of answering (pending a PnP request, refusing the start) must not
// upset the FDO.
#include "driver_fixture.h"

#include <algorithm>

using namespace spine;

namespace
{

class FilterTest : public DriverFixture
{
  protected:
    sbp2sim::Printer* printer = nullptr;
    PDEVICE_OBJECT pdo0 = nullptr, fdo0 = nullptr;

    void Start(const kmsim::LowerFilterOptions& filter)
    {
        kmsim::SetLowerFilter(filter);
        Load();
        printer = PlugBoth(sbp2sim::PrinterConfig());
        pdo0 = sbp2sim::UnitPdo(printer, 0);
        fdo0 = Fdo(printer, 0);
        ASSERT_NE(fdo0, nullptr);
        ASSERT_NE(pdo0->AttachedDevice, fdo0); // the filter sits between
    }

    static int Count(const std::vector<UCHAR>& seen, UCHAR minor)
    {
        return (int)std::count(seen.begin(), seen.end(), minor);
    }
};

TEST_F(FilterTest, EveryRequestAndTheRemovalPassThroughTheFilter)
{
    Start({true});
    EXPECT_EQ(kmsim::LowerFilterCount(), 2u);
    kmsim::FilterSeen seen = kmsim::LowerFilterSeen(pdo0);
    // the claim, two storage queries of two passes each, the device ID
    EXPECT_EQ(seen.requests, 6u);
    EXPECT_EQ(Count(seen.pnp, IRP_MN_START_DEVICE), 1);
    EXPECT_EQ(SendSrb(fdo0, 0xC0, 0x01), STATUS_SUCCESS); // from a driver above
    EXPECT_EQ(kmsim::LowerFilterSeen(pdo0).requests, 7u);

    ASSERT_EQ(kmsim::Rebalance(pdo0), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::SendPower(pdo0, IRP_MN_SET_POWER).status, STATUS_SUCCESS);
    EXPECT_EQ(kmsim::RemoveDevice(pdo0), STATUS_SUCCESS);
    seen = kmsim::LowerFilterSeen(pdo0);
    EXPECT_EQ(Count(seen.pnp, IRP_MN_QUERY_STOP_DEVICE), 1);
    EXPECT_EQ(Count(seen.pnp, IRP_MN_STOP_DEVICE), 1);
    EXPECT_EQ(Count(seen.pnp, IRP_MN_REMOVE_DEVICE), 1);
    EXPECT_EQ(seen.power, std::vector<UCHAR>{IRP_MN_SET_POWER});
    EXPECT_FALSE(seen.attached);
    EXPECT_EQ(pdo0->AttachedDevice, nullptr);
    EXPECT_EQ(kmsim::LowerFilterCount(), 1u); // unit 1's, until the unplug
}

// The child removed on its own asks for its parent's bus relations again:
// of the unit's PDO, which the PnP manager knows, not of the filter the FDO
// sits on.
TEST_F(FilterTest, ChildRemovedAloneIsReportedAgainAboveAFilter)
{
    Start({true});
    PDEVICE_OBJECT child = Ext(fdo0)->ChildPdo;
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(kmsim::RemoveDevice(child), STATUS_SUCCESS);
    kmsim::ProcessInvalidations();
    EXPECT_EQ(kmsim::ChildrenOf(pdo0), std::vector<PDEVICE_OBJECT>{child});
    EXPECT_TRUE(kmsim::IsStarted(child));
}

// A filter on unit 1 only makes its stack deeper than unit 0's: the driver's
// own packets for unit 1 (the open's create, the status read's SRB, the
// close) have room for the stack they go down.
TEST_F(FilterTest, OwnPacketsFitAStackDeeperOnUnitOne)
{
    Load();
    printer = Plug(sbp2sim::PrinterConfig());
    ASSERT_EQ(PlugUnit(printer, 0), STATUS_SUCCESS);
    kmsim::SetLowerFilter({true});
    ASSERT_EQ(PlugUnit(printer, 1), STATUS_SUCCESS);
    ASSERT_GT(Fdo(printer, 1)->StackSize, Fdo(printer, 0)->StackSize);
    EXPECT_EQ(Open().status, STATUS_SUCCESS);
    std::vector<UCHAR> status;
    EXPECT_EQ(Read(64, &status).status, STATUS_SUCCESS);
    EXPECT_FALSE(status.empty());
    EXPECT_EQ(Close().status, STATUS_SUCCESS);
    EXPECT_GE(kmsim::LowerFilterSeen(sbp2sim::UnitPdo(printer, 1)).requests, 3u);
}

// Device control on unit 1 that goes down is carried into unit 0's stack.
// A kernel-mode caller's packet (IoBuildDeviceIoControlRequest) has exactly
// the locations unit 1's stack needs; a lower filter that keeps one of its
// own makes unit 0's deeper. Passed down, pass-through and unknown codes
// alike must still reach the port driver with a location for each driver on
// the way. Unit 0 has an upper filter too: its requests come through it.
TEST_F(FilterTest, RequestsThroughUnitOneFitUnitZerosDeeperStack)
{
    Load();
    printer = Plug(sbp2sim::PrinterConfig());
    kmsim::SetLowerFilter({true, false, STATUS_SUCCESS, true});
    kmsim::SetUpperFilter(true);
    ASSERT_EQ(PlugUnit(printer, 0), STATUS_SUCCESS);
    kmsim::SetLowerFilter({});
    kmsim::SetUpperFilter(false);
    ASSERT_EQ(PlugUnit(printer, 1), STATUS_SUCCESS);
    pdo0 = sbp2sim::UnitPdo(printer, 0);
    ASSERT_EQ(Open().status, STATUS_SUCCESS);
    EXPECT_GE(kmsim::UpperFilterSeen(pdo0).requests, 1u); // the open came through it

    PDEVICE_OBJECT unit1 = Fdo(printer, 1);
    unsigned before = kmsim::LowerFilterSeen(pdo0).requests;
    std::vector<UCHAR> input(64, 0);
    for (ULONG code : {(ULONG)0x00220000, (ULONG)IOCTL_SCSI_PASS_THROUGH}) {
        SCOPED_TRACE(code);
        KEVENT done;
        IO_STATUS_BLOCK status = {};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, unit1, input.data(), (ULONG)input.size(),
                                                 NULL, 0, FALSE, &done, &status);
        ASSERT_NE(irp, nullptr);
        if (IoCallDriver(unit1, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        EXPECT_NE(status.Status, STATUS_DELETE_PENDING);
    }
    EXPECT_EQ(kmsim::LowerFilterSeen(pdo0).requests, before + 2);
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
    EXPECT_EQ(Close().status, STATUS_SUCCESS);
}

// A lower driver may answer a PnP request it passes on with STATUS_PENDING
// (the request may even be complete by then): the FDO waits for it.
TEST_F(FilterTest, PnpRequestsPendedBelow)
{
    Start({true, true});
    EXPECT_TRUE(Ext(fdo0)->Flags & FLAG_STARTED);
    EXPECT_EQ(kmsim::SendPnp(pdo0, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(kmsim::SendPnp(pdo0, IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(kmsim::Rebalance(pdo0), STATUS_SUCCESS);
    EXPECT_TRUE(Ext(fdo0)->Flags & FLAG_STARTED);
    EXPECT_EQ(kmsim::SendPnp(pdo0, IRP_MN_DEVICE_USAGE_NOTIFICATION,
                             [](PIO_STACK_LOCATION s) {
                                 s->Parameters.UsageNotification.Type = DeviceUsageTypeDumpFile;
                                 s->Parameters.UsageNotification.InPath = TRUE;
                             })
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(Ext(fdo0)->IoCount, 1);
    EXPECT_EQ(kmsim::RemoveDevice(pdo0), STATUS_SUCCESS);
    EXPECT_EQ(pdo0->AttachedDevice, nullptr);
}

// A lower driver refusing the start: the unit stays unstarted, takes no
// requests, publishes nothing, and still goes cleanly.
TEST_F(FilterTest, StartRefusedBelow)
{
    kmsim::SetLowerFilter({true, false, STATUS_INSUFFICIENT_RESOURCES});
    Load();
    printer = Plug(sbp2sim::PrinterConfig());
    pdo0 = sbp2sim::UnitPdo(printer, 0);
    EXPECT_EQ(PlugUnit(printer, 0), STATUS_INSUFFICIENT_RESOURCES);
    fdo0 = Fdo(printer, 0);
    ASSERT_NE(fdo0, nullptr);
    EXPECT_FALSE(Ext(fdo0)->Flags & FLAG_STARTED);
    EXPECT_EQ(Ext(fdo0)->IoCount, 1);
    EXPECT_EQ(sbp2sim::CountersOf(printer).storageQueries, 0);
    EXPECT_EQ(sbp2sim::CountersOf(printer).deviceIdRequests, 0);
    EXPECT_EQ(kmsim::EnabledInterfaceCount(), 0u);
    EXPECT_EQ(SendSrb(fdo0, 0xC0, 0x01), STATUS_DELETE_PENDING);
    // the PnP manager removes a device whose start failed
    EXPECT_EQ(kmsim::RemoveDevice(pdo0), STATUS_SUCCESS);
    EXPECT_EQ(pdo0->AttachedDevice, nullptr);
}

} // namespace
