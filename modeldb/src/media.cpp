// The printer's media report: the text of hexadecimal digits that the status
// components keep under "QmxSLM_CMS", decoded into a MediaInfo record.
#include <windows.h>

#include <string.h>

#include "driverdb.h"
#include "media.h"
#include "store.h"

namespace
{

const int kReportChars = 12;
const int kReportBytes = 6;

// Value code of "QmxSLM_CMS" among the printer-data value names.
const DWORD kMediaReportValueCode = 231;

// Bits 2 and 3 of the second byte mean nothing to the override and are
// dropped; the others keep their positions.
const DWORD kReportFlagMask = 0xF3;

int HexDigitValue(WCHAR ch)
{
    if (ch >= L'0' && ch <= L'9') {
        return ch - L'0';
    }
    if (ch >= L'a' && ch <= L'f') {
        return ch - L'a' + 10;
    }
    if (ch >= L'A' && ch <= L'F') {
        return ch - L'A' + 10;
    }
    return -1;
}

// A field is the number "0x" + its two characters: reading stops at the
// first character that is not a hexadecimal digit, so a field that starts
// with one gives 0.
BYTE DecodeReportField(LPCWSTR field)
{
    int value = 0;
    for (int i = 0; i < 2; ++i) {
        int digit = HexDigitValue(field[i]);
        if (digit < 0) {
            break;
        }
        value = value * 16 + digit;
    }
    return (BYTE)value;
}

// Only the first 12 characters are ever read, so the length check stops
// there rather than walking the whole (possibly long) text.
BOOL HasReportLength(LPCWSTR text)
{
    for (int i = 0; i < kReportChars; ++i) {
        if (text[i] == 0) {
            return FALSE;
        }
    }
    return TRUE;
}

DWORD ReportFlags(const BYTE* bytes)
{
    DWORD flags = bytes[1] & kReportFlagMask;
    if (bytes[2] == 0xFF && bytes[3] == 0xFF && bytes[4] == 0xFF && bytes[5] == 0xFF) {
        flags |= MEDIA_FLAG_ALL_SATURATED;
    }
    return flags;
}

} // namespace

LONG WINAPI GetMediaInfo(LPCWSTR text, MediaInfo* info, DWORD* size)
{
    if (text == NULL || info == NULL || size == NULL || !HasReportLength(text)) {
        return 0;
    }
    if (*size < MediaInfoSize) {
        *size = MediaInfoSize;
        return 0;
    }
    BYTE bytes[kReportBytes];
    for (int i = 0; i < kReportBytes; ++i) {
        bytes[i] = DecodeReportField(text + 2 * i);
    }
    info->flags = ReportFlags(bytes);
    info->mediaClass = (DWORD)ClassifyMedia(bytes);
    info->headerHigh = bytes[0] >> 4;
    info->headerLow = bytes[0] & 0x0F;
    info->valid = 1;
    *size = MediaInfoSize;
    return 1;
}

LONG ClassifyMedia(const BYTE* bytes)
{
    if (bytes == NULL) {
        return 1;
    }
    BYTE threshold;
    if (bytes[0] == 1) {
        threshold = 36;
    } else if (bytes[0] == 2) {
        threshold = 56;
    } else {
        return 1;
    }
    if (bytes[2] <= 6) {
        return 4;
    }
    if (bytes[2] > 119) {
        return 1;
    }
    if (bytes[5] <= 11) {
        return bytes[4] <= 50 ? 2 : 1;
    }
    if (bytes[5] > 119) {
        return 1;
    }
    return (bytes[3] > threshold && bytes[3] <= 79) ? 3 : 1;
}

LONG ReadPrinterMediaInfo(HANDLE printer, DWORD context, MediaInfo* info)
{
    if (info == NULL) {
        return 0;
    }
    WCHAR* text = ReadPrinterDataString(printer, context, kMediaReportValueCode);
    if (text == NULL) {
        return 0;
    }
    memset(info, 0, sizeof(*info));
    DWORD size = MediaInfoSize;
    LONG decoded = GetMediaInfo(text, info, &size) == 1 && size != 0;
    FreeBlock(text);
    return decoded;
}
