// The 192-byte print-mode record for the rendering component: the
// parameter rows of the first print mode whose keys equal the settings.
#include <windows.h>

#include <string.h>

#include "drvqueries.h"
#include "drvtables.h"

namespace
{

BOOL TablesPresent(const PrintModeTable* table)
{
    return table != NULL && table->Rows != NULL && table->RowCount != 0 && table->Modes != NULL &&
           table->MediaGroups != NULL;
}

// A request must carry every key setting.
DWORD SettingsForRecord(const PrintModeTable* table)
{
    DWORD needed = 0;
    for (int k = 0; k < 6; ++k) {
        if (table->KeySettings[k] + 1u > needed) {
            needed = table->KeySettings[k] + 1u;
        }
    }
    return needed;
}

const PrintModeRow* FindPrintMode(const PrintModeTable* table, const LONG* settings)
{
    for (DWORD r = 0; r < table->RowCount; ++r) {
        const PrintModeRow* row = &table->Rows[r];
        BOOL equal = TRUE;
        for (int k = 0; k < 6 && equal; ++k) {
            equal = (LONG)row->Keys[k] == settings[table->KeySettings[k]];
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
    if (request->SettingCount < SettingsForRecord(table) || request->Settings == NULL) {
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
    if (row->Mode >= table->ModeCount || row->MediaGroup >= table->MediaGroupCount) {
        return DB_FAILED;
    }
    memcpy(record + PrintModeRecordModeOffset, &table->Modes[row->Mode],
           sizeof(PrintModeParameters));
    memcpy(record + PrintModeRecordMediaOffset, &table->MediaGroups[row->MediaGroup],
           sizeof(MediaGroupParameters));
    *outSize = PrintModeRecordSize;
    return DB_OK;
}
