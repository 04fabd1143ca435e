// Request checks: a dispatch routine gives the IRQL back as it got it,
// returns STATUS_PENDING exactly when it marked the IRP pending, completes a
// request it does not pend before returning, and completes it only once.
#include "faulty_driver.h"

namespace verifier
{
namespace
{

// What a dispatch routine does with its IRP; `late` is done by the test
// after the routine has returned (a completion from elsewhere).
struct PendingCase {
    const char* name;
    std::function<NTSTATUS(PIRP)> dispatch;
    bool completeLater;
    const char* report; // "" when the routine keeps the rules
};

class PendingRuleTest : public FaultyDriverTest, public ::testing::WithParamInterface<PendingCase>
{
};

TEST_P(PendingRuleTest, StatusPendingMatchesTheMark)
{
    const PendingCase& c = GetParam();
    Body() = [&c](PDEVICE_OBJECT, PIRP irp) { return c.dispatch(irp); };
    PIRP irp;
    Send(&irp);
    if (c.completeLater)
        CompleteNow(irp, STATUS_SUCCESS);
    EXPECT_EQ(completions, 1);
    std::string expected = c.report;
    if (expected.empty()) {
        EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
    } else {
        ASSERT_EQ(kmsim::Violations().size(), 1u) << ::testing::PrintToString(kmsim::Violations());
        EXPECT_TRUE(Reported(expected)) << kmsim::Violations()[0];
        EXPECT_TRUE(Reported("\\Driver\\faulty 0x0E/0x00")) << kmsim::Violations()[0];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dispatch, PendingRuleTest,
    ::testing::Values(
        PendingCase{"CompletedAtOnce", [](PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS); },
                    false, ""},
        PendingCase{"FailedAtOnce",
                    [](PIRP irp) { return CompleteNow(irp, STATUS_INVALID_PARAMETER); }, false, ""},
        PendingCase{"MarkedAndPended",
                    [](PIRP irp) {
                        IoMarkIrpPending(irp);
                        return STATUS_PENDING;
                    },
                    true, ""},
        PendingCase{"MarkedCompletedAndPended",
                    [](PIRP irp) {
                        IoMarkIrpPending(irp);
                        CompleteNow(irp, STATUS_SUCCESS);
                        return STATUS_PENDING;
                    },
                    false, ""},
        PendingCase{"PendedWithoutMark", [](PIRP) { return STATUS_PENDING; }, true,
                    "returned STATUS_PENDING without IoMarkIrpPending"},
        PendingCase{"CompletedAndPendedWithoutMark",
                    [](PIRP irp) {
                        CompleteNow(irp, STATUS_SUCCESS);
                        return STATUS_PENDING;
                    },
                    false, "returned STATUS_PENDING without IoMarkIrpPending"},
        PendingCase{"MarkedButCompletedWithItsStatus",
                    [](PIRP irp) {
                        IoMarkIrpPending(irp);
                        return CompleteNow(irp, STATUS_SUCCESS);
                    },
                    false, "marked the IRP pending but returned 0x00000000"},
        PendingCase{"ReturnedWithoutCompleting", [](PIRP) { return STATUS_SUCCESS; }, true,
                    "returned 0x00000000 without completing the IRP"}),
    [](const ::testing::TestParamInfo<PendingCase>& info) { return std::string(info.param.name); });

// A filter above the faulty device passes requests on; the rules hold for
// each driver on its own stack location.
class FilterTest : public FaultyDriverTest
{
  protected:
    void SetUp() override
    {
        FaultyDriverTest::SetUp();
        filterDriver = kmsim::CreateDriverObject("filter");
        filterDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FilterDispatch;
        ASSERT_EQ(IoCreateDevice(filterDriver, 0, nullptr, 0, 0, FALSE, &filter), STATUS_SUCCESS);
        IoAttachDeviceToDeviceStack(filter, device);
        lower = device;
        Body() = [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            held = irp;
            return STATUS_PENDING;
        };
    }
    void TearDown() override
    {
        IoDetachDevice(device);
        IoDeleteDevice(filter);
        kmsim::DeleteDriverObject(filterDriver);
        FaultyDriverTest::TearDown();
    }
    NTSTATUS SendToFilter()
    {
        PIRP irp = IoAllocateIrp((CCHAR)(filter->StackSize + 1), FALSE);
        sent.push_back(irp);
        IoSetNextIrpStackLocation(irp);
        IoSetCompletionRoutine(irp, SenderCompletion, &completions, TRUE, TRUE, TRUE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        return IoCallDriver(filter, irp);
    }
    static NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT, PIRP irp) { return filterBody(irp); }

