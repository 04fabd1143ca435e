// Removal: surprise removal and removal, the child's own removal, and
// removal waiting for requests still inside the driver.
#include "driver_fixture.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace spine;

namespace
{

// A printer that holds one request of a chosen kind on unit 0 until the
// test lets it go.
class GateModel : public sbp2sim::PrinterModel
{
  public:
    void Arm(UCHAR major)
    {
        std::lock_guard<std::mutex> g(lock);
        gateMajor = major;
        armed = true;
        entered = false;
        open = false;
    }
    void WaitEntered()
    {
        std::unique_lock<std::mutex> g(lock);
        cv.wait(g, [&] { return entered; });
    }
    void Release()
    {
        std::lock_guard<std::mutex> g(lock);
        open = true;
        cv.notify_all();
    }
    NTSTATUS Handle(const sbp2sim::UnitRequest& r, ULONG_PTR* information) override
    {
        {
            std::unique_lock<std::mutex> g(lock);
            if (armed && r.unit == 0 && r.major == gateMajor) {
                armed = false;
                entered = true;
                cv.notify_all();
                cv.wait(g, [&] { return open; });
            }
        }
        return PrinterModel::Handle(r, information);
    }

  private:
    std::mutex lock;
    std::condition_variable cv;
    UCHAR gateMajor = 0;
    bool armed = false, entered = false, open = false;
};

class RemovalTest : public DriverFixture
{
  protected:
    std::shared_ptr<GateModel> gate = std::make_shared<GateModel>();
    sbp2sim::Printer* printer = nullptr;
    PDEVICE_OBJECT pdo0 = nullptr, fdo0 = nullptr, child = nullptr;

    void Start(bool legacy = false)
    {
        kmsim::SetLegacyPlatform(legacy);
        Load();
        sbp2sim::PrinterConfig c;
        c.model = gate;
        printer = PlugBoth(c);
        pdo0 = sbp2sim::UnitPdo(printer, 0);
        fdo0 = Fdo(printer, 0);
        ASSERT_NE(fdo0, nullptr);
        child = Ext(fdo0)->ChildPdo;
    }

    NTSTATUS Open()
    {
        return kmsim::SendIrp(pdo0, IRP_MJ_CREATE, 0, nullptr, STATUS_SUCCESS).status;
    }
    NTSTATUS Close()
    {
        return kmsim::SendIrp(pdo0, IRP_MJ_CLOSE, 0, nullptr, STATUS_SUCCESS).status;
    }

    kmsim::IrpResult Write(std::vector<UCHAR>& data)
    {
        PMDL mdl = IoAllocateMdl(data.data(), (ULONG)data.size(), FALSE, FALSE, NULL);
        MmBuildMdlForNonPagedPool(mdl);
        ULONG length = (ULONG)data.size();
        auto r = kmsim::SendIrp(
            pdo0, IRP_MJ_WRITE, 0,
            [&](PIO_STACK_LOCATION s) { s->Parameters.Write.Length = length; }, STATUS_SUCCESS,
            mdl);
        IoFreeMdl(mdl);
        return r;
    }

