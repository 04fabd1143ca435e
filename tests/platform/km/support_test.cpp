// The simulated kernel's pool, synchronisation, clock, registry and strings.
#include "kmsim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace
{

class SupportTest : public ::testing::Test
{
  protected:
    void SetUp() override { kmsim::Reset(); }
    void TearDown() override { EXPECT_TRUE(kmsim::Violations().empty()); }
};

TEST_F(SupportTest, PoolAccountsByTagAndFailsOnRequest)
{
    ULONG a = kmsim::Tag("ZR a"), b = kmsim::Tag("ZR b");
    PVOID p1 = ExAllocatePoolWithTag(NonPagedPool, 10, a);
    PVOID p2 = ExAllocatePoolWithTag(PagedPool, 20, b);
    EXPECT_EQ(kmsim::LeakReport(), "ZR a: 1 (10 bytes)\nZR b: 1 (20 bytes)\n");
    kmsim::FailNthAllocation(2);
    PVOID p3 = ExAllocatePoolWithTag(NonPagedPool, 1, a);
    EXPECT_NE(p3, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1, a), nullptr);
    PVOID p4 = ExAllocatePoolWithTag(NonPagedPool, 1, a);
    EXPECT_NE(p4, nullptr);
    kmsim::FailTag(b);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1, b), nullptr);
    PVOID p5 = ExAllocatePoolWithTag(NonPagedPool, 1, a);
    EXPECT_NE(p5, nullptr);
    kmsim::ClearFailures();
    ExFreePool(p1);
    ExFreePool(p2);
    ExFreePool(p3);
    ExFreePool(p4);
    EXPECT_EQ(kmsim::PoolOutstanding(b), 0u);
    EXPECT_EQ(kmsim::PoolOutstanding(a), 1u);
    ExFreePool(p5);
}

TEST_F(SupportTest, EventsWakeWaitersOnOtherThreads)
{
    KEVENT sync, notify;
    KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
    KeInitializeEvent(&notify, NotificationEvent, FALSE);
    std::thread t([&] {
        KeSetEvent(&sync, 0, FALSE);
        KeSetEvent(&notify, 0, FALSE);
    });
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notify, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    t.join();
    EXPECT_EQ(KeReadStateEvent(&sync), 0); // a synchronization event resets on a wait
    EXPECT_NE(KeReadStateEvent(&notify), 0);
}

TEST_F(SupportTest, FastMutexExcludesAndRaisesIrql)
{
    FAST_MUTEX m;
    ExInitializeFastMutex(&m);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
        threads.emplace_back([&] {
            for (int j = 0; j < 2000; j++) {
                ExAcquireFastMutex(&m);
                EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
                counter++;
                ExReleaseFastMutex(&m);
            }
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 8000);
}

TEST_F(SupportTest, DelaysAdvanceTheSimulatedClock)
{
    LARGE_INTEGER t0, t1, interval;
    KeQuerySystemTime(&t0);
    EXPECT_NE(t0.QuadPart, 0);
    interval.QuadPart = -10000; // 1 ms, relative
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    KeQuerySystemTime(&t1);
    EXPECT_EQ(t1.QuadPart - t0.QuadPart, 10000);
    kmsim::AdvanceClock(600000000);
    KeQuerySystemTime(&t1);
    EXPECT_EQ(t1.QuadPart - t0.QuadPart, 600010000);
    EXPECT_EQ(kmsim::TotalDelayed(), 10000);
}

// The system time can be set back; the tick count goes on with the clock.
TEST_F(SupportTest, TimeSetBackLeavesTheTickCountGoingForward)
{
    LARGE_INTEGER system0, system1, ticks0, ticks1;
    KeQuerySystemTime(&system0);
    KeQueryTickCount(&ticks0);
    EXPECT_NE(ticks0.QuadPart, 0);
    kmsim::SetSystemTimeBack(600000000);
    kmsim::AdvanceClock(10000);
    KeQuerySystemTime(&system1);
    KeQueryTickCount(&ticks1);
    EXPECT_EQ(system1.QuadPart - system0.QuadPart, 10000 - 600000000);
    EXPECT_EQ((ticks1.QuadPart - ticks0.QuadPart) * KeQueryTimeIncrement(), 10000);
    // an absolute wait is for a system time
    LARGE_INTEGER until;
    until.QuadPart = system1.QuadPart + 20000;
    KeDelayExecutionThread(KernelMode, FALSE, &until);
    EXPECT_EQ(kmsim::TotalDelayed(), 20000);
}

TEST_F(SupportTest, WdmVersionFollowsThePlatform)
{
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
    kmsim::SetLegacyPlatform(true);
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x10));
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x00));
}

