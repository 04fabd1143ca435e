// The driver database behind XDB_AccessDrvDataBase.
#ifndef PRNMODEL_DRIVERDB_H
#define PRNMODEL_DRIVERDB_H

#include <windows.h>

#include "prnmodel.h"

// Answers a Drv id with the size-query protocol.
LONG QueryDriverDataBase(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                         DWORD* outSize);

// A GlobalAlloc copy of source (Printer, Context, up to 132 settings, no
// strings, no printer name); NULL when the allocation fails.
DataBaseRequest* CloneRequest(const DataBaseRequest* source);

// Releases a block from CloneRequest or ReadPrinterDataString; accepts NULL.
void FreeBlock(void* block);

#endif // PRNMODEL_DRIVERDB_H
