// Driver entry, unload, configuration values and the in-progress count.
#include "driver_fixture.h"

#include <thread>

using namespace spine;

namespace
{

class EntryTest : public DriverFixture
{
};

TEST_F(EntryTest, EntryCopiesTheServicePathAndInstallsTheDispatchTable)
{
    Load();
    EXPECT_EQ(kmsim::Narrow(RegistryPath), kService);
    EXPECT_EQ(RegistryPathSize, (kService.size() + 1) * 2);
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_REGISTRY_PATH), 1u);
    EXPECT_EQ(driver->DriverExtension->AddDevice, &AddDevice);
    EXPECT_EQ(driver->DriverUnload, &DriverUnload);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], &PnpDispatch);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_POWER], &PowerDispatch);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL], &SystemControlDispatch);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], &CreateCloseDispatch);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], &CreateCloseDispatch);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], &ReadWriteDispatch);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_WRITE], &ReadWriteDispatch);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], &DeviceControlDispatch);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL],
              &InternalDeviceControlDispatch);
    // everything else keeps the I/O manager's default
    EXPECT_NE(driver->MajorFunction[IRP_MJ_CLEANUP], &PnpDispatch);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLEANUP], driver->MajorFunction[IRP_MJ_SHUTDOWN]);
}

TEST_F(EntryTest, EntryWithoutMemoryForThePathFailsAndLeavesNothing)
{
    kmsim::FailTag(TAG_REGISTRY_PATH);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(kmsim::LoadDriver(DriverEntry, "prnsbp", &status), nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kmsim::PoolOutstandingTotal(), 0u);
}

TEST_F(EntryTest, UnloadFreesThePathCopyAndTheUnitTable)
{
    Load();
    auto* p = PlugBoth(ScsiPrinter());
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_UNIT_TABLE), 1u);
    Unplug(p);
    // the node of a removed printer waits for the next purge or for unload
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_UNIT_TABLE), 1u);
    Unload();
    EXPECT_EQ(RegistryPath, nullptr);
    EXPECT_EQ(PrinterList, nullptr);
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_UNIT_TABLE), 0u);
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_REGISTRY_PATH), 0u);
}

struct ConfigCase {
    const char* name;
    bool present;
    ULONG value;
    ULONG expected;
};

class ConfigTest : public DriverFixture, public ::testing::WithParamInterface<ConfigCase>
{
};

TEST_P(ConfigTest, TimeOutReadAtStart)
{
    const ConfigCase& c = GetParam();
    if (c.present)
        kmsim::RegSetDword(kService, "TIME_OUT", c.value);
    Load();
    auto* p = Plug(ScsiPrinter());
    ASSERT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
    EXPECT_EQ(Ext(Fdo(p, 0))->TimeoutSeconds, c.expected);
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_QUERY_TABLE), 0u);
}

INSTANTIATE_TEST_SUITE_P(TimeOut, ConfigTest,
                         ::testing::Values(ConfigCase{"Missing", false, 0, 90},
                                           ConfigCase{"Zero", true, 0, 90},
                                           ConfigCase{"Thirty", true, 30, 30},
                                           ConfigCase{"Large", true, 100000, 100000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EntryTest, ConfigurationValuesAndTheirDefaults)
{
    kmsim::RegSetDword(kService, "USE_SCSI_PRINT", 1);
    kmsim::RegSetDword(kService, "MDL_SIZE", 1000);
    Load();
    EXPECT_EQ(ReadRegistryDword(L"USE_SCSI_PRINT"), 1u);
    EXPECT_EQ(ReadRegistryDword(L"MDL_SIZE"), 1000u);
    EXPECT_EQ(ReadRegistryDword(L"NOT_THERE"), 0u);
    // without memory for the query table every value reads as 0
    kmsim::FailTag(TAG_QUERY_TABLE);
    EXPECT_EQ(ReadRegistryDword(L"MDL_SIZE"), 0u);
    kmsim::ClearFailures();
    // a service key that vanished reads as 0 too
    kmsim::RegDeleteKey(kService);
    EXPECT_EQ(ReadRegistryDword(L"MDL_SIZE"), 0u);
}

// A value of another type (an INF that wrote "30" as a string, a binary
// blob) is unreadable as a number: it reads as 0, and the platform's direct
// query must not store its string or its bytes past the number.
TEST_F(EntryTest, ValuesOfAnotherTypeReadAsZero)
{
    kmsim::RegSetString(kService, "TIME_OUT", u"30");
    kmsim::RegSetString(kService, "MDL_SIZE", u"");
    kmsim::RegSetBinary(kService, "USE_SCSI_PRINT", REG_BINARY,
                        {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    Load();
    size_t strings = kmsim::PoolOutstanding(kmsim::kTagString);
    EXPECT_EQ(ReadRegistryDword(L"TIME_OUT"), 0u);
    EXPECT_EQ(ReadRegistryDword(L"MDL_SIZE"), 0u);
    EXPECT_EQ(ReadRegistryDword(L"USE_SCSI_PRINT"), 0u);
    EXPECT_EQ(kmsim::PoolOutstanding(kmsim::kTagString), strings); // no string left behind
    auto* p = Plug(ScsiPrinter());
    ASSERT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
    EXPECT_EQ(Ext(Fdo(p, 0))->TimeoutSeconds, 90u);
}

TEST_F(EntryTest, LegacyPlatformIsAskedEveryTime)
{
    kmsim::SetLegacyPlatform(true);
    EXPECT_TRUE(IsLegacyPlatform());
    kmsim::SetLegacyPlatform(false);
    EXPECT_FALSE(IsLegacyPlatform());
}

TEST_F(EntryTest, IdleEventSignalledExactlyWhenTheCountDropsToZero)
{
    Load();
    auto* p = Plug(ScsiPrinter());
    ASSERT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = Fdo(p, 0);
    PDEVICE_EXTENSION ext = Ext(fdo);
    EXPECT_EQ(ext->IoCount, 1);
    IoCountAcquire(fdo);
    IoCountAcquire(fdo);
    IoCountRelease(fdo);
    IoCountRelease(fdo);
    EXPECT_EQ(KeReadStateEvent(&ext->IoIdleEvent), 0);
    IoCountReleaseBase(fdo);
    EXPECT_NE(KeReadStateEvent(&ext->IoIdleEvent), 0);
    // taken back, the event is reset and the count holds its base again
    IoCountRetakeBase(fdo);
    EXPECT_EQ(ext->IoCount, 1);
    EXPECT_EQ(KeReadStateEvent(&ext->IoIdleEvent), 0);
    IoCountRetakeBase(fdo); // nothing to take back while the base is held
    EXPECT_EQ(ext->IoCount, 1);
}

TEST_F(EntryTest, CountIsExactUnderConcurrentRequests)
{
    Load();
    auto* p = Plug(ScsiPrinter());
    ASSERT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = Fdo(p, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([fdo] {
            for (int i = 0; i < 5000; i++) {
                IoCountAcquire(fdo);
                IoCountRelease(fdo);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(Ext(fdo)->IoCount, 1);
    EXPECT_EQ(KeReadStateEvent(&Ext(fdo)->IoIdleEvent), 0);
}

} // namespace
