// The printer's IEEE 1284 device ID read at the first start, and the child
// device whose printer-style IDs come from it.

#include "ident_fixture.h"

namespace ident
{
namespace
{

const std::string kKey = "00A0B8C9D0E1F203";

using Strings = std::vector<std::string>;

class ChildTest : public MachineTest
{
};

TEST_F(ChildTest, DeviceIdGivesIdentificationAndChildIds)
{
    struct Case {
        const char* deviceId;
        const char* identification;
        const char* manufacturer;
        const char* model;
        const char* hardwareId;
        const char* compatibleId;
    } cases[] = {
        {"MFG:Acme;MDL:P-1;CLS:PRINTER;", "AcmeP-1", "Acme", "P-1", "LPTENUM\\AcmeP-1_737",
         "AcmeP-1_737"},
        {"MANUFACTURER:Acme;MODEL:P 1;", "AcmeP 1", "Acme", "P 1", "LPTENUM\\AcmeP_19733",
         "AcmeP_19733"},
        {"XYZ&MFG:Acme;MDL:P-1;", "AcmeP-1", "Acme", "P-1", "LPTENUM\\AcmeP-1_737", "AcmeP-1_737"},
        {"MFG:Acme;CLS:PRINTER;", "1394 Printer", "", "", "LPTENUM\\1394_PrinterF711",
         "1394_PrinterF711"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.deviceId);
        sbp2sim::Printer* p = Connect(Printer(kKey, c.deviceId));
        for (int unit = 0; unit < 2; unit++) {
            EXPECT_EQ(std::string(Ext(p, unit)->DeviceIdString), c.identification);
            EXPECT_EQ(std::string(Ext(p, unit)->Manufacturer), c.manufacturer);
            EXPECT_EQ(std::string(Ext(p, unit)->Model), c.model);
        }
        PDEVICE_OBJECT child = Child(p);
        ASSERT_NE(child, nullptr);
        kmsim::DeviceIds ids = kmsim::IdsOf(child);
        EXPECT_EQ(ids.deviceId, std::string("LPTENUM\\") + c.identification);
        EXPECT_EQ(ids.hardwareIds, Strings{c.hardwareId});
        EXPECT_EQ(ids.compatibleIds, Strings{c.compatibleId});
        EXPECT_EQ(ids.instanceId, "QXZR1394_001");
        EXPECT_EQ(std::string(Ext(p, 0)->ChildIdBuffer), ids.deviceId);
        EXPECT_TRUE(kmsim::IsStarted(child));
        Unplug(p);
    }
}

// A printer whose numbering found no memory keeps port number 0, and its
// child answers the instance ID "QXZR1394_000" as every such printer's does.
// Claimed unique it would name two printers' children alike (Windows stops:
// a duplicate PDO); not claimed, the PnP manager tells them apart by their
// parents.
TEST_F(ChildTest, UnnumberedPrintersDoNotClaimOneInstanceIdUnique)
{
    std::vector<PDEVICE_OBJECT> children;
    for (const char* key : {"00A0B8C9D0E1F203", "00A0B8C9D0E1F204"}) {
        sbp2sim::Printer* p = Plug(Printer(key));
        kmsim::FailTag(kmsim::Tag("ZR e")); // the search's query table
        EXPECT_EQ(PlugUnit(p, 0), STATUS_SUCCESS);
        kmsim::ClearFailures();
        EXPECT_EQ(PlugUnit(p, 1), STATUS_SUCCESS);
        EXPECT_EQ(Ext(p, 0)->PortNumber, 0u);
        children.push_back(Child(p));
        ASSERT_NE(children.back(), nullptr);
        EXPECT_TRUE(kmsim::IsStarted(children.back()));
    }
    kmsim::DeviceIds first = kmsim::IdsOf(children[0]), second = kmsim::IdsOf(children[1]);
    EXPECT_EQ(first.instanceId, "QXZR1394_000");
    EXPECT_EQ(second.instanceId, "QXZR1394_000");
    EXPECT_FALSE(first.uniqueId);
    EXPECT_NE(kmsim::DeviceKeyPath(children[0]), kmsim::DeviceKeyPath(children[1]));
    EXPECT_EQ(kmsim::Violations(), std::vector<std::string>());
}

TEST_F(ChildTest, OverlongDeviceIdIsCutEverywhere)
{
    std::string manufacturer(300, 'M');
    sbp2sim::Printer* p = Connect(Printer(kKey, "MFG:" + manufacturer + ";MDL:" + "P-1;"));
    PDEVICE_EXTENSION ext = Ext(p, 0);
    EXPECT_EQ(std::string(ext->DeviceIdString), manufacturer.substr(0, ID_STRING_SIZE - 1));
    EXPECT_EQ(std::string(ext->Manufacturer), manufacturer.substr(0, 63));
    // The device ID still starts with the prefix; its copy for the parent is
    // cut to the buffer.
    kmsim::DeviceIds ids = kmsim::IdsOf(Child(p));
    EXPECT_EQ(ids.deviceId, "LPTENUM\\" + manufacturer.substr(0, ID_STRING_SIZE - 1));
    EXPECT_EQ(std::string(ext->ChildIdBuffer), ids.deviceId.substr(0, ID_STRING_SIZE - 1));
}

std::vector<unsigned char> Leaf(const std::string& text, size_t headerBytes = 12)
{
    std::vector<unsigned char> leaf(headerBytes, 0);
    leaf.insert(leaf.end(), text.begin(), text.end());
    return leaf;
}

TEST_F(ChildTest, MalformedLeavesAreReadWithinTheirLength)
{
    // The port driver's buffer is exactly the leaf's length; a read or write
    // past it is caught by the address sanitizer.
    struct Case {
        const char* what;
        std::vector<unsigned char> leaf;
        const char* identification;
    } cases[] = {
        {"empty leaf", {}, "1394 Printer"},
        {"shorter than its headers", Leaf("", 5), "1394 Printer"},
        {"headers only", Leaf(""), "1394 Printer"},
        {"text not terminated", Leaf("MFG:Acme;MDL:P-1"), "AcmeP-1"},
        {"terminated early", Leaf(std::string("MFG:Acme;MDL:P-1;\0MDL:X;", 25)), "AcmeP-1"},
        {"long and unterminated", Leaf("MFG:Acme;MDL:" + std::string(4000, 'Q')), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sbp2sim::PrinterConfig config = Printer(kKey);
        config.rawLeaf = c.leaf;
        sbp2sim::Printer* p = Connect(config);
        std::string expected =
            c.identification ? c.identification : "Acme" + std::string(ID_STRING_SIZE - 5, 'Q');
        EXPECT_EQ(std::string(Ext(p, 0)->DeviceIdString), expected);
        ASSERT_NE(Child(p), nullptr);
        Unplug(p);
    }
}

TEST_F(ChildTest, FailedDeviceIdRequestFailsTheStart)
{
    sbp2sim::PrinterConfig config = Printer(kKey);
    config.deviceIdStatus = STATUS_DEVICE_DOES_NOT_EXIST;
    sbp2sim::Printer* p = Connect(config, STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_FALSE(kmsim::IsStarted(sbp2sim::UnitPdo(p, 0)));
    EXPECT_EQ(kmsim::EnabledInterfaceCount(), 0u);
    EXPECT_FALSE(kmsim::RegKeyExists(kPortNumbers));
}

TEST_F(ChildTest, OnlyUnitZeroReportsTheChildAndAlwaysTheSameOne)
{
    sbp2sim::Printer* p = Connect(Printer(kKey));
    EXPECT_EQ(kmsim::ChildrenOf(sbp2sim::UnitPdo(p, 1)), std::vector<PDEVICE_OBJECT>());
    PDEVICE_OBJECT child = Child(p);
    ASSERT_NE(child, nullptr);
    size_t devices = kmsim::LiveDeviceCount();
    EXPECT_EQ(kmsim::EnumerateBus(sbp2sim::UnitPdo(p, 0)), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::EnumerateBus(sbp2sim::UnitPdo(p, 1)), STATUS_SUCCESS);
    EXPECT_EQ(Child(p), child);
    EXPECT_EQ(kmsim::LiveDeviceCount(), devices);
    EXPECT_EQ(kmsim::ChildrenOf(sbp2sim::UnitPdo(p, 1)), std::vector<PDEVICE_OBJECT>());
}

TEST_F(ChildTest, ChildrenAreNamedAfterTheirParents)
{
    sbp2sim::Printer* a = Connect(Printer(kKey));
    sbp2sim::Printer* b = Connect(Printer("00A0B8C9D0E1F999"));
    EXPECT_EQ(kmsim::DeviceName(Child(a)), "\\Device\\PrinterChild0");
    EXPECT_EQ(kmsim::DeviceName(Child(b)), "\\Device\\PrinterChild2");
    // The numbers of a printer that left are free again, and so is its
    // child's name.
    Unplug(a);
    a = Connect(Printer("00A0B8C9D0E1F777"));
    EXPECT_EQ(kmsim::DeviceName(Child(a)), "\\Device\\PrinterChild0");
}

TEST_F(ChildTest, ATakenChildNameMakesTheChildTakeTheNextOne)
{
    PDRIVER_OBJECT squatter = kmsim::CreateDriverObject("squatter");
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\PrinterChild0");
    PDEVICE_OBJECT taken = NULL;
    ASSERT_EQ(IoCreateDevice(squatter, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &taken),
              STATUS_SUCCESS);
    sbp2sim::Printer* p = Connect(Printer(kKey));
    EXPECT_EQ(kmsim::DeviceName(Child(p)), "\\Device\\PrinterChild1");
    IoDeleteDevice(taken);
    kmsim::DeleteDriverObject(squatter);
}

TEST_F(ChildTest, AChildThatCannotBeCreatedFailsTheQueryAndComesLater)
{
    sbp2sim::Printer* p = Plug(Printer(kKey));
    PDEVICE_OBJECT unit0 = sbp2sim::UnitPdo(p, 0);
    ASSERT_EQ(kmsim::AddFunctionDriver(driver, unit0), STATUS_SUCCESS);
    ASSERT_EQ(kmsim::StartDevice(unit0), STATUS_SUCCESS);
    kmsim::FailTag(kmsim::kTagDevice);
    EXPECT_EQ(kmsim::EnumerateBus(unit0), STATUS_INSUFFICIENT_RESOURCES);
    kmsim::ClearFailures();
    EXPECT_EQ(Child(p), nullptr);
    EXPECT_EQ(Ext(p, 0)->ChildPdo, nullptr);
    EXPECT_EQ(kmsim::EnumerateBus(unit0), STATUS_SUCCESS);
    EXPECT_NE(Child(p), nullptr);
}

// The PnP manager drops a reference of every device in the list: a child
// whose reference could not be taken is not in it (its device object would
// be freed under the driver), and is reported once the reference is taken.
TEST_F(ChildTest, AChildThatCannotBeReferencedIsNotReported)
{
    sbp2sim::Printer* p = Plug(Printer(kKey));
    PDEVICE_OBJECT unit0 = sbp2sim::UnitPdo(p, 0);
    ASSERT_EQ(kmsim::AddFunctionDriver(driver, unit0), STATUS_SUCCESS);
    ASSERT_EQ(kmsim::StartDevice(unit0), STATUS_SUCCESS);
    kmsim::FailReferencesByPointer(STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(kmsim::EnumerateBus(unit0), STATUS_SUCCESS);
    EXPECT_EQ(Child(p), nullptr);
    kmsim::FailReferencesByPointer(STATUS_SUCCESS);
    EXPECT_EQ(kmsim::EnumerateBus(unit0), STATUS_SUCCESS);
    EXPECT_NE(Child(p), nullptr);
}

TEST_F(ChildTest, OtherAdaptersGetScsiStyleIds)
{
    sbp2sim::PrinterConfig config = Printer(kKey);
    config.is1394 = false;
    sbp2sim::Printer* p = Connect(config);
    EXPECT_EQ(sbp2sim::CountersOf(p).deviceIdRequests, 0);
    PDEVICE_OBJECT child = Child(p);
    ASSERT_NE(child, nullptr);
    kmsim::DeviceIds ids = kmsim::IdsOf(child);
    EXPECT_EQ(ids.deviceId, "SCSI\\Printer&Ven_QXZR&Prod_P-1");
    EXPECT_EQ(ids.hardwareIds, Strings{"Printer&Ven_QXZR&Prod_P-1"});
    EXPECT_EQ(ids.compatibleIds, Strings{"Printer&Ven_QXZR&Prod_P-1"});
    // The port number of such a unit is its device number.
    EXPECT_EQ(ids.instanceId, "SCSI000");
    EXPECT_EQ(StoredText(kmsim::DeviceKeyPath(child), "PortName"), "(missing)");
}

// Surprise removal of the parent frees its identification while the child
// still exists; the child's answers must not reach for it.
TEST_F(ChildTest, ChildOfASurpriseRemovedParentGivesNoIds)
{
    sbp2sim::Printer* p = Connect(Printer(kKey));
    PDEVICE_OBJECT child = Child(p);
    kmsim::SendPnp(sbp2sim::UnitPdo(p, 0), IRP_MN_SURPRISE_REMOVAL);
    ASSERT_EQ(Ext(p, 0)->DeviceIdString, nullptr);
    kmsim::DeviceIds ids = kmsim::QueryDeviceIds(child);
    EXPECT_EQ(ids.deviceIdStatus, STATUS_DELETE_PENDING);
    EXPECT_EQ(ids.hardwareIdsStatus, STATUS_DELETE_PENDING);
    EXPECT_EQ(ids.instanceIdStatus, STATUS_DELETE_PENDING);
}

TEST_F(ChildTest, IdQueriesSurviveEveryAllocationFailure)
{
    sbp2sim::Printer* p = Connect(Printer(kKey));
    PDEVICE_OBJECT child = Child(p);
    // The driver's own allocations: the PnP manager's requests are not the
    // driver's to survive.
    kmsim::FailNthAllocationOf("prnsbp", 0);
    kmsim::QueryDeviceIds(child);
    unsigned long needed = kmsim::AllocationsOfWatchedDriver();
    kmsim::ClearFailures();
    ASSERT_GT(needed, 0u);
    for (unsigned long n = 1; n <= needed; n++) {
        kmsim::FailNthAllocationOf("prnsbp", n);
        kmsim::DeviceIds ids = kmsim::QueryDeviceIds(child);
        kmsim::ClearFailures();
        EXPECT_FALSE(NT_SUCCESS(ids.deviceIdStatus) && NT_SUCCESS(ids.instanceIdStatus) &&
                     NT_SUCCESS(ids.hardwareIdsStatus) && NT_SUCCESS(ids.compatibleIdsStatus))
            << "allocation " << n;
    }
    kmsim::DeviceIds ids = kmsim::QueryDeviceIds(child);
    EXPECT_EQ(ids.hardwareIds, Strings{"LPTENUM\\AcmeP-1_737"});
}

// The PnP manager hands the bus-relations query down with a list a filter
// above may already have put there; ours replaces it, so that list's
// references and memory must be given back.
// A driver above that reported a device of its own keeps it in the list,
// with the reference it took; the earlier list's memory is given back.
TEST_F(ChildTest, BusRelationsKeepWhatADriverAboveReported)
{
    sbp2sim::Printer* p = Connect(Printer(kKey));
    PDEVICE_OBJECT fdo = session::FdoOf(p, 0);
    PDEVICE_RELATIONS earlier = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS), kmsim::Tag("Test"));
    ObReferenceObject(sbp2sim::UnitPdo(p, 1));
    earlier->Count = 1;
    earlier->Objects[0] = sbp2sim::UnitPdo(p, 1);

    PIRP irp = IoAllocateIrp((CCHAR)(fdo->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
            KeSetEvent((PKEVENT)event, 0, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
    next->Parameters.QueryDeviceRelations.Type = BusRelations;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = (ULONG_PTR)earlier;
    IoCallDriver(fdo, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);

    PDEVICE_RELATIONS reported = (PDEVICE_RELATIONS)irp->IoStatus.Information;
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    ASSERT_NE(reported, earlier);
    ASSERT_EQ(reported->Count, 2u);
    EXPECT_EQ(reported->Objects[0], sbp2sim::UnitPdo(p, 1));
    EXPECT_EQ(reported->Objects[1], Child(p));
    ObDereferenceObject(reported->Objects[0]);
    ObDereferenceObject(reported->Objects[1]);
    ExFreePool(reported);
    IoFreeIrp(irp);
    EXPECT_EQ(kmsim::ExtraReferenceCount(), 0u);
}

} // namespace
} // namespace ident
