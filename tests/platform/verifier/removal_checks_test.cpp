// Removal with handles open, as each platform orders it, and the rules a
// driver can break on the way: no detach or delete between a surprise
// removal and the removal, no unload while a handle still holds one of its
// deleted devices, nothing sent to or completed into a driver that is gone.
#include "faulty_driver.h"

namespace verifier
{
namespace
{

// A function driver on a bus driver's PDO. Its PnP requests go down to the
// bus; at the removal it detaches and deletes its device, unless the test
// gives it another body. Its other requests succeed.
class RemovalTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        kmsim::Reset();
        minors().clear();
        bus = kmsim::CreateDriverObject("bus");
        bus->MajorFunction[IRP_MJ_PNP] = BusDispatch;
        function = kmsim::CreateDriverObject("function");
        function->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_WRITE})
            function->MajorFunction[major] = FunctionIo;
        ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, 0, 0, FALSE, &pdo), STATUS_SUCCESS);
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(IoCreateDevice(function, 0, nullptr, 0, 0, FALSE, &fdo), STATUS_SUCCESS);
        IoAttachDeviceToDeviceStack(fdo, pdo);
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        kmsim::ReportPdo(pdo);
    }

    void TearDown() override
    {
        Body() = nullptr;
        if (pdo != nullptr)
            IoDeleteDevice(pdo);
        if (function != nullptr)
            kmsim::DeleteDriverObject(function);
        kmsim::DeleteDriverObject(bus);
        kmsim::Reset();
    }

    static std::vector<UCHAR>& minors()
    {
        static std::vector<UCHAR> seen;
        return seen;
    }
    static NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT, PIRP irp)
    {
        return CompleteNow(irp, STATUS_SUCCESS);
    }
    static NTSTATUS NTAPI FunctionIo(PDEVICE_OBJECT, PIRP irp)
    {
        return CompleteNow(irp, STATUS_SUCCESS);
    }
    static NTSTATUS NTAPI FunctionPnp(PDEVICE_OBJECT device, PIRP irp)
    {
        UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
        minors().push_back(minor);
        if (Body())
            return Body()(device, irp);
        PDEVICE_OBJECT lower = kmsim::LowerDeviceOf(device);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        if (minor == IRP_MN_REMOVE_DEVICE)
            DetachAndDelete(device, lower);
        return status;
    }
    static void DetachAndDelete(PDEVICE_OBJECT device, PDEVICE_OBJECT lower)
    {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    bool Got(UCHAR minor) const
    {
        return std::find(minors().begin(), minors().end(), minor) != minors().end();
    }
    NTSTATUS Write(PFILE_OBJECT file) { return kmsim::SendOnFile(file, IRP_MJ_WRITE, 0).status; }

    PDRIVER_OBJECT bus = nullptr, function = nullptr;
    PDEVICE_OBJECT pdo = nullptr, fdo = nullptr;
};

