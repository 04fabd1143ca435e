// Page geometry of the user-defined paper: the ESC ( p page-format command,
// the paper length in dots and the printable areas.
#include <windows.h>

#include <string.h>

#include "builders.h"
#include "builderutil.h"

namespace
{

const DWORD kPageFormatSize = 51;
const DWORD kPaperLengthSize = 4;
const DWORD kAreaSize = 16;
const DWORD kCodePairSize = 8;

const DWORD kSettingsForPageFormat = 98;
const DWORD kSettingsForPrintableArea = 31;
const DWORD kSettingsForMediaArea = 53;
const DWORD kSettingsForCodePair = 111;

const int kMediaWidth = 25;
const int kMediaLength = 26;
const int kAreaWidth = 29;
const int kAreaLength = 30;
const int kMarginMode = 52;
const int kUserWidth = 96;
const int kUserLength = 97;

// Margin mode 5 prints without top and bottom margins.
const LONG kNoVerticalMargins = 5;

// The printer cannot print wider than 322.20 mm; the head carriage needs
// 3.40 mm on either side of the sheet.
const LONG kMaxPrintableWidth = 32220;
const LONG kSideMargins = 680;
const LONG kLeftMargin = 340;
const LONG kTopMargin = 300;
const LONG kVerticalMargins = 800;
const LONG kWidestPaperForFullArea = 32900;
const DWORD kMaxWidthUnits = 762;

const BYTE kPageFormatHead[] = {0x1B, 0x28, 0x70, 0x2E, 0x00};

LONG Setting(const DataBaseRequest* request, int n)
{
    return request->Settings[n];
}

LONG Minus(LONG a, LONG b)
{
    return (LONG)((DWORD)a - (DWORD)b);
}

void WritePageFormat(const DataBaseRequest* request, BYTE* out)
{
    LONG width = Setting(request, kUserWidth);
    LONG length = Setting(request, kUserLength);
    BOOL noMargins = Setting(request, kMarginMode) == kNoVerticalMargins;

    DWORD lengthUnits = SixtiethsRoundedUp(6u * (DWORD)length - (noMargins ? 0u : 4800u));
    DWORD widthUnits = SixtiethsRoundedUp(6u * (DWORD)width - 4080u);
    if ((widthUnits & 0xFFFF) > kMaxWidthUnits) {
        widthUnits = kMaxWidthUnits;
    }
    LONG printable = Minus(width, kSideMargins);
    if (printable > kMaxPrintableWidth) {
        printable = kMaxPrintableWidth;
    }
    LONG paperLengthDots = DotsFromHundredthsMm(length);
    LONG printableLengthDots = paperLengthDots;
    if (!noMargins) {
        // Same as the dots of (length - 8.00 mm), rounded up.
        printableLengthDots = (LONG)((DWORD)length * 600u - 477461u) / 2540;
    }

    memset(out, 0, kPageFormatSize);
    memcpy(out, kPageFormatHead, sizeof(kPageFormatHead));
    PutBe16(out + 5, lengthUnits);
    PutBe16(out + 9, widthUnits);
    PutBe16(out + 17, 600);
    PutBe32(out + 19, 80);
    PutBe32(out + 23, 70);
    PutBe32(out + 27, (DWORD)DotsFromHundredthsMm(printable));
    PutBe32(out + 31, (DWORD)printableLengthDots);
    PutBe32(out + 43, (DWORD)DotsFromHundredthsMm(width));
    PutBe32(out + 47, (DWORD)paperLengthDots);
}

} // namespace

LONG BuildPageFormat(DWORD builderId, const DataBaseRequest* request, DWORD bufferSize,
                     BYTE* buffer, DWORD* outSize)
{
    LONG result = CheckBuilderRequest(request, kSettingsForPageFormat, DB_FAILED, outSize);
    if (result != DB_OK) {
        return result;
    }
    if ((builderId & 0xFFFF) == Builder::PaperLength) {
        result = ReserveOutput(kPaperLengthSize, bufferSize, buffer, outSize);
        if (result == DB_OK) {
            DWORD length = (DWORD)Setting(request, kUserLength);
            PutNative32(buffer, (LONG)((length * 600u + 2539u) / 2540u));
        }
        return result;
    }
    result = ReserveOutput(kPageFormatSize, bufferSize, buffer, outSize);
    if (result == DB_OK) {
        WritePageFormat(request, buffer);
    }
    return result;
}

LONG BuildPrintableArea(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer,
                        DWORD* outSize)
{
    LONG result = StartFixedOutput(request, kSettingsForPrintableArea, DB_NO_SETTINGS, kAreaSize,
                                   bufferSize, buffer, outSize);
    if (result != DB_OK) {
        return result;
    }
    LONG width = Setting(request, kAreaWidth);
    LONG printableWidth = Minus(width, kSideMargins);
    if (width > kWidestPaperForFullArea) {
        printableWidth = kMaxPrintableWidth;
    }
    PutNative32(buffer, kLeftMargin);
    PutNative32(buffer + 4, printableWidth);
    PutNative32(buffer + 8, kTopMargin);
    PutNative32(buffer + 12, Minus(Setting(request, kAreaLength), kVerticalMargins));
    return DB_OK;
}

LONG BuildMediaPrintableArea(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer,
                             DWORD* outSize)
{
    LONG result = StartFixedOutput(request, kSettingsForMediaArea, DB_NO_SETTINGS, kAreaSize,
                                   bufferSize, buffer, outSize);
    if (result != DB_OK) {
        return result;
    }
    BOOL noMargins = Setting(request, kMarginMode) == kNoVerticalMargins;
    LONG length = Setting(request, kMediaLength);
    PutNative32(buffer, kLeftMargin);
    PutNative32(buffer + 4, Minus(Setting(request, kMediaWidth), kSideMargins));
    PutNative32(buffer + 8, noMargins ? 0 : kTopMargin);
    PutNative32(buffer + 12, noMargins ? length : Minus(length, kVerticalMargins));
    return DB_OK;
}

LONG BuildCodePair(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer, DWORD* outSize)
{
    LONG result = StartFixedOutput(request, kSettingsForCodePair, DB_NO_SETTINGS, kCodePairSize,
                                   bufferSize, buffer, outSize);
    if (result == DB_OK) {
        PutNative32(buffer, 33);
        PutNative32(buffer + 4, 161);
    }
    return result;
}
