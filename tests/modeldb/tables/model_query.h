// Asking the model's databases through the exports, the way the driver's
// other components do: a size query, then a read into a buffer of exactly
// the size asked for.
#ifndef TESTS_MODELDATA_MODEL_QUERY_H
#define TESTS_MODELDATA_MODEL_QUERY_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "prnmodel.h"
#include "um_control.h"

namespace modeldata
{

using Access = LONG(WINAPI*)(DWORD, const DataBaseRequest*, DWORD, void*, DWORD*);

// A request record with the storage it points at. Without Settings() or
// Strings() the arrays are null.
struct Request {
    std::vector<LONG> settings;
    std::vector<std::string> strings;
    std::vector<bool> nullString;
    std::vector<LPCSTR> pointers;
    bool hasSettings = false;
    bool hasStrings = false;
    DataBaseRequest record{};

    Request& Settings(size_t count)
    {
        hasSettings = true;
        settings.assign(count, 0);
        return *this;
    }
    Request& Set(size_t n, LONG value)
    {
        if (!hasSettings || settings.size() <= n)
            Settings(n + 1);
        settings[n] = value;
        return *this;
    }
    Request& Strings(size_t count)
    {
        hasStrings = true;
        strings.assign(count, std::string());
        nullString.assign(count, false);
        return *this;
    }
    Request& String(size_t k, const char* text)
    {
        if (!hasStrings || strings.size() <= k) {
            strings.resize(k + 1);
            nullString.resize(k + 1, false);
            hasStrings = true;
        }
        strings[k] = text ? text : "";
        nullString[k] = text == nullptr;
        return *this;
    }
    const DataBaseRequest* Get()
    {
        pointers.clear();
        for (size_t i = 0; i < strings.size(); ++i)
            pointers.push_back(nullString[i] ? nullptr : strings[i].c_str());
        record = DataBaseRequest{};
        record.SettingCount = static_cast<DWORD>(settings.size());
        record.Settings = hasSettings ? settings.data() : nullptr;
        record.StringCount = static_cast<DWORD>(strings.size());
        record.Strings = hasStrings ? pointers.data() : nullptr;
        return &record;
    }
};

constexpr DWORD kSizeUntouched = 0xA5A5A5A5u;

struct Answer {
    LONG code = 0;
    DWORD size = kSizeUntouched; // needed size of the size query, or the size read
    std::vector<unsigned char> bytes;

    std::vector<int32_t> Ints() const
    {
        std::vector<int32_t> out(bytes.size() / 4);
        if (!out.empty())
            std::memcpy(out.data(), bytes.data(), out.size() * 4);
        return out;
    }
    // The UTF-16 answer as 8-bit text; "<bad>" when it is not plain ASCII
    // ending in exactly one terminator.
    std::string Text() const
    {
        std::string out;
        if (bytes.size() < 2 || bytes.size() % 2 != 0)
            return "<bad>";
        for (size_t i = 0; i + 2 < bytes.size(); i += 2) {
            if (bytes[i + 1] != 0 || bytes[i] == 0 || bytes[i] > 0x7F)
                return "<bad>";
            out += static_cast<char>(bytes[i]);
        }
        if (bytes[bytes.size() - 2] != 0 || bytes[bytes.size() - 1] != 0)
            return "<bad>";
        return out;
    }
};

// Size query, then a read; the code is that of the read, or of the size
// query when it did not ask for a buffer.
inline Answer Ask(Access db, DWORD id, const DataBaseRequest* request)
{
    Answer a;
    a.code = db(id, request, 0, nullptr, &a.size);
    if (a.code != DB_MORE_DATA)
        return a;
    a.bytes.assign(a.size, 0xCD);
    DWORD need = a.size;
    a.size = kSizeUntouched;
    a.code = db(id, request, need, a.bytes.data(), &a.size);
    EXPECT_EQ(a.size, need) << "id " << id << ": read size differs from the size query";
    return a;
}

inline Answer Ask(Access db, DWORD id, Request& request)
{
    return Ask(db, id, request.Get());
}

inline Answer Ask(Access db, DWORD id)
{
    Request none;
    return Ask(db, id, none);
}

// Every test leaves no block of GlobalAlloc and no printer handle behind.
class ModelTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        UmReset();
        blocksBefore = UmGlobalOutstanding();
    }
    void TearDown() override
    {
        EXPECT_EQ(UmGlobalOutstanding(), blocksBefore);
        EXPECT_EQ(UmPrintersOpen(), 0u);
    }
    unsigned long blocksBefore = 0;
};

} // namespace modeldata

#endif // TESTS_MODELDATA_MODEL_QUERY_H
