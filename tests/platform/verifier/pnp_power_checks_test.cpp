// PnP and power rules: a state-changing PnP request goes down the stack
// with STATUS_SUCCESS, a system set-power request is never failed, and a
// stack is pageable for power all the way up or not at all.
#include "faulty_driver.h"

namespace verifier
{
namespace
{

// A faulty driver attached on top of a bus driver's device that completes
// every request with the status it came with (power: success).
class StackTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        kmsim::Reset();
        bus = kmsim::CreateDriverObject("bus");
        bus->MajorFunction[IRP_MJ_PNP] = BusDispatch;
        bus->MajorFunction[IRP_MJ_POWER] = BusDispatch;
        faulty = kmsim::CreateDriverObject("faulty");
        faulty->MajorFunction[IRP_MJ_PNP] = FaultyDispatch;
        faulty->MajorFunction[IRP_MJ_POWER] = FaultyDispatch;
        ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, 0, 0, FALSE, &pdo), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(faulty, 0, nullptr, 0, 0, FALSE, &fdo), STATUS_SUCCESS);
        IoAttachDeviceToDeviceStack(fdo, pdo);
    }

    void TearDown() override
    {
        IoDetachDevice(pdo);
        IoDeleteDevice(fdo);
        IoDeleteDevice(pdo);
        kmsim::DeleteDriverObject(faulty);
        kmsim::DeleteDriverObject(bus);
        Body() = nullptr;
        kmsim::Reset();
    }

    static NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT, PIRP irp)
    {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            return CompleteNow(irp, STATUS_SUCCESS);
        }
        return CompleteNow(irp, irp->IoStatus.Status);
    }

    // The faulty driver passes the request down as it is.
    static NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp)
    {
        IoSkipCurrentIrpStackLocation(irp);
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            return PoCallDriver(kmsim::LowerDeviceOf(device), irp);
        }
        return IoCallDriver(kmsim::LowerDeviceOf(device), irp);
    }

    PDRIVER_OBJECT bus = nullptr, faulty = nullptr;
    PDEVICE_OBJECT pdo = nullptr, fdo = nullptr;
};

struct PassDownCase {
    const char* name;
    UCHAR minor;
    bool setSuccess; // the driver sets STATUS_SUCCESS before passing down
    bool reported;
};

class PnpPassDownTest : public StackTest, public ::testing::WithParamInterface<PassDownCase>
{
};

TEST_P(PnpPassDownTest, StateChangesGoDownWithSuccess)
{
    const PassDownCase& c = GetParam();
    Body() = [&c](PDEVICE_OBJECT device, PIRP irp) {
        if (c.setSuccess)
            irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, irp);
    };
    kmsim::SendPnp(pdo, c.minor);
    if (!c.reported) {
        EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
        return;
    }
    ASSERT_EQ(kmsim::Violations().size(), 1u) << ::testing::PrintToString(kmsim::Violations());
    EXPECT_TRUE(Reported("passed down to \\Driver\\bus with IoStatus.Status 0xC00000BB"))
        << kmsim::Violations()[0];
}

INSTANTIATE_TEST_SUITE_P(
    Minors, PnpPassDownTest,
    ::testing::Values(PassDownCase{"QueryStopAsItCame", IRP_MN_QUERY_STOP_DEVICE, false, true},
                      PassDownCase{"QueryStopHandled", IRP_MN_QUERY_STOP_DEVICE, true, false},
                      PassDownCase{"QueryRemoveAsItCame", IRP_MN_QUERY_REMOVE_DEVICE, false, true},
                      PassDownCase{"StopAsItCame", IRP_MN_STOP_DEVICE, false, true},
                      PassDownCase{"RemoveAsItCame", IRP_MN_REMOVE_DEVICE, false, true},
                      PassDownCase{"RemoveHandled", IRP_MN_REMOVE_DEVICE, true, false},
                      PassDownCase{"SurpriseRemovalAsItCame", IRP_MN_SURPRISE_REMOVAL, false, true},
                      // requests a driver need not handle go down untouched
                      PassDownCase{"CapabilitiesAsItCame", IRP_MN_QUERY_CAPABILITIES, false,
                                   false}),
    [](const auto& info) { return std::string(info.param.name); });

