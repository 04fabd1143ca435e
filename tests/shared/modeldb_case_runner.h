// Runs the shared model database cases against a set of entry points: the
// host tests pass the functions themselves, the Windows conformance program
// the addresses it got from prnmodel.dll.
#ifndef PRN_TESTS_SHARED_MODELDB_CASE_RUNNER_H
#define PRN_TESTS_SHARED_MODELDB_CASE_RUNNER_H

#include "modeldb_cases.h"
#include "prnmodel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace modeldb_cases
{

using AccessFn = LONG(WINAPI*)(DWORD, const DataBaseRequest*, DWORD, void*, DWORD*);
using MediaFn = LONG(WINAPI*)(LPCWSTR, MediaInfo*, DWORD*);

struct EntryPoints {
    AccessFn db[6]; // indexed by Db
    MediaFn media;
};

struct Verdict {
    bool ok;
    std::string detail;
    // The answer looks like data that has not been written yet (no key, no
    // leaf, nothing decoded) rather than like a wrong answer.
    bool missing = false;
};

constexpr unsigned char kFill = 0xCD;
constexpr DWORD kGuard = 16;
constexpr DWORD kSizeUntouched = 0xA5A5A5A5u;

// The request record a case's text describes, with the storage it points at.
struct BuiltRequest {
    bool present = true;
    bool hasSettings = false;
    bool hasStrings = false;
    std::vector<LONG> settings;
    std::vector<std::string> strings;
    std::vector<bool> nullString;
    std::vector<LPCSTR> stringPointers;
    std::vector<WCHAR> printerName; // empty: no name
    DataBaseRequest record{};

    const DataBaseRequest* Get()
    {
        if (!present)
            return nullptr;
        stringPointers.clear();
        for (size_t i = 0; i < strings.size(); ++i)
            stringPointers.push_back(nullString[i] ? nullptr : strings[i].c_str());
        record = DataBaseRequest{};
        record.SettingCount = static_cast<DWORD>(settings.size());
        record.Settings = hasSettings ? settings.data() : nullptr;
        record.StringCount = static_cast<DWORD>(strings.size());
        record.Strings = hasStrings ? stringPointers.data() : nullptr;
        record.PrinterName = printerName.empty() ? nullptr : printerName.data();
        return &record;
    }
};

inline BuiltRequest ParseRequest(const char* text)
{
    BuiltRequest built;
    std::string all(text);
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find(' ', pos);
        if (end == std::string::npos)
            end = all.size();
        std::string token = all.substr(pos, end - pos);
        pos = end + 1;
        if (token.empty())
            continue;
        if (token == "none") {
            built.present = false;
        } else if (token.compare(0, 4, "str:") == 0) {
            built.hasStrings = true;
            std::string list = token.substr(4) + "|";
            size_t from = 0;
            for (size_t bar = list.find('|'); bar != std::string::npos;
                 from = bar + 1, bar = list.find('|', from)) {
                std::string item = list.substr(from, bar - from);
                built.nullString.push_back(item == "~");
                built.strings.push_back(item == "~" ? std::string() : item);
            }
        } else if (token.compare(0, 8, "printer:") == 0) {
            for (size_t i = 8; i < token.size(); ++i)
                built.printerName.push_back(static_cast<WCHAR>(token[i]));
            built.printerName.push_back(0);
        } else if (token[0] == 's') {
            built.hasSettings = true;
            built.settings.assign(std::strtoul(token.c_str() + 1, nullptr, 10), 0);
        } else {
            size_t eq = token.find('=');
            size_t index = std::strtoul(token.c_str(), nullptr, 10);
            if (eq != std::string::npos && index < built.settings.size())
                built.settings[index] = std::strtol(token.c_str() + eq + 1, nullptr, 10);
        }
    }
    return built;
}

inline std::vector<long> ParseNumbers(const char* text, int base)
{
    std::vector<long> numbers;
    const char* p = text;
    char* end = nullptr;
    for (;;) {
        long v = std::strtol(p, &end, base);
        if (end == p)
            break;
        numbers.push_back(v);
        p = end;
    }
    return numbers;
}

inline std::string Describe(const std::vector<long>& values)
{
    std::string out;
    for (long v : values)
        out += (out.empty() ? "" : " ") + std::to_string(v);
    return out;
}

