// Checks on dispatcher objects and on the memory a request describes: an
// event used before KeInitializeEvent, a user buffer reached through its
// user address outside the caller's context.
#include "faulty_driver.h"

#include <atomic>
#include <cstddef>
#include <thread>

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

// Sends a request carrying `user`, on this thread or on another one
// (another process's context), and frees it.
void SendCarrying(PDEVICE_OBJECT device, kmsim::UserBuffer& user, bool anotherContext = true)
{
    auto send = [&] {
        int completions = 0;
        PIRP irp = IoAllocateIrp((CCHAR)(device->StackSize + 1), FALSE);
        IoSetNextIrpStackLocation(irp);
        IoSetCompletionRoutine(irp, SenderCompletion, &completions, TRUE, TRUE, TRUE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        irp->MdlAddress = user.Mdl();
        IoCallDriver(device, irp);
        irp->MdlAddress = NULL;
        IoFreeIrp(irp);
    };
    if (!anotherContext) {
        send();
        return;
    }
    std::thread other(send);
    other.join();
}

TEST_F(FaultyDriverTest, UserAddressUsedOutsideTheCallersContextIsReported)
{
    kmsim::UserBuffer user(32);
    Body() = [](PDEVICE_OBJECT, PIRP irp) {
        ((volatile UCHAR*)MmGetMdlVirtualAddress(irp->MdlAddress))[0] = 1;
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    SendCarrying(device, user);
    EXPECT_TRUE(Reported("user buffer accessed through its user address outside the caller's "
                         "context"));
    kmsim::ClearViolations();
    // The caller itself may use its buffer; once it is unmapped nobody may.
    user.data()[1] = 2;
    user.Unmap();
    Body() = [](PDEVICE_OBJECT, PIRP irp) {
        ((volatile UCHAR*)MmGetMdlVirtualAddress(irp->MdlAddress))[2] = 3;
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    SendCarrying(device, user, false);
    ASSERT_EQ(kmsim::Violations().size(), 1u);
    EXPECT_TRUE(Reported("after the caller unmapped it"));
    EXPECT_EQ(user.Contents()[1], 2);
}

TEST_F(FaultyDriverTest, SystemMappingOfAUserBufferIsNotReported)
{
    kmsim::UserBuffer user(32);
    Body() = [](PDEVICE_OBJECT, PIRP irp) {
        PUCHAR system = (PUCHAR)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
        if (system != NULL)
            system[0] = 7;
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    SendCarrying(device, user);
    user.Unmap();
    SendCarrying(device, user);
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
    EXPECT_EQ(user.Contents()[0], 7);
}

// Once its dispatch routine pended the request, the caller goes on: the
// thread that finishes the request is not in the caller's context.
TEST_F(FaultyDriverTest, UserAddressUsedAfterTheRequestWasPendedIsReported)
{
    kmsim::UserBuffer user(32);
    static std::atomic<bool> dispatchReturned;
    static std::thread late;
    dispatchReturned = false;
    Body() = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        late = std::thread([irp] {
            while (!dispatchReturned)
                std::this_thread::yield();
            ((volatile UCHAR*)MmGetMdlVirtualAddress(irp->MdlAddress))[0] = 1;
            CompleteNow(irp, STATUS_SUCCESS);
        });
        return STATUS_PENDING;
    };
    PIRP irp = IoAllocateIrp((CCHAR)(device->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);
    IoSetCompletionRoutine(irp, SenderCompletion, &completions, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    irp->MdlAddress = user.Mdl();
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    dispatchReturned = true;
    late.join();
    user.data()[1] = 2; // the caller, back in its own context
    irp->MdlAddress = NULL;
    IoFreeIrp(irp);
    EXPECT_EQ(completions, 1);
    ASSERT_EQ(kmsim::Violations().size(), 1u);
    EXPECT_TRUE(Reported("outside the caller's context"));
}

// Lock order: a lock taken against the declared ranks, and two unnamed
// locks taken in both orders by one thread (so no deadlock ever happens),
// are each reported, once; locks named by their place in an extension are
// known in every device's extension, whichever device sits next to it.
TEST(LockOrderTest, AgainstTheDeclaredOrderAndACycleAreReported)
{
    kmsim::Reset();
    kmsim::ResetLockOrder();
    static FAST_MUTEX first, second, x, y;
    for (PFAST_MUTEX m : {&first, &second, &x, &y})
        ExInitializeFastMutex(m);
    kmsim::NameGlobalLock("First", &first, 0);
    kmsim::NameGlobalLock("Second", &second, 1);
    auto nested = [](PFAST_MUTEX outer, PFAST_MUTEX inner) {
        ExAcquireFastMutex(outer);
        ExAcquireFastMutex(inner);
        ExReleaseFastMutex(inner);
        ExReleaseFastMutex(outer);
    };
    nested(&first, &second);
    nested(&x, &y);
    EXPECT_TRUE(kmsim::Violations().empty());
    nested(&second, &first);
    nested(&second, &first);
    nested(&y, &x);
    std::vector<std::string> v = kmsim::Violations();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], "lock order: First taken while holding Second, against the declared order");
    EXPECT_NE(v[1].find(", and the other way round before (a cycle)"), std::string::npos) << v[1];

    struct Locks {
        FAST_MUTEX outer, inner;
    };
    PDEVICE_OBJECT devices[3];
    for (PDEVICE_OBJECT& d : devices)
        ASSERT_EQ(IoCreateDevice(NULL, sizeof(Locks), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &d),
                  STATUS_SUCCESS);
    for (PDEVICE_OBJECT d : devices) {
        kmsim::ResetLockOrder();
        kmsim::ClearViolations();
        kmsim::NameExtensionLock("Outer", offsetof(Locks, outer), 0);
        kmsim::NameExtensionLock("Inner", offsetof(Locks, inner), 1);
        Locks* l = (Locks*)d->DeviceExtension;
        ExInitializeFastMutex(&l->outer);
        ExInitializeFastMutex(&l->inner);
        nested(&l->outer, &l->inner);
        EXPECT_TRUE(kmsim::Violations().empty());
        nested(&l->inner, &l->outer);
        EXPECT_EQ(kmsim::Violations(),
                  std::vector<std::string>{
                      "lock order: Outer taken while holding Inner, against the declared order"});
    }
    for (PDEVICE_OBJECT d : devices)
        IoDeleteDevice(d);
    kmsim::ResetLockOrder();
    kmsim::Reset();
}

} // namespace
} // namespace verifier
