// The identification strings built from a printer's IEEE 1284 device ID:
// parsing, the checksum and the printer-style IDs of the child device.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <ntddk.h>
#include "prnsbp.h"
#include "identify.h"

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

struct BuildResult {
    NTSTATUS status;
    std::string out, description, manufacturer, model;
};

BuildResult Identify(const std::string& deviceId)
{
    std::vector<char> text(deviceId.begin(), deviceId.end());
    text.push_back('\0');
    // Guard bytes behind each output catch a copy that ignores its bound.
    std::vector<char> out(ID_STRING_SIZE + 8, 'G'), description(ID_STRING_SIZE + 8, 'G');
    std::vector<char> manufacturer(ID_MANUFACTURER_SIZE + 8, 'G'), model(ID_MODEL_SIZE + 8, 'G');
    BuildResult r;
    r.status = BuildIdFromDeviceId(text.data(), ID_FORM_IDENTIFICATION, out.data(),
                                   description.data(), manufacturer.data(), model.data());
    for (size_t i = ID_STRING_SIZE; i < out.size(); i++) {
        EXPECT_EQ(out[i], 'G');
        EXPECT_EQ(description[i], 'G');
    }
    for (size_t i = ID_MANUFACTURER_SIZE; i < manufacturer.size(); i++)
        EXPECT_EQ(manufacturer[i], 'G');
    for (size_t i = ID_MODEL_SIZE; i < model.size(); i++)
        EXPECT_EQ(model[i], 'G');
    if (r.status == STATUS_SUCCESS) {
        r.out = out.data();
        r.description = description.data();
        r.manufacturer = manufacturer.data();
        r.model = model.data();
    }
    return r;
}

TEST(BuildIdFromDeviceId, IdentificationJoinsManufacturerAndModel)
{
    BuildResult r = Identify("MANUFACTURER:Acme;MODEL:P 1;");
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.out, "AcmeP 1");
    EXPECT_EQ(r.description, "Acme P 1");
    EXPECT_EQ(r.manufacturer, "Acme");
    EXPECT_EQ(r.model, "P 1");
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
    BuildResult r = Identify("MFG:" + manufacturer + ";MDL:" + model + ";");
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.manufacturer, manufacturer.substr(0, ID_MANUFACTURER_SIZE - 1));
    EXPECT_EQ(r.model, model.substr(0, ID_MODEL_SIZE - 1));
    EXPECT_EQ(r.out, manufacturer.substr(0, ID_STRING_SIZE - 1));
    EXPECT_EQ(r.description.size(), (size_t)ID_STRING_SIZE - 1);
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

TEST(BuildIdFromDeviceId, UnknownFormIsRefused)
{
    std::string text = "abc";
    char out[ID_STRING_SIZE];
    EXPECT_EQ(BuildIdFromDeviceId(text.data(), 3, out, nullptr, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
}

} // namespace
