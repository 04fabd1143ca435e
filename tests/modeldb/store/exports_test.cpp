// The six database exports over the small model: id ranges, the request
// copy, and the printer opened by name for one call.
#include <winspool.h>

#include <atomic>
#include <thread>

#include "store_fixture.h"

extern const ModelTables StoreTestTables;

namespace
{

typedef LONG(WINAPI* Export)(DWORD, const DataBaseRequest*, DWORD, void*, DWORD*);

struct Database {
    const char* name;
    Export fn;
    DWORD first, last;
    DWORD present; // an id of the small model inside the range
};

const Database kDatabases[] = {
    {"Root", XDB_AccessRootDataBase, 0x0001, 0x0FFF, 4},
    {"Drv", XDB_AccessDrvDataBase, 0x1001, 0x1FFF, 4099},
    {"LM", XDB_AccessLMDataBase, 0x2001, 0x2FFF, 8202},
    {"Mnt", XDB_AccessMntDataBase, 0x3001, 0x3FFF, 12290},
    {"PA", XDB_AccessPADataBase, 0x4001, 0x4FFF, 16392},
    {"SM", XDB_AccessSMDataBase, 0x6001, 0x6FFF, 24598},
};

class ExportsTest : public StoreTest
{
  protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        SwapModelTables(&StoreTestTables);
        settings_.assign(82, 0);
        settings_[28] = 9;
        request_.Settings = settings_.data();
        request_.SettingCount = static_cast<DWORD>(settings_.size());
    }

    std::vector<LONG> settings_;
    DataBaseRequest request_{};
};

TEST_F(ExportsTest, EachExportAnswersOnlyItsOwnRange)
{
    for (const Database& db : kDatabases) {
        BYTE buffer[64];
        DWORD size = 0;
        EXPECT_EQ(db.fn(db.present, &request_, sizeof buffer, buffer, &size), DB_OK) << db.name;
        for (DWORD id : {db.first - 1, db.last + 1, db.present + 0x10000u - 0x1000u}) {
            if ((id & 0xFFFF) >= db.first && (id & 0xFFFF) <= db.last)
                continue;
            std::fill(buffer, buffer + sizeof buffer, 0xEE);
            size = 0xDEAD;
            EXPECT_EQ(db.fn(id, &request_, sizeof buffer, buffer, &size), DB_NO_ANSWER)
                << db.name << " " << std::hex << id;
            EXPECT_EQ(size, 0xDEADu);
            EXPECT_EQ(buffer[0], 0xEE);
        }
        for (const Database& other : kDatabases) {
            if (&other != &db) {
                EXPECT_EQ(other.fn(db.present, &request_, sizeof buffer, buffer, &size),
                          DB_NO_ANSWER)
                    << other.name << " answered " << db.present;
            }
        }
    }
    // Internal ids and the gaps between the ranges belong to no export.
    for (DWORD id : {0x0000u, 0x1000u, 0x5008u, 0x7000u, 0xFFFFu}) {
        for (const Database& db : kDatabases) {
            DWORD size = 0;
            EXPECT_EQ(db.fn(id, &request_, 0, nullptr, &size), DB_NO_ANSWER)
                << db.name << " " << id;
        }
    }
}

TEST_F(ExportsTest, MissingRequestOrOutSize)
{
    UmAddPrinter("Tessa");
    std::u16string name = Wide("Tessa");
    request_.PrinterName = W(name);
    BYTE buffer[16];
    DWORD size = 0;
    for (const Database& db : kDatabases) {
        EXPECT_EQ(db.fn(db.present, nullptr, sizeof buffer, buffer, &size), DB_NO_REQUEST)
            << db.name;
        EXPECT_EQ(db.fn(db.present, &request_, sizeof buffer, buffer, nullptr), DB_FAILED)
            << db.name;
    }
    EXPECT_EQ(UmPrinterOpens(), 0u);
}

TEST_F(ExportsTest, NamedPrinterIsOpenedAndClosedOncePerCall)
{
    UmAddPrinter("Tessa");
    UmSetPrinterDword("Tessa", "QmxUI_SilentModeEnable", 2);
    std::u16string name = Wide("TESSA"); // the spooler ignores case
    request_.PrinterName = W(name);
    for (int call = 1; call <= 3; ++call) {
        BYTE buffer[4];
        DWORD size = 0;
        ASSERT_EQ(XDB_AccessRootDataBase(40, &request_, sizeof buffer, buffer, &size), DB_OK);
        EXPECT_EQ(Longs(buffer, size), std::vector<LONG>{2})
            << "value read through the opened printer";
        EXPECT_EQ(UmPrinterOpens(), static_cast<unsigned long>(call));
        EXPECT_EQ(UmPrinterCloses(), static_cast<unsigned long>(call));
        EXPECT_EQ(UmPrintersOpen(), 0u);
    }
    EXPECT_EQ(request_.Printer, nullptr) << "the caller's request must not change";
    // A plain value, a failing lookup and an id outside the range.
    DWORD size = 0;
    EXPECT_EQ(XDB_AccessRootDataBase(2, &request_, 0, nullptr, &size), DB_MORE_DATA);
    EXPECT_EQ(XDB_AccessRootDataBase(30, &request_, 0, nullptr, &size), DB_UNKNOWN_ID);
    EXPECT_EQ(UmPrinterOpens(), 5u);
    EXPECT_EQ(UmPrinterCloses(), 5u);
    EXPECT_EQ(XDB_AccessRootDataBase(0x1001, &request_, 0, nullptr, &size), DB_NO_ANSWER);
    EXPECT_EQ(UmPrinterOpens(), 5u) << "no printer for an id outside the range";
}