struct SetPowerCase {
    const char* name;
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;
    bool atTheBottom; // failed by the bus driver, else by the driver above it
    bool reported;
};

class SetPowerTest : public StackTest, public ::testing::WithParamInterface<SetPowerCase>
{
};

TEST_P(SetPowerTest, SetPowerIsNotFailed)
{
    const SetPowerCase& c = GetParam();
    Body() = [](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        return CompleteNow(irp, STATUS_DEVICE_POWER_FAILURE);
    };
    if (c.atTheBottom) {
        // the faulty driver is the bus driver of a device of its own
        IoDetachDevice(pdo);
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    EXPECT_EQ(kmsim::SendPowerState(fdo, c.minor, c.type, c.state).status,
              STATUS_DEVICE_POWER_FAILURE);
    if (c.atTheBottom)
        IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!c.reported) {
        EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
        return;
    }
    ASSERT_EQ(kmsim::Violations().size(), 1u) << ::testing::PrintToString(kmsim::Violations());
    EXPECT_TRUE(Reported("IRP_MN_SET_POWER for a")) << kmsim::Violations()[0];
    EXPECT_TRUE(Reported("failed with 0xC000009E by \\Driver\\faulty")) << kmsim::Violations()[0];
}

INSTANTIATE_TEST_SUITE_P(
    States, SetPowerTest,
    ::testing::Values(SetPowerCase{"SystemSleep", IRP_MN_SET_POWER, SystemPowerState,
                                   PowerSystemSleeping3, false, true},
                      SetPowerCase{"SystemSleepByTheBusDriver", IRP_MN_SET_POWER, SystemPowerState,
                                   PowerSystemSleeping3, true, true},
                      SetPowerCase{"DeviceAboveTheBusDriver", IRP_MN_SET_POWER, DevicePowerState,
                                   PowerDeviceD3, false, true},
                      SetPowerCase{"DeviceDownByTheBusDriver", IRP_MN_SET_POWER, DevicePowerState,
                                   PowerDeviceD3, true, true},
                      // a bus driver may refuse to power up a device that is gone
                      SetPowerCase{"DeviceUpByTheBusDriver", IRP_MN_SET_POWER, DevicePowerState,
                                   PowerDeviceD0, true, false},
                      // a query may be refused
                      SetPowerCase{"SystemQuery", IRP_MN_QUERY_POWER, SystemPowerState,
                                   PowerSystemSleeping3, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StackTest, PowerPagingMustHoldUpTheStack)
{
    Body() = [](PDEVICE_OBJECT device, PIRP irp) { return PassDown(device, irp); };
    pdo->Flags |= DO_POWER_PAGABLE;
    kmsim::SendPower(pdo, IRP_MN_QUERY_POWER);
    ASSERT_EQ(kmsim::Violations().size(), 1u) << ::testing::PrintToString(kmsim::Violations());
    EXPECT_TRUE(Reported("power IRP passed through \\Driver\\faulty without DO_POWER_PAGABLE"))
        << kmsim::Violations()[0];

    kmsim::ClearViolations();
    fdo->Flags |= DO_POWER_PAGABLE; // copied from below: fine
    kmsim::SendPower(pdo, IRP_MN_QUERY_POWER);
    pdo->Flags &= ~DO_POWER_PAGABLE; // pageable above a non-pageable device: fine too
    kmsim::SendPower(pdo, IRP_MN_QUERY_POWER);
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
}

// From a successful stop to the next start the stack's drivers hold its
// I/O: a request other than PnP, power or WMI reaching the bus driver is
// the fault, whoever sends it from above.
TEST_F(StackTest, IoPassedDownToAStoppedDeviceIsReported)
{
    bus->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BusDispatch;
    bus->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusDispatch;
    for (UCHAR major : {IRP_MJ_DEVICE_CONTROL, IRP_MJ_SYSTEM_CONTROL})
        faulty->MajorFunction[major] = FaultyDispatch;
    Body() = [](PDEVICE_OBJECT device, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, irp);
    };
    auto passThree = [this] {
        kmsim::SendIrp(pdo, IRP_MJ_DEVICE_CONTROL, 0);
        kmsim::SendIrp(pdo, IRP_MJ_SYSTEM_CONTROL, 0);
        kmsim::SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES);
    };
    passThree();
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());

    kmsim::SendPnp(pdo, IRP_MN_STOP_DEVICE);
    passThree();
    ASSERT_EQ(kmsim::Violations().size(), 1u) << ::testing::PrintToString(kmsim::Violations());
    EXPECT_TRUE(Reported("IRP_MJ 0x0E sent to \\Driver\\bus after its IRP_MN_STOP_DEVICE"))
        << kmsim::Violations()[0];

    kmsim::ClearViolations();
    kmsim::SendPnp(pdo, IRP_MN_START_DEVICE);
    passThree();
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
}

