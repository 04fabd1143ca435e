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

// The legacy platform (Windows 98 SE and Me) lacks what only Windows 2000
// and later export; the current platform has it.
TEST_F(ExportChecksTest, RoutineOnlyWindows2000ExportsIsReportedOnTheLegacyPlatform)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, NULL, NULL, 0, 64, kmsim::Tag("Test"), 4);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());

    kmsim::SetLegacyPlatform(true);
    NPAGED_LOOKASIDE_LIST other;
    ExInitializeNPagedLookasideList(&list, NULL, NULL, 0, 64, kmsim::Tag("Test"), 4);
    ExInitializeNPagedLookasideList(&other, NULL, NULL, 0, 64, kmsim::Tag("Test"), 4);
    std::vector<std::string> v = kmsim::Violations();
    ASSERT_EQ(v.size(), 1u) << "one report per routine";
    EXPECT_EQ(v[0], "ExInitializeNPagedLookasideList called, which Windows 98 SE and Windows Me "
                    "do not export: the driver would not load there");
    ExDeleteNPagedLookasideList(&list);
    ExDeleteNPagedLookasideList(&other);
    EXPECT_TRUE(Reported("ExDeleteNPagedLookasideList called"));
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

// The lookaside-list inlines import the sequenced-list routines of Windows
// XP: no supported platform before it resolves them, the current one
// (Windows 2000) included. Routines no list names at all count as missing.
TEST_F(ExportChecksTest, InlineRoutinesAreCheckedByWhatTheyImport)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, NULL, NULL, 0, 64, kmsim::Tag("Test"), 4);
    PVOID entry = ExAllocateFromNPagedLookasideList(&list);
    ExFreeToNPagedLookasideList(&list, entry);
    ExDeleteNPagedLookasideList(&list);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeResetEvent(&event);
    EXPECT_EQ(kmsim::Violations(),
              std::vector<std::string>(
                  {"ExAllocateFromNPagedLookasideList called (its inline code imports "
                   "InterlockedPopEntrySList), which Windows 2000 does not export: the driver "
                   "would not load there",
                   "ExFreeToNPagedLookasideList called (its inline code imports "
                   "InterlockedPushEntrySList), which Windows 2000 does not export: the driver "
                   "would not load there",
                   "KeResetEvent called, which Windows 2000 does not export: the driver would not "
                   "load there"}));
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
