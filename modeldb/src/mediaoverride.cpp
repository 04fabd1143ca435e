// The media override (builder 13): from the printer's media report, propose
// the media of a job and the settings that go with it. The driver database
// must accept a proposed media; anything it refuses falls back to media 1.
#include <windows.h>

#include <string.h>

#include "builders.h"
#include "builderutil.h"
#include "driverdb.h"
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

struct ClassMedia {
    LONG MediaClass;
    LONG PaperSize;
    LONG Media;
};

// Postcards (43 and 69) have media of their own in two classes.
const ClassMedia kMediaByClassAndPaper[] = {
    {1, 43, 262},
    {1, 69, 262},
    {3, 43, 283},
    {3, 69, 283},
};

const ClassMedia kMediaByClass[] = {
    {1, 0, 1},
    {2, 0, 285},
    {3, 0, 284},
    {4, 0, 2},
};

struct MediaCompanion {
    LONG Media;
    LONG Setting8;
};

// The printer's own table repeats the rows of 262 and 283 with the same
// values; the first match decides, so one row each answers the same.
const MediaCompanion kSetting8ByMedia[] = {
    {1, 3}, {262, 3}, {285, 1}, {284, 3}, {283, 3}, {2, 3},
};

// Settings the override reads.
// (the named ones are the model source's names, modelformat.h)
enum {
    SET_MEDIA = SettingId::Media,
    SET_COMPANION_6 = 6,
    SET_COMPANION_8 = SettingId::Quality,
    SET_PAPER_SIZE = SettingId::PaperSize,
    SET_ALLOWED_CHECK = SettingId::MediaAllowedCheck,
    SET_BORDERLESS = SettingId::Borderless,
    SET_FROM_REPORT = SettingId::MediaFromReport,
    SET_REQUESTED_MEDIA = SettingId::RequestedMedia,
    SET_CLASS_PARAM_109 = 109,
    SET_KEEP_MEDIA = SettingId::KeepMedia,
    SET_CLASS_PARAM_118 = 118,
};
const DWORD kOverrideMinSettings = SET_CLASS_PARAM_118 + 1;

const LONG kNoClassParam = 255;
const LONG kProposedCompanion6 = 3;

// The seven pairs in the order they are written.
enum { PAIR_106, PAIR_110, PAIR_109, PAIR_118, PAIR_5, PAIR_8, PAIR_6, PAIR_COUNT };
const LONG kPairSettings[PAIR_COUNT] = {
    SET_FROM_REPORT, SET_KEEP_MEDIA,  SET_CLASS_PARAM_109, SET_CLASS_PARAM_118,
    SET_MEDIA,       SET_COMPANION_8, SET_COMPANION_6,
};

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
    for (int i = 0; i < PAIR_COUNT; ++i) {
        values[i] = settings[kPairSettings[i]];
    }
}

void WritePairs(const LONG* values, BYTE* buffer)
{
    LONG out[2 * PAIR_COUNT];
    for (int i = 0; i < PAIR_COUNT; ++i) {
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
    if (s[SET_REQUESTED_MEDIA] != MediaNone) {
        values[PAIR_106] = 0;
        *media = s[SET_REQUESTED_MEDIA];
        return TRUE;
    }
    if ((info->flags & MEDIA_FLAG_PLAIN_PAPER) != 0 || (info->flags & unreadable) == unreadable) {
        *media = kPlainPaper;
        return TRUE;
    }
    values[PAIR_109] = (LONG)info->mediaClass;
    values[PAIR_118] = (LONG)info->mediaClass;
    *media = MediaForClass((LONG)info->mediaClass, s[SET_PAPER_SIZE]);
    if (*media == MediaNone) {
        *media = kPlainPaper;
        values[PAIR_118] = 1;
        return FALSE;
    }
    return TRUE;
}

// Step 7: a media the current settings do not accept becomes plain paper.
void CheckMedia(const DataBaseRequest* request, LONG* values, LONG* media)
{
    const LONG* s = request->Settings;
    BOOL borderless = s[SET_BORDERLESS] == 1;
    BOOL checkAllowed = s[SET_ALLOWED_CHECK] > 0 && s[SET_ALLOWED_CHECK] <= 2;
    if (*media == kPlainPaper) {
        return;
    }
    if ((borderless && !IsMediaListed(request, *media)) ||
        (checkAllowed && !IsMediaAllowed(request, *media))) {
        *media = kPlainPaper;
        values[PAIR_118] = 1;
    }
}

// Step 8: the media and its companions, or the caller's values back when
// the media has no setting-8 value.
void ProposeMedia(const LONG* s, LONG media, LONG* values)
{
    LONG companion8 = Setting8ForMedia(media);
    if (companion8 == 0) {
        values[PAIR_106] = 0;
        values[PAIR_109] = kNoClassParam;
        values[PAIR_118] = 1;
        values[PAIR_5] = s[SET_MEDIA];
        values[PAIR_8] = s[SET_COMPANION_8];
        values[PAIR_6] = s[SET_COMPANION_6];
        return;
    }
    values[PAIR_5] = media;
    if (media == s[SET_MEDIA]) {
        values[PAIR_8] = s[SET_COMPANION_8];
        values[PAIR_6] = s[SET_COMPANION_6];
    } else {
        values[PAIR_8] = companion8;
        values[PAIR_6] = kProposedCompanion6;
    }
}

} // namespace

LONG MediaForClass(LONG mediaClass, LONG paperSize)
{
    for (DWORD i = 0; i < sizeof(kMediaByClassAndPaper) / sizeof(kMediaByClassAndPaper[0]); ++i) {
        if (kMediaByClassAndPaper[i].MediaClass == mediaClass &&
            kMediaByClassAndPaper[i].PaperSize == paperSize) {
            return kMediaByClassAndPaper[i].Media;
        }
    }
    for (DWORD i = 0; i < sizeof(kMediaByClass) / sizeof(kMediaByClass[0]); ++i) {
        if (kMediaByClass[i].MediaClass == mediaClass) {
            return kMediaByClass[i].Media;
        }
    }
    return MediaNone;
}

LONG Setting8ForMedia(LONG media)
{
    for (DWORD i = 0; i < sizeof(kSetting8ByMedia) / sizeof(kSetting8ByMedia[0]); ++i) {
        if (kSetting8ByMedia[i].Media == media) {
            return kSetting8ByMedia[i].Setting8;
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
    if (copy->SettingCount > SET_MEDIA) {
        copy->Settings[SET_MEDIA] = media;
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
    LONG values[PAIR_COUNT];
    LoadPairs(s, values);
    if (s[SET_KEEP_MEDIA] == 1) {
        WritePairs(values, buffer);
        return DB_OK;
    }
    values[PAIR_110] = 1;
    values[PAIR_109] = kNoClassParam;
    values[PAIR_118] = 1;

    MediaInfo info;
    if (!ReadPrinterMediaInfo(request->Printer, request->Context, &info) ||
        (info.flags & MEDIA_FLAG_NO_PROPOSAL) != 0 || !MediaCheckPairsEqual(request)) {
        values[PAIR_106] = 0;
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
