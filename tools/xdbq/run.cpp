#include "query.h"

#include "decode.h"
#include "jobcheck.h"
#include "modelnames.h"
#include "pagesvg.h"

#include "prnmodel.h"
#include "um_control.h"

#include <winspool.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

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

// The request record and the arrays it points to, alive for the calls.
struct RequestRecord {
    std::vector<LONG> settings;
    std::vector<std::string> stringText;
    std::vector<LPCSTR> strings;
    std::vector<WCHAR> printerName;
    DataBaseRequest request = {};
};

void BuildRequest(const Query& q, RequestRecord* r)
{
    size_t settingCount = q.settingCount >= 0  ? (size_t)q.settingCount
                          : q.settings.empty() ? 0
                                               : q.settings.rbegin()->first + 1;
    r->settings.assign(settingCount ? settingCount : 1, 0);
    for (auto& [n, v] : q.settings)
        r->settings[n] = v;

    size_t stringCount = q.stringCount >= 0 ? (size_t)q.stringCount : 0;
    for (auto& s : q.strings)
        stringCount = std::max(stringCount, (size_t)s.first + 1);
    if (q.stringCount < 0)
        for (uint32_t k : q.nullStrings)
            stringCount = std::max(stringCount, (size_t)k + 1);
    r->stringText.assign(stringCount, "");
    r->strings.assign(stringCount ? stringCount : 1, nullptr);
    for (auto& [k, text] : q.strings)
        r->stringText[k] = text;
    for (size_t k = 0; k < stringCount; k++)
        r->strings[k] = r->stringText[k].c_str();
    for (uint32_t k : q.nullStrings)
        if (k < stringCount)
            r->strings[k] = nullptr;
    r->printerName = Wide(q.printer);

    r->request.Context = q.context;
    r->request.SettingCount = (DWORD)settingCount;
    r->request.Settings = q.nullSettings || settingCount == 0 ? nullptr : r->settings.data();
    r->request.StringCount = (DWORD)stringCount;
    r->request.Strings = q.nullStringArray || stringCount == 0 ? nullptr : r->strings.data();
    if (!q.passHandle && !q.printer.empty())
        r->request.PrinterName = r->printerName.data();
}

// An answer larger than this is a broken size, not something to allocate.
const DWORD kLargestAnswer = 64u << 20;

// One call as asked (--size), or the size-query protocol: size, then read
// (*queried: the size the size query gave, kUnwritten when none).
LONG Ask(const Query& q, const DataBaseRequest* request, std::vector<unsigned char>* buffer,
         DWORD* outSize, DWORD* queried)
{
    Export call = ExportOf(q.db);
    *outSize = kUnwritten;
    *queried = kUnwritten;
    if (q.bufferSize >= 0) {
        // Size 0 passes no buffer at all.
        buffer->assign((size_t)q.bufferSize, 0);
        return call(q.id, request, (DWORD)q.bufferSize, q.bufferSize ? buffer->data() : nullptr,
                    outSize);
    }
    LONG code = call(q.id, request, 0, nullptr, outSize);
    if (code != DB_MORE_DATA || *outSize == kUnwritten || *outSize > kLargestAnswer)
        return code;
    DWORD needed = *outSize;
    *queried = needed;
    buffer->assign(needed, 0);
    *outSize = kUnwritten;
    return call(q.id, request, needed, buffer->data(), outSize);
}

void PrintAnswer(Format format, const unsigned char* data, size_t n)
{
    switch (format) {
    case Format::kHex:
        PrintHex(data, n);
        break;
    case Format::kInt32:
        PrintInt32(data, n);
        break;
    case Format::kText:
        PrintText(data, n);
        break;
    case Format::kItems:
        PrintItems(data, n);
        break;
    case Format::kCommands:
        for (const std::string& line : prnsim::DecodeStream(data, n).lines)
            printf("%s\n", line.c_str());
        break;
    }
}