inline int32_t ReadInt32(const unsigned char* p)
{
    uint32_t v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                 (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    return static_cast<int32_t>(v);
}

// Checks `length` delivered bytes at `data` (followed by guard bytes) against
// what the case expects.
inline Verdict CheckPayload(const DbCase& c, const unsigned char* data, DWORD length,
                            DWORD capacity)
{
    for (DWORD i = length; i < capacity; ++i)
        if (data[i] != kFill && c.expect != Expect::Zeroed && c.expect != Expect::Untouched)
            return {false, "wrote past the answer at byte " + std::to_string(i)};
    switch (c.expect) {
    case Expect::Nothing:
        return {true, ""};
    case Expect::Untouched:
        for (DWORD i = 0; i < capacity; ++i)
            if (data[i] != kFill)
                return {false, "buffer written at byte " + std::to_string(i)};
        return {true, ""};
    case Expect::Zeroed:
        for (DWORD i = 0; i < length; ++i)
            if (data[i] != 0)
                return {false, "buffer not cleared at byte " + std::to_string(i)};
        return {true, ""};
    case Expect::Text: {
        std::string got;
        bool terminated = false;
        for (DWORD i = 0; i + 1 < length; i += 2) {
            unsigned unit = data[i] | (data[i + 1] << 8);
            if (unit == 0) {
                terminated = i + 2 == length;
                break;
            }
            got += unit < 0x80 ? static_cast<char>(unit) : '?';
        }
        if (!terminated || got != c.value)
            return {false, "text \"" + got + "\"" + (terminated ? "" : " (badly terminated)") +
                               ", expected \"" + c.value + "\""};
        return {true, ""};
    }
    case Expect::BytesAt: {
        const char* bar = std::strchr(c.value, '|');
        size_t offset = std::strtoul(c.value, nullptr, 10);
        std::vector<long> want = ParseNumbers(bar ? bar + 1 : "", 16);
        if (offset + want.size() > length)
            return {false, "answer of " + std::to_string(length) + " bytes is too short"};
        for (size_t i = 0; i < want.size(); ++i)
            if (data[offset + i] != want[i]) {
                char where[80];
                std::snprintf(where, sizeof where, "byte %u is %02X, expected %02lX",
                              static_cast<unsigned>(offset + i), data[offset + i], want[i]);
                return {false, where};
            }
        return {true, ""};
    }
    case Expect::Settings: {
        std::string wrong;
        const char* p = c.value;
        char* end = nullptr;
        for (;;) {
            unsigned long index = std::strtoul(p, &end, 10);
            if (end == p || *end != '=')
                break;
            long want = std::strtol(end + 1, &end, 10);
            p = end;
            if (4 * index + 4 > length)
                return {false, "answer has no element " + std::to_string(index)};
            long got = ReadInt32(data + 4 * index);
            if (got != want)
                wrong += " [" + std::to_string(index) + "]=" + std::to_string(got) + " not " +
                         std::to_string(want);
        }
        if (!wrong.empty())
            return {false, "settings differ:" + wrong};
        return {true, ""};
    }
    case Expect::Bytes: {
        std::vector<long> want = ParseNumbers(c.value, 16);
        std::vector<long> got(data, data + length);
        if (got != want) {
            char head[64];
            std::snprintf(head, sizeof head, "%u bytes, expected %u", static_cast<unsigned>(length),
                          static_cast<unsigned>(want.size()));
            for (size_t i = 0; i < got.size() && i < want.size(); ++i)
                if (got[i] != want[i]) {
                    char where[64];
                    std::snprintf(where, sizeof where,
                                  "; first difference at byte %u: %02lX not %02lX",
                                  static_cast<unsigned>(i), got[i], want[i]);
                    return {false, std::string(head) + where};
                }
            return {false, head};
        }
        return {true, ""};
    }
    default: {
        bool items = c.expect != Expect::Ints;
        DWORD stride = items ? 20 : 4;
        DWORD field =
            items ? 4 * (static_cast<int>(c.expect) - static_cast<int>(Expect::Field0)) : 0;
        if (length % stride != 0)
            return {false, "answer of " + std::to_string(length) + " bytes is not whole values"};
        std::vector<long> got;
        for (DWORD at = 0; at < length; at += stride)
            got.push_back(ReadInt32(data + at + field));
        std::vector<long> want = ParseNumbers(c.value, 10);
        if (got != want)
            return {false, "values [" + Describe(got) + "], expected [" + c.value + "]"};
        return {true, ""};
    }
    }
}

inline Verdict RunDbCase(const DbCase& c, const EntryPoints& entry)
{
    AccessFn fn = entry.db[static_cast<int>(c.db)];
    if (fn == nullptr)
        return {false, "entry point missing"};
    BuiltRequest built = ParseRequest(c.request);
    const DataBaseRequest* request = built.Get();
    DWORD outSize = kSizeUntouched;
    auto expectResult = [&](LONG got, const char* step) -> Verdict {
        if (got == c.result)
            return {true, ""};
        return {false,
                std::string(step) + " answered " + std::to_string(got) + ", expected " +
                    std::to_string(c.result),
                got == DB_UNKNOWN_ID || got == DB_NO_ANSWER};
    };
    auto expectSize = [&](DWORD got, const char* what) -> Verdict {
        if (c.size < 0 || static_cast<int64_t>(got) == c.size)
            return {true, ""};
        return {false, std::string(what) + " " + std::to_string(got) + ", expected " +
                           std::to_string(c.size)};
    };

    if (c.call == Call::SizeQuery || c.call == Call::Read) {
        LONG first = fn(c.id, request, 0, nullptr, &outSize);
        if (c.call == Call::SizeQuery || c.result != DB_OK) {
            Verdict v = expectResult(first, "size query");
            if (v.ok && (first == DB_MORE_DATA || first == DB_OK))
                v = expectSize(outSize, "size");
            return v;
        }
        if (first != DB_MORE_DATA)
            return {false, "size query answered " + std::to_string(first) + ", expected 2",
                    first == DB_UNKNOWN_ID || first == DB_NO_ANSWER};
        Verdict sized = expectSize(outSize, "size");
        if (!sized.ok)
            return sized;
        DWORD need = outSize;
        std::vector<unsigned char> buffer(need + kGuard, kFill);
        outSize = kSizeUntouched;
        LONG second = fn(c.id, request, need, buffer.data(), &outSize);
        Verdict v = expectResult(second, "read");
        if (!v.ok)
            return v;
        // List answers leave the out size alone; everything else reports it.
        if (outSize != kSizeUntouched && outSize != need)
            return {false, "read reported " + std::to_string(outSize) + " bytes after asking for " +
                               std::to_string(need)};
        return CheckPayload(c, buffer.data(), need, need + kGuard);
    }

    std::vector<unsigned char> buffer(c.bufferSize + kGuard, kFill);
    LONG got = fn(c.id, request, c.bufferSize, buffer.data(), &outSize);
    Verdict v = expectResult(got, "call");
    if (!v.ok)
        return v;
    if (c.size >= 0) {
        v = expectSize(outSize, "out size");
        if (!v.ok)
            return v;
    }
    DWORD length = c.bufferSize;
    if (got == DB_OK && outSize != kSizeUntouched)
        length = outSize;
    return CheckPayload(c, buffer.data(), length, c.bufferSize + kGuard);
}

inline Verdict RunMediaCase(const MediaCase& c, MediaFn fn)
{
    if (fn == nullptr)
        return {false, "entry point missing"};
    std::vector<WCHAR> text;
    if (c.text != nullptr) {
        for (const char* p = c.text; *p; ++p)
            text.push_back(static_cast<WCHAR>(static_cast<unsigned char>(*p)));
        text.push_back(0);
    }
    MediaInfo info;
    std::memset(&info, kFill, sizeof info);
    DWORD size = c.size;
    LONG got = fn(c.text ? text.data() : nullptr, c.withInfo ? &info : nullptr, &size);
    if (got != c.result)
        return {false,
                "answered " + std::to_string(got) + ", expected " + std::to_string(c.result)};
    if (c.sizeAfter >= 0 && static_cast<int64_t>(size) != c.sizeAfter)
        return {false,
                "size " + std::to_string(size) + ", expected " + std::to_string(c.sizeAfter)};
    MediaInfo filled;
    std::memset(&filled, kFill, sizeof filled);
    if (!c.infoWritten) {
        if (std::memcmp(&info, &filled, sizeof info) != 0)
            return {false, "record written on failure"};
        return {true, ""};
    }
    char detail[160];
    std::snprintf(
        detail, sizeof detail,
        "valid %lu class %lu flags %08lX low %lu high %lu (expected class %u flags %08X "
        "low %u high %u)",
        static_cast<unsigned long>(info.valid), static_cast<unsigned long>(info.mediaClass),
        static_cast<unsigned long>(info.flags), static_cast<unsigned long>(info.headerLow),
        static_cast<unsigned long>(info.headerHigh), c.mediaClass, c.flags, c.headerLow,
        c.headerHigh);
    if (info.valid != 1 || info.mediaClass != c.mediaClass || info.flags != c.flags ||
        info.headerLow != c.headerLow || info.headerHigh != c.headerHigh)
        return {false, detail};
    if (info.reserved1 != filled.reserved1 || info.reserved2 != filled.reserved2)
        return {false, "reserved fields written"};
    return {true, ""};
}

} // namespace modeldb_cases

#endif
