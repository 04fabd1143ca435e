#include "job.h"

#include "prnmodel.h"
#include "um_control.h"

namespace prnsim
{

const char kDemoPrinterName[] = "Orvex Tessa 4410x";

namespace
{

// Asks the driver database with the size-query protocol: size first, then
// the answer into a buffer of that size.
long ReadDrv(DWORD id, const DataBaseRequest* request, std::vector<unsigned char>* out)
{
    DWORD size = 0;
    LONG code = XDB_AccessDrvDataBase(id, request, 0, nullptr, &size);
    if (code == DB_OK && size == 0) {
        out->clear();
        return DB_OK;
    }
    if (code != DB_MORE_DATA)
        return code;
    out->assign(size, 0);
    DWORD written = 0;
    code = XDB_AccessDrvDataBase(id, request, size, out->data(), &written);
    if (code == DB_OK)
        out->resize(written);
    return code;
}

// Raster-like filler: repeating bands of a ramp, never the escape byte.
std::vector<unsigned char> RasterData(size_t n)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; i++) {
        unsigned char b = (unsigned char)((i / 64) * 37 + (i % 64) * 3);
        v[i] = b == 0x1B ? 0x1C : b;
    }
    return v;
}

} // namespace

std::vector<int32_t> DemoSettings(const std::map<uint32_t, int32_t>& changed)
{
    std::vector<int32_t> settings(kJobSettingCount, 0);
    settings[4] = 3; // the one print-mode family of this model
    settings[5] = 1; // plain paper
    settings[6] = 1;
    settings[7] = 263; // the setting that adds the media detection block
    settings[8] = 3;   // standard quality
    settings[9] = 0;
    settings[28] = 9;  // A4
    settings[81] = 0;  // with margins
    settings[112] = 1; // adds ESC ( $
    for (const auto& [number, value] : changed)
        settings[number] = value;
    return settings;
}

Job BuildDemoJob(size_t rasterBytes, const std::map<uint32_t, int32_t>& changed)
{
    // The printer's stored choices: silent mode by time of day from 22:00 to
    // 07:00, media detection on; the local clock at 23:15.
    UmAddPrinter(kDemoPrinterName);
    UmSetPrinterDword(kDemoPrinterName, "QmxUI_SilentModeEnable", 2);
    UmSetPrinterDword(kDemoPrinterName, "QmxUI_SilentModeTime", 1320u | 420u << 16);
    UmSetPrinterDword(kDemoPrinterName, "QmxUI_CustomMediaDetection", 1);
    SYSTEMTIME now = {};
    now.wYear = 2026;
    now.wMonth = 12;
    now.wDay = 7;
    now.wDayOfWeek = 1;
    now.wHour = 23;
    now.wMinute = 15;
    UmSetLocalTime(&now);

    std::vector<int32_t> chosen = DemoSettings(changed);
    std::vector<LONG> settings(chosen.begin(), chosen.end());
    static const WCHAR name[] = L"Orvex Tessa 4410x";
    DataBaseRequest request = {};
    request.SettingCount = (DWORD)kJobSettingCount;
    request.Settings = settings.data();
    request.PrinterName = name;

    Job job;
    job.settings.assign(settings.begin(), settings.end());
    struct Step {
        DWORD id;
        const char* what;
    };
    const Step before[] = {{4120, "job start"}, {4121, "job setup"}};
    const Step after[] = {
        {4125, "page end"}, {4124, "switch off"}, {4123, "reset"}, {4122, "job end"}};
    auto add = [&](const Step& step) {
        std::vector<unsigned char> bytes;
        long code = ReadDrv(step.id, &request, &bytes);
        job.pieces.push_back({step.what, step.id, code, bytes.size()});
        if (code != DB_OK && job.error.empty())
            job.error = "Drv " + std::to_string(step.id) + " answered " + std::to_string(code);
        job.bytes.insert(job.bytes.end(), bytes.begin(), bytes.end());
    };
    for (const Step& s : before)
        add(s);
    std::vector<unsigned char> raster = RasterData(rasterBytes);
    job.pieces.push_back({"raster data", 0, DB_OK, raster.size()});
    job.bytes.insert(job.bytes.end(), raster.begin(), raster.end());
    for (const Step& s : after)
        add(s);
    return job;
}

void ResetModelStandIns()
{
    UmReset();
}

std::vector<std::string> ModelLeaks()
{
    std::vector<std::string> problems;
    if (UmGlobalOutstanding() != 0)
        problems.push_back("prnmodel: " + std::to_string(UmGlobalOutstanding()) +
                           " GlobalAlloc block(s) not freed");
    if (UmGlobalBadFrees() != 0)
        problems.push_back("prnmodel: " + std::to_string(UmGlobalBadFrees()) +
                           " GlobalFree of unknown blocks");
    if (UmPrintersOpen() != 0)
        problems.push_back("prnmodel: " + std::to_string(UmPrintersOpen()) +
                           " printer handle(s) left open");
    return problems;
}

} // namespace prnsim
