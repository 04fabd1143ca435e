// The media override (builder 13): from the printer's media report, propose
// the media of a job and the settings that go with it. The driver database
// must accept a proposed media; anything it refuses falls back to media 1.
#include <windows.h>

#include <string.h>

#include "builders.h"
#include "builderutil.h"
#include "driverdb.h"
#include "drvtables.h"
#include "media.h"

namespace
{

// Driver entries the override consults.
const DWORD kListedMediaId = 4177;      // media the borderless modes accept
const DWORD kAllowedMediaId = 4171;     // 1 when setting 5 may hold the media
const DWORD kReportResolutionId = 4209; // resolution the report is valid for
const DWORD kResolutionId = 4104;       // the model's resolution

const DWORD kListItemBytes = sizeof(ListItem);
const DWORD kPairBytes = 2 * sizeof(LONG);

const LONG kPlainPaper = 1;

// The settings the override writes, in the order of its pairs. One list
// gives both the pair places (Pair::Media) and their setting numbers, so a
// place always names the setting of the model source with the same name.
#define MEDIA_OVERRIDE_PAIRS(X)                                                                    \
    X(MediaFromReport)                                                                             \
    X(KeepMedia)                                                                                   \
    X(ReportMediaClass)                                                                            \
    X(ProposedMediaClass)                                                                          \
    X(Media)                                                                                       \
    X(Quality)                                                                                     \
    X(MediaCompanion)

namespace Pair
{
#define PAIR_PLACE(name) name,
enum { MEDIA_OVERRIDE_PAIRS(PAIR_PLACE) Count };
#undef PAIR_PLACE
} // namespace Pair

#define PAIR_SETTING(name) SettingId::name,
const LONG kPairSettings[Pair::Count] = {MEDIA_OVERRIDE_PAIRS(PAIR_SETTING)};
#undef PAIR_SETTING
#undef MEDIA_OVERRIDE_PAIRS

// The highest setting the override reads is its last pair's class.
const DWORD kOverrideMinSettings = SettingId::ProposedMediaClass + 1;

// Media class of no report, and the value of MediaCompanion that goes with
// a proposed media.
const LONG kNoMediaClass = 255;
const LONG kProposedCompanion = 3;

// Reads a Drv entry that must be exactly two 32-bit numbers.
BOOL ReadDriverPair(const DataBaseRequest* request, DWORD id, LONG* pair)
{
    DWORD need = 0;
    if (XDB_AccessDrvDataBase(id, request, 0, NULL, &need) != DB_MORE_DATA || need != kPairBytes) {
        return FALSE;
    }
    LONG* answer = static_cast<LONG*>(GlobalAlloc(GPTR, kPairBytes));
    if (answer == NULL) {
        return FALSE;
    }
    DWORD got = 0;
    BOOL ok =
        XDB_AccessDrvDataBase(id, request, kPairBytes, answer, &got) == DB_OK && got == kPairBytes;
    if (ok) {
        pair[0] = answer[0];
        pair[1] = answer[1];
    }
    GlobalFree(answer);
    return ok;
}

BOOL ListHoldsMedia(const BYTE* items, DWORD bytes, LONG media)
{
    DWORD rows = bytes / kListItemBytes;
    for (DWORD i = 0; i < rows; ++i) {
        ListItem item;
        memcpy(&item, items + i * kListItemBytes, sizeof(item));
        if (item.Value == media) {
            return TRUE;
        }
    }
    return FALSE;
}

void LoadPairs(const LONG* settings, LONG* values)
{
    for (int i = 0; i < Pair::Count; ++i) {
        values[i] = settings[kPairSettings[i]];
    }
}

void WritePairs(const LONG* values, BYTE* buffer)
{
    LONG out[2 * Pair::Count];
    for (int i = 0; i < Pair::Count; ++i) {
        out[2 * i] = kPairSettings[i];
        out[2 * i + 1] = values[i];
    }
    memcpy(buffer, out, sizeof(out));
}

// Step 6: the media that the request or the report asks for. Returns FALSE
// when the choice must not be checked against the database.
BOOL ChooseMedia(const LONG* s, const MediaInfo* info, LONG* values, LONG* media)
{
    const DWORD unreadable =
        MEDIA_FLAG_SENSOR_FULL | MEDIA_FLAG_SENSOR_HIGH | MEDIA_FLAG_ALL_SATURATED;
    if (s[SettingId::RequestedMedia] != MediaNone) {
        values[Pair::MediaFromReport] = 0;
        *media = s[SettingId::RequestedMedia];
        return TRUE;
    }
    if ((info->flags & MEDIA_FLAG_PLAIN_PAPER) != 0 || (info->flags & unreadable) == unreadable) {
        *media = kPlainPaper;
        return TRUE;
    }
    values[Pair::ReportMediaClass] = (LONG)info->mediaClass;
    values[Pair::ProposedMediaClass] = (LONG)info->mediaClass;
    *media = MediaForClass((LONG)info->mediaClass, s[SettingId::PaperSize]);
    if (*media == MediaNone) {
        *media = kPlainPaper;
        values[Pair::ProposedMediaClass] = 1;
        return FALSE;
    }
    return TRUE;
}

// Step 7: a media the current settings do not accept becomes plain paper.
void CheckMedia(const DataBaseRequest* request, LONG* values, LONG* media)
{
    const LONG* s = request->Settings;
    BOOL borderless = s[SettingId::Borderless] == 1;
    BOOL checkAllowed = s[SettingId::MediaAllowedCheck] > 0 && s[SettingId::MediaAllowedCheck] <= 2;
    if (*media == kPlainPaper) {
        return;
    }
    if ((borderless && !IsMediaListed(request, *media)) ||
        (checkAllowed && !IsMediaAllowed(request, *media))) {
        *media = kPlainPaper;
        values[Pair::ProposedMediaClass] = 1;
    }
}

// Step 8: the media and its companions, or the caller's values back when
// the media has no setting-8 value.
void ProposeMedia(const LONG* s, LONG media, LONG* values)
{
    LONG companion8 = Setting8ForMedia(media);
    if (companion8 == 0) {
        values[Pair::MediaFromReport] = 0;
        values[Pair::ReportMediaClass] = kNoMediaClass;
        values[Pair::ProposedMediaClass] = 1;
        values[Pair::Media] = s[SettingId::Media];
        values[Pair::Quality] = s[SettingId::Quality];
        values[Pair::MediaCompanion] = s[SettingId::MediaCompanion];
        return;
    }
    values[Pair::Media] = media;
    if (media == s[SettingId::Media]) {
        values[Pair::Quality] = s[SettingId::Quality];
        values[Pair::MediaCompanion] = s[SettingId::MediaCompanion];
    } else {
        values[Pair::Quality] = companion8;
        values[Pair::MediaCompanion] = kProposedCompanion;
    }
}

} // namespace