TEST_F(RemovalTest, SurpriseRemovalWaitsForTheLastHandleBeforeTheRemoval)
{
    PFILE_OBJECT first = kmsim::OpenFile(fdo).file, second = kmsim::OpenFile(fdo).file;
    ASSERT_NE(second, nullptr);
    kmsim::SurpriseRemove(pdo);
    EXPECT_TRUE(Got(IRP_MN_SURPRISE_REMOVAL));
    EXPECT_FALSE(Got(IRP_MN_REMOVE_DEVICE));
    // New opens are refused by the I/O manager; the open handles still work.
    EXPECT_EQ(kmsim::OpenFile(fdo).status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Write(first), STATUS_SUCCESS);
    kmsim::CloseFile(first);
    EXPECT_FALSE(Got(IRP_MN_REMOVE_DEVICE));
    kmsim::CloseFile(second);
    EXPECT_TRUE(Got(IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
}

// Threads of a test share handles as a program's threads do: one that
// uses a handle another has closed gets STATUS_INVALID_HANDLE, even once a
// new open has come, and never reaches the new open's file.
TEST_F(RemovalTest, AClosedHandleStaysClosedWhenTheNextOpenComes)
{
    PFILE_OBJECT closed = kmsim::OpenFile(fdo).file;
    ASSERT_NE(closed, nullptr);
    kmsim::CloseFile(closed);
    PFILE_OBJECT next = kmsim::OpenFile(fdo).file;
    EXPECT_NE(next, closed);
    EXPECT_EQ(Write(closed), STATUS_INVALID_HANDLE);
    EXPECT_EQ(kmsim::CloseFile(closed).status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Write(next), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::OpenFileCount(), 1u);
    kmsim::CloseFile(next);
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
}

TEST_F(RemovalTest, LegacyRemovesAtOnceAndTheHandleReachesTheRemovedDevice)
{
    kmsim::SetLegacyPlatform(true);
    PFILE_OBJECT file = kmsim::OpenFile(fdo).file;
    ASSERT_NE(file, nullptr);
    kmsim::SurpriseRemove(pdo);
    EXPECT_FALSE(Got(IRP_MN_SURPRISE_REMOVAL));
    EXPECT_TRUE(Got(IRP_MN_REMOVE_DEVICE));
    // Deleted, but the handle keeps the device and sends to its driver.
    EXPECT_EQ(kmsim::LiveDeviceCount(), 2u);
    EXPECT_EQ(Write(file), STATUS_SUCCESS);
    kmsim::CloseFile(file);
    EXPECT_EQ(kmsim::LiveDeviceCount(), 1u);
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
}

TEST_F(RemovalTest, OrderlyRemovalWithAHandleOpenIsVetoedExceptOnTheLegacyPlatform)
{
    PFILE_OBJECT file = kmsim::OpenFile(fdo).file;
    std::string veto;
    EXPECT_EQ(kmsim::RemoveDevice(pdo, &veto), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(veto, "PNP_VetoOutstandingOpen");
    EXPECT_EQ(minors(),
              (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
    kmsim::SetLegacyPlatform(true);
    EXPECT_EQ(kmsim::RemoveDevice(pdo, &veto), STATUS_SUCCESS);
    EXPECT_TRUE(Got(IRP_MN_REMOVE_DEVICE));
    kmsim::CloseFile(file);
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
}

TEST_F(RemovalTest, DetachOrDeleteBeforeTheRemovalIsReported)
{
    kmsim::OpenResult open = kmsim::OpenFile(fdo);
    Body() = [](PDEVICE_OBJECT device, PIRP irp) {
        PDEVICE_OBJECT lower = kmsim::LowerDeviceOf(device);
        // Tears its stack down at the surprise removal, handles or not.
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
            CompleteNow(irp, STATUS_SUCCESS);
            DetachAndDelete(device, lower);
            return STATUS_SUCCESS;
        }
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    kmsim::SurpriseRemove(pdo);
    EXPECT_TRUE(Reported("IoDetachDevice of an unnamed device after its surprise removal"));
    EXPECT_TRUE(Reported("IoDeleteDevice of an unnamed device after its surprise removal"));
    kmsim::ClearViolations();
    kmsim::CloseFile(open.file);
}

TEST_F(RemovalTest, UnloadWithAHandleOnADeletedDeviceAndRequestsAfterItAreReported)
{
    kmsim::SetLegacyPlatform(true);
    PFILE_OBJECT file = kmsim::OpenFile(fdo).file;
    kmsim::SurpriseRemove(pdo);
    kmsim::UnloadDriver(function);
    function = nullptr;
    EXPECT_TRUE(Reported("its deleted devices is still referenced"));
    Write(file);
    EXPECT_TRUE(Reported("whose driver has unloaded"));
    kmsim::ClearViolations();
    kmsim::CloseFile(file);
}

} // namespace
} // namespace verifier
