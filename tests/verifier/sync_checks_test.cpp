// Checks on dispatcher objects and on the memory a request describes: an
// event used before KeInitializeEvent.
#include "faulty_driver.h"

namespace verifier
{
namespace
{

const ULONG kEventTag = 0x4C457674; // "tvEL"

// The driver's extension is zeroed and pool is not: an event in either
// that KeInitializeEvent never saw is reported by every routine using it.
TEST_F(FaultyDriverTest, EventUsedWithoutInitialisationIsReported)
{
    Body() = [](PDEVICE_OBJECT, PIRP irp) {
        KEVENT zeroed = {};
        KeSetEvent(&zeroed, IO_NO_INCREMENT, FALSE);
        KeClearEvent(&zeroed);
        PKEVENT pool = (PKEVENT)ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kEventTag);
        KeReadStateEvent(pool);
        KeWaitForSingleObject(pool, Executive, KernelMode, FALSE, NULL);
        ExFreePool(pool);
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    Send();
    std::vector<std::string> v = kmsim::Violations();
    ASSERT_EQ(v.size(), 4u);
    EXPECT_TRUE(Reported("KeSetEvent on an event never initialised"));
    EXPECT_TRUE(Reported("KeClearEvent on an event never initialised"));
    EXPECT_TRUE(Reported("KeReadStateEvent on an event never initialised"));
    EXPECT_TRUE(Reported("KeWaitForSingleObject on an event never initialised"));
}

TEST_F(FaultyDriverTest, InitialisedEventsAreNotReported)
{
    Body() = [](PDEVICE_OBJECT, PIRP irp) {
        PKEVENT pool = (PKEVENT)ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kEventTag);
        KeInitializeEvent(pool, SynchronizationEvent, TRUE);
        KeWaitForSingleObject(pool, Executive, KernelMode, FALSE, NULL);
        KeSetEvent(pool, IO_NO_INCREMENT, FALSE);
        KeResetEvent(pool);
        ExFreePool(pool);
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    Send();
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
}

} // namespace
} // namespace verifier
