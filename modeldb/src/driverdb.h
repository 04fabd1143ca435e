// The driver database behind XDB_AccessDrvDataBase: plain entries of the
// store plus the computed lists, composed sequences, print-mode record and
// settings adjustment.
#ifndef PRNMODEL_DRIVERDB_H
#define PRNMODEL_DRIVERDB_H

#include <windows.h>

#include "prnmodel.h"

// Answers a Drv id with the size-query protocol.
LONG QueryDriverDataBase(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                         DWORD* outSize);

// Completes n list items (20 bytes each) at items whose values stand as n
// 32-bit numbers at its start: names, details and default marks by id.
LONG FillListItems(DWORD id, const DataBaseRequest* request, DWORD size, void* items, DWORD n);

// A GlobalAlloc copy of source (Printer, Context, up to 132 settings, no
// strings, no printer name); NULL when the allocation fails.
DataBaseRequest* CloneRequest(const DataBaseRequest* source);

// Releases a block from CloneRequest or ReadPrinterDataString; accepts NULL.
void FreeBlock(void* block);

// Settings a request copy always holds.
const DWORD CloneSettingCount = 132;

#endif // PRNMODEL_DRIVERDB_H
