// Computed printer commands ESC ( $ and ESC ( M.
#include <windows.h>

#include <string.h>

#include "builders.h"
#include "builderutil.h"

namespace
{

const DWORD kDollarSize = 14;
const DWORD kMCommandSize = 8;
const DWORD kSettingsForDollar = SettingId::DollarSelector + 1;
const DWORD kSettingsForMCommand = SettingId::ProposedMediaClass + 1;

// Bits of setting DollarFlags.
const LONG kFlagBit20 = 0x100000;
const LONG kFlagBit21 = 0x200000;
const LONG kFlagBit22 = 0x400000;
const LONG kFlagUseParameter = 0x800000;

struct DollarFields {
    DWORD a, e, f, c;
};

DollarFields DollarFieldsFor(LONG selector, LONG flags, LONG parameter)
{
    DollarFields fields = {0, 0, 0, 0};
    if (selector == 2) {
        fields.a = 2;
        fields.c = 2;
    } else if (selector == 1) {
        fields.a = 1;
        if ((flags & kFlagUseParameter) == 0) {
            fields.e = 0xFFFF;
        } else {
            fields.e = (DWORD)parameter & 0xFFFF;
            if (((flags & kFlagBit20) != 0) == ((flags & kFlagBit22) != 0)) {
                fields.f += 0x01;
            }
            if (flags & kFlagBit22) {
                fields.f += 0x10;
            }
            if (flags & kFlagBit21) {
                fields.f += 0x40;
            }
        }
    }
    return fields;
}

} // namespace

LONG BuildDollarCommand(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer,
                        DWORD* outSize)
{
    LONG result = StartFixedOutput(request, kSettingsForDollar, DB_FAILED, kDollarSize, bufferSize,
                                   buffer, outSize);
    if (result != DB_OK) {
        return result;
    }
    const LONG* s = request->Settings;
    DollarFields fields = DollarFieldsFor(s[SettingId::DollarSelector], s[SettingId::DollarFlags],
                                          s[SettingId::DollarParameter]);
    static const BYTE head[] = {0x1B, 0x28, 0x24, 0x09, 0x00, 0x01};
    memcpy(buffer, head, sizeof(head));
    PutBe16(buffer + 6, fields.a);
    PutBe16(buffer + 8, fields.e);
    PutBe16(buffer + 10, fields.f);
    PutBe16(buffer + 12, fields.c);
    return DB_OK;
}

LONG BuildMCommand(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer, DWORD* outSize)
{
    LONG result = StartFixedOutput(request, kSettingsForMCommand, DB_FAILED, kMCommandSize,
                                   bufferSize, buffer, outSize);
    if (result != DB_OK) {
        return result;
    }
    const LONG* s = request->Settings;
    static const BYTE head[] = {0x1B, 0x28, 0x4D, 0x03, 0x00};
    memcpy(buffer, head, sizeof(head));
    // The media classes that the media override set, when it took the
    // media from the printer's report.
    BOOL enabled = s[SettingId::MediaFromReport] == 1;
    buffer[5] = enabled ? 1 : 0;
    buffer[6] = enabled ? (BYTE)s[SettingId::ReportMediaClass] : 0;
    buffer[7] = enabled ? (BYTE)s[SettingId::ProposedMediaClass] : 0;
    return DB_OK;
}
