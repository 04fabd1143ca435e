// Plug and Play and power requests on the FDOs and the child PDO, sent by
// the simulated PnP and power managers through the whole device stack.
#include "driver_fixture.h"

using namespace spine;

namespace
{

class PnpTest : public DriverFixture
{
  protected:
    sbp2sim::Printer* printer = nullptr;
    PDEVICE_OBJECT pdo0 = nullptr, fdo0 = nullptr, child = nullptr;

    void Start(bool legacy = false)
    {
        kmsim::SetLegacyPlatform(legacy);
        Load();
        printer = PlugBoth(sbp2sim::PrinterConfig());
        pdo0 = sbp2sim::UnitPdo(printer, 0);
        fdo0 = Fdo(printer, 0);
        ASSERT_NE(fdo0, nullptr);
        child = Ext(fdo0)->ChildPdo;
    }

    static PCHILD_EXTENSION ChildExt(PDEVICE_OBJECT d)
    {
        return (PCHILD_EXTENSION)d->DeviceExtension;
    }
};

struct QueryCase {
    const char* name;
    UCHAR query;
    UCHAR cancel;
};

class QueryCancelTest : public PnpTest, public ::testing::WithParamInterface<QueryCase>
{
};

TEST_P(QueryCancelTest, CancelRestoresTheEarlierState)
{
    Start();
    ASSERT_NE(child, nullptr);
    for (PDEVICE_OBJECT device : {pdo0, child}) {
        PDEVICE_EXTENSION ext = Ext(device == pdo0 ? fdo0 : child);
        UCHAR before = ext->PnpState;
        EXPECT_EQ(kmsim::SendPnp(device, GetParam().query).status, STATUS_SUCCESS);
        EXPECT_EQ(ext->PnpState, GetParam().query);
        EXPECT_EQ(ext->PrevPnpState, before);
        EXPECT_EQ(kmsim::SendPnp(device, GetParam().cancel).status, STATUS_SUCCESS);
        EXPECT_EQ(ext->PnpState, before);
        EXPECT_EQ(ext->PrevPnpState, PNP_STATE_NONE);
        EXPECT_EQ(ext->IoCount, 1);
    }
    // a cancel that does not match the recorded query changes nothing
    UCHAR other = GetParam().cancel == IRP_MN_CANCEL_STOP_DEVICE ? IRP_MN_CANCEL_REMOVE_DEVICE
                                                                 : IRP_MN_CANCEL_STOP_DEVICE;
    kmsim::SendPnp(pdo0, GetParam().query);
    kmsim::SendPnp(pdo0, other);
    EXPECT_EQ(Ext(fdo0)->PnpState, GetParam().query);
    kmsim::SendPnp(pdo0, GetParam().cancel);
}

INSTANTIATE_TEST_SUITE_P(
    Queries, QueryCancelTest,
    ::testing::Values(QueryCase{"Stop", IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
                      QueryCase{"Remove", IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}),
    [](const auto& info) { return std::string(info.param.name); });

// Requests the FDO does not handle reach the port driver and the count
// comes back to its base.
TEST_F(PnpTest, FdoPassesOtherRequestsDownWithTheCountBalanced)
{
    Start();
    DEVICE_CAPABILITIES caps;
    memset(&caps, 0, sizeof caps);
    struct {
        UCHAR minor;
        std::function<void(PIO_STACK_LOCATION)> setup;
        NTSTATUS expected;
    } cases[] = {
        {IRP_MN_QUERY_CAPABILITIES,
         [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; },
         STATUS_SUCCESS},
        {IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr, STATUS_NOT_SUPPORTED},
        {IRP_MN_QUERY_RESOURCES, nullptr, STATUS_NOT_SUPPORTED},
        {0x18, nullptr, STATUS_NOT_SUPPORTED},
        {IRP_MN_QUERY_DEVICE_RELATIONS,
         [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = RemovalRelations; },
         STATUS_NOT_SUPPORTED},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(int(c.minor));
        size_t seen = sbp2sim::CountersOf(printer).pnp[0].size();
        EXPECT_EQ(kmsim::SendPnp(pdo0, c.minor, c.setup).status, c.expected);
        ASSERT_EQ(sbp2sim::CountersOf(printer).pnp[0].size(), seen + 1);
        EXPECT_EQ(sbp2sim::CountersOf(printer).pnp[0].back(), c.minor);
        EXPECT_EQ(Ext(fdo0)->IoCount, 1);
    }
    EXPECT_TRUE(caps.Removable); // answered by the port driver
}

TEST_F(PnpTest, FdoIdQueryAndDeviceTextComeFromThePort)
{
    Start();
    auto id = kmsim::SendPnp(pdo0, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION s) {
        s->Parameters.QueryId.IdType = BusQueryDeviceID;
    });
    ASSERT_EQ(id.status, STATUS_SUCCESS);
    EXPECT_EQ(kmsim::Narrow((PCWSTR)id.information), "SBP2\\QXZR&P-1&LUN0");
    ExFreePool((PVOID)id.information);
    auto text = kmsim::SendPnp(pdo0, IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION s) {
        s->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
    });
    ASSERT_EQ(text.status, STATUS_SUCCESS);
    EXPECT_EQ(kmsim::Narrow((PCWSTR)text.information), "QXZR P-1");
    ExFreePool((PVOID)text.information);

