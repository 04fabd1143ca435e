// Requests to the model database, its answers and byte helpers, shared by
// the model database suites.
#ifndef TESTS_MODELDB_RIG_REQUEST_H
#define TESTS_MODELDB_RIG_REQUEST_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "builders.h"
#include "prnmodel.h"
#include "um_control.h"

using Bytes = std::vector<BYTE>;

// What a buffer holds where the database wrote nothing, and the size it
// reports when it left the size untouched.
constexpr BYTE kFill = 0xCD;
constexpr DWORD kUntouchedSize = 0xA5A5A5A5u;

// A request with `count` settings, all 0 unless set, optionally naming a
// printer of the spooler stand-in so the export opens it for the call.
struct Request {
    std::vector<LONG> settings;
    std::vector<WCHAR> printerName;
    DataBaseRequest record{};

    explicit Request(size_t count = 132) : settings(count, 0) {}
    Request& Set(int n, LONG value)
    {
        settings.at(n) = value;
        return *this;
    }
    Request& OnPrinter(const char* name)
    {
        printerName.clear();
        for (const char* p = name; *p; ++p)
            printerName.push_back(static_cast<WCHAR>(*p));
        printerName.push_back(0);
        return *this;
    }
    // Fills in the fields it holds; a test may set others (the printer
    // handle) on `record` itself.
    const DataBaseRequest* Get()
    {
        record.SettingCount = static_cast<DWORD>(settings.size());
        record.Settings = settings.empty() ? nullptr : settings.data();
        record.PrinterName = printerName.empty() ? nullptr : printerName.data();
        return &record;
    }
};

struct Answer {
    LONG result;
    DWORD size;
    Bytes bytes;

    LONG Int(size_t index) const
    {
        LONG v;
        std::memcpy(&v, bytes.data() + 4 * index, 4);
        return v;
    }
    // Field f (0 Value .. 4 DefaultMark) of list item i.
    LONG Item(size_t i, int f) const { return Int(5 * i + f); }
    bool AllFill() const
    {
        for (BYTE b : bytes)
            if (b != kFill)
                return false;
        return true;
    }
};

using AccessFn = LONG(WINAPI*)(DWORD, const DataBaseRequest*, DWORD, void*, DWORD*);

// One call with a buffer of bufferSize bytes filled with kFill (none for 0).
inline Answer Call(AccessFn access, DWORD id, const DataBaseRequest* request, DWORD bufferSize)
{
    Answer a;
    a.bytes.assign(bufferSize, kFill);
    a.size = kUntouchedSize;
    a.result = access(id, request, bufferSize, bufferSize ? a.bytes.data() : nullptr, &a.size);
    return a;
}

inline Answer Drv(DWORD id, const DataBaseRequest* request, DWORD bufferSize)
{
    return Call(XDB_AccessDrvDataBase, id, request, bufferSize);
}

// Size query, then a read into a buffer of exactly the size asked for.
inline Answer DrvRead(DWORD id, const DataBaseRequest* request)
{
    Answer query = Drv(id, request, 0);
    if (query.result != DB_MORE_DATA)
        return query;
    Answer a = Drv(id, request, query.size);
    if (a.size == kUntouchedSize)
        a.size = query.size;
    return a;
}

// The caller's protocol: a size query, then the read into a buffer of the
// size it named. A buffer one byte larger catches a write past the answer.
inline Answer Ask(AccessFn access, DWORD id, const DataBaseRequest* request)
{
    Answer a{0, 0, {}};
    DWORD need = kUntouchedSize;
    a.result = access(id, request, 0, nullptr, &need);
    if (a.result != DB_MORE_DATA) {
        a.size = need;
        return a;
    }
    Bytes buffer(need + 1, kFill);
    a.size = kUntouchedSize;
    a.result = access(id, request, need, buffer.data(), &a.size);
    EXPECT_EQ(buffer[need], kFill) << "wrote past the size it asked for, id " << id;
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

// Calls the builders' dispatcher with a buffer of `bufferSize` bytes filled
// with kFill; a complete answer is cut to its size.
inline Answer Build(DWORD id, const DataBaseRequest* request, DWORD bufferSize = 256)
{
    Answer r;
    r.bytes.assign(bufferSize, kFill);
    r.size = kUntouchedSize;
    r.result =
        BuildComputedEntry(id, request, bufferSize, bufferSize ? r.bytes.data() : nullptr, &r.size);
    if (r.result == DB_OK && r.size <= bufferSize)
        r.bytes.resize(r.size);
    return r;
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

inline LONG Native32(const Bytes& bytes, size_t at)
{
    LONG v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

inline bool AllFill(const Bytes& bytes)
{
    for (BYTE b : bytes)
        if (b != kFill)
            return false;
    return true;
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

// Every test starts from an empty spooler and ends with every block given
// back and every printer handle closed.
class ModelDbTest : public ::testing::Test
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

#endif
