// Small helpers shared by the builders of computed entries: request checks,
// printer-unit conversions and big-endian number stores.
#ifndef PRNMODEL_BUILDERUTIL_H
#define PRNMODEL_BUILDERUTIL_H

#include <windows.h>

#include "prnmodel.h"

// Checks the request for a builder that reads settings below minSettings.
// missingRequest is what the builder answers without a request record; a
// missing out size is always a bad argument.
LONG CheckBuilderRequest(const DataBaseRequest* request, DWORD minSettings, LONG missingRequest,
                         const DWORD* outSize);

// The common tail of every fixed-size builder: reports the size and tells
// whether the caller's buffer can take it (DB_OK) or not (DB_MORE_DATA).
LONG ReserveOutput(DWORD size, DWORD bufferSize, const BYTE* buffer, DWORD* outSize);

// Both in order, for a builder whose output is always `size` bytes: DB_OK
// when the value may be written now, else the result to return.
LONG StartFixedOutput(const DataBaseRequest* request, DWORD minSettings, LONG missingRequest,
                      DWORD size, DWORD bufferSize, const BYTE* buffer, DWORD* outSize);

// 0.01 mm to dots of 1/600 inch, rounded up, with the wrap-around of the
// printer's own 32-bit arithmetic.
LONG DotsFromHundredthsMm(LONG x);

// Ceiling of value / 254 on the unsigned 32-bit value: the 1/60 inch units of
// the page-format command.
DWORD SixtiethsRoundedUp(DWORD value);

void PutBe16(BYTE* at, DWORD value);
void PutBe32(BYTE* at, DWORD value);
void PutNative32(BYTE* at, LONG value);

#endif
