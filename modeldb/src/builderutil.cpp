#include "builderutil.h"

#include <string.h>

LONG CheckBuilderRequest(const DataBaseRequest* request, DWORD minSettings, LONG missingRequest,
                         const DWORD* outSize)
{
    if (request == NULL) {
        return missingRequest;
    }
    if (request->Settings == NULL || request->SettingCount < minSettings) {
        return DB_NO_SETTINGS;
    }
    if (outSize == NULL) {
        return DB_FAILED;
    }
    return DB_OK;
}

LONG ReserveOutput(DWORD size, DWORD bufferSize, const BYTE* buffer, DWORD* outSize)
{
    *outSize = size;
    if (buffer == NULL || bufferSize < size) {
        return DB_MORE_DATA;
    }
    return DB_OK;
}

LONG StartFixedOutput(const DataBaseRequest* request, DWORD minSettings, LONG missingRequest,
                      DWORD size, DWORD bufferSize, const BYTE* buffer, DWORD* outSize)
{
    LONG result = CheckBuilderRequest(request, minSettings, missingRequest, outSize);
    if (result != DB_OK) {
        return result;
    }
    return ReserveOutput(size, bufferSize, buffer, outSize);
}

LONG DotsFromHundredthsMm(LONG x)
{
    // The products are formed modulo 2^32 as the printer firmware's tables
    // were; only the final division is signed.
    DWORD scaled = (DWORD)x * 600u + 2539u;
    return (LONG)scaled / 2540;
}

DWORD SixtiethsRoundedUp(DWORD value)
{
    DWORD units = value / 254u;
    if (value % 254u != 0) {
        units++;
    }
    return units;
}

void PutBe16(BYTE* at, DWORD value)
{
    at[0] = (BYTE)(value >> 8);
    at[1] = (BYTE)value;
}

void PutBe32(BYTE* at, DWORD value)
{
    at[0] = (BYTE)(value >> 24);
    at[1] = (BYTE)(value >> 16);
    at[2] = (BYTE)(value >> 8);
    at[3] = (BYTE)value;
}

void PutNative32(BYTE* at, LONG value)
{
    memcpy(at, &value, sizeof(value));
}
