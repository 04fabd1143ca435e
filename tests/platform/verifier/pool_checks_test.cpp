// Pool checks: guards around every block, poisoned and quarantined freed
// blocks, pool charged to the driver that allocated it and reported by tag
// when that driver unloads, and devices deleted twice.
#include "faulty_driver.h"

#include <set>

namespace verifier
{
namespace
{

const ULONG kTestTag = 0x3130744C; // "Lt01"

class PoolChecksTest : public ::testing::Test
{
  protected:
    void SetUp() override { kmsim::Reset(); }
    void TearDown() override { kmsim::Reset(); }
};

struct StrayWrite {
    const char* name;
    POOL_TYPE type;
    SIZE_T bytes;
    long offset; // relative to the block's start
    const char* report;
};

class StrayWriteTest : public PoolChecksTest, public ::testing::WithParamInterface<StrayWrite>
{
};

TEST_P(StrayWriteTest, IsReportedWithTheTagWhenTheBlockIsFreed)
{
    const StrayWrite& c = GetParam();
    UCHAR* p = (UCHAR*)ExAllocatePoolWithTag(c.type, c.bytes, kTestTag);
    ASSERT_NE(p, nullptr);
    RawWrite(p, c.offset, 0x00);
    EXPECT_TRUE(kmsim::Violations().empty()); // found at the free, not before
    ExFreePool(p);
    ASSERT_EQ(kmsim::Violations().size(), 1u);
    EXPECT_TRUE(Reported(c.report)) << kmsim::Violations()[0];
    EXPECT_TRUE(Reported("Lt01")) << kmsim::Violations()[0];
}

INSTANTIATE_TEST_SUITE_P(
    Guards, StrayWriteTest,
    ::testing::Values(StrayWrite{"OneBytePast", NonPagedPool, 24, 24, "overrun"},
                      StrayWrite{"LastGuardByte", NonPagedPool, 24, 24 + 15, "overrun"},
                      StrayWrite{"OddSizedBlock", PagedPool, 7, 7, "overrun"},
                      StrayWrite{"EmptyBlock", NonPagedPool, 0, 0, "overrun"},
                      StrayWrite{"OneByteBefore", NonPagedPool, 24, -1, "underrun"},
                      StrayWrite{"CacheAlignedBefore", NonPagedPoolCacheAligned, 100, -64,
                                 "underrun"}),
    [](const ::testing::TestParamInfo<StrayWrite>& info) { return std::string(info.param.name); });

TEST_F(PoolChecksTest, WritesInsideTheBlockAreNotReported)
{
    UCHAR* p = (UCHAR*)ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 100, kTestTag);
    EXPECT_EQ((ULONG_PTR)p % 64, 0u);
    memset(p, 0x55, 100);
    ExFreePool(p);
    EXPECT_TRUE(kmsim::Violations().empty());
}

TEST_F(PoolChecksTest, FreedBlockIsPoisonedAndAWriteAfterTheFreeIsCaught)
{
    UCHAR* p = (UCHAR*)ExAllocatePoolWithTag(NonPagedPool, 32, kTestTag);
    memset(p, 0x11, 32);
    ExFreePool(p);
    for (long i = 0; i < 32; i++)
        ASSERT_EQ(RawRead(p, i), 0xDF) << "byte " << i;
    kmsim::CheckQuarantine();
    EXPECT_TRUE(kmsim::Violations().empty());

    RawWrite(p, 5, 0x42);
    kmsim::CheckQuarantine();
    EXPECT_TRUE(Reported("Lt01 (32 bytes) written after it was freed"));
}

TEST_F(PoolChecksTest, FreedBlocksAreNotHandedOutAgainSoon)
{
    void* freed = ExAllocatePoolWithTag(NonPagedPool, 48, kTestTag);
    ExFreePool(freed);
    std::vector<void*> later;
    for (int i = 0; i < 500; i++) {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 48, kTestTag);
        EXPECT_NE(p, freed);
        later.push_back(p);
    }
    for (void* p : later)
        ExFreePool(p);
    EXPECT_TRUE(kmsim::Violations().empty());
}

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer the freed block is poisoned for it as well: an
// ordinary read of it stops the program where it happens.
TEST_F(PoolChecksTest, ReadAfterFreeStopsUnderAddressSanitizer)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            volatile UCHAR* p = (UCHAR*)ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
            ExFreePool((PVOID)p);
            (void)p[3];
        },
        "use-after-poison");
}
#endif