// The settings of the request in words, before the commands they chose.
void PrintSettings(const Query& q)
{
    std::string line;
    for (const auto& [number, value] : q.settings)
        line += (line.empty() ? "" : ", ") + modelnames::Describe(number, value);
    printf("settings given: %s\n", line.empty() ? "none" : line.c_str());
}

// The fewest settings with which the id no longer answers DB_NO_SETTINGS
// (size query, then read), the given ones kept and the others 0; 0 when no
// count up to 65535 does.
// An answer that reads a setting with more settings reads it with any more.
DWORD SettingsNeeded(const Query& q, RequestRecord& record)
{
    Export call = ExportOf(q.db);
    auto enough = [&](DWORD count) {
        record.settings.resize(count, 0);
        DataBaseRequest r = record.request;
        r.SettingCount = count;
        r.Settings = record.settings.data();
        // The whole protocol: some answers check the settings only when
        // they have a buffer to fill.
        DWORD size = 0;
        LONG code = call(q.id, &r, 0, nullptr, &size);
        if (code == DB_MORE_DATA && size <= kLargestAnswer) {
            std::vector<unsigned char> buffer(size);
            code = call(q.id, &r, size, buffer.data(), &size);
        }
        return code != DB_NO_SETTINGS;
    };
    DWORD low = record.request.SettingCount, high = 0xFFFF;
    if (!enough(high))
        return 0;
    while (high - low > 1) {
        DWORD middle = low + (high - low) / 2;
        (enough(middle) ? high : low) = middle;
    }
    return high;
}

void PrintFirstLine(LONG code, DWORD outSize, DWORD queried)
{
    if (outSize != kUnwritten)
        printf("%s (%d), out size %lu\n", CodeName(code), (int)code, (unsigned long)outSize);
    else if (code == DB_OK && queried != kUnwritten)
        // A list answer does not write the out size: the size query gave it.
        printf("%s (%d), out size %lu (from the size query; this answer leaves it unwritten)\n",
               CodeName(code), (int)code, (unsigned long)queried);
    else
        printf("%s (%d), out size not written\n", CodeName(code), (int)code);
}

// The settings against what the model offers: a Drv request only, the
// only database whose settings the model describes.
std::vector<std::string> SettingProblems(const Query& q, const RequestRecord& record)
{
    if (q.db != "drv" || q.noRequest || q.nullSettings)
        return {};
    std::vector<int32_t> settings(record.settings.begin(),
                                  record.settings.begin() + record.request.SettingCount);
    std::set<uint32_t> given;
    for (const auto& s : q.settings)
        given.insert(s.first);
    return prnsim::CheckSettings(q.id & 0xFFFF, settings, given);
}

// A job setup in the answer without a command the printer needs; for the
// job setup id itself with the setting that keeps it out.
std::vector<std::string> SequenceProblems(const Query& q, const RequestRecord& record,
                                          const unsigned char* answer, size_t n)
{
    if (q.db != "drv")
        return {};
    std::vector<std::string> lacks = prnsim::CheckJobSetup(prnsim::DecodeStream(answer, n));
    if (lacks.empty() || (q.id & 0xFFFF) != 4121 || q.noRequest || q.nullSettings)
        return lacks;
    std::vector<int32_t> settings(record.settings.begin(),
                                  record.settings.begin() + record.request.SettingCount);
    std::vector<std::string> blamed = prnsim::CheckJobSetupOf(settings);
    return blamed.empty() ? lacks : blamed;
}

bool WriteAnswer(const std::string& path, const unsigned char* data, size_t n)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(data, 1, n, f) == n;
    return fclose(f) == 0 && ok;
}

} // namespace

