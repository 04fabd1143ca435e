// The computed kinds of driver-database ids, one function per kind.
#ifndef PRNMODEL_DRVQUERIES_H
#define PRNMODEL_DRVQUERIES_H

#include <windows.h>

#include "prnmodel.h"

const DWORD ListItemSize = 20;

// Internal ids of the driver database.
enum DriverInternalId {
    ID_DEFAULT_SETTING7 = 20482,
    ID_DEFAULT_SETTING4 = 20483,
    ID_DEFAULT_SETTING5 = 20484,
    ID_DEFAULT_QUALITY = 20485,
    ID_QUALITY_NAME = 20486,
    ID_QUALITY_DETAIL = 20487,
    ID_PIECE = 20488,
    ID_SETTING4_DETAIL2 = 20491,
    ID_SETTING4_DETAIL1 = 20492,
    ID_DEFAULT_4116 = 20493,
    ID_PAPER_DETAIL = 20494,
    ID_DEFAULT_4173 = 20496,
    ID_DEFAULT_4180 = 20497,
    ID_RULES_2 = 20498,
    ID_RULES_3 = 20499,
    ID_RULES_4192 = 20500,
    ID_RULES_1 = 20501,
    ID_DEFAULT_4196 = 20502,
    ID_DEFAULT_4202 = 20503,
    ID_DEFAULT_4200 = 20504,
    ID_DEFAULT_4201 = 20505,
    ID_RULES_0 = 20506,
};

LONG AnswerEntryList(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                     DWORD* outSize);
LONG AnswerSettingValueList(DWORD id, DWORD setting, const DataBaseRequest* request, DWORD size,
                            void* buffer, DWORD* outSize);
LONG AnswerQualityList(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                       DWORD* outSize);
LONG AnswerComposedSequence(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                            DWORD* outSize);
LONG AnswerPrintModeRecord(const DataBaseRequest* request, DWORD size, void* buffer,
                           DWORD* outSize);
LONG AnswerSettingsAdjustment(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                              DWORD* outSize);

// Finds id with request and reads its value into buffer (size bytes at
// most); *got receives the size read.
LONG ReadInternalEntry(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                       DWORD* got);

// Reads a (value, mark) default pair; DB_FAILED when the entry is not 8 bytes.
LONG ReadDefaultPair(DWORD id, const DataBaseRequest* request, LONG pair[2]);

// Puts the n 32-bit values at the start of items into the Value fields of n
// items and clears every other field.
void SpreadListValues(void* items, DWORD n);

#endif // PRNMODEL_DRVQUERIES_H