TEST_F(PoolChecksTest, DoubleFreeIsReported)
{
    void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
    ExFreePool(p);
    ExFreePool(p);
    EXPECT_TRUE(Reported("double free"));
}

// Lookaside lists: each entry goes back once, to the list it came from; a
// list is deleted with no entry out and before the memory that holds it
// goes; its reserved Flags are 0. Its entries fail as the pool's do.
TEST_F(PoolChecksTest, LookasideListRules)
{
    struct Holder {
        NPAGED_LOOKASIDE_LIST list;
    };
    Holder* holder = (Holder*)ExAllocatePoolWithTag(NonPagedPool, sizeof(Holder), kTestTag);
    NPAGED_LOOKASIDE_LIST other;
    ExInitializeNPagedLookasideList(&holder->list, NULL, NULL, 0, 64, kTestTag, 8);
    ExInitializeNPagedLookasideList(&other, NULL, NULL, 2, 64, kTestTag, 8);
    PVOID a = ExAllocateFromNPagedLookasideList(&holder->list);
    PVOID b = ExAllocateFromNPagedLookasideList(&holder->list);
    ExFreeToNPagedLookasideList(&other, a);
    ExFreeToNPagedLookasideList(&holder->list, a);
    ExFreeToNPagedLookasideList(&holder->list, a);
    ExFreePool(b);
    kmsim::FailTag(kTestTag);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&holder->list), nullptr);
    kmsim::ClearFailures();
    EXPECT_EQ(kmsim::Violations(),
              std::vector<std::string>(
                  {"ExInitializeNPagedLookasideList with Flags 2: the argument is reserved and "
                   "must be 0",
                   "ExFreeToNPagedLookasideList of an entry this list does not have out (given "
                   "back twice, or another list's)",
                   "ExFreeToNPagedLookasideList of an entry this list does not have out (given "
                   "back twice, or another list's)",
                   "ExFreePool of a lookaside list's entry (ExFreeToNPagedLookasideList gives it "
                   "back)"}));
    kmsim::ClearViolations();

    PVOID c = ExAllocateFromNPagedLookasideList(&holder->list);
    ExDeleteNPagedLookasideList(&holder->list);
    ExFreePool(c);
    ExInitializeNPagedLookasideList(&holder->list, NULL, NULL, 0, 64, kTestTag, 8);
    ExFreePool(holder);
    EXPECT_EQ(kmsim::Violations(),
              std::vector<std::string>({"lookaside list deleted with 1 entries still out",
                                        "pool block 'Lt01' freed while it holds a lookaside "
                                        "list that is still initialised "
                                        "(ExDeleteNPagedLookasideList first)"}));
    kmsim::ClearViolations();
    ExDeleteNPagedLookasideList(&other);

    // The usual home of a driver's list is a device extension.
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(nullptr, sizeof(Holder), nullptr, 0, 0, FALSE, &device),
              STATUS_SUCCESS);
    ExInitializeNPagedLookasideList(&((Holder*)device->DeviceExtension)->list, NULL, NULL, 0, 64,
                                    kTestTag, 8);
    IoDeleteDevice(device);
    EXPECT_EQ(
        kmsim::Violations(),
        std::vector<std::string>({"IoDeleteDevice of a device while it holds a lookaside list that "
                                  "is still initialised (ExDeleteNPagedLookasideList "
                                  "first)"}));
    EXPECT_TRUE(kmsim::LookasideLists().empty());
}

// ---- pool charged to a driver, reported at its unload ----------------------------

std::function<void(PDRIVER_OBJECT)>& EntryBody()
{
    static std::function<void(PDRIVER_OBJECT)> body;
    return body;
}

NTSTATUS NTAPI LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    EntryBody()(driver);
    return STATUS_SUCCESS;
}

struct Leak {
    const char* name;
    std::function<void(PDRIVER_OBJECT)> entry;
    const char* report; // "" when nothing may be reported
};

class UnloadLeakTest : public PoolChecksTest, public ::testing::WithParamInterface<Leak>
{
};

