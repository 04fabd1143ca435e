// The computed kinds of driver-database ids, one function per kind.
#ifndef PRNMODEL_DRVQUERIES_H
#define PRNMODEL_DRVQUERIES_H

#include <windows.h>

#include "modelformat.h"
#include "prnmodel.h"

const DWORD ListItemSize = 20;

// Internal ids of the driver database: InternalId::NAME (modelformat.h).

struct DriverIdRow;

LONG AnswerEntryList(const DriverIdRow* route, const DataBaseRequest* request, DWORD size,
                     void* buffer, DWORD* outSize);
LONG AnswerSettingValueList(const DriverIdRow* route, const DataBaseRequest* request, DWORD size,
                            void* buffer, DWORD* outSize);
LONG AnswerQualityList(const DriverIdRow* route, const DataBaseRequest* request, DWORD size,
                       void* buffer, DWORD* outSize);
LONG AnswerComposedSequence(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                            DWORD* outSize);
LONG AnswerPrintModeRecord(const DataBaseRequest* request, DWORD size, void* buffer,
                           DWORD* outSize);
LONG AnswerSettingsAdjustment(const DriverIdRow* route, const DataBaseRequest* request, DWORD size,
                              void* buffer, DWORD* outSize);

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