// A bus driver's children named by device ID and instance ID: one claimed
// unique names its devnode alone, any other is told apart by its parent. Two
// devnodes with one name stop Windows (a duplicate PDO), unless the first
// has been surprise-removed: it waits for its handles without its name, and
// the device plugged in again meanwhile takes it.
TEST(DuplicateInstanceTest, TwoDevnodesWithOneNameAreReported)
{
    kmsim::Reset();
    static bool unique;
    PDRIVER_OBJECT bus = kmsim::CreateDriverObject("faultybus");
    bus->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        if (s->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
            s->Parameters.DeviceCapabilities.Capabilities->UniqueID = unique;
        } else if (s->MinorFunction == IRP_MN_QUERY_ID &&
                   s->Parameters.QueryId.IdType != BusQueryHardwareIDs &&
                   s->Parameters.QueryId.IdType != BusQueryCompatibleIDs) {
            const char* text = s->Parameters.QueryId.IdType == BusQueryDeviceID ? "BUS\\DEV" : "0";
            WCHAR* id = (WCHAR*)ExAllocatePoolWithTag(PagedPool, 32, kmsim::Tag("test"));
            for (size_t i = 0; i <= strlen(text); i++)
                id[i] = (WCHAR)text[i];
            irp->IoStatus.Information = (ULONG_PTR)id;
        } else {
            return CompleteNow(irp, irp->IoStatus.Status);
        }
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    PDEVICE_OBJECT parent[2], child[2];
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, 0, 0, FALSE, &parent[i]), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, 0, 0, FALSE, &child[i]), STATUS_SUCCESS);
        kmsim::ReportPdo(parent[i]);
    }
    struct Case {
        bool unique;
        bool sameParent;
        bool firstGone; // surprise-removed before the second is enumerated
        bool reported;
    } cases[] = {{true, false, false, true},
                 {false, false, false, false},
                 {false, true, false, true},
                 {true, false, true, false},
                 {false, true, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.unique) + std::to_string(c.sameParent) +
                     std::to_string(c.firstGone));
        unique = c.unique;
        kmsim::ClearViolations();
        for (int i = 0; i < 2; i++) {
            kmsim::ReportPdo(child[i], parent[c.sameParent ? 0 : i]);
            kmsim::QueryDeviceIds(child[i]);
            if (i == 0 && c.firstGone)
                kmsim::SurpriseRemoveOnly(child[0]);
        }
        EXPECT_EQ(Reported("two devnodes with the device ID BUS\\DEV and the instance ID 0"),
                  c.reported)
            << ::testing::PrintToString(kmsim::Violations());
        for (int i = 0; i < 2; i++)
            kmsim::ForgetPdo(child[i]);
    }
    for (int i = 0; i < 2; i++) {
        kmsim::ForgetPdo(parent[i]);
        IoDeleteDevice(child[i]);
        IoDeleteDevice(parent[i]);
    }
    kmsim::DeleteDriverObject(bus);
    kmsim::Reset();
}

} // namespace
} // namespace verifier
