// Adding and starting printer units through the simulated PnP manager.
#include "driver_fixture.h"

using namespace spine;

namespace
{

// Every scenario runs with a port driver that completes at once, with one
// that pends and completes from its own thread, and with a seeded mix.
class AddDeviceTest : public DriverFixture,
                      public ::testing::WithParamInterface<sbp2sim::Completion>
{
  protected:
    sbp2sim::PrinterConfig Config(sbp2sim::PrinterConfig c = ScsiPrinter())
    {
        sbp2sim::SetCompletion(c, GetParam());
        return c;
    }
};

TEST_P(AddDeviceTest, TwoUnitsArePairedNamedAndStarted)
{
    Load();
    auto* p = PlugBoth(Config());
    PDEVICE_OBJECT fdo0 = Fdo(p, 0), fdo1 = Fdo(p, 1);
    ASSERT_NE(fdo0, nullptr);
    ASSERT_NE(fdo1, nullptr);
    EXPECT_EQ(kmsim::FindDevice("\\Device\\Printer0"), fdo0);
    EXPECT_EQ(kmsim::FindDevice("\\Device\\Printer1"), fdo1);
    EXPECT_EQ(kmsim::Narrow(LinkNameBuffer), "\\\\.\\Printer1"); // the unit added last
    EXPECT_EQ(UnitTableGetUnit0Fdo(fdo1), fdo0);
    EXPECT_TRUE(UnitTableBothUnitsPresent(fdo0));
    for (int unit = 0; unit < 2; unit++) {
        PDEVICE_OBJECT fdo = Fdo(p, unit);
        PDEVICE_EXTENSION ext = Ext(fdo);
        EXPECT_EQ(ext->Self, fdo);
        EXPECT_EQ(ext->LowerDevice, sbp2sim::UnitPdo(p, unit));
        EXPECT_EQ(ext->Pdo, sbp2sim::UnitPdo(p, unit));
        EXPECT_EQ(ext->DeviceNumber, (ULONG)unit);
        EXPECT_EQ(ext->Flags & (FLAG_FDO | FLAG_STARTED), FLAG_FDO | FLAG_STARTED);
        EXPECT_EQ(ext->SrbFlagsExtra, 8u);
        EXPECT_EQ(ext->IoCount, 1);
        EXPECT_EQ(ext->StartComplete, 1u);
        EXPECT_EQ(ext->StripIdLength, 1u);
        EXPECT_EQ(ext->PnpState, 0);
        EXPECT_TRUE(fdo->Flags & DO_DIRECT_IO);
        EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);
        EXPECT_EQ(fdo->StackSize, 2);
        EXPECT_EQ(fdo->DeviceType, (ULONG)FILE_DEVICE_PRINTER);
        EXPECT_EQ(sbp2sim::CountersOf(p).claims[unit], 1);
        EXPECT_EQ(sbp2sim::CountersOf(p).releases[unit], 0);
    }
    EXPECT_EQ(kmsim::SymbolicLinkCount(), 0u); // no DOS names on a current platform
}

// Unit 1's requests reach unit 0's FDO through the unit table as soon as
// AddDevice has put it there: its in-progress count must be ready by then.
TEST_P(AddDeviceTest, UnitZeroIsUsableTheMomentItIsInTheTable)
{
    Load();
    auto* p = Plug(Config());
    ASSERT_EQ(PlugUnit(p, 1), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo1 = Fdo(p, 1);
    NTSTATUS seen = STATUS_SUCCESS;
    kmsim::OnFastMutexRelease(&UnitTableLock, [&] {
        if (UnitTableGetUnit0Fdo(fdo1) == NULL)
            return false;
        seen = kmsim::SendIrp(fdo1, IRP_MJ_CREATE, 0, nullptr, STATUS_SUCCESS).status;
        return true;
    });
    ASSERT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
    EXPECT_EQ(seen, STATUS_DELETE_PENDING); // not started yet
    EXPECT_EQ(Ext(Fdo(p, 0))->IoCount, 1);
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
}

TEST_P(AddDeviceTest, NumberingSkipsNamesInUse)
{
    Load();
    PDRIVER_OBJECT other = kmsim::CreateDriverObject("other");
    std::u16string w = kmsim::U16("\\Device\\Printer0");
    std::vector<WCHAR> buf(w.begin(), w.end());
    buf.push_back(0);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, buf.data());
    PDEVICE_OBJECT taken = nullptr;
    ASSERT_EQ(IoCreateDevice(other, 0, &name, 0, 0, FALSE, &taken), STATUS_SUCCESS);

    auto* p = Plug(Config());
    ASSERT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::FindDevice("\\Device\\Printer1"), Fdo(p, 0));
    EXPECT_EQ(Ext(Fdo(p, 0))->DeviceNumber, 1u);
    EXPECT_EQ(kmsim::Narrow(LinkNameBuffer), "\\\\.\\Printer1");
    IoDeleteDevice(taken);
    kmsim::DeleteDriverObject(other);
}

