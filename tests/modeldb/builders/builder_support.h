// Requests, buffers and byte comparisons for the builder tests.
#ifndef TESTS_BUILDERS_BUILDER_SUPPORT_H
#define TESTS_BUILDERS_BUILDER_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "builders.h"
#include "um_control.h"

// A request with `count` settings, all 0 unless set.
struct TestRequest {
    std::vector<LONG> settings;
    DataBaseRequest record{};

    explicit TestRequest(size_t count = 132) : settings(count, 0) {}
    TestRequest& Set(int n, LONG value)
    {
        settings.at(n) = value;
        return *this;
    }
    const DataBaseRequest* Get()
    {
        record.SettingCount = static_cast<DWORD>(settings.size());
        record.Settings = settings.empty() ? nullptr : settings.data();
        return &record;
    }
};

constexpr BYTE kFill = 0xCD;
constexpr DWORD kUntouchedSize = 0xA5A5A5A5u;

struct BuildResult {
    LONG result;
    DWORD size;
    std::vector<BYTE> bytes;
};

// Calls the dispatcher with a buffer of `bufferSize` bytes filled with kFill.
inline BuildResult Build(DWORD id, const DataBaseRequest* request, DWORD bufferSize = 256)
{
    BuildResult r;
    r.bytes.assign(bufferSize, kFill);
    r.size = kUntouchedSize;
    r.result =
        BuildComputedEntry(id, request, bufferSize, bufferSize ? r.bytes.data() : nullptr, &r.size);
    if (r.result == DB_OK && r.size <= bufferSize)
        r.bytes.resize(r.size);
    return r;
}

inline std::vector<BYTE> Hex(const char* text)
{
    std::vector<BYTE> out;
    unsigned value;
    int used;
    while (std::sscanf(text, "%x%n", &value, &used) == 1) {
        out.push_back(static_cast<BYTE>(value));
        text += used;
    }
    return out;
}

inline std::vector<BYTE> Ascii(const std::string& text)
{
    return std::vector<BYTE>(text.begin(), text.end());
}

inline std::vector<BYTE> Concat(std::initializer_list<std::vector<BYTE>> parts)
{
    std::vector<BYTE> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline LONG Native32(const std::vector<BYTE>& bytes, size_t at)
{
    LONG v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

inline bool AllFill(const std::vector<BYTE>& bytes)
{
    for (BYTE b : bytes)
        if (b != kFill)
            return false;
    return true;
}

// Every test starts from clean stand-ins and must give back every block.
class BuilderTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        UmReset();
        outstanding_ = UmGlobalOutstanding();
    }
    void TearDown() override { EXPECT_EQ(UmGlobalOutstanding(), outstanding_); }

  private:
    unsigned long outstanding_ = 0;
};

#endif
