// Routes a driver-database id to the kind of answer it has.
#include "driverdb.h"

#include "drvqueries.h"
#include "drvtables.h"
#include "store.h"

namespace
{

const DriverTables BuiltInDriverTables = {
    &SettingValueTableData,
    &ComposedSequenceTableData,
    &PrintModeTableData,
};

const DriverTables* ActiveDriverTables = &BuiltInDriverTables;

const WORD kEntryLists[] = {4108, 4110, 4112, 4113, 4114, 4116, 4173, 4174,
                            4177, 4180, 4186, 4196, 4200, 4201, 4202};

BOOL IsEntryList(WORD id)
{
    for (DWORD i = 0; i < sizeof(kEntryLists) / sizeof(kEntryLists[0]); ++i) {
        if (kEntryLists[i] == id) {
            return TRUE;
        }
    }
    return FALSE;
}

} // namespace

const DriverTables* CurrentDriverTables()
{
    return ActiveDriverTables;
}

const DriverTables* SwapDriverTables(const DriverTables* tables)
{
    const DriverTables* previous = ActiveDriverTables;
    ActiveDriverTables = tables != NULL ? tables : &BuiltInDriverTables;
    return previous;
}

LONG QueryDriverDataBase(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                         DWORD* outSize)
{
    // Every kind reports sizes through outSize; without it no answer can
    // follow the size-query protocol.
    if (outSize == NULL) {
        return DB_FAILED;
    }
    WORD key = (WORD)(id & 0xFFFF);
    if (IsEntryList(key)) {
        return AnswerEntryList(key, request, size, buffer, outSize);
    }
    switch (key) {
    case 4109:
        return AnswerSettingValueList(key, 4, request, size, buffer, outSize);
    case 4111:
        return AnswerSettingValueList(key, 5, request, size, buffer, outSize);
    case 4115:
        return AnswerSettingValueList(key, 7, request, size, buffer, outSize);
    case 4118:
    case 4119:
        return AnswerQualityList(key, request, size, buffer, outSize);
    case 4120:
    case 4121:
    case 4122:
    case 4123:
    case 4124:
    case 4125:
        return AnswerComposedSequence(key, request, size, buffer, outSize);
    case 4126:
        return AnswerPrintModeRecord(request, size, buffer, outSize);
    case 4191:
    case 4192:
        return AnswerSettingsAdjustment(key, request, size, buffer, outSize);
    default:
        return FindAndReadEntry(key, request, size, buffer, outSize);
    }
}