TEST_P(AddDeviceTest, LegacyPlatformGivesLptNamesFromTwo)
{
    kmsim::SetLegacyPlatform(true);
    Load();
    auto* p = PlugBoth(Config());
    EXPECT_EQ(kmsim::SymbolicLinkTarget("\\DosDevices\\LPT2"), "\\Device\\Printer0");
    EXPECT_EQ(kmsim::SymbolicLinkTarget("\\DosDevices\\LPT3"), "\\Device\\Printer1");
    EXPECT_FALSE(kmsim::SymbolicLinkExists("\\DosDevices\\LPT1"));
    EXPECT_EQ(Ext(Fdo(p, 0))->LptNumber, 2u);
    EXPECT_EQ(Ext(Fdo(p, 1))->LptNumber, 3u);
    EXPECT_EQ(kmsim::Narrow(LinkNameBuffer), "\\\\.\\LPT3");
}

TEST_P(AddDeviceTest, LegacyLinkNumberSkipsLinksInUse)
{
    kmsim::SetLegacyPlatform(true);
    Load();
    auto* p = Plug(Config());
    UNICODE_STRING dev, lpt2;
    RtlInitUnicodeString(&dev, L"\\Device\\Elsewhere");
    RtlInitUnicodeString(&lpt2, L"\\DosDevices\\LPT2");
    ASSERT_EQ(IoCreateSymbolicLink(&lpt2, &dev), STATUS_SUCCESS);
    ASSERT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
    EXPECT_EQ(Ext(Fdo(p, 0))->LptNumber, 3u);
    IoDeleteSymbolicLink(&lpt2);
}

// A DOS name that cannot be made fails AddDevice after the FDO was attached
// and entered into the unit table: it is detached, dropped from the table
// and deleted, and the claim is released.
TEST_P(AddDeviceTest, LegacyLinkFailureUndoesTheWholeAdd)
{
    kmsim::SetLegacyPlatform(true);
    Load();
    auto* p = Plug(Config());
    ASSERT_EQ(PlugUnit(p, 1), STATUS_SUCCESS);
    kmsim::FailSymbolicLinks(STATUS_INSUFFICIENT_RESOURCES);
    PDEVICE_OBJECT pdo0 = sbp2sim::UnitPdo(p, 0);
    EXPECT_EQ(kmsim::AddFunctionDriver(driver, pdo0), STATUS_INSUFFICIENT_RESOURCES);
    kmsim::FailSymbolicLinks(STATUS_SUCCESS);
    EXPECT_EQ(pdo0->AttachedDevice, nullptr);
    EXPECT_EQ(kmsim::LowerDeviceOf(pdo0), nullptr);
    EXPECT_EQ(kmsim::FindDevice("\\Device\\Printer1"), nullptr);
    EXPECT_EQ(sbp2sim::CountersOf(p).releases[0], 1);
    EXPECT_EQ(UnitTableGetUnit0Pdo(Fdo(p, 1)), nullptr);
    EXPECT_EQ(kmsim::ExtraReferenceCount(), 0u);
    // the unit can be added again later
    EXPECT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
    EXPECT_EQ(UnitTableGetUnit0Fdo(Fdo(p, 1)), Fdo(p, 0));
}

TEST_P(AddDeviceTest, RefusedClaimCreatesNothing)
{
    Load();
    auto c = Config();
    c.claimStatus = STATUS_DEVICE_BUSY;
    auto* p = Plug(c);
    EXPECT_EQ(kmsim::AddFunctionDriver(driver, sbp2sim::UnitPdo(p, 0)), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Fdo(p, 0), nullptr);
    EXPECT_EQ(kmsim::FindDevice("\\Device\\Printer0"), nullptr);
    EXPECT_EQ(sbp2sim::CountersOf(p).releases[0], 0);
    EXPECT_EQ(kmsim::ExtraReferenceCount(), 0u);
}