    static inline std::function<NTSTATUS(PIRP)> filterBody;
    static inline PDEVICE_OBJECT lower;
    static inline PIRP held;
    PDRIVER_OBJECT filterDriver = nullptr;
    PDEVICE_OBJECT filter = nullptr;
};

TEST_F(FilterTest, PassingOnAPendedRequestKeepsTheRules)
{
    // Skipping its location, copying it without a completion routine (the
    // I/O manager carries the mark up), or marking it itself: all fine.
    std::vector<std::function<NTSTATUS(PIRP)>> forwards = {
        [](PIRP irp) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(lower, irp);
        },
        [](PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(lower, irp);
        },
        [](PIRP irp) {
            IoMarkIrpPending(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoCallDriver(lower, irp);
            return STATUS_PENDING;
        },
    };
    for (size_t i = 0; i < forwards.size(); i++) {
        filterBody = forwards[i];
        completions = 0;
        EXPECT_EQ(SendToFilter(), STATUS_PENDING);
        CompleteNow(held, STATUS_SUCCESS);
        EXPECT_EQ(completions, 1);
        EXPECT_EQ(kmsim::Violations(), std::vector<std::string>()) << "forward " << i;
    }
}

TEST_F(FilterTest, FilterThatHidesThePendingOfTheDriverBelowIsReported)
{
    filterBody = [](PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        IoCallDriver(lower, irp);
        return STATUS_SUCCESS; // the lower driver pended it
    };
    EXPECT_EQ(SendToFilter(), STATUS_SUCCESS);
    CompleteNow(held, STATUS_SUCCESS);
    ASSERT_EQ(kmsim::Violations().size(), 1u);
    EXPECT_TRUE(Reported("\\Driver\\filter 0x0E/0x00 returned 0x00000000 without completing"))
        << kmsim::Violations()[0];
}

struct IrqlCase {
    const char* name;
    std::function<void()> inside;
    std::function<void()> cleanUp;
};

class IrqlRuleTest : public FaultyDriverTest, public ::testing::WithParamInterface<IrqlCase>
{
};

TEST_P(IrqlRuleTest, DispatchRoutineReturnsAtTheIrqlItWasCalledAt)
{
    Body() = [](PDEVICE_OBJECT, PIRP irp) {
        GetParam().inside();
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    Send();
    GetParam().cleanUp();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ASSERT_EQ(kmsim::Violations().size(), 1u);
    EXPECT_TRUE(Reported("\\Driver\\faulty 0x0E/0x00 called at IRQL 0 returned at IRQL"))
        << kmsim::Violations()[0];
}

FAST_MUTEX heldMutex;

INSTANTIATE_TEST_SUITE_P(Dispatch, IrqlRuleTest,
                         ::testing::Values(IrqlCase{"RaisedAndNotLowered",
                                                    [] {
                                                        KIRQL old;
                                                        KeRaiseIrql(DISPATCH_LEVEL, &old);
                                                    },
                                                    [] { KeLowerIrql(PASSIVE_LEVEL); }},
                                           IrqlCase{"FastMutexKept",
                                                    [] {
                                                        ExInitializeFastMutex(&heldMutex);
                                                        ExAcquireFastMutex(&heldMutex);
                                                    },
                                                    [] { ExReleaseFastMutex(&heldMutex); }}),
                         [](const ::testing::TestParamInfo<IrqlCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(FaultyDriverTest, BalancedIrqlChangesAreNotReported)
{
    Body() = [](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeLowerIrql(old);
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    Send();
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
}

// A request with room for one device sent to a stack two deep: the device
// below runs out of stack locations once it uses one of its own.
TEST_F(FaultyDriverTest, TooFewStackLocationsForTheTargetAreReported)
{
    Body() = [](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS); };
    device->StackSize = 2;
    PIRP irp = IoAllocateIrp(2, FALSE);
    sent.push_back(irp);
    IoSetNextIrpStackLocation(irp); // the sender's own location
    IoSetCompletionRoutine(irp, SenderCompletion, &completions, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoCallDriver(device, irp);
    ASSERT_EQ(kmsim::Violations().size(), 1u) << ::testing::PrintToString(kmsim::Violations());
    EXPECT_TRUE(Reported("fewer stack locations left"));
}

// Only a PDO has a device node for the PnP manager to enumerate again.
TEST_F(FaultyDriverTest, InvalidatingRelationsOfANonPdoIsReported)
{
    IoInvalidateDeviceRelations(device, BusRelations);
    ASSERT_EQ(kmsim::Violations().size(), 1u);
    EXPECT_TRUE(Reported("not a PDO"));
    EXPECT_EQ(kmsim::PendingInvalidations(), 0u);
}

TEST_F(FaultyDriverTest, RequestCompletedTwiceIsReported)
{
    Body() = [](PDEVICE_OBJECT, PIRP irp) {
        CompleteNow(irp, STATUS_SUCCESS);
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    Send();
    EXPECT_EQ(completions, 1);
    ASSERT_EQ(kmsim::Violations().size(), 1u);
    EXPECT_TRUE(Reported("completed twice")) << kmsim::Violations()[0];
}

TEST_F(FaultyDriverTest, RequestCompletedAfterItWasFreedIsReported)
{
    PIRP irp;
    Body() = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    };
    Send(&irp);
    CompleteNow(irp, STATUS_SUCCESS);
    IoFreeIrp(irp);
    sent.clear();
    kmsim::ClearViolations();
    IoCompleteRequest(irp, IO_NO_INCREMENT); // a stale pointer: the memory is quarantined
    EXPECT_TRUE(Reported("does not exist (completed twice?)"));
}

} // namespace
} // namespace verifier
