// Routes a driver-database id to the kind of answer it has: one lookup in
// the id table modelc generates from the routes of the model source, one
// switch on the kind.
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

} // namespace

const DriverIdRow* FindDriverIdRow(DWORD id)
{
    // Sorted by id (modelc sorts them).
    const DriverIdTable* table = &DriverIdTableData;
    DWORD low = 0;
    DWORD high = table->Rows != NULL ? table->RowCount : 0;
    while (low < high) {
        DWORD middle = low + (high - low) / 2;
        if (table->Rows[middle].Id < id) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low < (table->Rows != NULL ? table->RowCount : 0) && table->Rows[low].Id == id) {
        return &table->Rows[low];
    }
    return NULL;
}

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
    const DriverIdRow* route = FindDriverIdRow(key);
    if (route == NULL) {
        return FindAndReadEntry(key, request, size, buffer, outSize);
    }
    switch (route->Kind) {
    case DriverIdKind::EntryList:
        return AnswerEntryList(route, request, size, buffer, outSize);
    case DriverIdKind::ValueList:
        return AnswerSettingValueList(route, request, size, buffer, outSize);
    case DriverIdKind::QualityList:
        return AnswerQualityList(route, request, size, buffer, outSize);
    case DriverIdKind::Composed:
        return AnswerComposedSequence(key, request, size, buffer, outSize);
    case DriverIdKind::PrintModeRecord:
        return AnswerPrintModeRecord(request, size, buffer, outSize);
    case DriverIdKind::Adjustment:
        return AnswerSettingsAdjustment(route, request, size, buffer, outSize);
    default:
        return DB_FAILED;
    }
}