TEST_P(UnloadLeakTest, ReportsWhatTheDriverLeftByTag)
{
    EntryBody() = GetParam().entry;
    PDRIVER_OBJECT driver = kmsim::LoadDriver(LeakyEntry, "leaky");
    ASSERT_NE(driver, nullptr);
    // The test's own allocation is nobody's driver's.
    void* mine = ExAllocatePoolWithTag(NonPagedPool, 8, 0x656E694D);
    kmsim::UnloadDriver(driver);
    ExFreePool(mine);
    std::string expected = GetParam().report;
    if (expected.empty()) {
        EXPECT_TRUE(kmsim::Violations().empty());
    } else {
        ASSERT_EQ(kmsim::Violations().size(), 1u);
        EXPECT_TRUE(Reported("\\Driver\\leaky unloaded with pool left"));
        EXPECT_TRUE(Reported(expected)) << kmsim::Violations()[0];
        EXPECT_FALSE(Reported("Mine"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Entry, UnloadLeakTest,
    ::testing::Values(
        Leak{"Pool", [](PDRIVER_OBJECT) { ExAllocatePoolWithTag(PagedPool, 40, kTestTag); },
             "Lt01: 1 (40 bytes)"},
        Leak{"Irp", [](PDRIVER_OBJECT) { IoAllocateIrp(2, FALSE); }, "Irp : 1"},
        Leak{"Mdl",
             [](PDRIVER_OBJECT) {
                 static UCHAR data[64];
                 IoAllocateMdl(data, sizeof data, FALSE, FALSE, NULL);
             },
             "Mdl : 1"},
        Leak{"FreedAgain",
             [](PDRIVER_OBJECT) { ExFreePool(ExAllocatePoolWithTag(PagedPool, 40, kTestTag)); },
             ""},
        Leak{"FreedByUnload",
             [](PDRIVER_OBJECT d) {
                 static void* kept;
                 kept = ExAllocatePoolWithTag(PagedPool, 40, kTestTag);
                 d->DriverUnload = [](PDRIVER_OBJECT) { ExFreePool(kept); };
             },
             ""}),
    [](const ::testing::TestParamInfo<Leak>& info) { return std::string(info.param.name); });

NTSTATUS NTAPI AllocatingDispatch(PDEVICE_OBJECT, PIRP irp)
{
    ExAllocatePoolWithTag(NonPagedPool, 12, kTestTag); // never freed
    return CompleteNow(irp, STATUS_SUCCESS);
}

TEST_F(PoolChecksTest, PoolAllocatedInADispatchRoutineIsChargedToItsDriver)
{
    EntryBody() = [](PDRIVER_OBJECT d) {
        d->MajorFunction[IRP_MJ_DEVICE_CONTROL] = AllocatingDispatch;
    };
    PDRIVER_OBJECT driver = kmsim::LoadDriver(LeakyEntry, "leaky");
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, 0, 0, FALSE, &device), STATUS_SUCCESS);
    kmsim::SendIrp(device, IRP_MJ_DEVICE_CONTROL, 0);
    EXPECT_EQ(kmsim::LeakReportOf(driver), "Lt01: 1 (12 bytes)\n");
    IoDeleteDevice(device);
    kmsim::UnloadDriver(driver);
    EXPECT_TRUE(Reported("Lt01: 1 (12 bytes)"));
}

// ---- devices deleted twice -----------------------------------------------------------

TEST_F(PoolChecksTest, DeviceDeletedTwiceIsReported)
{
    for (bool referenced : {false, true}) {
        kmsim::ClearViolations();
        PDEVICE_OBJECT device;
        ASSERT_EQ(IoCreateDevice(nullptr, 16, nullptr, 0, 0, FALSE, &device), STATUS_SUCCESS);
        if (referenced)
            ObReferenceObject(device); // keeps the object's memory after the first delete
        IoDeleteDevice(device);
        EXPECT_TRUE(kmsim::Violations().empty());
        IoDeleteDevice(device);
        EXPECT_TRUE(Reported("already deleted")) << "referenced " << referenced;
        if (referenced)
            ObDereferenceObject(device);
    }
    EXPECT_EQ(kmsim::LiveDeviceCount(), 0u);
}

} // namespace
} // namespace verifier
