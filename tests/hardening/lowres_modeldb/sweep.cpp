#include "sweep.h"

#include <cstdio>
#include <cstring>

namespace lowres
{

std::string Describe(const Outcome& o)
{
    std::string s = "result " + std::to_string(o.result) + " size " + std::to_string(o.size);
    if (!o.bytes.empty()) {
        s += " bytes";
        char hex[4];
        for (BYTE b : o.bytes) {
            std::snprintf(hex, sizeof hex, " %02X", b);
            s += hex;
        }
    }
    return s;
}

const DataBaseRequest* Request::Get()
{
    record = DataBaseRequest{};
    record.SettingCount = static_cast<DWORD>(settings.size());
    record.Settings = settings.empty() ? nullptr : settings.data();
    record.StringCount = static_cast<DWORD>(strings.size());
    record.Strings = strings.empty() ? nullptr : strings.data();
    record.PrinterName = printerName;
    return &record;
}

Outcome Read(Export db, DWORD id, Request& request)
{
    Outcome o;
    o.result = db(id, request.Get(), 0, nullptr, &o.size);
    for (int attempt = 0; attempt < 3 && o.result == DB_MORE_DATA; ++attempt) {
        std::vector<BYTE> buffer(o.size, 0xCD);
        DWORD asked = o.size;
        o.result = db(id, request.Get(), asked, buffer.empty() ? nullptr : buffer.data(), &o.size);
        if (o.result == DB_OK && o.size <= asked)
            o.bytes.assign(buffer.begin(), buffer.begin() + o.size);
    }
    // The out size carries nothing with the other results.
    if (o.result != DB_OK && o.result != DB_MORE_DATA)
        o.size = 0;
    return o;
}

Outcome MediaInfoOf(const WCHAR* text)
{
    Outcome o;
    MediaInfo info{};
    o.size = sizeof info;
    o.result = GetMediaInfo(text, &info, &o.size);
    if (o.result == 1) {
        o.bytes.resize(sizeof info);
        std::memcpy(o.bytes.data(), &info, sizeof info);
    }
    return o;
}

void StandardPrinter()
{
    UmAddPrinter("ZR Tessa");
    UmSetPrinterDword("ZR Tessa", "QmxUI_SilentModeEnable", 2);
    // 22:00 to 07:00; the stand-in's clock stands at midnight.
    UmSetPrinterDword("ZR Tessa", "QmxUI_SilentModeTime", (420u << 16) | 1320u);
    UmSetPrinterDword("ZR Tessa", "QmxUI_CustomMediaDetection", 0);
    // Class 2 paper, no flags.
    UmSetPrinterString("ZR Tessa", "QmxSLM_CMS", "0200281E0A05");
}

std::map<std::string, unsigned long>& PairsByKind()
{
    static std::map<std::string, unsigned long> pairs;
    return pairs;
}

namespace
{

bool IsDbCode(LONG r)
{
    return r >= DB_NO_REQUEST && r <= DB_UNKNOWN_ID;
}

const char* KindName(unsigned kind)
{
    switch (kind) {
    case UM_POINT_GLOBALALLOC:
        return "GlobalAlloc";
    case UM_POINT_OPENPRINTER:
        return "OpenPrinterW";
    case UM_POINT_PRINTERDATA:
        return "GetPrinterDataW";
    case UM_POINT_LOCALE:
        return "GetLocaleInfoA";
    default:
        return "?";
    }
}

// Runs once in a fresh environment; checks what every run must leave behind.
Outcome RunClean(const Scenario& s, const std::function<void()>& environment, long failAfter,
                 unsigned* hit, const std::string& where)
{
    UmReset();
    environment();
    unsigned long blocks = UmGlobalOutstanding();
    UmFailPointAfter(UM_POINT_ALL, failAfter);
    Outcome o = s.run();
    *hit = UmFailPointHit();
    UmFailPointAfter(0, -1);
    EXPECT_TRUE(IsDbCode(o.result)) << where << ": " << Describe(o);
    EXPECT_EQ(UmGlobalOutstanding(), blocks) << where << ": GlobalAlloc block leaked";
    EXPECT_EQ(UmGlobalBadFrees(), 0u) << where << ": freed a block it did not own";
    EXPECT_EQ(UmPrintersOpen(), 0u) << where << ": printer handle left open";
    EXPECT_EQ(UmPrinterBadCloses(), 0u) << where << ": closed a handle it did not open";
    return o;
}

} // namespace

unsigned long Sweep(const Scenario& s, const std::function<void()>& environment)
{
    const std::string name = std::string(s.kind) + " / " + s.name;
    unsigned hit = 0;
    Outcome reference = RunClean(s, environment, -1, &hit, name + " (reference)");
    std::vector<Outcome> allowed{reference};
    // A printer that cannot be opened by name is a printer without data.
    UmReset();
    environment();
    UmFailOpenPrinter(TRUE);
    allowed.push_back(s.run());
    for (const auto& alternative : s.alternatives) {
        UmReset();
        environment();
        allowed.push_back(alternative(reference));
    }

    unsigned long pairs = 0;
    const long kMaxPoints = 100000;
    for (long n = 0; n < kMaxPoints; ++n) {
        std::string where = name + ", failing point " + std::to_string(n + 1);
        Outcome o = RunClean(s, environment, n, &hit, where);
        if (hit == 0) {
            // Past the last point: the run had everything it asked for.
            EXPECT_EQ(o, reference) << where << ": " << Describe(o);
            break;
        }
        ++pairs;
        bool ok = o.result == DB_FAILED;
        for (const Outcome& a : allowed)
            ok = ok || o == a;
        EXPECT_TRUE(ok) << where << " (" << KindName(hit) << "): " << Describe(o)
                        << "\n  reference: " << Describe(reference);
    }
    PairsByKind()[s.kind] += pairs;
    UmReset();
    return pairs;
}

} // namespace lowres