int RunQuery(const Query& q)
{
    PrepareStandIns(q);
    RequestRecord record;
    BuildRequest(q, &record);
    HANDLE handle = nullptr;
    if (q.passHandle) {
        if (!OpenPrinterW(record.printerName.data(), &handle, nullptr)) {
            fprintf(stderr, "xdbq: cannot open printer '%s'\n", q.printer.c_str());
            return 2;
        }
        record.request.Printer = handle;
    }

    std::vector<std::string> problems = SettingProblems(q, record);
    std::vector<unsigned char> buffer;
    DWORD outSize, queried;
    LONG code = Ask(q, q.noRequest ? nullptr : &record.request, &buffer, &outSize, &queried);
    DWORD needed =
        code == DB_NO_SETTINGS && !q.noRequest && !q.nullSettings ? SettingsNeeded(q, record) : 0;
    // List answers leave the out size as it was: the whole buffer is the answer.
    size_t shown = outSize == kUnwritten ? buffer.size() : std::min<size_t>(outSize, buffer.size());
    if (problems.empty() && code == DB_OK)
        problems = SequenceProblems(q, record, buffer.data(), shown);
    if (handle != nullptr)
        ClosePrinter(handle);
    if (!problems.empty() && !q.lenient) {
        for (const std::string& p : problems)
            fprintf(stderr, "xdbq: %s\n", p.c_str());
        if (needed != 0)
            fprintf(stderr, "xdbq: the id needs %lu settings with these values (--settings %lu)\n",
                    (unsigned long)needed, (unsigned long)needed);
        fprintf(stderr, "xdbq: not a request the model can build (--lenient shows the answer "
                        "anyway)\n");
        return prnsim::kExitNotBuildable;
    }

    PrintFirstLine(code, outSize, queried);
    for (const std::string& p : problems)
        printf("warning: %s\n", p.c_str());
    if (needed != 0)
        printf("the id needs %lu setting%s with these values (--settings %lu)\n",
               (unsigned long)needed, needed == 1 ? "" : "s", (unsigned long)needed);
    if (code == DB_MORE_DATA && q.bufferSize < 0 && outSize > kLargestAnswer)
        printf("warning: the size asked for is too large to read\n");
    if (code == DB_OK && outSize == kUnwritten && q.bufferSize >= 0)
        printf("(the answer's size is not known: the whole %ld-byte buffer follows)\n",
               q.bufferSize);
    if (!q.out.empty()) {
        if (code != DB_OK) {
            printf("nothing written to %s: the answer is not DB_OK\n", q.out.c_str());
        } else if (!WriteAnswer(q.out, buffer.data(), shown)) {
            fprintf(stderr, "xdbq: cannot write '%s': %s\n", q.out.c_str(), strerror(errno));
            return 2;
        } else {
            printf("the answer's %zu bytes written to %s\n", shown, q.out.c_str());
        }
    }
    if (code == DB_OK) {
        if (q.format == Format::kCommands)
            PrintSettings(q);
        PrintAnswer(q.format, buffer.data(), shown);
        if (!q.svg.empty()) {
            prnsim::StreamSummary decoded = prnsim::DecodeStream(buffer.data(), shown);
            if (!decoded.geometry.known) {
                printf("no page to draw: the answer has no page format command (ESC ( p)\n");
            } else {
                prnsim::PageContext context;
                context.settingsKnown = !q.noRequest && !q.nullSettings;
                context.settings.assign(q.settings.begin(), q.settings.end());
                context.source = q.db + " " + std::to_string(q.id) + " asked with xdbq";
                std::string sheet;
                std::string error = prnsim::WritePageSvg(decoded, q.svg, context, &sheet);
                if (!error.empty()) {
                    fprintf(stderr, "xdbq: %s\n", error.c_str());
                    return 2;
                }
                printf("the page as the printer is told: %s (%s)\n", q.svg.c_str(), sheet.c_str());
            }
        }
    }
    if (UmGlobalOutstanding() != 0 || UmPrintersOpen() != 0)
        printf("warning: prnmodel left %lu memory block(s) and %lu printer handle(s)\n",
               UmGlobalOutstanding(), UmPrintersOpen());
    if (!problems.empty())
        return prnsim::kExitNotBuildable;
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
