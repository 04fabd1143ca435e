// Computed entries: the builders behind leaves of type Built.
#ifndef PRNMODEL_BUILDERS_H
#define PRNMODEL_BUILDERS_H

#include <windows.h>

#include "modelformat.h"
#include "prnmodel.h"

// Builder ids as they stand in Built leaves of the model: Builder::NAME
// (modelformat.h), the same NAME that `built @ID NAME` uses.

// Produces the value of builder builderId (low 16 bits) with the size-query
// protocol. A builder id without a builder answers DB_NO_ANSWER.
LONG BuildComputedEntry(DWORD builderId, const DataBaseRequest* request, DWORD bufferSize,
                        void* buffer, DWORD* outSize);

// Every builder validates the request, stores its fixed size in *outSize,
// answers DB_MORE_DATA for a missing or short buffer and only then writes.

// ESC ( p for the user-defined paper (id 1), or its length in dots (id 4).
LONG BuildPageFormat(DWORD builderId, const DataBaseRequest* request, DWORD bufferSize,
                     BYTE* buffer, DWORD* outSize);
LONG BuildPrintableArea(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer,
                        DWORD* outSize);
LONG BuildMediaPrintableArea(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer,
                             DWORD* outSize);
LONG BuildSetTimeBlock(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer,
                       DWORD* outSize);
LONG BuildDollarCommand(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer,
                        DWORD* outSize);
LONG BuildSilentModeBlock(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer,
                          DWORD* outSize);
LONG BuildCodePair(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer, DWORD* outSize);
LONG BuildMCommand(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer, DWORD* outSize);

// Media overrides proposed from the printer's media report (media.cpp).
LONG BuildMediaOverrides(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer,
                         DWORD* outSize);

#endif // PRNMODEL_BUILDERS_H
