// `xdbq dump`: the answer of every id of the six databases under a fixed set
// of requests, printed so that two builds can be compared byte for byte.
// Reworking how the model is stored must not change a single line of it.
#include "query.h"

#include "prnmodel.h"
#include "um_control.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace xdbq
{

namespace
{

typedef LONG(WINAPI* Export)(DWORD, const DataBaseRequest*, DWORD, void*, DWORD*);

struct Database {
    const char* name;
    Export call;
};

const Database kDatabases[] = {
    {"root", XDB_AccessRootDataBase}, {"drv", XDB_AccessDrvDataBase}, {"lm", XDB_AccessLMDataBase},
    {"mnt", XDB_AccessMntDataBase},   {"pa", XDB_AccessPADataBase},   {"sm", XDB_AccessSMDataBase},
};
const int kDatabaseCount = sizeof(kDatabases) / sizeof(kDatabases[0]);

const DWORD kSettingSlots = 132;
const DWORD kStringSlots = 10;
const DWORD kUnwritten = 0xCDCDCDCDu;
const DWORD kLargestAnswer = 1u << 20;

// Values worth trying per setting: every label the model selects on today,
// a neighbour or two and a value no label names. Fixed here, not read from
// the model, so that the requests stay the same whatever the model becomes.
struct SettingValues {
    DWORD setting;
    std::vector<LONG> values;
};

std::vector<LONG> Range(LONG from, LONG to)
{
    std::vector<LONG> v;
    for (LONG x = from; x <= to; ++x)
        v.push_back(x);
    return v;
}

std::vector<LONG> Join(std::vector<LONG> a, const std::vector<LONG>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<LONG> kMedia = {0,   1,   2,   3,   262, 263, 271, 273,
                                  277, 281, 283, 284, 285, 287, 288, 999};
const std::vector<LONG> kPapers = {0,   1,   3,   5,   8,   9,   11,  12,  13,  24,
                                   43,  66,  69,  73,  74,  256, 257, 272, 273, 274,
                                   276, 277, 278, 279, 282, 284, 288, 2,   999};

std::vector<SettingValues> SettingCandidates()
{
    std::vector<LONG> s0 =
        Join(Range(0, 16), {21,   22,   51,   99,   900,  1001, 1002, 1100, 1101, 1105, 1110,
                            1225, 1226, 1227, 1228, 1229, 1230, 1231, 1701, 1702, 1703, 1704,
                            1800, 1801, 1802, 1803, 1804, 1810, 1811, 1812, 1813, 1814});
    s0 = Join(s0, Range(101, 102));
    s0 = Join(s0, Range(1121, 1134));
    s0 = Join(s0, Range(151, 160));
    s0 = Join(s0, Range(200, 237));
    s0 = Join(s0, Range(300, 335));
    s0 = Join(s0, Range(401, 407));
    s0 = Join(s0, Range(500, 505));
    s0 = Join(s0, {601, 602, 700, 701, 702, 703, 704, 801, 802});
    return {
        {0, Join(s0, {0x10000, 0x20000, 0x40000, 0x30000, -1})},
        {1, {0, 1, 2, -1}},
        {2, {0, 1, 2, 3, 4, 5, 0x101}},
        {4, {0, 1, 2, 3, 4}},
        {5, kMedia},
        {6, {0, 1, 2, 3, 4, 4096, 5631, 5632, 5650, 5685, 5686, 6160}},
        {7, {0, 6, 7, 8, 263, 264}},
        {8, {0, 1, 2, 3, 4, 5, 6}},
        {9, {0, 1, 2}},
        {10, {0, 1, 2}},
        {11, {0, 1, 16, 17, 18, 0x111}},
        {12, {0, 0x10, 0x20, 0x30, 1}},
        {13, {0, 1, 2, 3, 4}},
        {14, {0, 1, 2}},
        {15, {0, 40, 70, 100, 101}},
        {16, {0, 1, 2, 3}},
        {17, {0, 1, 2}},
        {20, {0, 1, 2}},
        {21, {0, 1, 0x100, 0x101, 2}},
        {23, {0, 1, 2, 3}},
        {28, kPapers},
        {38, {0, 1}},
        {39, {0, 1}},
        {41, {0, 1}},
        {43, {0, 1}},
        {70, {0, 1, 2, 3}},
        {81, {0, 1, 2, -1}},
        {82, {0, 1}},
        {98, {0, 1}},
        {106, {0, 1, 2}},
        {108, Join(kMedia, {})},
        {109, {0, 1, 255}},
        {110, {0, 1}},
        {111, {0, 1}},
        {112, {0, 1, 2, 3}},
        {118, {0, 1, 2, 3, 4, 5}},
    };
}

const char* const kStringCandidates[] = {
    "",    "AOF",      "AOP", "BST",       "CBT",       "CHD",  "CIL",      "CIR", "CMS",
    "COB", "CSN",      "CTK", "DBS",       "DJS",       "DOC",  "DSC",      "DWS", "ECH",
    "FEP", "HCU",      "LVR", "MID",       "OPT",       "PID",  "RDC",      "REG", "RST",
    "SFA", "SPS",      "SSR", "T4410",     "T4412",     "TBI",  "TII",      "TLN", "TNK",
    "TRB", "TSI",      "TUI", "LS",        "NO",        "NS",   "UK",       "C",   "G",
    "K",   "LC",       "LM",  "M",         "R",         "Y",    "IEEE1394", "USB", "Cleaning",
    "XX",  "PowerOff", "usb", "TestPrint", "Cleaning2", "T441",
};

// What the library sees beside the request: the printer's stored values,
// the clock and the country.
struct Environment {
    const char* label;
    bool printer;
    DWORD mediaDetection;    // QmxUI_CustomMediaDetection, ~0: absent
    DWORD silentEnable;      // QmxUI_SilentModeEnable, ~0: absent
    const char* mediaReport; // QmxSLM_CMS, NULL: absent
    const char* country;
};

const DWORD kAbsent = ~0u;

const Environment kEnvironments[] = {
    {"no printer", false, kAbsent, kAbsent, NULL, "1"},
    {"printer without values, country 49", true, kAbsent, kAbsent, NULL, "49"},
    {"printer: detection off, silent on, plain report, country 81", true, 0, 1, "011000000000",
     "81"},
    {"printer: detection on, silent timed, class report", true, 1, 2, "010050203090", "44"},
    {"printer: silent off, class 2 report", true, 5, 0, "020040604050", "1"},
    {"printer: class 4 report", true, 1, 2, "010005000000", "1"},
    {"printer: class 3 report", true, 1, 2, "02003C50FF80", "1"},
    {"printer: no-proposal report", true, 1, 2, "010250203090", "1"},
    {"printer: saturated report", true, 1, 2, "01C0FFFFFFFF", "1"},
    {"printer: short report", true, 1, 2, "0100", "1"},
};

void PrepareEnvironment(const Environment& env)
{
    UmReset();
    SYSTEMTIME t = {};
    t.wYear = 2026;
    t.wMonth = 12;
    t.wDay = 7;
    t.wHour = 23;
    t.wMinute = 30;
    UmSetLocalTime(&t);
    UmSetCountryCode(env.country);
    if (!env.printer)
        return;
    UmAddPrinter("P");
    if (env.mediaDetection != kAbsent)
        UmSetPrinterDword("P", "QmxUI_CustomMediaDetection", env.mediaDetection);
    if (env.silentEnable != kAbsent)
        UmSetPrinterDword("P", "QmxUI_SilentModeEnable", env.silentEnable);
    UmSetPrinterDword("P", "QmxUI_SilentModeTime", 0x01A40528);
    if (env.mediaReport != NULL)
        UmSetPrinterString("P", "QmxSLM_CMS", env.mediaReport);
}

// One request: settings (none when `count` is negative), strings, context.
struct Request {
    std::string label;
    bool none = false; // no request record at all
    long settingCount = kSettingSlots;
    bool nullSettings = false;
    std::vector<LONG> settings = std::vector<LONG>(kSettingSlots, 0);
    long stringCount = kStringSlots;
    std::vector<std::string> strings = std::vector<std::string>(kStringSlots, "");
    std::vector<bool> nullString = std::vector<bool>(kStringSlots, false);
    DWORD context = 0;
};

// A plain A4 job as the driver sends it.
Request BaseJob()
{
    Request r;
    r.label = "A4 plain-paper job";
    LONG job[][2] = {{4, 3}, {5, 1}, {6, 1}, {7, 7}, {8, 3}, {28, 9}, {108, 999}};
    for (auto& p : job)
        r.settings[p[0]] = p[1];
    return r;
}

std::string Describe(const char* what, long n)
{
    return std::string(what) + " " + std::to_string(n);
}

// Fixed pseudo-random numbers: the same sequence on every build and host.
struct Lcg {
    unsigned long long state = 0x2545F4914F6CDD1DULL;
    DWORD Next(DWORD bound)
    {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (DWORD)((state >> 33) % bound);
    }
};

std::vector<Request> GeneralRequests()
{
    std::vector<Request> all;
    Request none;
    none.label = "no request";
    none.none = true;
    all.push_back(none);
    Request empty;
    empty.label = "empty request";
    empty.settingCount = 0;
    empty.stringCount = 0;
    all.push_back(empty);
    Request nullSettings = BaseJob();
    nullSettings.label = "null settings";
    nullSettings.nullSettings = true;
    all.push_back(nullSettings);
    Request zeros;
    zeros.label = "132 zero settings";
    all.push_back(zeros);
    all.push_back(BaseJob());
    for (long count : {1L, 5L, 9L, 29L, 71L, 81L, 82L, 107L, 118L, 119L, 131L}) {
        Request r = BaseJob();
        r.label = Describe("job with settings count", count);
        r.settingCount = count;
        all.push_back(r);
    }
    for (long count : {0L, 1L, 4L, 5L, 8L}) {
        Request r = BaseJob();
        r.label = Describe("job with strings count", count);
        r.stringCount = count;
        all.push_back(r);
    }
    for (DWORD k = 0; k < kStringSlots; ++k) {
        Request r = BaseJob();
        r.label = Describe("job with null string", k);
        r.nullString[k] = true;
        all.push_back(r);
    }
    Request context = BaseJob();
    context.label = "job with context 7";
    context.context = 7;
    all.push_back(context);
    for (const SettingValues& sv : SettingCandidates()) {
        for (LONG v : sv.values) {
            Request r = BaseJob();
            r.label = "job with s" + std::to_string(sv.setting) + "=" + std::to_string(v);
            r.settings[sv.setting] = v;
            all.push_back(r);
        }
    }
    for (DWORD k : {0u, 1u, 4u, 7u, 9u}) {
        for (const char* text : kStringCandidates) {
            Request r = BaseJob();
            r.label = "job with string " + std::to_string(k) + "=\"" + text + "\"";
            r.strings[k] = text;
            all.push_back(r);
        }
    }
    // Combinations: every candidate setting drawn at random.
    std::vector<SettingValues> candidates = SettingCandidates();
    Lcg lcg;
    for (int i = 0; i < 400; ++i) {
        Request r = BaseJob();
        r.label = Describe("random combination", i);
        for (const SettingValues& sv : candidates) {
            if (lcg.Next(3) != 0)
                r.settings[sv.setting] = sv.values[lcg.Next((DWORD)sv.values.size())];
        }
        for (DWORD k : {0u, 1u, 4u, 7u, 9u}) {
            const DWORD n = sizeof(kStringCandidates) / sizeof(kStringCandidates[0]);
            r.strings[k] = kStringCandidates[lcg.Next(n)];
        }
        all.push_back(r);
    }
    return all;
}

// The print-mode keys in every combination, for the driver database only.
std::vector<Request> PrintModeRequests()
{
    std::vector<Request> all;
    for (LONG s9 : {0, 1})
        for (LONG s5 : kMedia)
            for (LONG s8 : {1, 2, 3, 4, 5})
                for (LONG s6 : {1, 2, 3})
                    for (LONG s81 : {0, 1}) {
                        Request r = BaseJob();
                        r.settings[9] = s9;
                        r.settings[5] = s5;
                        r.settings[8] = s8;
                        r.settings[6] = s6;
                        r.settings[81] = s81;
                        r.settings[28] = s81 ? 43 : 9;
                        r.label = "print mode s9=" + std::to_string(s9) +
                                  " s5=" + std::to_string(s5) + " s8=" + std::to_string(s8) +
                                  " s6=" + std::to_string(s6) + " s81=" + std::to_string(s81);
                        all.push_back(r);
                    }
    return all;
}

// The request record and its arrays, alive for the calls.
struct Record {
    std::vector<LONG> settings;
    std::vector<LPCSTR> strings;
    std::vector<WCHAR> printer;
    DataBaseRequest request = {};
};

void BuildRecord(const Request& r, bool printer, Record* out)
{
    out->settings = r.settings;
    out->strings.clear();
    for (DWORD k = 0; k < kStringSlots; ++k)
        out->strings.push_back(r.nullString[k] ? NULL : r.strings[k].c_str());
    const char* name = "P";
    out->printer.assign(name, name + 2);
    out->request.Context = r.context;
    out->request.SettingCount = (DWORD)r.settingCount;
    out->request.Settings = r.nullSettings || r.settingCount == 0 ? NULL : out->settings.data();
    out->request.StringCount = (DWORD)r.stringCount;
    out->request.Strings = r.stringCount == 0 ? NULL : out->strings.data();
    out->request.PrinterName = printer ? out->printer.data() : NULL;
}

// One answer: four calls (size query, a buffer one byte short, the size
// asked for, a larger buffer) with their codes, sizes and bytes.
std::string Answer(Export call, DWORD id, const DataBaseRequest* request)
{
    std::string text;
    char b[64];
    DWORD need = kUnwritten;
    LONG code = call(id, request, 0, NULL, &need);
    snprintf(b, sizeof b, "%ld/%lu", (long)code, (unsigned long)need);
    text += b;
    if (code != DB_MORE_DATA || need == kUnwritten || need == 0 || need > kLargestAnswer)
        return text;
    for (DWORD size : {need - 1, need, need + 16}) {
        std::vector<unsigned char> buffer(size, 0xA5);
        DWORD out = kUnwritten;
        code = call(id, request, size, size ? buffer.data() : NULL, &out);
        snprintf(b, sizeof b, " %ld/%lu", (long)code, (unsigned long)out);
        text += b;
        if (code == DB_OK) {
            text += ":";
            for (unsigned char c : buffer) {
                snprintf(b, sizeof b, "%02X", c);
                text += b;
            }
        }
    }
    return text;
}

// Distinct answers are numbered in order of appearance and listed at the end.
struct AnswerBook {
    std::map<std::string, size_t> index;
    std::vector<const std::string*> order;
    unsigned long long answers = 0;

    size_t Add(const std::string& answer)
    {
        ++answers;
        auto it = index.emplace(answer, order.size());
        if (it.second)
            order.push_back(&it.first->first);
        return it.first->second;
    }
};

// The ids of a database: every id between the first and the last that
// answer more than "no answer" (outside its range a database answers only
// that) which does not answer "unknown id" under both of two requests. The
// code of every id under the first request is printed in runs, so that an
// id the routing gains or loses shows too.
std::vector<DWORD> KnownIds(const Database& db, FILE* out)
{
    Request job = BaseJob();
    Request zeros;
    zeros.settings.assign(kSettingSlots, 0);
    Record a, z;
    BuildRecord(job, false, &a);
    BuildRecord(zeros, false, &z);
    std::vector<LONG> codes(0x10000), others(0x10000);
    DWORD first = 0x10000, last = 0;
    for (DWORD id = 0; id <= 0xFFFF; ++id) {
        DWORD size = 0;
        codes[id] = db.call(id, &a.request, 0, NULL, &size);
        others[id] = db.call(id, &z.request, 0, NULL, &size);
        if (codes[id] != DB_NO_ANSWER || others[id] != DB_NO_ANSWER) {
            first = first < id ? first : id;
            last = id;
        }
    }
    fprintf(out, "%s codes:", db.name);
    DWORD runStart = 0;
    for (DWORD id = 1; id <= 0x10000; ++id) {
        if (id == 0x10000 || codes[id] != codes[runStart]) {
            fprintf(out, " %lu-%lu:%ld", (unsigned long)runStart, (unsigned long)id - 1,
                    (long)codes[runStart]);
            runStart = id;
        }
    }
    fputc('\n', out);
    std::vector<DWORD> ids;
    for (DWORD id = first; id <= last && first <= last; ++id) {
        if (codes[id] != DB_UNKNOWN_ID || others[id] != DB_UNKNOWN_ID)
            ids.push_back(id);
    }
    return ids;
}

// Under the main environments every request runs; under the others the
// first `core` requests and every tenth after them.
void DumpRequests(const std::vector<Request>& requests, size_t core,
                  const std::vector<int>& databases, const std::vector<size_t>& mainEnvironments,
                  const std::vector<std::vector<DWORD>>& ids, AnswerBook* book, FILE* out)
{
    const size_t environmentCount = sizeof(kEnvironments) / sizeof(kEnvironments[0]);
    for (size_t e = 0; e < environmentCount; ++e) {
        const Environment& env = kEnvironments[e];
        bool main = false;
        for (size_t m : mainEnvironments)
            main = main || m == e;
        if (!main && core == 0)
            continue;
        PrepareEnvironment(env);
        fprintf(out, "environment: %s\n", env.label);
        for (size_t r = 0; r < requests.size(); ++r) {
            if (!main && r >= core && r % 10 != 0)
                continue;
            Record record;
            BuildRecord(requests[r], env.printer, &record);
            const DataBaseRequest* request = requests[r].none ? NULL : &record.request;
            fprintf(out, "request %zu: %s\n", r, requests[r].label.c_str());
            for (int db : databases) {
                fprintf(out, " %s", kDatabases[db].name);
                for (DWORD id : ids[db])
                    fprintf(out, " %zu", book->Add(Answer(kDatabases[db].call, id, request)));
                fputc('\n', out);
            }
        }
        if (UmGlobalOutstanding() != 0 || UmPrintersOpen() != 0)
            fprintf(out, "leak: %lu blocks, %lu printers\n", UmGlobalOutstanding(),
                    UmPrintersOpen());
    }
}

void DumpMediaInfo(AnswerBook* book, FILE* out)
{
    const char* const reports[] = {"",
                                   "0100",
                                   "000000000000",
                                   "011000000000",
                                   "010050203090",
                                   "020040604050",
                                   "010005000000",
                                   "02003C50FF80",
                                   "02FF2577FF0C",
                                   "01C0FFFFFFFF",
                                   "0G1Z50203090",
                                   "FFFFFFFFFFFFFF",
                                   "017878787878"};
    fprintf(out, "GetMediaInfo\n");
    for (const char* text : reports) {
        for (DWORD size : {0u, 27u, 28u, 64u}) {
            std::vector<WCHAR> wide(text, text + strlen(text) + 1);
            MediaInfo info;
            memset(&info, 0xA5, sizeof info);
            DWORD inOut = size;
            LONG ok = GetMediaInfo(wide.data(), &info, &inOut);
            char b[160];
            snprintf(b, sizeof b, "%ld/%lu %lu %lu %08lX %lu %lu", (long)ok, (unsigned long)inOut,
                     (unsigned long)info.valid, (unsigned long)info.mediaClass,
                     (unsigned long)info.flags, (unsigned long)info.headerLow,
                     (unsigned long)info.headerHigh);
            fprintf(out, " \"%s\" %lu: %zu\n", text, (unsigned long)size, book->Add(b));
        }
    }
}

} // namespace

int RunDump(const std::vector<std::string>& args)
{
    if (!args.empty()) {
        fprintf(stderr, "xdbq: dump takes no options\n");
        return 2;
    }
    FILE* out = stdout;
    std::vector<std::vector<DWORD>> ids(kDatabaseCount);
    UmReset();
    for (int db = 0; db < kDatabaseCount; ++db) {
        ids[db] = KnownIds(kDatabases[db], out);
        fprintf(out, "%s ids (%zu):", kDatabases[db].name, ids[db].size());
        for (DWORD id : ids[db])
            fprintf(out, " %lu", (unsigned long)id);
        fputc('\n', out);
    }
    AnswerBook book;
    const size_t kCoreRequests = 34;
    DumpRequests(GeneralRequests(), kCoreRequests, {0, 1, 2, 3, 4, 5}, {0, 3}, ids, &book, out);
    DumpRequests(PrintModeRequests(), 0, {1}, {0, 3}, ids, &book, out);
    DumpMediaInfo(&book, out);
    fprintf(out, "distinct answers (%zu):\n", book.order.size());
    for (size_t i = 0; i < book.order.size(); ++i)
        fprintf(out, "%zu %s\n", i, book.order[i]->c_str());
    fprintf(out, "answers compared: %llu\n", book.answers);
    return 0;
}

} // namespace xdbq