TEST_P(AddDeviceTest, ScsiAdapterIdentityComesFromTheDescriptor)
{
    Load();
    auto c = Config();
    c.vendor = "ACME";
    c.product = "Jet 9";
    auto* p = Plug(c);
    ASSERT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
    PDEVICE_EXTENSION ext = Ext(Fdo(p, 0));
    EXPECT_STREQ(ext->DeviceIdString, "Printer&Ven_ACME&Prod_Jet 9");
    EXPECT_EQ(ext->PortNumber, ext->DeviceNumber);
    EXPECT_EQ(sbp2sim::CountersOf(p).deviceIdRequests, 0);
    EXPECT_EQ(ext->AdapterDescriptor->BusType, 1);
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_STORAGE_EVENT), 0u);
}

TEST_P(AddDeviceTest, OverlongDescriptorStringsAreCut)
{
    Load();
    auto c = Config();
    c.vendor = std::string(200, 'V');
    c.product = std::string(200, 'P');
    auto* p = Plug(c);
    ASSERT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
    std::string id = Ext(Fdo(p, 0))->DeviceIdString;
    EXPECT_EQ(id.size(), 255u);
    EXPECT_EQ(id.substr(0, 12 + 200), "Printer&Ven_" + std::string(200, 'V'));
}

// A port driver whose device descriptor is only its header: the strings the
// identity is made of are missing, and nothing is read past the descriptor.
TEST_P(AddDeviceTest, ShortDeviceDescriptorIsReadWithinItsSize)
{
    Load();
    auto c = Config();
    c.deviceDescriptorSize = sizeof(STORAGE_DESCRIPTOR_HEADER);
    auto* p = Plug(c);
    ASSERT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
    EXPECT_STREQ(Ext(Fdo(p, 0))->DeviceIdString, "Printer&Ven_&Prod_");
}

TEST_P(AddDeviceTest, RestartAfterStopRereadsWithoutIdentifyingAgain)
{
    Load();
    auto* p = Plug(Config());
    ASSERT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
    PDEVICE_EXTENSION ext = Ext(Fdo(p, 0));
    PCHAR idBefore = ext->DeviceIdString;
    int queriesBefore = sbp2sim::CountersOf(p).storageQueries;
    kmsim::RegSetDword(kService, "TIME_OUT", 30);
    kmsim::RegSetDword(kService, "MDL_SIZE", 4096);
    sbp2sim::ConfigOf(p).product = "Renamed";

    ASSERT_EQ(kmsim::Rebalance(sbp2sim::UnitPdo(p, 0)), STATUS_SUCCESS);
    EXPECT_EQ(sbp2sim::CountersOf(p).storageQueries, queriesBefore + 4); // two passes each
    EXPECT_EQ(ext->TimeoutSeconds, 30u);
    EXPECT_EQ(ext->MdlSize, 4096u);
    EXPECT_EQ(ext->DeviceIdString, idBefore); // identified once
    EXPECT_STREQ(ext->DeviceIdString, "Printer&Ven_QXZR&Prod_P-1");
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_STORAGE_DESCRIPTOR), 2u); // the earlier copies freed
    EXPECT_TRUE(ext->Flags & FLAG_STARTED);
}

