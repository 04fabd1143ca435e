// The 192-byte print-mode record for the rendering component: the
// parameter rows of the first print mode whose keys equal the settings.
#include <windows.h>

#include <string.h>

#include "drvqueries.h"
#include "drvtables.h"

namespace
{

// Settings compared with the six keys of a row, in key order.
const int kKeySettings[6] = {4, 9, 5, 8, 6, 81};
const DWORD kSettingsForRecord = 82;

BOOL TablesPresent(const PrintModeTable* table)
{
    if (table == NULL || table->Rows == NULL || table->RowCount == 0 || table->Parameters == NULL) {
        return FALSE;
    }
    for (DWORD i = 0; i < PrintModeParameterTables; ++i) {
        if (table->Parameters->Rows[i] == NULL) {
            return FALSE;
        }
    }
    return TRUE;
}

const PrintModeRow* FindPrintMode(const PrintModeTable* table, const LONG* settings)
{
    for (DWORD r = 0; r < table->RowCount; ++r) {
        const PrintModeRow* row = &table->Rows[r];
        BOOL equal = TRUE;
        for (int k = 0; k < 6 && equal; ++k) {
            equal = (LONG)row->Keys[k] == settings[kKeySettings[k]];
        }
        if (equal) {
            return row;
        }
    }
    return NULL;
}

} // namespace

LONG AnswerPrintModeRecord(const DataBaseRequest* request, DWORD size, void* buffer, DWORD* outSize)
{
    const PrintModeTable* table = CurrentDriverTables()->PrintModes;
    if (!TablesPresent(table) || request == NULL) {
        return DB_FAILED;
    }
    if (request->SettingCount < kSettingsForRecord || request->Settings == NULL) {
        return DB_NO_SETTINGS;
    }
    if (buffer == NULL || size < PrintModeRecordSize) {
        *outSize = PrintModeRecordSize;
        return DB_MORE_DATA;
    }
    BYTE* record = static_cast<BYTE*>(buffer);
    memset(record, 0, PrintModeRecordSize);
    const PrintModeRow* row = FindPrintMode(table, request->Settings);
    if (row == NULL) {
        return DB_NO_ANSWER;
    }
    for (DWORD t = 0; t < PrintModeParameterTables; ++t) {
        if (row->Parameters[t] >= table->Parameters->RowCounts[t]) {
            return DB_FAILED;
        }
    }
    for (DWORD t = 0; t < PrintModeParameterTables; ++t) {
        const BYTE* rows = static_cast<const BYTE*>(table->Parameters->Rows[t]);
        memcpy(record + PrintModeParameterOffset[t],
               rows + row->Parameters[t] * PrintModeParameterSize[t], PrintModeParameterSize[t]);
    }
    *outSize = PrintModeRecordSize;
    return DB_OK;
}
