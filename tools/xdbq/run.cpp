#include "query.h"

#include "decode.h"

#include "prnmodel.h"
#include "um_control.h"

#include <winspool.h>

#include <cstdio>
#include <cstring>

namespace xdbq
{

namespace
{

const DWORD kUnwritten = 0xCDCDCDCDu; // out size before the call: shows "not written"

typedef LONG(WINAPI* Export)(DWORD, const DataBaseRequest*, DWORD, void*, DWORD*);

Export ExportOf(const std::string& db)
{
    if (db == "root")
        return XDB_AccessRootDataBase;
    if (db == "drv")
        return XDB_AccessDrvDataBase;
    if (db == "lm")
        return XDB_AccessLMDataBase;
    if (db == "mnt")
        return XDB_AccessMntDataBase;
    if (db == "pa")
        return XDB_AccessPADataBase;
    return XDB_AccessSMDataBase;
}

const char* CodeName(LONG code)
{
    switch (code) {
    case DB_OK:
        return "DB_OK";
    case DB_NO_ANSWER:
        return "DB_NO_ANSWER";
    case DB_MORE_DATA:
        return "DB_MORE_DATA";
    case DB_UNKNOWN_ID:
        return "DB_UNKNOWN_ID";
    case DB_FAILED:
        return "DB_FAILED";
    case DB_NO_STRINGS:
        return "DB_NO_STRINGS";
    case DB_NO_SETTINGS:
        return "DB_NO_SETTINGS";
    case DB_NO_REQUEST:
        return "DB_NO_REQUEST";
    }
    return "unknown code";
}

std::vector<WCHAR> Wide(const std::string& s)
{
    std::vector<WCHAR> w(s.begin(), s.end());
    w.push_back(0);
    return w;
}

void PrintHex(const unsigned char* p, size_t n)
{
    for (size_t line = 0; line < n; line += 16) {
        printf("%04zx ", line);
        for (size_t i = line; i < line + 16; i++) {
            if (i < n)
                printf(" %02X", p[i]);
            else
                printf("   ");
        }
        printf("  ");
        for (size_t i = line; i < line + 16 && i < n; i++)
            putchar(p[i] >= 0x20 && p[i] < 0x7F ? p[i] : '.');
        putchar('\n');
    }
}

int32_t Int32At(const unsigned char* p)
{
    return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 |
                     (uint32_t)p[3] << 24);
}

void PrintInt32(const unsigned char* p, size_t n)
{
    for (size_t i = 0; i + 4 <= n; i += 4)
        printf("%s%d", i % 32 == 0 ? (i ? "\n" : "") : " ", Int32At(p + i));
    if (n >= 4)
        putchar('\n');
    if (n % 4)
        printf("(%zu trailing bytes)\n", n % 4);
}

void PrintText(const unsigned char* p, size_t n)
{
    std::string s = "\"";
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        unsigned unit = p[i] | p[i + 1] << 8;
        if (unit == 0)
            break;
        char b[12];
        if (unit >= 0x20 && unit < 0x7F && unit != '"' && unit != '\\')
            s += (char)unit;
        else if (unit == '\n')
            s += "\\n";
        else {
            snprintf(b, sizeof b, "\\u%04X", unit);
            s += b;
        }
    }
    s += "\"";
    if (i + 2 > n)
        s += " (no terminator)";
    else if (i + 2 < n)
        s += " (" + std::to_string(n - i - 2) + " bytes after the terminator)";
    printf("%s\n", s.c_str());
}

void PrintItems(const unsigned char* p, size_t n)
{
    for (size_t i = 0; i + sizeof(ListItem) <= n; i += sizeof(ListItem))
        printf("value %d  name %d  details %d %d  default %d\n", Int32At(p + i), Int32At(p + i + 4),
               Int32At(p + i + 8), Int32At(p + i + 12), Int32At(p + i + 16));
    if (n % sizeof(ListItem))
        printf("(%zu trailing bytes)\n", n % sizeof(ListItem));
}

// The spooler and clock the library sees, as the options describe them.
void PrepareStandIns(const Query& q)
{
    UmReset();
    if (!q.printer.empty())
        UmAddPrinter(q.printer.c_str());
    for (auto& [name, value] : q.printerData) {
        if (value.isString)
            UmSetPrinterString(q.printer.c_str(), name.c_str(), value.text.c_str());
        else
            UmSetPrinterDword(q.printer.c_str(), name.c_str(), value.number);
    }
    if (q.setTime) {
        SYSTEMTIME t = {};
        t.wYear = (WORD)q.time[0];
        t.wMonth = (WORD)q.time[1];
        t.wDay = (WORD)q.time[2];
        t.wHour = (WORD)q.time[3];
        t.wMinute = (WORD)q.time[4];
        t.wSecond = (WORD)q.time[5];
        UmSetLocalTime(&t);
    }
    if (!q.country.empty())
        UmSetCountryCode(q.country.c_str());
}

} // namespace

