// The unit table on its own: PDOs named as the SBP-2 port names them, FDOs
// that are plain device objects.
#include "driver_fixture.h"

#include <atomic>
#include <thread>

using namespace spine;

namespace
{

const char* kKeyA = "0123456789ABCDEF";
const char* kKeyB = "FEDCBA9876543210";

class UnitTableTest : public DriverFixture
{
  protected:
    PDRIVER_OBJECT bus = nullptr;
    std::vector<PDEVICE_OBJECT> devices;

    void SetUp() override
    {
        DriverFixture::SetUp();
        Load();
        bus = kmsim::CreateDriverObject("testbus");
    }

    void TearDown() override
    {
        UnitTableFreeAll();
        for (PDEVICE_OBJECT d : devices)
            IoDeleteDevice(d);
        kmsim::DeleteDriverObject(bus);
        DriverFixture::TearDown();
    }

    PDEVICE_OBJECT Make(const std::string& name)
    {
        std::u16string w = kmsim::U16(name);
        std::vector<WCHAR> buf(w.begin(), w.end());
        buf.push_back(0);
        UNICODE_STRING us;
        RtlInitUnicodeString(&us, buf.data());
        PDEVICE_OBJECT d = nullptr;
        EXPECT_EQ(IoCreateDevice(bus, 0, name.empty() ? nullptr : &us, 0, 0, FALSE, &d),
                  STATUS_SUCCESS);
        devices.push_back(d);
        return d;
    }

    PDEVICE_OBJECT Pdo(int unit, const std::string& key, const std::string& tag = "")
    {
        return Make("\\Device\\Sbp2\\V" + tag + "&P&" + std::to_string(unit) + "&" + key);
    }
    PDEVICE_OBJECT NewFdo() { return Make(""); }