LONG MediaForClass(LONG mediaClass, LONG paperSize)
{
    const MediaOverrideTable* table = &MediaOverrideTableData;
    for (DWORD i = 0; i < table->ClassCount; ++i) {
        const MediaClassRow* row = &table->Classes[i];
        if (row->MediaClass == mediaClass &&
            (row->PaperSize == paperSize || row->PaperSize == AnyPaperSize)) {
            return row->Media;
        }
    }
    return MediaNone;
}

LONG Setting8ForMedia(LONG media)
{
    const MediaOverrideTable* table = &MediaOverrideTableData;
    for (DWORD i = 0; i < table->QualityCount; ++i) {
        if (table->Qualities[i].Media == media) {
            return table->Qualities[i].Quality;
        }
    }
    return 0;
}

LONG IsMediaListed(const DataBaseRequest* request, LONG media)
{
    DataBaseRequest* copy = CloneRequest(request);
    if (copy == NULL) {
        return 0;
    }
    LONG listed = 0;
    DWORD need = 0;
    if (XDB_AccessDrvDataBase(kListedMediaId, copy, 0, NULL, &need) == DB_MORE_DATA && need != 0) {
        BYTE* items = static_cast<BYTE*>(GlobalAlloc(GPTR, need));
        if (items != NULL) {
            DWORD got = 0;
            if (XDB_AccessDrvDataBase(kListedMediaId, copy, need, items, &got) == DB_OK) {
                listed = ListHoldsMedia(items, need, media);
            }
            GlobalFree(items);
        }
    }
    FreeBlock(copy);
    return listed;
}

LONG IsMediaAllowed(const DataBaseRequest* request, LONG media)
{
    DataBaseRequest* copy = CloneRequest(request);
    if (copy == NULL) {
        return 0;
    }
    LONG allowed = 0;
    if (copy->SettingCount > SettingId::Media) {
        copy->Settings[SettingId::Media] = media;
        LONG answer = 0;
        DWORD got = 0;
        allowed =
            XDB_AccessDrvDataBase(kAllowedMediaId, copy, sizeof(answer), &answer, &got) == DB_OK &&
            answer != 0;
    }
    FreeBlock(copy);
    return allowed;
}

LONG MediaCheckPairsEqual(const DataBaseRequest* request)
{
    DataBaseRequest* copy = CloneRequest(request);
    if (copy == NULL) {
        return 0;
    }
    LONG report[2] = {0, 0};
    LONG model[2] = {0, 0};
    LONG equal = ReadDriverPair(copy, kReportResolutionId, report) &&
                 ReadDriverPair(copy, kResolutionId, model) && report[0] == model[0] &&
                 report[1] == model[1];
    FreeBlock(copy);
    return equal;
}

LONG BuildMediaOverrides(const DataBaseRequest* request, DWORD bufferSize, BYTE* buffer,
                         DWORD* outSize)
{
    LONG result = StartFixedOutput(request, kOverrideMinSettings, DB_NO_SETTINGS, MediaOverrideSize,
                                   bufferSize, buffer, outSize);
    if (result != DB_OK) {
        return result;
    }
    const LONG* s = request->Settings;
    LONG values[Pair::Count];
    LoadPairs(s, values);
    if (s[SettingId::KeepMedia] == 1) {
        WritePairs(values, buffer);
        return DB_OK;
    }
    values[Pair::KeepMedia] = 1;
    values[Pair::ReportMediaClass] = kNoMediaClass;
    values[Pair::ProposedMediaClass] = 1;

    MediaInfo info;
    if (!ReadPrinterMediaInfo(request->Printer, request->Context, &info) ||
        (info.flags & MEDIA_FLAG_NO_PROPOSAL) != 0 || !MediaCheckPairsEqual(request)) {
        values[Pair::MediaFromReport] = 0;
        WritePairs(values, buffer);
        return DB_OK;
    }
    LONG media = kPlainPaper;
    if (ChooseMedia(s, &info, values, &media)) {
        CheckMedia(request, values, &media);
    }
    ProposeMedia(s, media, values);
    WritePairs(values, buffer);
    return DB_OK;
}
