// Calls of routines a supported platform does not export: a driver built
// with KM_EXPORT_CHECKS (as prnsbp is) has each one reported for the
// platform the kernel plays, from the export lists in windows/exports.
#define KM_EXPORT_CHECKS
#include "faulty_driver.h"

namespace verifier
{
namespace
{

class ExportChecksTest : public ::testing::Test
{
  protected:
    void SetUp() override { kmsim::Reset(); }
    void TearDown() override { kmsim::Reset(); }

    // A locked nonpaged buffer described as a caller's pages are: mapping
    // it goes through the mapping routines.
    PMDL LockedMdl()
    {
        PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, NULL);
        mdl->MdlFlags = MDL_PAGES_LOCKED;
        return mdl;
    }

    UCHAR buffer[64] = {};
};

// A routine whose only basis is a header's declaration counts as missing on
// every platform: each call is checked, and reported once per routine.
TEST_F(ExportChecksTest, RoutineWithOnlyAHeaderBasisIsReportedOncePerRoutine)
{
    LARGE_INTEGER time;
    for (bool legacy : {true, false}) {
        kmsim::SetLegacyPlatform(legacy);
        KeQuerySystemTime(&time);
        KeQuerySystemTime(&time);
        EXPECT_EQ(kmsim::Violations(),
                  std::vector<std::string>(
                      {std::string("KeQuerySystemTime called, which ") +
                       (legacy ? "Windows 98 SE and Windows Me do" : "Windows 2000 does") +
                       " not export: the driver would not load there"}));
        kmsim::ClearViolations();
    }
}

// Windows Me has MmMapLockedPagesSpecifyCache, Windows 98 SE does not; what
// every platform exports is never reported.
TEST_F(ExportChecksTest, ReportNamesExactlyThePlatformsThatLackTheRoutine)
{
    kmsim::SetLegacyPlatform(true);
    PMDL mdl = LockedMdl();
    EXPECT_NE(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    IoFreeMdl(mdl);
    EXPECT_EQ(kmsim::Violations(),
              std::vector<std::string>({"MmMapLockedPagesSpecifyCache called, which Windows 98 SE "
                                        "does not export: the driver would not load there"}));
}

// The lookaside-list inlines are checked by what they import: built with
// _WIN2K_COMPAT_SLIST_USAGE, routines every supported platform exports.
// Routines no list names at all count as missing.
TEST_F(ExportChecksTest, InlineRoutinesAreCheckedByWhatTheyImport)
{
    for (bool legacy : {true, false}) {
        kmsim::SetLegacyPlatform(legacy);
        NPAGED_LOOKASIDE_LIST list;
        ExInitializeNPagedLookasideList(&list, NULL, NULL, 0, 64, kmsim::Tag("Test"), 4);
        PVOID entry = ExAllocateFromNPagedLookasideList(&list);
        ExFreeToNPagedLookasideList(&list, entry);
        ExDeleteNPagedLookasideList(&list);
        EXPECT_EQ(kmsim::Violations(), std::vector<std::string>()) << legacy;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeResetEvent(&event);
    EXPECT_EQ(kmsim::Violations(),
              std::vector<std::string>({"KeResetEvent called, which Windows 2000 does not export: "
                                        "the driver would not load there"}));
}

// MmMapLockedPages is the mapping every platform exports; on Windows 2000 it
// stops the system when it fails unless the MDL says the mapping may fail.
TEST_F(ExportChecksTest, MappingThatWouldStopTheSystemIsReported)
{
    for (bool legacy : {true, false}) {
        kmsim::SetLegacyPlatform(legacy);
        PMDL mdl = LockedMdl();
        mdl->MdlFlags |= MDL_MAPPING_CAN_FAIL;
        EXPECT_NE(MmMapLockedPages(mdl, KernelMode), nullptr);
        kmsim::FailTag(kmsim::kTagMapping);
        mdl->MdlFlags = MDL_PAGES_LOCKED | MDL_MAPPING_CAN_FAIL;
        EXPECT_EQ(MmMapLockedPages(mdl, KernelMode), nullptr);
        kmsim::ClearFailures();
        EXPECT_EQ(kmsim::Violations(), std::vector<std::string>()) << legacy;
        mdl->MdlFlags = MDL_PAGES_LOCKED;
        MmMapLockedPages(mdl, KernelMode);
        EXPECT_EQ(Reported("MmMapLockedPages without MDL_MAPPING_CAN_FAIL"), !legacy);
        IoFreeMdl(mdl);
        kmsim::ClearViolations();
    }
}

} // namespace
} // namespace verifier