    // the child's text comes from its parent's stack too
    ASSERT_NE(child, nullptr);
    text = kmsim::SendPnp(child, IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION s) {
        s->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
    });
    ASSERT_EQ(text.status, STATUS_SUCCESS);
    EXPECT_EQ(kmsim::Narrow((PCWSTR)text.information), "QXZR P-1");
    ExFreePool((PVOID)text.information);
    // other ID types of the child keep the status they came with
    auto serial = kmsim::SendPnp(child, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION s) {
        s->Parameters.QueryId.IdType = BusQueryDeviceSerialNumber;
    });
    EXPECT_EQ(serial.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Ext(fdo0)->IoCount, 1);
    EXPECT_EQ(ChildExt(child)->IoCount, 1);
}

struct UsageCase {
    const char* name;
    DEVICE_USAGE_NOTIFICATION_TYPE type;
    BOOLEAN inPath;
    bool afterRestart; // PnpState is then IRP_MN_STOP_DEVICE, not 0
    NTSTATUS fdo;
    NTSTATUS child; // the child is born in the stopped state
};

class UsageTest : public PnpTest, public ::testing::WithParamInterface<UsageCase>
{
};

TEST_P(UsageTest, UsageNotification)
{
    const UsageCase& c = GetParam();
    Start();
    ASSERT_NE(child, nullptr);
    if (c.afterRestart) {
        ASSERT_EQ(kmsim::Rebalance(pdo0), STATUS_SUCCESS);
        ASSERT_EQ(kmsim::Rebalance(child), STATUS_SUCCESS);
    }
    auto setup = [&](PIO_STACK_LOCATION s) {
        s->Parameters.UsageNotification.Type = c.type;
        s->Parameters.UsageNotification.InPath = c.inPath;
    };
    EXPECT_EQ(kmsim::SendPnp(pdo0, IRP_MN_DEVICE_USAGE_NOTIFICATION, setup).status, c.fdo);
    EXPECT_EQ(kmsim::SendPnp(child, IRP_MN_DEVICE_USAGE_NOTIFICATION, setup).status, c.child);
    EXPECT_EQ(Ext(fdo0)->IoCount, 1);
    EXPECT_EQ(ChildExt(child)->IoCount, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Types, UsageTest,
    ::testing::Values(UsageCase{"PagingFresh", DeviceUsageTypePaging, TRUE, false, STATUS_SUCCESS,
                                STATUS_DEVICE_NOT_READY},
                      UsageCase{"PagingAfterStop", DeviceUsageTypePaging, TRUE, true,
                                STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_READY},
                      UsageCase{"PagingLeavingAfterStop", DeviceUsageTypePaging, FALSE, true,
                                STATUS_SUCCESS, STATUS_SUCCESS},
                      UsageCase{"Hibernation", DeviceUsageTypeHibernation, TRUE, true,
                                STATUS_SUCCESS, STATUS_SUCCESS},
                      UsageCase{"DumpFile", DeviceUsageTypeDumpFile, TRUE, false, STATUS_SUCCESS,
                                STATUS_SUCCESS},
                      UsageCase{"Undefined", DeviceUsageTypeUndefined, TRUE, false,
                                STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
                      UsageCase{"Boot", DeviceUsageTypeBoot, TRUE, false, STATUS_INVALID_PARAMETER,
                                STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PnpTest, ChildAnswersAsItsOwnBusDriver)
{
    Start();
    ASSERT_NE(child, nullptr);
    DEVICE_CAPABILITIES caps;
    memset(&caps, 0, sizeof caps);
    EXPECT_EQ(kmsim::SendPnp(child, IRP_MN_QUERY_CAPABILITIES,
                             [&](PIO_STACK_LOCATION s) {
                                 s->Parameters.DeviceCapabilities.Capabilities = &caps;
                             })
                  .status,
              STATUS_SUCCESS);
    EXPECT_TRUE(caps.UniqueID && caps.RawDeviceOK && caps.SurpriseRemovalOK);

    auto target = kmsim::SendPnp(child, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
        s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    });
    ASSERT_EQ(target.status, STATUS_SUCCESS);
    PDEVICE_RELATIONS rel = (PDEVICE_RELATIONS)target.information;
    ASSERT_EQ(rel->Count, 1u);
    EXPECT_EQ(rel->Objects[0], child);
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_TARGET_RELATIONS), 1u);
    ObDereferenceObject(rel->Objects[0]);
    ExFreePool(rel);

    EXPECT_EQ(kmsim::SendPnp(child, 0x18).status, STATUS_NOT_SUPPORTED); // unknown: untouched
    EXPECT_TRUE(ChildExt(child)->Flags & FLAG_STARTED);
    EXPECT_EQ(ChildExt(child)->IoCount, 1);
}

// Relations other than its target are not the child's to answer: the
// request keeps the status and the list it came with, and nothing leaks.
TEST_F(PnpTest, ChildLeavesOtherRelationQueriesAsTheyCame)
{
    Start();
    ASSERT_NE(child, nullptr);
    for (DEVICE_RELATION_TYPE type : {BusRelations, EjectionRelations, RemovalRelations}) {
        SCOPED_TRACE(int(type));
        auto r = kmsim::SendPnp(child, IRP_MN_QUERY_DEVICE_RELATIONS, [type](PIO_STACK_LOCATION s) {
            s->Parameters.QueryDeviceRelations.Type = type;
        });
        EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(r.information, 0u);
    }
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_TARGET_RELATIONS), 0u);
    EXPECT_EQ(kmsim::ExtraReferenceCount(), 0u);
    EXPECT_EQ(ChildExt(child)->IoCount, 1);
}

