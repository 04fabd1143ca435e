// The Root database as the driver's components read it: the fixed values of
// the package, the printer-data value names and the status value names.
#include "model_query.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

using namespace modeldata;

namespace
{

struct RootValue {
    DWORD id;
    const char* text; // null: a number list
    std::vector<int32_t> numbers;
};

const RootValue kRootValues[] = {
    {2, "1.75a", {}},
    {3, "qmxwa7k.dll", {}},
    {4, nullptr, {1}},
    {5, nullptr, {107}},
    {6, nullptr, {105}},
    {7, nullptr, {102}},
    {9, nullptr, {0}},
    {10, "qmxwb7k.exe", {}},
    {11, "qmxwd7k.hlp", {}},
    {12, nullptr, {1}},
    {13, nullptr, {0}},
    {14, nullptr, {16}},
    {15, nullptr, {1}},
    {16, "qmxwe7k.hlp", {}},
    {17, nullptr, {17603}},
    {19, "qmxwf7k.dll", {}},
    {20, "qmxwg7k.dll", {}},
    {21, nullptr, {1}},
    {22, nullptr, {1}},
    {23, nullptr, {3, 1}},
    {24, "qmxwm7k.dll", {}},
    {25, "Orvex ZR Port Driver Qmxlpt27", {}},
    {26, "qmxwj7k.smr", {}},
    {27, "qmxwj7k.exe", {}},
    {28, "ZR Status Monitor", {}},
    {29, "qmxwl7k.ini", {}},
    {33, nullptr, {1}},
    {34, nullptr, {0}},
    {35, "Orvex Tessa 4410x Print Processor", {}},
    {36, nullptr, {81}},
    {37, "qmxwk7k.exe", {}},
    {38, "qmxwn7k.dll", {}},
    {39, "qmxwh7k.dll", {}},
    {42, "qmxwp7k.exe", {}},
    {43, "qmxwq7k.hlp", {}},
    {44, nullptr, {14844}},
    {45, nullptr, {2}},
    {46, "qmxwc7k.exe", {}},
    {50, nullptr, {1}},
    {51, nullptr, {0}},
    {55, nullptr, {1}},
    {56, nullptr, {1}},
    {64, nullptr, {1}},
    {67, nullptr, {7, 0}},
};

struct ValueName {
    LONG code;
    const char* name;
};

// The printer-data value names by value code.
const ValueName kValueNames[] = {
    {1, "QmxUI_CustomPhotoDetect"},
    {2, "QmxUI_CustomECPMode"},
    {3, "QmxUI_CustomPausePage"},
    {4, "QmxUI_CustomPauseScan"},
    {5, "QmxUI_CustomPHAAfter"},
    {6, "QmxUI_CustomManualPHA"},
    {7, "QmxUI_CustomCleanAfter"},
    {8, "QmxUI_CustomEconomyClean"},
    {9, "QmxUI_CustomInkOutDetect"},
    {10, "QmxUI_CustomPreventTrans"},
    {11, "QmxUI_CustomEnableSealedPrintMode"},
    {12, "QmxUI_CustomEvenlyPrint"},
    {13, "QmxUI_CustomMediaDetection"},
    {14, "QmxUI_CustomMediaSense"},
    {15, "QmxUI_CustomPaperGap"},
    {51, "QmxUI_InkDry"},
    {101, "QmxSLM_CHDID"},
    {102, "QmxSLM_CartridgeDetectID"},
    {201, "QmxSLM_SSR"},
    {202, "QmxSLM_SFA"},
    {203, "QmxSLM_RDC"},
    {204, "QmxSLM_RST"},
    {205, "QmxSLM_TLN"},
    {206, "QmxSLM_FEP"},
    {207, "QmxSLM_BST"},
    {208, "QmxSLM_ECH"},
    {209, "QmxSLM_PID"},
    {210, "QmxSLM_TRB"},
    {211, "QmxSLM_CHD"},
    {212, "QmxSLM_CIL"},
    {213, "QmxSLM_SPS"},
    {214, "QmxSLM_OPT"},
    {215, "QmxSLM_LVR"},
    {216, "QmxSLM_MID"},
    {217, "QmxSLM_HCU"},
    {218, "QmxSLM_DJS"},
    {219, "QmxSLM_DBS"},
    {220, "QmxSLM_DWS"},
    {221, "QmxSLM_DOC"},
    {222, "QmxSLM_DSC"},
    {223, "QmxSLM_CIR"},
    {224, "QmxSLM_TNK"},
    {225, "QmxSLM_REG"},
    {226, "QmxSLM_CTK"},
    {227, "QmxSLM_TII"},
    {228, "QmxSLM_TBI"},
    {229, "QmxSLM_TSI"},
    {230, "QmxSLM_TUI"},
    {231, "QmxSLM_CMS"},
    {232, "QmxSLM_AOP"},
    {233, "QmxSLM_AOF"},
    {234, "QmxSLM_CBT"},
    {235, "QmxSLM_COB"},
    {236, "QmxSLM_CSN"},
    {301, "QmxSLM_DeviceID"},
    {302, "QmxSLM_Status"},
    {303, "QmxSLM_UserName"},
    {304, "QmxSLM_PaperSource"},
    {305, "QmxSLM_JobId"},
    {306, "QmxSLM_Page"},
    {307, "QmxSLM_Notify"},
    {308, "QmxSLM_ECP"},
    {309, "QmxSLM_BSCCStatus"},
    {310, "QmxSLM_TimeLastUpdated"},
    {311, "QmxSLM_CartridgeJobInfo"},
    {313, "QmxSLM_Version"},
    {314, "QmxSLM_LMStatusType"},
    {315, "QmxSLM_LMStatusNoofParam"},
    {316, "QmxSLM_LMStatusParam1"},
    {317, "QmxSLM_LMStatusParam2"},
    {318, "QmxSLM_LMStatusParam3"},
    {319, "QmxSLM_LMStatusParam4"},
    {320, "QmxSLM_LMStatusParam5"},
    {321, "QmxSLM_Bidirection"},
    {322, "QmxSLM_AllowCancel"},
    {323, "QmxSLM_WriteError"},
    {324, "QmxSLM_DifferentPrinter"},
    {325, "QmxSLM_StatusInfo"},
    {326, "QmxSLM_LMStatusMagicNumber"},
    {327, "QmxSLM_DisplayDialog"},
    {328, "QmxSLM_MonitorData"},
    {329, "QmxSLM_Message"},
    {330, "QmxSLM_MessageOption"},
    {331, "QmxSLM_CancelJobID"},
    {332, "QmxSLM_StringList"},
    {333, "QmxSLM_DlgMagicNumber"},
    {334, "QmxSLM_BiDirectionalPort"},
    {151, "QmxUI_AutoPowerOn"},
    {152, "QmxUI_AutoPowerOff"},
    {155, "QmxUI_AutoPowerOffBattery"},
    {153, "QmxUI_SilentModeEnable"},
    {154, "QmxUI_SilentModeTime"},
    {156, "QmxUI_InkAlertEnable"},
    {157, "QmxUI_InkAlertMessage"},
    {158, "QmxUI_InkSaveModeEnable"},
    {159, "QmxUI_SingleColorModeEnable"},
    {402, "QmxUI_ManageablePrinter"},
    {403, "QmxUI_ShipmentPlace"},
    {404, "QmxUI_LanguageDefault"},
    {405, "QmxUI_LanguageCurrent"},
    {406, "QmxUI_LanguageSelect"},
    {501, "QmxPP_Counter"},
    {502, "QmxPP_LMCheck"},
    {503, "QmxPP_TurnPage"},
    {504, "QmxPP_DupInfo"},
    {601, "QmxLM_NoResetPrinter"},
    {701, "QmxPI_TII"},
    {702, "QmxPI_CMS"},
    {703, "QmxPI_TII_CMS"},
    {801, "QmxDRV_SingleColorModeColor"},
};

// The three-letter status codes that have a value name.
const char* const kStatusCodes[] = {
    "SSR", "SFA", "RDC", "RST", "TLN", "FEP", "BST", "ECH", "PID", "TRB", "CHD", "CIL",
    "SPS", "OPT", "LVR", "MID", "HCU", "DJS", "DBS", "DWS", "DOC", "DSC", "CIR", "TNK",
    "REG", "CTK", "TII", "TBI", "TSI", "TUI", "CMS", "AOP", "AOF", "CBT", "COB", "CSN",
};

Answer AskValueName(LONG code)
{
    Request request;
    request.Set(0, code);
    return Ask(XDB_AccessRootDataBase, 8, request);
}

Answer AskStatusName(const char* code)
{
    Request request;
    request.String(0, code);
    return Ask(XDB_AccessRootDataBase, 18, request);
}

class RootDatabase : public ModelTest
{
};

TEST_F(RootDatabase, EveryFixedValue)
{
    for (const RootValue& v : kRootValues) {
        SCOPED_TRACE("root id " + std::to_string(v.id));
        Answer a = Ask(XDB_AccessRootDataBase, v.id);
        ASSERT_EQ(a.code, DB_OK);
        if (v.text) {
            EXPECT_EQ(a.size, 2 * (std::strlen(v.text) + 1));
            EXPECT_EQ(a.Text(), v.text);
        } else {
            EXPECT_EQ(a.size, 4 * v.numbers.size());
            EXPECT_EQ(a.Ints(), v.numbers);
        }
    }
}

TEST_F(RootDatabase, VersionFollowsTheSizeQueryProtocol)
{
    unsigned char buffer[16];
    DWORD out = kSizeUntouched;
    Request empty;

    EXPECT_EQ(XDB_AccessRootDataBase(2, empty.Get(), 0, nullptr, &out), DB_MORE_DATA);
    EXPECT_EQ(out, 12u);

    // One byte short: nothing is copied, the need is reported again.
    std::memset(buffer, 0xCD, sizeof buffer);
    out = kSizeUntouched;
    EXPECT_EQ(XDB_AccessRootDataBase(2, empty.Get(), 11, buffer, &out), DB_MORE_DATA);
    EXPECT_EQ(out, 12u);
    for (unsigned char b : buffer)
        EXPECT_EQ(b, 0xCD);

    const unsigned char expected[12] = {'1', 0, '.', 0, '7', 0, '5', 0, 'a', 0, 0, 0};
    for (DWORD id : {0x2u, 0x10002u, 0xFFFF0002u}) {
        SCOPED_TRACE("id " + std::to_string(id));
        std::memset(buffer, 0xCD, sizeof buffer);
        out = kSizeUntouched;
        ASSERT_EQ(XDB_AccessRootDataBase(id, empty.Get(), 12, buffer, &out), DB_OK);
        EXPECT_EQ(out, 12u);
        EXPECT_EQ(std::memcmp(buffer, expected, 12), 0);
        EXPECT_EQ(buffer[12], 0xCD);
    }
}

TEST_F(RootDatabase, IdsOutsideTheRangeAreRefusedWithoutTouchingTheBuffer)
{
    Request empty;
    for (DWORD id : {0x0u, 0x1000u, 0x1001u, 0x2001u, 0x5008u, 0xFFFFu}) {
        SCOPED_TRACE("id " + std::to_string(id));
        unsigned char buffer[16];
        std::memset(buffer, 0xCD, sizeof buffer);
        DWORD out = kSizeUntouched;
        EXPECT_EQ(XDB_AccessRootDataBase(id, empty.Get(), sizeof buffer, buffer, &out),
                  DB_NO_ANSWER);
        EXPECT_EQ(out, kSizeUntouched);
        for (unsigned char b : buffer)
            EXPECT_EQ(b, 0xCD);
    }
}

TEST_F(RootDatabase, IdsInTheRangeWithoutAKeyAreUnknown)
{
    std::set<DWORD> keyed{8, 18};
    for (const RootValue& v : kRootValues)
        keyed.insert(v.id);
    ASSERT_EQ(keyed.size(), 46u);
    Request empty;
    for (DWORD id = 0x001; id <= 0xFFF; ++id) {
        DWORD out = kSizeUntouched;
        LONG code = XDB_AccessRootDataBase(id, empty.Get(), 0, nullptr, &out);
        if (keyed.count(id))
            EXPECT_NE(code, DB_UNKNOWN_ID) << "root id " << id;
        else
            EXPECT_EQ(code, DB_UNKNOWN_ID) << "root id " << id;
    }
}

TEST_F(RootDatabase, EveryValueCodeNamesItsValue)
{
    std::set<LONG> codes;
    for (const ValueName& v : kValueNames) {
        SCOPED_TRACE("value code " + std::to_string(v.code));
        codes.insert(v.code);
        Answer a = AskValueName(v.code);
        ASSERT_EQ(a.code, DB_OK);
        EXPECT_EQ(a.size, 2 * (std::strlen(v.name) + 1));
        EXPECT_EQ(a.Text(), v.name);
    }
    EXPECT_EQ(codes.size(), 110u);
}

TEST_F(RootDatabase, ValueCodesWithoutANameAnswerNothing)
{
    // Neighbours of the listed codes, the gap at 312, and values that only
    // match when a code is compared in the wrong width or sign.
    for (LONG code : {0L, 16L, 50L, 100L, 160L, 237L, 312L, 335L, 999L, -231L, 231L + 65536L}) {
        SCOPED_TRACE("value code " + std::to_string(code));
        EXPECT_EQ(AskValueName(code).code, DB_NO_ANSWER);
    }
}

TEST_F(RootDatabase, ValueNameNeedsSettingZero)
{
    Request none;
    EXPECT_EQ(Ask(XDB_AccessRootDataBase, 8, none).code, DB_NO_SETTINGS);
    Request emptyArray;
    emptyArray.Settings(0);
    EXPECT_EQ(Ask(XDB_AccessRootDataBase, 8, emptyArray).code, DB_NO_SETTINGS);
    Request oneSetting;
    oneSetting.Set(0, 231);
    Answer a = Ask(XDB_AccessRootDataBase, 8, oneSetting);
    ASSERT_EQ(a.code, DB_OK);
    EXPECT_EQ(a.Text(), "QmxSLM_CMS");
}

TEST_F(RootDatabase, EveryStatusCodeNamesItsValue)
{
    for (const char* code : kStatusCodes) {
        SCOPED_TRACE(code);
        Answer a = AskStatusName(code);
        ASSERT_EQ(a.code, DB_OK);
        EXPECT_EQ(a.size, 2u * 11u);
        EXPECT_EQ(a.Text(), std::string("QmxSLM_") + code);
    }
}

// The status monitor stores a status value under the name entry 18 gives;
// the printer-data selectors find it through entry 8, codes 201..236.
TEST_F(RootDatabase, StatusNamesAreTheValueNamesOfCodes201To236)
{
    LONG code = 201;
    for (const char* status : kStatusCodes) {
        SCOPED_TRACE(status);
        EXPECT_EQ(AskStatusName(status).Text(), AskValueName(code).Text());
        ++code;
    }
    EXPECT_EQ(code, 237);
}

TEST_F(RootDatabase, StatusCodesMatchExactly)
{
    for (const char* text : {"CM", "CMSX", "cms", "Cms", " CMS", "", "QmxSLM_CMS"}) {
        SCOPED_TRACE(std::string("\"") + text + "\"");
        EXPECT_EQ(AskStatusName(text).code, DB_NO_ANSWER);
    }
    Answer null = AskStatusName(nullptr);
    EXPECT_EQ(null.code, DB_NO_ANSWER);
}

TEST_F(RootDatabase, StatusNameNeedsStringZero)
{
    Request none;
    EXPECT_EQ(Ask(XDB_AccessRootDataBase, 18, none).code, DB_NO_STRINGS);
    Request emptyArray;
    emptyArray.Strings(0);
    EXPECT_EQ(Ask(XDB_AccessRootDataBase, 18, emptyArray).code, DB_NO_STRINGS);
    // Settings do not stand in for strings.
    Request settingsOnly;
    settingsOnly.Set(0, 231);
    EXPECT_EQ(Ask(XDB_AccessRootDataBase, 18, settingsOnly).code, DB_NO_STRINGS);
}

// A printer-data selector reads its value under the name that entry 8 gives
// for its value code; a code without a name could never be read and would
// always take the selector's default. The model source is the only place
// that lists the codes the selectors use.
TEST_F(RootDatabase, EveryPrinterDataSelectorOfTheModelHasAValueName)
{
    const std::regex selector(R"((^|[^A-Za-z0-9_])pdata\s+(0x[0-9A-Fa-f]+|[0-9]+))");
    std::set<LONG> codes;
    for (const auto& file : std::filesystem::directory_iterator(MODEL_SOURCE_DIR)) {
        if (file.path().extension() != ".model")
            continue;
        std::ifstream in(file.path());
        std::string line;
        while (std::getline(in, line)) {
            line = line.substr(0, line.find('#'));
            for (std::sregex_iterator m(line.begin(), line.end(), selector), end; m != end; ++m)
                codes.insert(static_cast<LONG>(std::stol((*m)[2].str(), nullptr, 0)));
        }
    }
    // The library itself reads 153 and 13 through selectors.
    EXPECT_TRUE(codes.count(153));
    EXPECT_TRUE(codes.count(13));
    for (LONG code : codes) {
        SCOPED_TRACE("value code " + std::to_string(code));
        EXPECT_EQ(AskValueName(code).code, DB_OK);
    }
}

} // namespace
