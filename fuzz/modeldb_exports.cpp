// The six database exports and GetMediaInfo with ids, settings, strings,
// printer data, clock, buffer sizes and a failing resource all taken from the
// input. Besides the sanitizers, each call must keep the library's promises:
// a result code of its set, the size protocol, an untouched request, and
// nothing left allocated or open.
#include <cstring>
#include <memory>
#include <vector>

#include <winspool.h>

#include "fuzz_input.h"
#include "prnmodel.h"
#include "um_control.h"

namespace
{

using Export = LONG(WINAPI*)(DWORD, const DataBaseRequest*, DWORD, void*, DWORD*);

struct Database {
    Export call;
    DWORD firstId;
};

const Database kDatabases[] = {
    {XDB_AccessRootDataBase, 0x0000}, {XDB_AccessDrvDataBase, 0x1000},
    {XDB_AccessLMDataBase, 0x2000},   {XDB_AccessMntDataBase, 0x3000},
    {XDB_AccessPADataBase, 0x4000},   {XDB_AccessSMDataBase, 0x6000},
};

const DWORD kUntouched = 0xA5A5A5A5u;
const BYTE kFill = 0xCD;

const char* const kDwordValues[] = {"QmxUI_SilentModeEnable", "QmxUI_SilentModeTime",
                                    "QmxUI_CustomMediaDetection"};

void StorePrinterData(FuzzInput& in)
{
    UmAddPrinter("fz");
    for (const char* name : kDwordValues) {
        if (in.Flag())
            UmSetPrinterDword("fz", name, in.U32());
    }
    switch (in.Byte() % 4) {
    case 0:
        break;
    case 1:
        UmSetPrinterString("fz", "QmxSLM_CMS", in.Text(24).c_str());
        break;
    default: {
        // Any type and length, terminated or not.
        DWORD type = in.Byte() % 5;
        std::string bytes = in.Text(40);
        UmSetPrinterValue("fz", "QmxSLM_CMS", type, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    }
    SYSTEMTIME now{};
    now.wYear = static_cast<WORD>(in.Flag() ? in.U16() : 2026);
    now.wMonth = in.Byte();
    now.wDay = in.Byte();
    now.wHour = in.Byte() % 32;
    now.wMinute = in.Byte() % 64;
    now.wSecond = in.Byte() % 64;
    UmSetLocalTime(&now);
    UmSetCountryCode(in.Text(4).c_str());
}

struct FuzzRequest {
    std::vector<LONG> settings;
    std::vector<std::string> texts;
    std::vector<const char*> strings;
    DataBaseRequest record{};
    bool present = true;
};

void ReadRequest(FuzzInput& in, HANDLE opened, FuzzRequest& r)
{
    BYTE shape = in.Byte();
    r.present = (shape & 0x80) == 0;
    DWORD settingCount = in.Byte();
    if (shape & 0x40)
        settingCount += 64; // reach the settings of the media override
    r.settings.assign(settingCount, 0);
    for (int n = in.Byte() % 24; n > 0; --n) {
        BYTE at = in.Byte();
        LONG value = static_cast<LONG>(in.Flag() ? in.U32() : in.U16());
        if (at < settingCount)
            r.settings[at] = value;
    }
    DWORD stringCount = in.Byte() % 10;
    for (DWORD i = 0; i < stringCount; ++i)
        r.texts.push_back(in.Text(12));
    for (DWORD i = 0; i < stringCount; ++i)
        r.strings.push_back((in.Byte() & 7) == 0 ? nullptr : r.texts[i].c_str());

    r.record.Context = in.U32();
    r.record.SettingCount = settingCount;
    r.record.Settings = (shape & 0x01) || settingCount == 0 ? nullptr : r.settings.data();
    r.record.StringCount = stringCount;
    r.record.Strings = (shape & 0x02) || stringCount == 0 ? nullptr : r.strings.data();
    static const WCHAR kKnown[] = L"FZ";
    static const WCHAR kUnknown[] = L"elsewhere";
    switch ((shape >> 2) & 3) {
    case 1:
        r.record.PrinterName = kKnown;
        break;
    case 2:
        r.record.PrinterName = kUnknown;
        break;
    case 3:
        r.record.Printer = opened;
        break;
    default:
        break;
    }
}

void CheckExportCall(LONG result, DWORD size, const BYTE* buffer, DWORD outSize)
{
    FUZZ_CHECK(result >= DB_NO_REQUEST && result <= DB_UNKNOWN_ID, "result outside the DB_ codes");
    if (result == DB_MORE_DATA) {
        FUZZ_CHECK(buffer == nullptr || outSize > size, "more data asked for a buffer that fits");
        for (DWORD i = 0; buffer != nullptr && i < size; ++i)
            FUZZ_CHECK(buffer[i] == kFill, "buffer written with a more-data answer");
    }
    if (result == DB_OK)
        FUZZ_CHECK(outSize == kUntouched || outSize <= size, "answer larger than the buffer");
}

LONG CallExport(Export db, DWORD id, const DataBaseRequest* request, DWORD size, bool withBuffer,
                DWORD* outSize)
{
    // Exactly the size given, so the sanitizer sees any access past it.
    std::unique_ptr<BYTE[]> buffer(new BYTE[size]);
    std::memset(buffer.get(), kFill, size);
    BYTE* data = withBuffer ? buffer.get() : nullptr;
    *outSize = kUntouched;
    LONG result = db(id, request, size, data, outSize);
    CheckExportCall(result, size, data, *outSize);
    return result;
}

void FuzzExport(FuzzInput& in, HANDLE opened)
{
    const Database& db = kDatabases[in.Byte() % 6];
    DWORD id = in.Flag() ? db.firstId + in.Byte() : in.U32();
    FuzzRequest r;
    ReadRequest(in, opened, r);
    const DataBaseRequest* request = r.present ? &r.record : nullptr;
    DataBaseRequest before = r.record;
    std::vector<LONG> settingsBefore = r.settings;

    BYTE call = in.Byte() % 3;
    DWORD outSize = 0;
    if (call == 0) {
        // The size protocol: a buffer of the size asked for is enough.
        LONG result = CallExport(db.call, id, request, 0, false, &outSize);
        if (result == DB_MORE_DATA && outSize <= (1u << 20)) {
            DWORD asked = outSize;
            result = CallExport(db.call, id, request, asked, true, &outSize);
            FUZZ_CHECK(result != DB_MORE_DATA || outSize > asked,
                       "more data asked again for the size it gave");
        }
    } else if (call == 1) {
        CallExport(db.call, id, request, in.U16() % 2048, true, &outSize);
    } else {
        // Size without a buffer.
        CallExport(db.call, id, request, in.U16(), false, &outSize);
    }
    FUZZ_CHECK(std::memcmp(&before, &r.record, sizeof before) == 0, "request record written");
    FUZZ_CHECK(settingsBefore == r.settings, "settings array written");
}

void FuzzMediaInfo(FuzzInput& in)
{
    std::string text = in.Text(20);
    std::vector<WCHAR> wide;
    for (char c : text)
        wide.push_back(static_cast<WCHAR>(static_cast<unsigned char>(c)));
    wide.push_back(0);
    MediaInfo info;
    std::memset(&info, kFill, sizeof info);
    DWORD size = in.Byte();
    DWORD given = size;
    LONG result = GetMediaInfo(in.Flag() ? nullptr : wide.data(), &info, &size);
    FUZZ_CHECK(result == 0 || result == 1, "media info result not 1 or 0");
    if (result == 1) {
        FUZZ_CHECK(size == sizeof info && info.valid == 1, "decoded record not reported");
        FUZZ_CHECK(info.mediaClass >= 1 && info.mediaClass <= 4, "media class outside 1..4");
        FUZZ_CHECK(info.reserved1 == 0xCDCDCDCDu && info.reserved2 == 0xCDCDCDCDu,
                   "reserved fields written");
    } else {
        FUZZ_CHECK(size == given || size == sizeof info, "size changed on failure");
        const BYTE* bytes = reinterpret_cast<const BYTE*>(&info);
        for (size_t i = 0; i < sizeof info; ++i)
            FUZZ_CHECK(bytes[i] == kFill, "record written on failure");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    UmReset();
    StorePrinterData(in);
    HANDLE opened = nullptr;
    WCHAR name[] = L"fz";
    OpenPrinterW(name, &opened, nullptr);
    unsigned long blocks = UmGlobalOutstanding();
    BYTE failure = in.Byte();
    // 0: everything works; else the (failure)th resource call fails.
    if (failure != 0)
        UmFailPointAfter(UM_POINT_ALL, failure - 1);

    if (in.Byte() % 8 == 7)
        FuzzMediaInfo(in);
    else
        FuzzExport(in, opened);

    UmFailPointAfter(0, -1);
    FUZZ_CHECK(UmGlobalOutstanding() == blocks, "GlobalAlloc block leaked");
    FUZZ_CHECK(UmGlobalBadFrees() == 0, "freed a block it did not own");
    FUZZ_CHECK(UmPrintersOpen() == (opened ? 1u : 0u), "printer handle left open");
    FUZZ_CHECK(UmPrinterBadCloses() == 0, "closed a handle it did not open");
    if (opened)
        ClosePrinter(opened);
    return 0;
}
