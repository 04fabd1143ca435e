// Requests, export calls and byte helpers for the command-string tests.
#ifndef TESTS_STRINGS_STRINGS_SUPPORT_H
#define TESTS_STRINGS_STRINGS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "prnmodel.h"
#include "um_control.h"

using Bytes = std::vector<BYTE>;

// A job's request: 132 settings, all 0 unless set, optionally naming a
// printer of the spooler stand-in so the export opens it for the call.
struct Job {
    std::vector<LONG> settings;
    std::vector<WCHAR> printerName;
    DataBaseRequest record{};

    explicit Job(size_t count = 132) : settings(count, 0) {}
    Job& Set(int n, LONG value)
    {
        settings.at(n) = value;
        return *this;
    }
    Job& OnPrinter(const char* name)
    {
        printerName.clear();
        for (const char* p = name; *p; ++p)
            printerName.push_back(static_cast<WCHAR>(*p));
        printerName.push_back(0);
        return *this;
    }
    const DataBaseRequest* Get()
    {
        record = DataBaseRequest{};
        record.SettingCount = static_cast<DWORD>(settings.size());
        record.Settings = settings.empty() ? nullptr : settings.data();
        record.PrinterName = printerName.empty() ? nullptr : printerName.data();
        return &record;
    }
};

using AccessFn = LONG(WINAPI*)(DWORD, const DataBaseRequest*, DWORD, void*, DWORD*);

struct Answer {
    LONG result;
    DWORD size;
    Bytes bytes;
};

// The caller's protocol: a size query, then the read into a buffer of the
// size it named. A buffer one byte larger catches a write past the answer.
inline Answer Ask(AccessFn access, DWORD id, const DataBaseRequest* request)
{
    Answer a{0, 0, {}};
    DWORD need = 0xA5A5A5A5u;
    a.result = access(id, request, 0, nullptr, &need);
    if (a.result != DB_MORE_DATA) {
        a.size = need;
        return a;
    }
    Bytes buffer(need + 1, 0xCD);
    a.size = 0xA5A5A5A5u;
    a.result = access(id, request, need, buffer.data(), &a.size);
    EXPECT_EQ(buffer[need], 0xCD) << "wrote past the size it asked for, id " << id;
    if (a.result == DB_OK)
        buffer.resize(a.size <= need ? a.size : need);
    a.bytes = buffer;
    return a;
}

inline Answer Drv(DWORD id, const DataBaseRequest* request)
{
    return Ask(XDB_AccessDrvDataBase, id, request);
}

inline Answer Mnt(DWORD id, const DataBaseRequest* request)
{
    return Ask(XDB_AccessMntDataBase, id, request);
}

inline Bytes Hex(const char* text)
{
    Bytes out;
    unsigned value;
    int used;
    while (std::sscanf(text, "%x%n", &value, &used) == 1) {
        out.push_back(static_cast<BYTE>(value));
        text += used;
    }
    return out;
}

inline Bytes Ascii(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes BigEndian(long long value, int width)
{
    Bytes out;
    for (int i = width - 1; i >= 0; --i)
        out.push_back(
            static_cast<BYTE>((static_cast<unsigned long long>(value) >> (8 * i)) & 0xFF));
    return out;
}

inline std::string Dump(const Bytes& bytes)
{
    std::string out;
    char cell[4];
    for (BYTE b : bytes) {
        std::snprintf(cell, sizeof cell, "%02X ", b);
        out += cell;
    }
    return out;
}

inline Bytes Slice(const Bytes& bytes, size_t from, size_t count)
{
    if (from >= bytes.size())
        return Bytes();
    size_t end = from + count < bytes.size() ? from + count : bytes.size();
    return Bytes(bytes.begin() + from, bytes.begin() + end);
}

// A mode block as the printer takes it: header, ZRLSTART, lines, ZRLEND.
inline Bytes ModeBlock(std::initializer_list<const char*> lines)
{
    std::string text = "ZRLSTART\n";
    for (const char* line : lines)
        text += std::string(line) + "\n";
    text += "ZRLEND\n";
    return Concat({Hex("1B 5B 4B 02 00 00 1F"), Ascii(text)});
}

// Every test starts from an empty spooler and ends with nothing leaked.
class StringsTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        UmReset();
        outstanding_ = UmGlobalOutstanding();
    }
    void TearDown() override
    {
        EXPECT_EQ(UmGlobalOutstanding(), outstanding_) << "GlobalAlloc blocks leaked";
        EXPECT_EQ(UmPrintersOpen(), 0ul) << "printer handles left open";
    }
    unsigned long outstanding_ = 0;
};

#endif // TESTS_STRINGS_STRINGS_SUPPORT_H
