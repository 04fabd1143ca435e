// The identification strings built from a printer's IEEE 1284 device ID:
// parsing, the checksum and the printer-style IDs of the child device.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <ntddk.h>
#include "prnsbp.h"
#include "identify.h"
#include "kmsim.h"

namespace
{

std::string Str(const char* text)
{
    return text != nullptr ? std::string(text) : "(null)";
}

USHORT Checksum(const std::string& text)
{
    USHORT checksum = 0xFFFF;
    IdChecksum(const_cast<PCHAR>(text.data()), (USHORT)text.size(), &checksum);
    return checksum;
}

TEST(IdChecksum, KnownValuesAndTheOneTableEntryThatDiffersFromCrc16)
{
    EXPECT_EQ(Checksum("abc"), 0x9738);
    EXPECT_EQ(Checksum("1394 Printer"), 0xF711);
    EXPECT_EQ(Checksum(""), 0);
    // 0xFF hits High[0xF]: the usual CRC-16/ARC gives 0x4040 here.
    EXPECT_EQ(Checksum("\xFF"), 0x4240);
}

struct ParseCase {
    const char* deviceId;
    const char* manufacturer;
    const char* model;
};

TEST(ParseIeee1284Id, FindsManufacturerAndModelKeys)
{
    const ParseCase cases[] = {
        {"MFG:Acme;MDL:P-1;CLS:PRINTER;", "Acme", "P-1"},
        {"MANUFACTURER:Acme;MODEL:P 1;", "Acme", "P 1"},
        {"XYZ&MFG:Acme;MDL:P-1;", "Acme", "P-1"},
        {"MFG:Acme;CLS:PRINTER;", "Acme", "(null)"},
        {"  MANUFA:Acme;  MDL:P-1", "Acme", "P-1"}, // blanks skipped, last value unterminated
        {"MANUF:Acme;MDL:P-1;", "(null)", "P-1"},   // five letters are not enough
        {"mfg:Acme;mdl:P-1;", "(null)", "(null)"},  // keys are case-sensitive
        {"MFG:Old;MDL:A;MFG:New;", "New", "A"},     // a later key replaces an earlier one
        {"MFG:Acme;MDL", "Acme", "(null)"},         // no colon after the last key
        // Parsing starts after the first '&' even inside a value: "B;MDL" is
        // then one unknown key.
        {"MFG:A&B;MDL:C;", "(null)", "(null)"},
        {"", "(null)", "(null)"},
    };
    for (const ParseCase& c : cases) {
        std::vector<char> text(c.deviceId, c.deviceId + strlen(c.deviceId) + 1);
        PCHAR manufacturer = (PCHAR)1;
        PCHAR model = (PCHAR)1;
        ParseIeee1284Id(text.data(), &manufacturer, &model);
        EXPECT_EQ(Str(manufacturer), c.manufacturer) << c.deviceId;
        EXPECT_EQ(Str(model), c.model) << c.deviceId;
    }
}

TEST(BuildIdFromDeviceId, IdentificationWithoutModelIsNotFoundAndWritesNothing)
{
    std::string text = "MFG:Acme;CLS:PRINTER;";
    char out[ID_STRING_SIZE] = "untouched";
    EXPECT_EQ(
        BuildIdFromDeviceId(text.data(), ID_FORM_IDENTIFICATION, out, nullptr, nullptr, nullptr),
        STATUS_NOT_FOUND);
    EXPECT_STREQ(out, "untouched");
}

TEST(BuildIdFromDeviceId, OverlongValuesAreCutToTheirBuffers)
{
    std::string manufacturer(300, 'M'), model(300, 'm');
    std::string text = "MFG:" + manufacturer + ";MDL:" + model + ";";
    // Exactly sized: the address sanitizer catches a copy past any of them.
    std::vector<char> out(ID_STRING_SIZE), description(ID_STRING_SIZE);
    std::vector<char> maker(ID_MANUFACTURER_SIZE), name(ID_MODEL_SIZE);
    ASSERT_EQ(BuildIdFromDeviceId(text.data(), ID_FORM_IDENTIFICATION, out.data(),
                                  description.data(), maker.data(), name.data()),
              STATUS_SUCCESS);
    EXPECT_EQ(std::string(maker.data()), manufacturer.substr(0, ID_MANUFACTURER_SIZE - 1));
    EXPECT_EQ(std::string(name.data()), model.substr(0, ID_MODEL_SIZE - 1));
    EXPECT_EQ(std::string(out.data()), manufacturer.substr(0, ID_STRING_SIZE - 1));
    EXPECT_EQ(std::string(description.data()), manufacturer.substr(0, ID_STRING_SIZE - 1));
}

std::string PrinterStyleId(const std::string& identification, ULONG form)
{
    std::string text = identification;
    char out[ID_STRING_SIZE];
    EXPECT_EQ(BuildIdFromDeviceId(text.data(), form, out, nullptr, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(text, identification) << "the hardware forms must not change their input";
    return out;
}

TEST(BuildIdFromDeviceId, HardwareAndCompatibleIds)
{
    struct Case {
        const char* identification;
        const char* hardware;
        const char* compatible;
    } cases[] = {
        {"1394 Printer", "LPTENUM\\1394_PrinterF711", "1394_PrinterF711"},
        {"abc", "LPTENUM\\abc9738", "abc9738"},
        // 0x0737 and 0x00EA: the blank padding of "%4X" turns into underscores.
        {"AcmeP-1", "LPTENUM\\AcmeP-1_737", "AcmeP-1_737"},
        {"gA", "LPTENUM\\gA__EA", "gA__EA"},
        // Only the first 20 characters go in; the checksum covers them all.
        {"Acme Corporation InkJet 9000", "LPTENUM\\Acme_Corporation_InkE09D",
         "Acme_Corporation_InkE09D"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PrinterStyleId(c.identification, ID_FORM_HARDWARE), c.hardware);
        EXPECT_EQ(PrinterStyleId(c.identification, ID_FORM_COMPATIBLE), c.compatible);
    }
}

// The driver's own C runtime routines (kernelcrt.h), which the Windows image
// carries instead of importing: memmove's copy in the right direction for
// either overlap, and the numbered names of devices and links.
TEST(KernelCrt, MoveCopiesOverlappingRangesInTheRightDirection)
{
    UCHAR bytes[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    CrtMoveMemory(bytes + 2, bytes, 6); // forward overlap: copied from the end
    EXPECT_EQ(std::vector<UCHAR>(bytes, bytes + 10),
              std::vector<UCHAR>({0, 1, 0, 1, 2, 3, 4, 5, 8, 9}));
    CrtMoveMemory(bytes, bytes + 3, 7); // backward overlap: copied from the start
    EXPECT_EQ(std::vector<UCHAR>(bytes, bytes + 10),
              std::vector<UCHAR>({1, 2, 3, 4, 5, 8, 9, 5, 8, 9}));
    CrtFillMemory(bytes + 1, 0xAB, 3);
    CrtMoveMemory(bytes + 9, bytes, 0);
    EXPECT_EQ(std::vector<UCHAR>(bytes, bytes + 5), std::vector<UCHAR>({1, 0xAB, 0xAB, 0xAB, 5}));
    EXPECT_EQ(bytes[9], 9);
}

TEST(KernelCrt, NumberedNamesAndLengths)
{
    WCHAR name[32];
    const struct {
        ULONG number;
        const char* text;
    } cases[] = {{0, "\\Device\\Printer0"},
                 {10, "\\Device\\Printer10"},
                 {4294967295u, "\\Device\\Printer4294967295"}};
    for (const auto& c : cases) {
        FormatNumberedName(name, L"\\Device\\Printer", c.number);
        EXPECT_EQ(kmsim::Narrow(name), c.text);
        EXPECT_EQ(CrtWideLength(name), strlen(c.text));
    }
    EXPECT_EQ(CrtStringLength("MFG:ORVEX;"), 10u);
    EXPECT_EQ(CrtStringLength(""), 0u);
}

} // namespace