TEST_F(PnpTest, ChildTargetRelationWithoutMemory)
{
    Start();
    ASSERT_NE(child, nullptr);
    kmsim::FailTag(TAG_TARGET_RELATIONS);
    auto r = kmsim::SendPnp(child, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
        s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    });
    EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kmsim::ExtraReferenceCount(), 0u);
}

struct PowerCase {
    const char* name;
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state; // a SYSTEM_POWER_STATE or DEVICE_POWER_STATE
    ULONG openCount;
    NTSTATUS child;
};

class ChildPowerTest : public PnpTest, public ::testing::WithParamInterface<PowerCase>
{
};

// A query may be refused while the port is open; a set-power may not (the
// system sleeps anyway), and a child that cannot wake never reports a wake.
TEST_P(ChildPowerTest, ChildPowerDependsOnTheOpenPort)
{
    const PowerCase& c = GetParam();
    Start();
    ASSERT_NE(child, nullptr);
    Ext(fdo0)->OpenCount = c.openCount;
    EXPECT_EQ(kmsim::SendPowerState(child, c.minor, c.type, c.state).status, c.child);
    Ext(fdo0)->OpenCount = 0;
}

INSTANTIATE_TEST_SUITE_P(
    Minors, ChildPowerTest,
    ::testing::Values(PowerCase{"SetSystemClosed", IRP_MN_SET_POWER, SystemPowerState,
                                PowerSystemSleeping3, 0, STATUS_SUCCESS},
                      PowerCase{"SetSystemOpen", IRP_MN_SET_POWER, SystemPowerState,
                                PowerSystemSleeping3, 1, STATUS_SUCCESS},
                      PowerCase{"SetDeviceOpen", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3,
                                1, STATUS_SUCCESS},
                      PowerCase{"QueryClosed", IRP_MN_QUERY_POWER, SystemPowerState,
                                PowerSystemSleeping3, 0, STATUS_SUCCESS},
                      PowerCase{"QueryOpen", IRP_MN_QUERY_POWER, SystemPowerState,
                                PowerSystemSleeping3, 2, STATUS_DEVICE_POWER_FAILURE},
                      PowerCase{"QueryDeviceOpen", IRP_MN_QUERY_POWER, DevicePowerState,
                                PowerDeviceD3, 1, STATUS_DEVICE_POWER_FAILURE},
                      PowerCase{"WaitWakeClosed", IRP_MN_WAIT_WAKE, SystemPowerState,
                                PowerSystemSleeping1, 0, STATUS_NOT_SUPPORTED},
                      PowerCase{"WaitWakeOpen", IRP_MN_WAIT_WAKE, SystemPowerState,
                                PowerSystemSleeping1, 1, STATUS_NOT_SUPPORTED},
                      PowerCase{"SequenceOpen", IRP_MN_POWER_SEQUENCE, SystemPowerState, 0, 1,
                                STATUS_DEVICE_POWER_FAILURE},
                      PowerCase{"SequenceClosed", IRP_MN_POWER_SEQUENCE, SystemPowerState, 0, 0,
                                STATUS_NOT_IMPLEMENTED},
                      PowerCase{"Unknown", 0x07, SystemPowerState, 0, 0, STATUS_NOT_SUPPORTED}),
    [](const auto& info) { return std::string(info.param.name); });