TEST_F(ExportsTest, WithoutHandleOrNameNoPrinterFunctionIsCalled)
{
    UmAddPrinter("Tessa");
    BYTE buffer[4];
    DWORD size = 0;
    ASSERT_EQ(XDB_AccessRootDataBase(40, &request_, sizeof buffer, buffer, &size), DB_OK);
    EXPECT_EQ(Longs(buffer, size), std::vector<LONG>{0});
    EXPECT_EQ(UmPrinterOpens() + UmPrinterOpenFailures() + UmPrinterCloses(), 0u);
}

TEST_F(ExportsTest, CallersHandleIsUsedAndNeverClosed)
{
    UmAddPrinter("Tessa");
    UmAddPrinter("Other");
    UmSetPrinterDword("Tessa", "QmxUI_SilentModeEnable", 1);
    std::u16string tessa = Wide("Tessa");
    std::u16string other = Wide("Other");
    HANDLE handle = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(W(tessa)), &handle, nullptr));
    request_.Printer = handle;
    request_.PrinterName = W(other); // ignored when a handle is given
    BYTE buffer[4];
    DWORD size = 0;
    ASSERT_EQ(XDB_AccessRootDataBase(40, &request_, sizeof buffer, buffer, &size), DB_OK);
    EXPECT_EQ(Longs(buffer, size), std::vector<LONG>{1});
    EXPECT_EQ(UmPrinterOpens(), 1u);
    EXPECT_EQ(UmPrinterCloses(), 0u);
    ClosePrinter(handle);
}

TEST_F(ExportsTest, PrinterThatCannotBeOpenedLeavesTheCallWithoutPrinter)
{
    UmAddPrinter("Tessa");
    UmSetPrinterDword("Tessa", "QmxUI_SilentModeEnable", 1);
    std::u16string name = Wide("Nobody");
    request_.PrinterName = W(name);
    BYTE buffer[4];
    DWORD size = 0;
    ASSERT_EQ(XDB_AccessRootDataBase(40, &request_, sizeof buffer, buffer, &size), DB_OK);
    EXPECT_EQ(Longs(buffer, size), std::vector<LONG>{0}) << "printer value unreadable: default";
    EXPECT_EQ(XDB_AccessRootDataBase(41, &request_, sizeof buffer, buffer, &size), DB_NO_ANSWER);
    EXPECT_EQ(UmPrinterOpenFailures(), 2u);
    EXPECT_EQ(UmPrinterCloses(), 0u);
}

// On Windows 98 and Me a named printer is opened through the ANSI form, by
// its name in the system code page, and only by a name that converts
// exactly: the best fit of U+0100 is 'A', which would open another printer.
TEST_F(ExportsTest, OnWindows98PrinterNamesConvertExactlyOrNotAtAll)
{
    UmAddPrinter("Caf\xE9");
    UmAddPrinter("TessA");
    UmSetPrinterDword("Caf\xE9", "QmxUI_SilentModeEnable", 2);
    UmSetPrinterDword("TessA", "QmxUI_SilentModeEnable", 1);
    UmPlayWindows9xSpooler(TRUE);
    auto silentMode = [&](const std::u16string& name) {
        request_.PrinterName = W(name);
        BYTE buffer[4];
        DWORD size = 0;
        EXPECT_EQ(XDB_AccessRootDataBase(40, &request_, sizeof buffer, buffer, &size), DB_OK);
        return Longs(buffer, size).at(0);
    };
    EXPECT_EQ(silentMode(u"caf\u00E9"), 2);
    EXPECT_EQ(silentMode(u"Tess\u0100"), 0);
    EXPECT_EQ(silentMode(u"\u4E2D"), 0);
    EXPECT_EQ(UmPrinterOpens(), 1u);
    EXPECT_EQ(UmPrintersOpen(), 0u);
}

TEST_F(ExportsTest, ConcurrentCallsShareNothing)
{
    UmAddPrinter("Tessa");
    UmSetPrinterDword("Tessa", "QmxUI_SilentModeEnable", 2);
    std::u16string name = Wide("Tessa");
    std::atomic<int> wrong{0};
    auto worker = [&](int seed) {
        DataBaseRequest req{};
        req.PrinterName = W(name);
        LONG code = 231;
        req.Settings = &code;
        req.SettingCount = 1;
        for (int i = 0; i < 200; ++i) {
            BYTE buffer[64];
            DWORD size = 0;
            if ((i + seed) % 2) {
                if (XDB_AccessRootDataBase(40, &req, sizeof buffer, buffer, &size) != DB_OK ||
                    Longs(buffer, size) != std::vector<LONG>{2})
                    ++wrong;
            } else if (XDB_AccessRootDataBase(8, &req, sizeof buffer, buffer, &size) != DB_OK ||
                       Narrow(buffer) != "QmxSLM_CMS") {
                ++wrong;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(worker, t);
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(UmPrinterOpens(), 800u);
    EXPECT_EQ(UmPrinterCloses(), 800u);
}

} // namespace
