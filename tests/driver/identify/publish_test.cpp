// A printer becomes a printer port: the device interface the port monitor
// finds, its values, and the port number that stays with each printer.

#include "ident_fixture.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace ident
{
namespace
{

// 16 characters after the last '&' (the bus's usual form) and 17.
const std::string kKeyA = "00A0B8C9D0E1F203";
const std::string kKeyB = "00A0B8C9D0E1F999";
const std::string kKey17 = "00A0B8C9D0EA1B2C3";

class PublishTest : public MachineTest
{
  protected:
    std::string InterfaceKey(sbp2sim::Printer* p)
    {
        std::vector<kmsim::InterfaceInfo> all;
        const kmsim::InterfaceInfo* i = Interface(p, all);
        return i != nullptr ? i->keyPath : "(none)";
    }
    std::string PortKey(ULONG n) { return kPortNumbers + "\\Port" + std::to_string(n); }

    static std::vector<std::string> Sorted(std::vector<std::string> names)
    {
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(PublishTest, FirstPrinterGetsPortOneAndTheMonitorsValues)
{
    sbp2sim::Printer* p = Connect(Printer(kKeyA));
    EXPECT_EQ(Ext(p, 0)->PortNumber, 1u);
    EXPECT_EQ(StoredDword(kPortNumbers, "MaxPortNumber"), 1u);
    // The stored key is the 36 bytes of the unit table: 16 characters, the
    // terminator and the zero that fills the 17th place.
    EXPECT_EQ(StoredText(PortKey(1), "Guid"), kKeyA + "\\0\\0");

    std::vector<kmsim::InterfaceInfo> all;
    const kmsim::InterfaceInfo* i = Interface(p, all);
    ASSERT_NE(i, nullptr);
    EXPECT_TRUE(i->enabled);
    EXPECT_EQ(GuidText(i->classGuid), kUsbPrintClass);
    EXPECT_EQ(StoredDword(i->keyPath, "Port Number"), 1u);
    EXPECT_EQ(StoredText(i->keyPath, "Base Name"), "QXZR1394_\\0");
    // Every text goes out with its terminator; a key of 16 characters
    // gives its last five.
    EXPECT_EQ(StoredText(i->keyPath, "Port Description"), "Acme P-1:1F203\\0");
    EXPECT_EQ(StoredText(i->keyPath, "Link Name"), "(missing)");
    // A port monitor woken by the interface's arrival finds them all.
    EXPECT_EQ(Sorted(i->valuesAtArrival),
              (std::vector<std::string>{"Base Name", "Port Description", "Port Number"}));

    PDEVICE_OBJECT child = Child(p);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(StoredText(kmsim::DeviceKeyPath(child), "PortName"), "QXZR1394_001\\0");
}

TEST_F(PublishTest, UnitOneGetsNoNumberAndNoEnabledInterface)
{
    sbp2sim::Printer* p = Connect(Printer(kKeyA));
    EXPECT_EQ(Ext(p, 1)->PortNumber, 0u);
    EXPECT_EQ(kmsim::EnabledInterfaceCount(), 1u);
    for (const kmsim::InterfaceInfo& i : kmsim::Interfaces()) {
        if (i.pdo != sbp2sim::UnitPdo(p, 1))
            continue;
        EXPECT_FALSE(i.enabled);
        EXPECT_EQ(kmsim::RegValueNames(i.keyPath), std::vector<std::string>());
    }
    EXPECT_EQ(kmsim::RegSubkeys(kPortNumbers), std::vector<std::string>{"Port1"});
}

TEST_F(PublishTest, DescriptionEndsInTheTailOfTheKey)
{
    struct Case {
        const char* key;
        const char* deviceId;
        const char* description;
    } cases[] = {
        {"00A0B8C9D0EA1B2C3", "MFG:Acme;MDL:P-1;", "Acme P-1:A1B2C3\\0"},
        // No model: identified as "1394 Printer", empty manufacturer and model.
        {"00A0B8C9D0EA1B2C3", "MFG:Acme;CLS:PRINTER;", " :A1B2C3\\0"},
        {"00A0B8C9D0E1F203", "MANUFACTURER:Acme;MODEL:P 1;", "Acme P 1:1F203\\0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.deviceId);
        sbp2sim::Printer* p = Connect(Printer(c.key, c.deviceId));
        EXPECT_EQ(StoredText(InterfaceKey(p), "Port Description"), c.description);
        Unplug(p);
    }
}

// Bytes above 0x7F are characters of the system's code page, converted as
// the child's IDs are: 0x99 is the trade mark sign there, not U+0099.
TEST_F(PublishTest, DescriptionIsConvertedWithTheSystemCodePage)
{
    sbp2sim::Printer* p = Connect(Printer(kKey17, "MFG:Acme\x99;MDL:P\xE9;"));
    ULONG type = 0;
    std::vector<unsigned char> data;
    ASSERT_TRUE(kmsim::RegGetRaw(InterfaceKey(p), "Port Description", &type, &data));
    std::u16string text;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        text.push_back((char16_t)(data[i] | data[i + 1] << 8));
    EXPECT_EQ(text, std::u16string(u"Acme\u2122 P\u00E9:A1B2C3\0", 16));
    ASSERT_NE(Child(p), nullptr);
    PDEVICE_EXTENSION parent = Ext(p, 0);
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, parent->Manufacturer);
    UNICODE_STRING wide;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(text.substr(0, 5), std::u16string((char16_t*)wide.Buffer, wide.Length / 2));
    RtlFreeUnicodeString(&wide);
}

TEST_F(PublishTest, OverlongManufacturerAndModelStayWithinTheirFields)
{
    std::string manufacturer(200, 'M'), model(200, 'm');
    sbp2sim::Printer* p = Connect(Printer(kKey17, "MFG:" + manufacturer + ";MDL:" + model + ";"));
    EXPECT_EQ(std::string(Ext(p, 0)->Manufacturer), manufacturer.substr(0, 63));
    EXPECT_EQ(std::string(Ext(p, 0)->Model), model.substr(0, 79));
    EXPECT_EQ(StoredText(InterfaceKey(p), "Port Description"),
              manufacturer.substr(0, 63) + " " + model.substr(0, 79) + ":A1B2C3\\0");
}

TEST_F(PublishTest, APrinterKeepsItsNumberAcrossUnplugAndRestart)
{
    sbp2sim::Printer* a = Connect(Printer(kKeyA));
    ASSERT_EQ(Ext(a, 0)->PortNumber, 1u);
    Unplug(a);
    std::string before =
        ::testing::TempDir() + "ident_before-" + std::to_string(getpid()) + ".dump";
    std::string after = ::testing::TempDir() + "ident_after-" + std::to_string(getpid()) + ".dump";
    ASSERT_TRUE(kmsim::RegSave(before));

    a = Connect(Printer(kKeyA));
    EXPECT_EQ(Ext(a, 0)->PortNumber, 1u);
    EXPECT_EQ(StoredDword(kPortNumbers, "MaxPortNumber"), 1u);

    Restart();
    a = Connect(Printer(kKeyA));
    EXPECT_EQ(Ext(a, 0)->PortNumber, 1u);
    // Nothing in the registry differs from the first connection: the same
    // number, key, interface values and port name are found and rewritten.
    Unplug(a);
    ASSERT_TRUE(kmsim::RegSave(after));
    std::ifstream b(before), c(after);
    std::string beforeText((std::istreambuf_iterator<char>(b)), {});
    std::string afterText((std::istreambuf_iterator<char>(c)), {});
    EXPECT_EQ(beforeText, afterText);
}

TEST_F(PublishTest, EachNewPrinterGetsTheNextNumberAndNumbersAreNeverReused)
{
    sbp2sim::Printer* a = Connect(Printer(kKeyA));
    sbp2sim::Printer* b = Connect(Printer(kKeyB));
    EXPECT_EQ(Ext(a, 0)->PortNumber, 1u);
    EXPECT_EQ(Ext(b, 0)->PortNumber, 2u);
    EXPECT_EQ(StoredDword(kPortNumbers, "MaxPortNumber"), 2u);
    EXPECT_EQ(StoredText(PortKey(2), "Guid"), kKeyB + "\\0\\0");
    EXPECT_EQ(StoredText(kmsim::DeviceKeyPath(Child(b)), "PortName"), "QXZR1394_002\\0");
    Unplug(a);
    Unplug(b);

    // Port 1's key deleted by hand: its printer and a new one both get new
    // numbers above the highest ever handed out.
    kmsim::RegDeleteKey(PortKey(1));
    a = Connect(Printer(kKeyA));
    EXPECT_EQ(Ext(a, 0)->PortNumber, 3u);
    sbp2sim::Printer* c = Connect(Printer(kKey17));
    EXPECT_EQ(Ext(c, 0)->PortNumber, 4u);
    EXPECT_EQ(StoredDword(kPortNumbers, "MaxPortNumber"), 4u);
}

// A "MaxPortNumber" no numbering could have reached: the search stops at
// the numbers that can exist, the new printer takes the first free one, and
// nothing is written outside that port's own key.
TEST_F(PublishTest, TamperedHighestNumberIsNotSearchedToItsEnd)
{
    sbp2sim::Printer* b = Connect(Printer(kKeyB));
    ASSERT_EQ(Ext(b, 0)->PortNumber, 1u);
    Unplug(b);
    kmsim::RegSetDword(kPortNumbers, "MaxPortNumber", 0xFFFFFFFF);

    sbp2sim::Printer* a = Connect(Printer(kKeyA));
    EXPECT_EQ(Ext(a, 0)->PortNumber, 2u);
    EXPECT_EQ(StoredText(PortKey(2), "Guid"), kKeyA + "\\0\\0");
    EXPECT_EQ(StoredText(kPortNumbers, "Guid"), "(missing)");
    EXPECT_EQ(StoredDword(kPortNumbers, "MaxPortNumber"), 0xFFFFFFFFu);
    b = Connect(Printer(kKeyB));
    EXPECT_EQ(Ext(b, 0)->PortNumber, 1u);
    Unplug(a);
    a = Connect(Printer(kKeyA));
    EXPECT_EQ(Ext(a, 0)->PortNumber, 2u);
}

TEST_F(PublishTest, StoredKeysThatCannotBeOursDoNotMatch)
{
    kmsim::RegSetDword(kPortNumbers, "MaxPortNumber", 3);
    // Port 1: the right text but longer than any key can be read into.
    kmsim::RegSetString(PortKey(1), "Guid", kmsim::U16(kKeyA + std::string(300, 'x')));
    // Port 2: not a string at all.
    kmsim::RegSetDword(PortKey(2), "Guid", 0x30303030);
    // Port 3: only the key's first 15 characters.
    kmsim::RegSetString(PortKey(3), "Guid", kmsim::U16(kKeyA.substr(0, 15)));
    sbp2sim::Printer* a = Connect(Printer(kKeyA));
    EXPECT_EQ(Ext(a, 0)->PortNumber, 4u);
}

// Values of another type than the numbering writes (a string count, a
// binary key) are read as missing or not matching, never stored over the
// reader's number or string.
TEST_F(PublishTest, StoredValuesOfAnotherTypeAreNotOurs)
{
    kmsim::RegSetString(kPortNumbers, "MaxPortNumber", u"2");
    sbp2sim::Printer* a = Connect(Printer(kKeyA));
    EXPECT_EQ(Ext(a, 0)->PortNumber, 1u); // the count reads as 0
    EXPECT_EQ(StoredDword(kPortNumbers, "MaxPortNumber"), 1u);

    std::vector<unsigned char> blob(36, 0);
    for (size_t i = 0; i < kKeyB.size(); i++)
        blob[2 * i] = (unsigned char)kKeyB[i];
    kmsim::RegSetBinary(PortKey(1), "Guid", REG_BINARY, blob);
    sbp2sim::Printer* b = Connect(Printer(kKeyB));
    EXPECT_EQ(Ext(b, 0)->PortNumber, 2u);
}

// Whatever allocation fails while a printer is added, started and
// published, nothing leaks, no rule of the kernel is broken and no other
// printer's number is taken.
TEST_F(PublishTest, ConnectingSurvivesEveryAllocationFailure)
{
    Unplug(Connect(Printer(kKeyB)));
    unsigned long before = kmsim::AllocationCount();
    Unplug(Connect(Printer(kKeyA)));
    unsigned long needed = kmsim::AllocationCount() - before;
    for (unsigned long n = 1; n <= needed; n++) {
        sbp2sim::Printer* p = Plug(Printer(kKeyA));
        kmsim::FailNthAllocation(n);
        for (int unit = 0; unit < 2; unit++)
            PlugUnit(p, unit);
        kmsim::ClearFailures();
        Unplug(p);
        ASSERT_EQ(kmsim::Violations(), std::vector<std::string>()) << "allocation " << n;
        ASSERT_EQ(kmsim::OpenKeyHandles(), 0u) << "allocation " << n;
        ASSERT_EQ(StoredText(PortKey(1), "Guid"), kKeyB + "\\0\\0") << "allocation " << n;
    }
}

TEST_F(PublishTest, LegacyPlatformPublishesUnderItsOwnClassAndKeys)
{
    Boot(true);
    sbp2sim::Printer* p = Connect(Printer(kKey17));
    EXPECT_EQ(Ext(p, 0)->PortNumber, 1u);
    EXPECT_EQ(StoredDword(kLegacyPortNumbers, "MaxPortNumber"), 1u);
    EXPECT_FALSE(kmsim::RegKeyExists(kPortNumbers));

    std::vector<kmsim::InterfaceInfo> all;
    const kmsim::InterfaceInfo* i = Interface(p, all);
    ASSERT_NE(i, nullptr);
    EXPECT_TRUE(i->enabled);
    EXPECT_EQ(GuidText(i->classGuid), kLegacyClass);
    // Unit 0 was added and started before unit 1 arrived: its LPT name.
    EXPECT_EQ(StoredText(i->keyPath, "Link Name"), "\\\\.\\LPT2\\0");
    EXPECT_EQ(StoredText(i->keyPath, "Port Description"), "Acme P-1:A1B2C3\\0");
    EXPECT_EQ(
        Sorted(i->valuesAtArrival),
        (std::vector<std::string>{"Base Name", "Link Name", "Port Description", "Port Number"}));
    // The port name goes under the unit's own device key, not the child's.
    EXPECT_EQ(StoredText(kmsim::DeviceKeyPath(sbp2sim::UnitPdo(p, 0)), "PortName"),
              "QXZR1394_001\\0");
    ASSERT_NE(Child(p), nullptr);
    EXPECT_EQ(StoredText(kmsim::DeviceKeyPath(Child(p)), "PortName"), "(missing)");
}

} // namespace
} // namespace ident
