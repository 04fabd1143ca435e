// Computed entries: the builders behind leaves of type Built.
#ifndef PRNMODEL_BUILDERS_H
#define PRNMODEL_BUILDERS_H

#include <windows.h>

#include "prnmodel.h"

// Produces the value of builder builderId (low 16 bits) with the size-query
// protocol. A builder id without a builder answers DB_NO_ANSWER.
LONG BuildComputedEntry(DWORD builderId, const DataBaseRequest* request, DWORD bufferSize,
                        void* buffer, DWORD* outSize);

#endif // PRNMODEL_BUILDERS_H
