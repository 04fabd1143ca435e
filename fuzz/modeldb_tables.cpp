// The store's engine and the driver database over tables built from the
// input: entry types, indexes, offsets, counts and pools of any value, tables
// missing, loops in the trees. Every index the engine takes from the tables
// must be checked against the table it addresses, and every answer must be a
// DB_ code with the size protocol kept, with nothing left allocated.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "prnmodel.h"
#include "store.h"
#include "um_control.h"
#include "walk_cost.h"

namespace
{

// Ids worth keying: value names, Root and Drv ids with code of their own,
// the composed-sequence pieces and the internal keys of lists.
const WORD kIds[] = {2,    8,    18,   4097, 4099, 4108, 4112, 4113,  4118,  4120,  4121,
                     4126, 4171, 4177, 4191, 4209, 4104, 8193, 20483, 20485, 20488, 20494};

struct Tables {
    std::vector<std::pair<uint32_t, uint32_t>> words;
    std::vector<EntryDescriptor> entries;
    std::vector<WORD> keyIds;
    std::vector<DWORD> keyEntries;
    std::vector<BYTE> bytes;
    std::vector<WORD> shorts;
    std::vector<LONG> longs;
    std::vector<BYTE> matches;
    ModelTables view{};
};

WORD SomeId(FuzzInput& in)
{
    BYTE pick = in.Byte();
    if (pick < 0xF0)
        return kIds[pick % (sizeof kIds / sizeof kIds[0])];
    return in.U16();
}

void ReadTables(FuzzInput& in, Tables& t)
{
    DWORD count = in.Byte() % 48 + 1;
    for (DWORD i = 0; i < count; ++i) {
        DWORD type = in.Byte() % 23;
        DWORD low = in.Byte() % (count + 4);
        DWORD second;
        if (in.Flag())
            second = in.U32(); // a label's value, range index, mask or string entry
        else
            second = static_cast<DWORD>(SomeId(in)) << 16 | (in.Byte() % 12);
        t.words.emplace_back(type << 24 | low, second);
        t.entries.push_back(EntryDescriptor{type << 24 | low, second});
    }
    for (DWORD n = in.Byte() % 6 + 1; n > 0; --n) {
        t.keyIds.push_back(SomeId(in));
        t.keyEntries.push_back(in.Byte() % (count + 2));
    }
    for (DWORD n = in.Byte() % 40; n > 0; --n)
        t.bytes.push_back(in.Byte());
    for (DWORD n = in.Byte() % 16; n > 0; --n)
        t.shorts.push_back(in.U16());
    for (DWORD n = in.Byte() % 16; n > 0; --n)
        t.longs.push_back(static_cast<LONG>(in.U32()));
    for (DWORD n = in.Byte() % 16; n > 0; --n)
        t.matches.push_back(in.Byte() % 4 == 0 ? 0 : 'A' + in.Byte() % 3);
    BYTE missing = in.Byte();
    auto pick = [missing](int bit, auto* p) { return (missing & (1 << bit)) ? nullptr : p; };
    t.view = ModelTables{pick(0, t.entries.data()),
                         static_cast<DWORD>(t.entries.size()),
                         pick(1, t.keyIds.data()),
                         pick(1, t.keyEntries.data()),
                         static_cast<DWORD>(t.keyIds.size()),
                         pick(2, t.bytes.data()),
                         static_cast<DWORD>(t.bytes.size()),
                         pick(3, t.shorts.data()),
                         static_cast<DWORD>(t.shorts.size()),
                         pick(4, t.longs.data()),
                         static_cast<DWORD>(t.longs.size()),
                         pick(5, t.matches.data()),
                         static_cast<DWORD>(t.matches.size())};
}

void Ask(DWORD id, const DataBaseRequest* request)
{
    auto db = id < 0x1000 ? XDB_AccessRootDataBase : XDB_AccessDrvDataBase;
    DWORD need = 0xA5A5A5A5u;
    LONG result = db(id, request, 0, nullptr, &need);
    FUZZ_CHECK(result >= DB_NO_REQUEST && result <= DB_UNKNOWN_ID, "result outside the DB_ codes");
    if (result != DB_MORE_DATA || need > (1u << 20))
        return;
    std::unique_ptr<BYTE[]> buffer(new BYTE[need]);
    DWORD got = 0xA5A5A5A5u;
    result = db(id, request, need, buffer.get(), &got);
    FUZZ_CHECK(result >= DB_NO_REQUEST && result <= DB_UNKNOWN_ID, "result outside the DB_ codes");
    FUZZ_CHECK(result != DB_OK || got == 0xA5A5A5A5u || got <= need, "answer larger than asked");
    FUZZ_CHECK(result != DB_MORE_DATA || got > need, "more data asked again for the size it gave");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    Tables t;
    ReadTables(in, t);

    std::vector<LONG> settings(in.Flag() ? 132 : in.Byte() % 10, 0);
    for (size_t i = 0; i < settings.size() && i < 12; ++i)
        settings[i] = static_cast<LONG>(in.Byte() % 4);
    std::string texts[3] = {in.Text(3), in.Text(3), in.Text(3)};
    const char* strings[3] = {texts[0].c_str(), texts[1].c_str(), nullptr};
    DataBaseRequest request{};
    request.SettingCount = static_cast<DWORD>(settings.size());
    request.Settings = settings.empty() ? nullptr : settings.data();
    request.StringCount = in.Byte() % 4;
    request.Strings = request.StringCount ? strings : nullptr;

    UmReset();
    UmAddPrinter("fz");
    UmSetPrinterDword("fz", "QmxUI_SilentModeEnable", in.Byte() % 3);
    request.PrinterName = in.Flag() ? L"fz" : nullptr;
    unsigned long blocks = UmGlobalOutstanding();

    SwapModelTables(&t.view);
    WalkCost cost(t.words);
    for (size_t k = 0; k < t.keyIds.size(); ++k) {
        if (cost.Of(t.keyEntries[k]) >= WalkCost::kLimit)
            continue;
        Ask(t.keyIds[k], &request);
    }
    SwapModelTables(nullptr);

    FUZZ_CHECK(UmGlobalOutstanding() == blocks, "GlobalAlloc block leaked");
    FUZZ_CHECK(UmPrintersOpen() == 0, "printer handle left open");
    return 0;
}
