// The seven exports called from many threads at once. Each thread walks the
// same questions in its own order, and every answer must equal the one the
// question gets when asked alone: the exports share no state, and each call
// that opens a printer by name uses its own handle.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <winspool.h>

#include "prnmodel.h"
#include "um_control.h"

namespace
{

using Export = LONG(WINAPI*)(DWORD, const DataBaseRequest*, DWORD, void*, DWORD*);

struct Answer {
    LONG result = 0;
    DWORD size = 0;
    std::vector<BYTE> bytes;
    bool operator==(const Answer& o) const
    {
        return result == o.result && size == o.size && bytes == o.bytes;
    }
};

// A question owns its arrays; threads only read them.
struct Question {
    std::string name;
    Export db = nullptr; // null: GetMediaInfo of `text`
    DWORD id = 0;
    std::vector<LONG> settings;
    std::vector<const char*> strings;
    const WCHAR* printerName = nullptr;
    HANDLE printer = nullptr;
    const WCHAR* text = nullptr;

    Answer Ask() const
    {
        Answer a;
        if (db == nullptr) {
            MediaInfo info{};
            a.size = sizeof info;
            a.result = GetMediaInfo(text, &info, &a.size);
            a.bytes.resize(sizeof info);
            std::memcpy(a.bytes.data(), &info, sizeof info);
            return a;
        }
        DataBaseRequest request{};
        request.Printer = printer;
        request.SettingCount = static_cast<DWORD>(settings.size());
        request.Settings = const_cast<LONG*>(settings.data());
        request.StringCount = static_cast<DWORD>(strings.size());
        request.Strings = strings.empty() ? nullptr : const_cast<LPCSTR*>(strings.data());
        request.PrinterName = printerName;
        a.result = db(id, &request, 0, nullptr, &a.size);
        if (a.result == DB_MORE_DATA) {
            a.bytes.assign(a.size, 0xCD);
            a.result = db(id, &request, a.size, a.bytes.data(), &a.size);
            if (a.result == DB_OK)
                a.bytes.resize(a.size);
        }
        return a;
    }
};

const WCHAR kPrinterName[] = L"ZR Tessa";

std::vector<LONG> JobSettings()
{
    std::vector<LONG> s(132, 0);
    s[4] = 3;
    s[5] = 1;
    s[6] = 1;
    s[7] = 263;
    s[8] = 3;
    s[28] = 9;
    s[112] = 1;
    return s;
}

std::vector<Question> Questions(HANDLE shared)
{
    std::vector<Question> q;
    auto add = [&](const char* name, Export db, DWORD id, std::vector<LONG> settings,
                   const WCHAR* byName, HANDLE handle) {
        Question x;
        x.name = name;
        x.db = db;
        x.id = id;
        x.settings = std::move(settings);
        x.printerName = byName;
        x.printer = handle;
        q.push_back(std::move(x));
    };
    std::vector<LONG> job = JobSettings();
    std::vector<LONG> user = job;
    user[28] = 256;
    user[96] = 15000;
    user[97] = 20000;
    std::vector<LONG> media = job;
    media[106] = 1;
    media[108] = 999;
    media[81] = 1;
    std::vector<LONG> name(1, 154);

    add("Root 2", XDB_AccessRootDataBase, 2, {}, nullptr, nullptr);
    add("Root 8", XDB_AccessRootDataBase, 8, name, kPrinterName, nullptr);
    add("Drv 4099", XDB_AccessDrvDataBase, 4099, job, nullptr, nullptr);
    add("Drv 4113", XDB_AccessDrvDataBase, 4113, job, kPrinterName, nullptr);
    add("Drv 4109", XDB_AccessDrvDataBase, 4109, job, nullptr, shared);
    add("Drv 4118", XDB_AccessDrvDataBase, 4118, job, nullptr, nullptr);
    add("Drv 4120 by name", XDB_AccessDrvDataBase, 4120, job, kPrinterName, nullptr);
    add("Drv 4120 by handle", XDB_AccessDrvDataBase, 4120, job, nullptr, shared);
    add("Drv 4121", XDB_AccessDrvDataBase, 4121, job, nullptr, nullptr);
    add("Drv 4121 user paper", XDB_AccessDrvDataBase, 4121, user, kPrinterName, nullptr);
    add("Drv 4126", XDB_AccessDrvDataBase, 4126, job, nullptr, nullptr);
    add("Drv 4191 by name", XDB_AccessDrvDataBase, 4191, media, kPrinterName, nullptr);
    add("Drv 4191 by handle", XDB_AccessDrvDataBase, 4191, media, nullptr, shared);
    add("Mnt 12299", XDB_AccessMntDataBase, 12299, std::vector<LONG>(1, 21), nullptr, nullptr);
    add("PA 16386", XDB_AccessPADataBase, 16386, job, kPrinterName, nullptr);

    Question lm;
    lm.name = "LM 8237";
    lm.db = XDB_AccessLMDataBase;
    lm.id = 8237;
    lm.strings = {"", "", "", "", "TestPrint"};
    q.push_back(lm);
    Question sm;
    sm.name = "SM 24599";
    sm.db = XDB_AccessSMDataBase;
    sm.id = 24599;
    sm.settings = std::vector<LONG>(16, 0);
    sm.settings[15] = 40;
    sm.strings = {"", "", "", "", "", "", "", "LM"};
    sm.printerName = kPrinterName;
    q.push_back(sm);
    Question info;
    info.name = "GetMediaInfo";
    info.text = L"0100283C0A14";
    q.push_back(info);
    return q;
}

void StorePrinterValues()
{
    UmAddPrinter("ZR Tessa");
    UmSetPrinterDword("ZR Tessa", "QmxUI_SilentModeEnable", 2);
    UmSetPrinterDword("ZR Tessa", "QmxUI_SilentModeTime", (420u << 16) | 1320u);
    UmSetPrinterDword("ZR Tessa", "QmxUI_CustomMediaDetection", 0);
    UmSetPrinterString("ZR Tessa", "QmxSLM_CMS", "0200281E0A05");
}

TEST(ConcurrentExports, EveryThreadGetsTheSingleThreadedAnswer)
{
    UmReset();
    StorePrinterValues();
    HANDLE shared = nullptr;
    WCHAR name[] = L"ZR Tessa";
    ASSERT_TRUE(OpenPrinterW(name, &shared, nullptr));
    unsigned long blocks = UmGlobalOutstanding();

    const std::vector<Question> questions = Questions(shared);
    std::vector<Answer> expected;
    for (const Question& q : questions)
        expected.push_back(q.Ask());
    // The questions must reach the paths worth racing: printer opens, data
    // reads, list copies, builders.
    for (size_t i = 0; i < questions.size(); ++i)
        ASSERT_TRUE(expected[i].result == DB_OK || expected[i].result == 1)
            << questions[i].name << " answered " << expected[i].result;

    const unsigned kThreads = 8;
    const unsigned kRounds = 60;
    std::vector<std::vector<std::string>> mismatches(kThreads);
    std::atomic<unsigned> ready{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Start together so the calls overlap.
            ready.fetch_add(1);
            while (ready.load() < kThreads)
                std::this_thread::yield();
            for (unsigned round = 0; round < kRounds; ++round) {
                for (size_t k = 0; k < questions.size(); ++k) {
                    size_t i = (k * (t + 1) + round) % questions.size();
                    if (!(questions[i].Ask() == expected[i]))
                        mismatches[t].push_back(questions[i].name);
                }
            }
        });
    }
    for (std::thread& th : threads)
        th.join();

    for (unsigned t = 0; t < kThreads; ++t)
        EXPECT_TRUE(mismatches[t].empty())
            << "thread " << t << " got a different answer for " << mismatches[t].size()
            << " questions, first " << mismatches[t].front();
    EXPECT_EQ(UmGlobalOutstanding(), blocks);
    EXPECT_EQ(UmPrintersOpen(), 1u); // only the shared handle
    // Every printer an export opened by name it closed again.
    EXPECT_EQ(UmPrinterOpens(), UmPrinterCloses() + 1);
    EXPECT_GT(UmPrinterOpens(), size_t(kThreads) * kRounds);
    EXPECT_TRUE(ClosePrinter(shared));
    EXPECT_EQ(UmPrinterBadCloses(), 0u);
    std::printf("[ stress   ] %u threads x %u rounds x %zu questions = %zu calls\n", kThreads,
                kRounds, questions.size(), size_t(kThreads) * kRounds * questions.size());
}

} // namespace