    // Waits (without sleeping) until the device has recorded `minor`.
    static void WaitForState(PDEVICE_EXTENSION ext, UCHAR minor)
    {
        while (__atomic_load_n(&ext->PnpState, __ATOMIC_SEQ_CST) != minor)
            std::this_thread::yield();
    }
};

TEST_F(RemovalTest, SurpriseRemovalCleansUpAndRemovalDeletes)
{
    Start();
    ASSERT_NE(child, nullptr);
    PDEVICE_OBJECT fdo1 = Fdo(printer, 1);
    size_t enabled = kmsim::EnabledInterfaceCount();
    ASSERT_EQ(enabled, 1u);

    kmsim::SendPnp(child, IRP_MN_SURPRISE_REMOVAL);
    kmsim::SendPnp(pdo0, IRP_MN_SURPRISE_REMOVAL);
    PDEVICE_EXTENSION ext = Ext(fdo0);
    EXPECT_FALSE(ext->Flags & FLAG_STARTED);
    EXPECT_EQ(ext->PnpState, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(ext->DeviceIdString, nullptr);
    EXPECT_EQ(ext->DeviceDescriptor, nullptr);
    EXPECT_EQ(ext->AdapterDescriptor, nullptr);
    EXPECT_EQ(ext->InterfaceName.Buffer, nullptr);
    EXPECT_EQ(kmsim::EnabledInterfaceCount(), 0u);
    EXPECT_EQ(pdo0->AttachedDevice, fdo0);       // still attached
    EXPECT_EQ(UnitTableGetUnit0Fdo(fdo1), fdo0); // marked, still found
    EXPECT_EQ(ext->IoCount, 1);

    kmsim::SendPnp(child, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(ext->ChildPdo, child); // the child stays until its parent goes
    kmsim::SendPnp(pdo0, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(pdo0->AttachedDevice, nullptr);
    EXPECT_EQ(kmsim::FindDevice("\\Device\\Printer0"), nullptr);
    EXPECT_EQ(UnitTableGetUnit0Fdo(fdo1), nullptr); // never a deleted FDO
    EXPECT_TRUE(UnitTableGetUnit1Fdo(fdo1) == fdo1);
    kmsim::ForgetPdo(pdo0);
    kmsim::ProcessInvalidations(); // the parent asked for itself: nothing left to ask
}

TEST_F(RemovalTest, LegacyRemovalDeletesTheDosName)
{
    Start(true);
    ASSERT_TRUE(kmsim::SymbolicLinkExists("\\DosDevices\\LPT2"));
    EXPECT_EQ(kmsim::RemoveDevice(pdo0), STATUS_SUCCESS);
    EXPECT_FALSE(kmsim::SymbolicLinkExists("\\DosDevices\\LPT2"));
    EXPECT_TRUE(kmsim::SymbolicLinkExists("\\DosDevices\\LPT3"));
}

TEST_F(RemovalTest, ChildRemovedAloneIsReportedAgainOnACurrentPlatform)
{
    Start();
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(kmsim::RemoveDevice(child), STATUS_SUCCESS);
    EXPECT_EQ(Ext(fdo0)->ChildPdo, child); // not deleted
    EXPECT_EQ(kmsim::PendingInvalidations(), 1u);
    kmsim::ProcessInvalidations();
    auto children = kmsim::ChildrenOf(pdo0);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0], child);
    EXPECT_TRUE(kmsim::IsStarted(child));
    EXPECT_EQ(((PCHILD_EXTENSION)child->DeviceExtension)->IoCount, 1);
    // started again, it carries SRBs again; so after a stop and a restart
    EXPECT_EQ(SendSrb(child, 0xC0, 0x01), STATUS_SUCCESS);
    ASSERT_EQ(kmsim::Rebalance(child), STATUS_SUCCESS);
    EXPECT_EQ(SendSrb(child, 0xC0, 0x01), STATUS_SUCCESS);
}

struct LegacyChildCase {
    const char* name;
    ULONG activity;
    bool reportedAgain;
};

class LegacyChildTest : public RemovalTest, public ::testing::WithParamInterface<LegacyChildCase>
{
};

TEST_P(LegacyChildTest, ChildRemovedAloneOnALegacyPlatform)
{
    Start(true);
    ASSERT_NE(child, nullptr);
    Ext(fdo0)->ActivityFlags = GetParam().activity;
    EXPECT_EQ(kmsim::RemoveDevice(child), STATUS_SUCCESS);
    EXPECT_EQ(Ext(fdo0)->ActivityFlags, 0u);
    kmsim::ProcessInvalidations();
    EXPECT_EQ(kmsim::ChildrenOf(pdo0).size(), GetParam().reportedAgain ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Activity, LegacyChildTest,
    ::testing::Values(LegacyChildCase{"Nothing", 0, false},
                      LegacyChildCase{"OpenedAndClosed", ACTIVITY_OPENED | ACTIVITY_CLOSED, true},
                      LegacyChildCase{"AndWritten",
                                      ACTIVITY_OPENED | ACTIVITY_CLOSED | ACTIVITY_WRITE, false},
                      LegacyChildCase{"OpenedOnly", ACTIVITY_OPENED, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Stop and restart, then removal while a request is inside the driver: the
// removal must wait for it, however the count went through the stop.
TEST_F(RemovalTest, RemovalAfterRestartWaitsForARequestInProgress)
{
    Start();
    ASSERT_EQ(kmsim::Rebalance(pdo0), STATUS_SUCCESS);
    gate->Arm(IRP_MJ_CREATE);
    std::atomic<NTSTATUS> openStatus{STATUS_PENDING};
    std::thread opener([&] { openStatus = Open(); });
    gate->WaitEntered(); // the create is inside the driver, holding the count

    std::atomic<bool> removed{false};
    std::thread remover([&] {
        kmsim::RemoveDevice(pdo0);
        removed = true;
    });
    WaitForState(Ext(fdo0), IRP_MN_REMOVE_DEVICE);
    // the removal has released everything but the request's reference
    EXPECT_EQ(KeReadStateEvent(&Ext(fdo0)->IoIdleEvent), 0);
    EXPECT_FALSE(removed);
    EXPECT_NE(kmsim::FindDevice("\\Device\\Printer0"), nullptr);
    // and the port driver learns of the removal only once the request is out
    const std::vector<UCHAR>& seen = sbp2sim::CountersOf(printer).pnp[0];
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MN_REMOVE_DEVICE), 0);

    gate->Release();
    opener.join();
    remover.join();
    EXPECT_TRUE(removed);
    EXPECT_EQ(kmsim::FindDevice("\\Device\\Printer0"), nullptr);
}

// The same after a stop without a restart.
TEST_F(RemovalTest, RemovalAfterStopWaitsForARequestInProgress)
{
    Start();
    kmsim::SendPnp(pdo0, IRP_MN_QUERY_STOP_DEVICE);
    kmsim::SendPnp(pdo0, IRP_MN_STOP_DEVICE);
    PDEVICE_EXTENSION ext = Ext(fdo0);
    IoCountAcquire(fdo0); // a request that came in after the stop
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        kmsim::RemoveDevice(pdo0);
        removed = true;
    });
    WaitForState(ext, IRP_MN_REMOVE_DEVICE);
    EXPECT_FALSE(removed);
    EXPECT_EQ(KeReadStateEvent(&ext->IoIdleEvent), 0);
    IoCountRelease(fdo0);
    remover.join();
    EXPECT_TRUE(removed);
}

// A write still running in the data path while the printer is pulled: the
// clean-up frees the identification and descriptors under it; nothing may
// touch them (the sanitizers watch). The handle is closed after the
// surprise removal, and only then does the removal come.
TEST_F(RemovalTest, SurpriseRemovalWithAWriteInFlight)
{
    Start();
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    std::vector<UCHAR> data(5000, 0x5A);
    gate->Arm(IRP_MJ_SCSI);
    std::atomic<ULONG_PTR> written{0};
    std::thread writer([&] { written = Write(data).information; });
    gate->WaitEntered();

    kmsim::SurpriseRemoveOnly(pdo0); // does not wait for requests
    PDEVICE_EXTENSION ext = Ext(fdo0);
    EXPECT_EQ(ext->PnpState, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(ext->DeviceIdString, nullptr);
    EXPECT_EQ(ext->DeviceDescriptor, nullptr);
    EXPECT_EQ(ext->IoCount, 3); // the write is still inside, and its SRB out

    gate->Release();
    writer.join();
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    kmsim::FinishRemoval(pdo0);
    EXPECT_EQ(kmsim::FindDevice("\\Device\\Printer0"), nullptr);
}

// The handle of a surprise-removed port is never closed before the device
// goes: the engine's buffers must go with the FDO (the fixture checks).
TEST_F(RemovalTest, RemovalWithThePortStillOpen)
{
    Start();
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    std::vector<UCHAR> data(100, 7);
    EXPECT_EQ(Write(data).status, STATUS_SUCCESS);
    EXPECT_NE(kmsim::PoolOutstanding(TAG_DATA_BUFFER), 0u);
    kmsim::SurpriseRemoveOnly(pdo0);
    kmsim::FinishRemoval(pdo0);
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_DATA_BUFFER), 0u);
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_SENSE_BUFFER), 0u);
}

TEST_F(RemovalTest, FullLifeLeavesNothingBehind)
{
    Start();
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(kmsim::SendPnp(pdo0, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(kmsim::SendPnp(pdo0, IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(kmsim::Rebalance(pdo0), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::SendPnp(pdo0, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(kmsim::SendPnp(pdo0, IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    std::vector<UCHAR> data(100, 1);
    EXPECT_EQ(Write(data).status, STATUS_SUCCESS);
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::RemoveDevice(child), STATUS_SUCCESS);
    kmsim::ProcessInvalidations();
    EXPECT_EQ(kmsim::RemoveDevice(sbp2sim::UnitPdo(printer, 1)), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::RemoveDevice(pdo0), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::LiveDeviceCount(), 2u); // the port's two unit PDOs
    // the fixture unplugs, unloads and checks that nothing is left
}

} // namespace
