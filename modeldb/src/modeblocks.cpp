// Mode blocks computed at read time: the printer clock block and the
// silent-mode block chosen by the stored silent period.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "builders.h"
#include "store.h"

namespace
{

const DWORD kSilentSize = 56;

// Value code of "QmxUI_SilentModeTime": start minute in the low half, end
// minute in the high half.
const DWORD kSilentPeriodValueCode = 154;

// The clock block: the head, the local time as yyyymmddhhmmss, the tail.
const char kSetTimeHead[] = "\x1B\x5B\x4B\x02\x00\x00\x1F"
                            "ZRLSTART\nControlMode=Common\nSetTime=";
const char kSetTimeTail[] = "\nZRLEND\n";
const DWORD kTimeTextOffset = sizeof(kSetTimeHead) - 1;
const DWORD kTimeTextLength = 14;
const DWORD kSetTimeSize = kTimeTextOffset + kTimeTextLength + sizeof(kSetTimeTail) - 1;

// The ON text carries an empty line so that both blocks have one length.
const char kSilentOnTemplate[] = "\x1B\x5B\x4B\x02\x00\x00\x1F"
                                 "ZRLSTART\nControlMode=Common\nSetSilent=ON\n\nZRLEND\n";
const char kSilentOffTemplate[] = "\x1B\x5B\x4B\x02\x00\x00\x1F"
                                  "ZRLSTART\nControlMode=Common\nSetSilent=OFF\nZRLEND\n";

static_assert(kSetTimeSize == 65, "clock block length");
static_assert(sizeof(kSilentOnTemplate) - 1 == kSilentSize, "silent on block length");
static_assert(sizeof(kSilentOffTemplate) - 1 == kSilentSize, "silent off block length");

// Both ends belong to the period; a start later than the end runs over
// midnight; equal ends mean the printer is never silent.
BOOL IsInsideSilentPeriod(WORD now, WORD start, WORD end)
{
    if (start == end) {
        return FALSE;
    }
    if (start <= end) {
        return start <= now && now <= end;
    }
    return now >= start || now <= end;
}

BOOL SilentNow(const DataBaseRequest* request)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    WORD minuteOfDay = (WORD)(now.wHour * 60 + now.wMinute);

    LONG period = 0;
    if (!ReadPrinterDataDword(request->Printer, request->Context, kSilentPeriodValueCode,
                              &period)) {
        return FALSE;
    }
    return IsInsideSilentPeriod(minuteOfDay, (WORD)((DWORD)period & 0xFFFF),
                                (WORD)((DWORD)period >> 16));
}

} // namespace

LONG BuildSetTimeBlock(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer,
                       DWORD* outSize)
{
    (void)request;
    if (outSize == NULL) {
        return DB_FAILED;
    }
    *outSize = kSetTimeSize;
    if (buffer == NULL || bufferSize < kSetTimeSize) {
        return DB_MORE_DATA;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    // Six fields of at most five digits each always fit.
    char text[32];
    int length = sprintf(text, "%04d%02d%02d%02d%02d%02d", now.wYear, now.wMonth, now.wDay,
                         now.wHour, now.wMinute, now.wSecond);
    if (length != (int)kTimeTextLength) {
        return DB_FAILED;
    }
    memcpy(buffer, kSetTimeHead, kTimeTextOffset);
    memcpy(buffer + kTimeTextOffset, text, kTimeTextLength);
    memcpy(buffer + kTimeTextOffset + kTimeTextLength, kSetTimeTail, sizeof(kSetTimeTail) - 1);
    return DB_OK;
}

LONG BuildSilentModeBlock(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer,
                          DWORD* outSize)
{
    if (request == NULL) {
        return DB_NO_SETTINGS;
    }
    if (outSize == NULL) {
        return DB_FAILED;
    }
    if (buffer == NULL || bufferSize < kSilentSize) {
        *outSize = kSilentSize;
        return DB_MORE_DATA;
    }
    const char* block = SilentNow(request) ? kSilentOnTemplate : kSilentOffTemplate;
    memcpy(buffer, block, kSilentSize);
    *outSize = kSilentSize;
    return DB_OK;
}