TEST_P(AddDeviceTest, FailedDescriptorQueryLeavesTheUnitStopped)
{
    Load();
    auto c = Config();
    c.storageStatus = STATUS_NO_SUCH_DEVICE;
    auto* p = Plug(c);
    EXPECT_EQ(PlugUnit(p, 0), STATUS_NO_SUCH_DEVICE);
    EXPECT_FALSE(Ext(Fdo(p, 0))->Flags & FLAG_STARTED);
    EXPECT_EQ(Ext(Fdo(p, 0))->DeviceIdString, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Port, AddDeviceTest,
                         ::testing::Values(sbp2sim::Completion::kSync, sbp2sim::Completion::kAsync,
                                           sbp2sim::Completion::kMixed),
                         [](const auto& info) { return sbp2sim::CompletionName(info.param); });

// A port driver may complete one request at once and pend the next: the
// full descriptor read must be waited for even when the size query before
// it completed at once.
class DescriptorQueryTest : public DriverFixture
{
};

TEST_F(DescriptorQueryTest, FullReadPendedAfterASizeQueryCompletedAtOnce)
{
    Load();
    auto c = ScsiPrinter();
    c.vendor = "ACME";
    c.product = "Jet 9";
    c.pends = [](PIO_STACK_LOCATION s) {
        return s->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
               s->Parameters.DeviceIoControl.IoControlCode == IOCTL_STORAGE_QUERY_PROPERTY &&
               s->Parameters.DeviceIoControl.OutputBufferLength > sizeof(STORAGE_DESCRIPTOR_HEADER);
    };
    auto* p = Plug(c);
    ASSERT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
    PDEVICE_EXTENSION ext = Ext(Fdo(p, 0));
    EXPECT_STREQ(ext->DeviceIdString, "Printer&Ven_ACME&Prod_Jet 9");
    EXPECT_EQ(ext->AdapterDescriptor->BusType, 1);
    kmsim::CheckQuarantine();
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
}

// The 1394 start path: the device ID is read once, at the first start that
// succeeds in reading it.
class Ieee1394StartTest : public DriverFixture
{
};

TEST_F(Ieee1394StartTest, FirstStartIdentifiesThePrinter)
{
    Load();
    auto* p = PlugBoth(sbp2sim::PrinterConfig());
    PDEVICE_EXTENSION ext = Ext(Fdo(p, 0));
    EXPECT_STREQ(ext->DeviceIdString, "AcmeP-1");
    EXPECT_EQ(sbp2sim::CountersOf(p).deviceIdRequests, 2); // once per unit
    ASSERT_EQ(kmsim::Rebalance(sbp2sim::UnitPdo(p, 0)), STATUS_SUCCESS);
    EXPECT_EQ(sbp2sim::CountersOf(p).deviceIdRequests, 2);
}

TEST_F(Ieee1394StartTest, StartAfterAFailedIdentificationTriesAgain)
{
    Load();
    sbp2sim::PrinterConfig c;
    c.deviceIdStatus = STATUS_DEVICE_BUSY;
    auto* p = Plug(c);
    PDEVICE_OBJECT pdo = sbp2sim::UnitPdo(p, 0);
    EXPECT_EQ(PlugUnit(p, 0), STATUS_DEVICE_BUSY);
    PDEVICE_EXTENSION ext = Ext(Fdo(p, 0));
    EXPECT_FALSE(ext->Flags & FLAG_STARTED);
    EXPECT_EQ(ext->DeviceIdString, nullptr);
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_ID_STRING), 0u);

    sbp2sim::ConfigOf(p).deviceIdStatus = STATUS_SUCCESS;
    EXPECT_EQ(kmsim::StartDevice(pdo), STATUS_SUCCESS);
    EXPECT_STREQ(ext->DeviceIdString, "AcmeP-1");
    EXPECT_TRUE(ext->Flags & FLAG_STARTED);
}

// Each allocation of DriverEntry, AddDevice and start, failed in turn: the
// driver reports the failure and, once everything is removed and unloaded,
// nothing is left.
struct SweepCase {
    const char* name;
    bool legacy;
    bool is1394;
};

class AllocationSweepTest : public DriverFixture, public ::testing::WithParamInterface<SweepCase>
{
  protected:
    // Runs load and plug-in with the n-th allocation failing (0: none);
    // returns how many allocations the scenario made.
    unsigned long Run(unsigned long n)
    {
        kmsim::Reset();
        kmsim::SetLegacyPlatform(GetParam().legacy);
        auto c = ScsiPrinter();
        c.is1394 = GetParam().is1394;
        Plug(c);
        unsigned long before = kmsim::AllocationCount();
        kmsim::FailNthAllocation(n);
        if (PrinterSession::Load()) {
            PlugUnit(bus, 0);
            PlugUnit(bus, 1);
        }
        unsigned long used = kmsim::AllocationCount() - before;
        kmsim::ClearFailures();
        return used;
    }
};

TEST_P(AllocationSweepTest, EveryFailureIsHandledWithoutLeak)
{
    unsigned long total = Run(0);
    ShutDownClean();
    ASSERT_GT(total, 10u);
    for (unsigned long n = 1; n <= total; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        Run(n);
        ShutDownClean();
    }
}

INSTANTIATE_TEST_SUITE_P(Platform, AllocationSweepTest,
                         ::testing::Values(SweepCase{"CurrentScsi", false, false},
                                           SweepCase{"LegacyScsi", true, false},
                                           SweepCase{"Current1394", false, true},
                                           SweepCase{"Legacy1394", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