int RunQuery(const Query& q)
{
    PrepareStandIns(q);

    // The request record and the arrays it points to.
    size_t settingCount = q.settingCount >= 0  ? (size_t)q.settingCount
                          : q.settings.empty() ? 0
                                               : q.settings.rbegin()->first + 1;
    std::vector<LONG> settings(settingCount ? settingCount : 1, 0);
    for (auto& [n, v] : q.settings)
        settings[n] = v;
    size_t stringCount = q.stringCount >= 0 ? (size_t)q.stringCount : 0;
    for (auto& s : q.strings)
        stringCount = std::max(stringCount, (size_t)s.first + 1);
    for (uint32_t k : q.nullStrings)
        if (q.stringCount < 0)
            stringCount = std::max(stringCount, (size_t)k + 1);
    std::vector<std::string> stringText(stringCount);
    std::vector<LPCSTR> strings(stringCount ? stringCount : 1, nullptr);
    for (size_t k = 0; k < stringCount; k++)
        strings[k] = "";
    for (auto& [k, text] : q.strings) {
        stringText[k] = text;
        strings[k] = stringText[k].c_str();
    }
    for (uint32_t k : q.nullStrings)
        if (k < stringCount)
            strings[k] = nullptr;
    std::vector<WCHAR> printerName = Wide(q.printer);

    DataBaseRequest request = {};
    request.Context = q.context;
    request.SettingCount = (DWORD)settingCount;
    request.Settings = q.nullSettings || settingCount == 0 ? nullptr : settings.data();
    request.StringCount = (DWORD)stringCount;
    request.Strings = q.nullStringArray || stringCount == 0 ? nullptr : strings.data();
    HANDLE handle = nullptr;
    if (q.passHandle) {
        if (!OpenPrinterW(printerName.data(), &handle, nullptr)) {
            fprintf(stderr, "xdbq: cannot open printer '%s'\n", q.printer.c_str());
            return 2;
        }
        request.Printer = handle;
    } else if (!q.printer.empty()) {
        request.PrinterName = printerName.data();
    }
    const DataBaseRequest* req = q.noRequest ? nullptr : &request;

    Export call = ExportOf(q.db);
    std::vector<unsigned char> buffer;
    DWORD outSize = kUnwritten;
    LONG code;
    if (q.bufferSize >= 0) {
        // One call exactly as asked: size 0 passes no buffer at all.
        buffer.assign((size_t)q.bufferSize, 0);
        code =
            call(q.id, req, (DWORD)q.bufferSize, q.bufferSize ? buffer.data() : nullptr, &outSize);
    } else {
        DWORD needed = kUnwritten;
        code = call(q.id, req, 0, nullptr, &needed);
        outSize = needed;
        if (code == DB_MORE_DATA && needed != kUnwritten) {
            buffer.assign(needed, 0);
            outSize = kUnwritten;
            code = call(q.id, req, needed, buffer.data(), &outSize);
        }
    }
    if (handle != nullptr)
        ClosePrinter(handle);

    if (outSize == kUnwritten)
        printf("%s (%d), out size not written\n", CodeName(code), (int)code);
    else
        printf("%s (%d), out size %lu\n", CodeName(code), (int)code, (unsigned long)outSize);
    if (code == DB_OK) {
        // List answers leave the out size as it was: the whole buffer is the answer.
        size_t shown =
            outSize == kUnwritten ? buffer.size() : std::min<size_t>(outSize, buffer.size());
        switch (q.format) {
        case Format::kHex:
            PrintHex(buffer.data(), shown);
            break;
        case Format::kInt32:
            PrintInt32(buffer.data(), shown);
            break;
        case Format::kText:
            PrintText(buffer.data(), shown);
            break;
        case Format::kItems:
            PrintItems(buffer.data(), shown);
            break;
        case Format::kCommands:
            for (const std::string& line : prnsim::DecodeStream(buffer.data(), shown).lines)
                printf("%s\n", line.c_str());
            break;
        }
    }
    if (UmGlobalOutstanding() != 0 || UmPrintersOpen() != 0)
        printf("warning: prnmodel left %lu memory block(s) and %lu printer handle(s)\n",
               UmGlobalOutstanding(), UmPrintersOpen());
    return code == DB_OK ? 0 : 1;
}

int RunMedia(const std::vector<std::string>& args)
{
    if (args.empty())
        return fprintf(stderr, "xdbq: media needs the TEXT of a media report\n"), 2;
    std::string text = args[0];
    DWORD size = sizeof(MediaInfo);
    for (size_t i = 1; i < args.size(); i++) {
        if (args[i] == "--size" && i + 1 < args.size()) {
            char* end = nullptr;
            unsigned long v = strtoul(args[i + 1].c_str(), &end, 0);
            if (args[i + 1].empty() || *end != 0 || !isdigit((unsigned char)args[i + 1][0]) ||
                v > 1024) {
                fprintf(stderr, "xdbq: bad size '%s'\n", args[i + 1].c_str());
                return 2;
            }
            size = (DWORD)v;
            i++;
        } else {
            fprintf(stderr, "xdbq: unknown media option '%s'\n", args[i].c_str());
            return 2;
        }
    }
    UmReset();
    std::vector<WCHAR> wide = Wide(text);
    // Room for the record however small the stated size is.
    std::vector<unsigned char> record(std::max<size_t>(size, sizeof(MediaInfo)), 0);
    DWORD inOut = size;
    LONG ok = GetMediaInfo(wide.data(), (MediaInfo*)record.data(), &inOut);
    printf("GetMediaInfo %s (%d), size %lu\n", ok ? "succeeded" : "failed", (int)ok,
           (unsigned long)inOut);
    if (ok) {
        MediaInfo info;
        memcpy(&info, record.data(), sizeof info);
        printf("valid %lu  class %lu  flags 0x%08lX  header low %lu  high %lu\n",
               (unsigned long)info.valid, (unsigned long)info.mediaClass, (unsigned long)info.flags,
               (unsigned long)info.headerLow, (unsigned long)info.headerHigh);
    }
    return ok ? 0 : 1;
}

} // namespace xdbq