TEST_F(SupportTest, RegistryQueriesWritesAndSurvivesARestart)
{
    const std::string key = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\x";
    kmsim::RegSetDword(key, "Value", 7);
    ULONG got = 0, fallback = 5, missing = 1;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = L"Value";
    table[0].EntryContext = &got;
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[1].Name = L"Missing";
    table[1].EntryContext = &missing;
    table[1].DefaultType = REG_DWORD;
    table[1].DefaultData = &fallback;
    table[1].DefaultLength = 4;
    std::u16string path = kmsim::U16(key);
    std::vector<WCHAR> p(path.begin(), path.end());
    p.push_back(0);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, p.data(), table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(got, 7u);
    EXPECT_EQ(missing, 5u);

    // a string read into a buffer that is too small fails
    WCHAR small[2];
    UNICODE_STRING us = {0, sizeof small, small};
    kmsim::RegSetString(key, "Text", u"longer than that");
    RTL_QUERY_REGISTRY_TABLE t2[2] = {};
    t2[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    t2[0].Name = L"Text";
    t2[0].EntryContext = &us;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, p.data(), t2, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);

    // writes make the keys they need
    ULONG v = 9;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\A\\B\\C", L"N",
                                    REG_DWORD, &v, 4),
              STATUS_SUCCESS);
    std::string file = ::testing::TempDir() + "km_registry-" + std::to_string(getpid()) + ".txt";
    ASSERT_TRUE(kmsim::RegSave(file));
    kmsim::Reset();
    EXPECT_FALSE(kmsim::RegKeyExists("\\Registry\\Machine\\A\\B\\C"));
    ASSERT_TRUE(kmsim::RegLoad(file));
    ULONG back = 0;
    EXPECT_TRUE(kmsim::RegGetDword("\\registry\\machine\\a\\b\\c", "n", &back));
    EXPECT_EQ(back, 9u);
    std::u16string text;
    EXPECT_TRUE(kmsim::RegGetString(key, "Text", &text));
    EXPECT_EQ(kmsim::Narrow(text.c_str() == nullptr ? u"" : text),
              std::string("longer than that") + '\0');
    std::remove(file.c_str());
}

// A direct query of data larger than a ULONG stores it by the LONG the
// destination starts with: a negative size takes the data alone, a positive
// one the data's length and type in front of it, a size too small nothing.
TEST_F(SupportTest, DirectQueryOfLargerDataFollowsTheDestinationsSize)
{
    const std::string key = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\x";
    kmsim::RegSetBinary(key, "Blob", REG_BINARY, {1, 2, 3, 4, 5, 6});
    std::u16string path = kmsim::U16(key);
    std::vector<WCHAR> p(path.begin(), path.end());
    p.push_back(0);
    struct Case {
        const char* name;
        LONG size;
        NTSTATUS status;
        std::vector<ULONG> words; // the destination's first three ULONGs afterwards
    };
    const Case cases[] = {
        {"negative: data alone", -8, STATUS_SUCCESS, {0x04030201, 0x0605, 0}},
        {"negative, too small", -4, STATUS_BUFFER_TOO_SMALL, {(ULONG)-4, 0, 0}},
        {"positive: length and type first", 16, STATUS_SUCCESS, {6, REG_BINARY, 0x04030201}},
        {"positive, too small", 12, STATUS_BUFFER_TOO_SMALL, {12, 0, 0}},
        {"zero", 0, STATUS_BUFFER_TOO_SMALL, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ULONG destination[4] = {(ULONG)c.size, 0, 0, 0};
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
        table[0].Name = L"Blob";
        table[0].EntryContext = destination;
        EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, p.data(), table, nullptr, nullptr),
                  c.status);
        EXPECT_EQ(std::vector<ULONG>(destination, destination + 3), c.words);
    }
}

TEST_F(SupportTest, WideFormattingIsSixteenBit)
{
    WCHAR buf[64];
    EXPECT_EQ(swprintf(buf, L"\\Device\\Printer%d", 12), 17);
    EXPECT_EQ(kmsim::Narrow(buf), "\\Device\\Printer12");
    swprintf(buf, L"%s|%S|%03u|%4X|%-3s|", L"w", "n", 7u, 0xA5u, L"ab");
    EXPECT_EQ(kmsim::Narrow(buf), "w|n|007|  A5|ab |");
    EXPECT_EQ(wcslen(buf), 17u);
    EXPECT_EQ(_snwprintf(buf, 3, L"%d", 12345), -1); // truncated, not terminated
}

} // namespace