    static size_t Nodes()
    {
        size_t n = 0;
        for (PPRINTER_NODE node = PrinterList; node; node = node->Next)
            n++;
        return n;
    }
};

TEST_F(UnitTableTest, TwoUnitsOfOnePrinterShareANode)
{
    PDEVICE_OBJECT pdo0 = Pdo(0, kKeyA), pdo1 = Pdo(1, kKeyA);
    PDEVICE_OBJECT fdo0 = NewFdo(), fdo1 = NewFdo();
    EXPECT_EQ(UnitTableAdd(pdo1, fdo1), STATUS_SUCCESS);
    EXPECT_EQ(UnitTableAdd(pdo0, fdo0), STATUS_SUCCESS);
    EXPECT_EQ(Nodes(), 1u);
    for (PDEVICE_OBJECT fdo : {fdo0, fdo1}) {
        EXPECT_TRUE(UnitTableBothUnitsPresent(fdo));
        EXPECT_EQ(UnitTableGetUnit0Fdo(fdo), fdo0);
        EXPECT_EQ(UnitTableGetUnit1Fdo(fdo), fdo1);
        EXPECT_EQ(UnitTableGetUnit0Pdo(fdo), pdo0);
        EXPECT_EQ(UnitTableGetUnit1Pdo(fdo), pdo1);
    }
    EXPECT_TRUE(UnitTableIsInSlot(0, nullptr, fdo0));
    EXPECT_FALSE(UnitTableIsInSlot(0, nullptr, fdo1));
    EXPECT_TRUE(UnitTableIsInSlot(1, pdo1, nullptr));
    EXPECT_FALSE(UnitTableIsInSlot(1, nullptr, nullptr));

    ULONG length = 99;
    WCHAR key[PRINTER_KEY_CHARS + 1];
    EXPECT_EQ(UnitTableGetPrinterKey(fdo1, &length, key), STATUS_SUCCESS);
    EXPECT_EQ(length, 36u);
    EXPECT_EQ(kmsim::Narrow(key), kKeyA); // 16 characters and the terminator
}

TEST_F(UnitTableTest, OnlyUnitOnePresent)
{
    PDEVICE_OBJECT fdo1 = NewFdo();
    EXPECT_EQ(UnitTableAdd(Pdo(1, kKeyA), fdo1), STATUS_SUCCESS);
    EXPECT_EQ(UnitTableGetUnit0Pdo(fdo1), nullptr);
    EXPECT_EQ(UnitTableGetUnit0Fdo(fdo1), nullptr);
    EXPECT_FALSE(UnitTableBothUnitsPresent(fdo1));
    EXPECT_EQ(UnitTableGetUnit1Fdo(fdo1), fdo1);
}

TEST_F(UnitTableTest, UnknownFdoFindsNothing)
{
    PDEVICE_OBJECT stranger = NewFdo();
    ULONG length = 99;
    WCHAR key[PRINTER_KEY_CHARS + 1];
    EXPECT_EQ(UnitTableGetPrinterKey(stranger, &length, key), STATUS_DEVICE_BUSY);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(UnitTableGetUnit0Fdo(nullptr), nullptr);
    EXPECT_FALSE(UnitTableBothUnitsPresent(stranger));
}

TEST_F(UnitTableTest, SlotTakenAgainDropsTheOldPairing)
{
    PDEVICE_OBJECT oldFdo0 = NewFdo(), fdo1 = NewFdo(), newFdo0 = NewFdo();
    UnitTableAdd(Pdo(0, kKeyA, "old"), oldFdo0);
    UnitTableAdd(Pdo(1, kKeyA), fdo1);
    EXPECT_EQ(UnitTableAdd(Pdo(0, kKeyA, "new"), newFdo0), STATUS_SUCCESS);
    EXPECT_EQ(Nodes(), 1u);
    EXPECT_EQ(UnitTableGetUnit0Fdo(newFdo0), newFdo0);
    EXPECT_EQ(UnitTableGetUnit1Fdo(newFdo0), nullptr); // unit 1 must arrive again
    EXPECT_EQ(UnitTableGetUnit0Fdo(fdo1), nullptr);
    EXPECT_EQ(UnitTableGetUnit0Fdo(oldFdo0), nullptr);
}

TEST_F(UnitTableTest, TwoPrintersNeverMix)
{
    PDEVICE_OBJECT a0 = NewFdo(), a1 = NewFdo(), b0 = NewFdo(), b1 = NewFdo();
    UnitTableAdd(Pdo(0, kKeyA), a0);
    UnitTableAdd(Pdo(0, kKeyB), b0);
    UnitTableAdd(Pdo(1, kKeyB), b1);
    UnitTableAdd(Pdo(1, kKeyA), a1);
    EXPECT_EQ(Nodes(), 2u);
    EXPECT_EQ(UnitTableGetUnit0Fdo(a1), a0);
    EXPECT_EQ(UnitTableGetUnit0Fdo(b1), b0);
    EXPECT_EQ(UnitTableGetUnit1Fdo(a0), a1);
    EXPECT_EQ(UnitTableGetUnit1Fdo(b0), b1);
}

TEST_F(UnitTableTest, MarkedNodeLivesUntilTheNextAdd)
{
    PDEVICE_OBJECT fdo0 = NewFdo(), fdo1 = NewFdo();
    UnitTableAdd(Pdo(0, kKeyA), fdo0);
    UnitTableAdd(Pdo(1, kKeyA), fdo1);
    UnitTableMarkRemoved(fdo0);
    EXPECT_EQ(UnitTableGetUnit0Fdo(fdo1), fdo0); // the survivor still finds its printer
    UnitTableAdd(Pdo(0, kKeyB), NewFdo());
    EXPECT_EQ(UnitTableGetUnit0Fdo(fdo1), nullptr);
    EXPECT_EQ(Nodes(), 1u);
}

TEST_F(UnitTableTest, MarkedNodeWithEmptySlotZeroSurvivesThePurge)
{
    PDEVICE_OBJECT fdo1 = NewFdo(), fdo0 = NewFdo();
    UnitTableAdd(Pdo(1, kKeyA), fdo1);
    UnitTableMarkRemoved(fdo1);
    UnitTableAdd(Pdo(0, kKeyB), NewFdo());
    EXPECT_EQ(Nodes(), 2u);
    EXPECT_EQ(UnitTableGetUnit1Fdo(fdo1), fdo1);
    UnitTableAdd(Pdo(0, kKeyA), fdo0); // stored in the marked node
    EXPECT_EQ(Nodes(), 2u);
    EXPECT_EQ(UnitTableGetUnit0Fdo(fdo1), fdo0);
    UnitTableAdd(Pdo(1, kKeyB), NewFdo()); // the next add frees it
    EXPECT_EQ(Nodes(), 1u);
    EXPECT_EQ(UnitTableGetUnit0Fdo(fdo1), nullptr);
}

// A deleted FDO must not be handed out to its partner; once both are gone
// the node goes at the next purge, and a printer coming back pairs again.
TEST_F(UnitTableTest, DroppedFdoIsNoLongerFound)
{
    PDEVICE_OBJECT fdo0 = NewFdo(), fdo1 = NewFdo();
    UnitTableAdd(Pdo(0, kKeyA), fdo0);
    UnitTableAdd(Pdo(1, kKeyA), fdo1);
    UnitTableMarkRemoved(fdo0);
    UnitTableDropFdo(fdo0);
    EXPECT_EQ(UnitTableGetUnit0Fdo(fdo1), nullptr);
    EXPECT_EQ(UnitTableGetUnit1Fdo(fdo1), fdo1);

    // unit 0 returns: it pairs with the running unit 1, and stays paired
    PDEVICE_OBJECT again0 = NewFdo();
    UnitTableAdd(Pdo(0, kKeyA, "again"), again0);
    EXPECT_EQ(UnitTableGetUnit0Fdo(fdo1), again0);
    UnitTableAdd(Pdo(0, kKeyB), NewFdo());
    EXPECT_EQ(UnitTableGetUnit0Fdo(fdo1), again0);

    UnitTableMarkRemoved(fdo1);
    UnitTableDropFdo(fdo1);
    UnitTableMarkRemoved(again0);
    UnitTableDropFdo(again0);
    UnitTablePurgeRemoved();
    EXPECT_EQ(Nodes(), 1u); // only printer B
}

struct NameCase {
    const char* label;
    std::string name;
    NTSTATUS status;
    bool stored;
};

class UnitNameTest : public UnitTableTest, public ::testing::WithParamInterface<NameCase>
{
};

TEST_P(UnitNameTest, NameDecidesSlotAndKey)
{
    const NameCase& c = GetParam();
    PDEVICE_OBJECT fdo = NewFdo();
    EXPECT_EQ(UnitTableAdd(Make(c.name), fdo), c.status);
    EXPECT_EQ(UnitTableGetUnit1Fdo(fdo) == fdo || UnitTableGetUnit0Fdo(fdo) == fdo, c.stored);
    EXPECT_EQ(kmsim::PoolOutstanding(TAG_PROPERTY), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Names, UnitNameTest,
    ::testing::Values(
        NameCase{"NoAmpersand", "\\Device\\Sbp2\\Printer0", STATUS_DEVICE_BUSY, false},
        NameCase{"SingleAmpersand", "\\Device\\Sbp2\\P&0123456789ABCDEF", STATUS_SUCCESS, false},
        NameCase{"SelectorTwo", "\\Device\\Sbp2\\P&2&0123456789ABCDEF", STATUS_SUCCESS, false},
        NameCase{"SelectorLetter", "\\Device\\Sbp2\\P&x&0123456789ABCDEF", STATUS_SUCCESS, false},
        NameCase{"Key16", "\\Device\\Sbp2\\P&1&0123456789ABCDEF", STATUS_SUCCESS, true},
        NameCase{"Key17", "\\Device\\Sbp2\\P&1&0123456789ABCDEFG", STATUS_SUCCESS, true},
        NameCase{"Key15", "\\Device\\Sbp2\\P&1&0123456789ABCDE", STATUS_DEVICE_BUSY, false},
        NameCase{"EmptyKey", "\\Device\\Sbp2\\P&0&", STATUS_DEVICE_BUSY, false},
        NameCase{"Unnamed", "", STATUS_DEVICE_BUSY, false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(UnitTableTest, KeyIsTheFirstSeventeenCharactersAfterTheLastAmpersand)
{
    PDEVICE_OBJECT fdo0 = NewFdo(), fdo1 = NewFdo();
    UnitTableAdd(Make("\\Device\\Sbp2\\A&0&0123456789ABCDEFGxyz"), fdo0);
    UnitTableAdd(Make("\\Device\\Sbp2\\B&1&0123456789ABCDEFGuvw"), fdo1);
    EXPECT_EQ(UnitTableGetUnit0Fdo(fdo1), fdo0);
}

TEST_F(UnitTableTest, AllocationFailuresLeaveTheUnitOut)
{
    for (ULONG tag : {TAG_PROPERTY, TAG_UNIT_TABLE}) {
        PDEVICE_OBJECT fdo = NewFdo();
        kmsim::FailTag(tag);
        EXPECT_EQ(UnitTableAdd(Pdo(0, kKeyA, kmsim::TagName(tag)), fdo), STATUS_DEVICE_BUSY);
        kmsim::ClearFailures();
        EXPECT_EQ(UnitTableGetUnit0Fdo(fdo), nullptr);
    }
    EXPECT_EQ(Nodes(), 0u);
}

// Lookups keep running while another thread replaces and frees nodes; the
// sanitizers report any read of a freed node.
TEST_F(UnitTableTest, LookupsRaceWithNodesBeingFreed)
{
    PDEVICE_OBJECT fdo1 = NewFdo();
    PDEVICE_OBJECT pdos[2] = {Pdo(0, kKeyA, "x"), Pdo(0, kKeyA, "y")};
    PDEVICE_OBJECT fdos[2] = {NewFdo(), NewFdo()};
    PDEVICE_OBJECT pdo1 = Pdo(1, kKeyA);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            PDEVICE_OBJECT f = UnitTableGetUnit0Fdo(fdos[0]);
            EXPECT_TRUE(f == nullptr || f == fdos[0]);
            UnitTableBothUnitsPresent(fdo1);
            UnitTableIsInSlot(0, nullptr, fdos[1]);
        }
    });
    for (int i = 0; i < 2000; i++) {
        UnitTableAdd(pdos[i % 2], fdos[i % 2]); // frees the node holding the other
        UnitTableAdd(pdo1, fdo1);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(Nodes(), 1u);
}

} // namespace