// Every device object of a stack is pageable for power or none is: the FDO
// follows the port's PDO, and the child (a stack of its own) is pageable.
TEST_F(PnpTest, PowerPagingFollowsTheDeviceBelow)
{
    Start();
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(pdo0->Flags & DO_POWER_PAGABLE);
    EXPECT_TRUE(fdo0->Flags & DO_POWER_PAGABLE);
    EXPECT_TRUE(Fdo(printer, 1)->Flags & DO_POWER_PAGABLE);
    EXPECT_TRUE(child->Flags & DO_POWER_PAGABLE);
    EXPECT_EQ(kmsim::SendPower(pdo0, IRP_MN_QUERY_POWER).status, STATUS_SUCCESS);
}

TEST_F(PnpTest, FdoPowerAndSystemControlGoToThePort)
{
    Start();
    EXPECT_EQ(kmsim::SendPower(pdo0, IRP_MN_SET_POWER).status, STATUS_SUCCESS);
    EXPECT_EQ(sbp2sim::CountersOf(printer).power[0].back(), IRP_MN_SET_POWER);
    EXPECT_EQ(kmsim::SendIrp(pdo0, IRP_MJ_SYSTEM_CONTROL, 0).status, STATUS_NOT_SUPPORTED);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(kmsim::SendIrp(child, IRP_MJ_SYSTEM_CONTROL, 0).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Ext(fdo0)->IoCount, 1);
    EXPECT_EQ(ChildExt(child)->IoCount, 1);
}

TEST_F(PnpTest, StopAndRestartKeepTheBaseReference)
{
    Start();
    for (int round = 0; round < 3; round++) {
        ASSERT_EQ(kmsim::SendPnp(pdo0, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
        ASSERT_EQ(kmsim::SendPnp(pdo0, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
        EXPECT_FALSE(Ext(fdo0)->Flags & FLAG_STARTED);
        EXPECT_EQ(Ext(fdo0)->IoCount, 0);
        EXPECT_EQ(Ext(fdo0)->PnpState, IRP_MN_STOP_DEVICE);
        ASSERT_EQ(kmsim::StartDevice(pdo0), STATUS_SUCCESS);
        EXPECT_TRUE(Ext(fdo0)->Flags & FLAG_STARTED);
        EXPECT_EQ(Ext(fdo0)->IoCount, 1);
        EXPECT_EQ(KeReadStateEvent(&Ext(fdo0)->IoIdleEvent), 0);
    }
}

} // namespace
