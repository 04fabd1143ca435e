// Settings adjustment: rule lists of (setting, value) pairs that correct the
// driver's settings, applied in order so that later rules see earlier ones.
#include <windows.h>

#include <string.h>

#include "driverdb.h"
#include "drvqueries.h"

static LONG ApplyRuleList(DWORD ruleId, const DataBaseRequest* request, LONG* settings,
                          DWORD settingsBytes, BOOL* applied);

namespace
{

// The rules of 4191 in the order they apply.
const DWORD kJobRules[] = {InternalId::Rules1, InternalId::Rules0, InternalId::Rules2,
                           InternalId::Rules3};

const DWORD kMaxSettings = 0x10000;

LONG* CopySettings(const DataBaseRequest* request)
{
    DWORD bytes = request->SettingCount * sizeof(LONG);
    LONG* settings = static_cast<LONG*>(GlobalAlloc(GPTR, bytes));
    if (settings != NULL) {
        memcpy(settings, request->Settings, bytes);
    }
    return settings;
}

// Later rules select on the adjusted values; a copy holds only the first
// CloneSettingCount settings, so only those can steer them.
void RefreshCopy(DataBaseRequest* copy, const LONG* settings, DWORD count)
{
    DWORD n = count < copy->SettingCount ? count : copy->SettingCount;
    memcpy(copy->Settings, settings, n * sizeof(LONG));
}

// Later rules see the settings as the earlier ones left them. A rule list
// that could not be held fails the adjustment rather than pass for "no
// change", which would have the job printed with unadjusted settings.
LONG ApplyJobRules(DataBaseRequest* copy, LONG* settings, DWORD count, BOOL* changed)
{
    for (DWORD i = 0; i < sizeof(kJobRules) / sizeof(kJobRules[0]); ++i) {
        BOOL applied = FALSE;
        if (ApplyRuleList(kJobRules[i], copy, settings, count * sizeof(LONG), &applied) != DB_OK) {
            return DB_FAILED;
        }
        if (applied) {
            RefreshCopy(copy, settings, count);
            *changed = TRUE;
        }
    }
    return DB_OK;
}

} // namespace

// The rule list's answer applied to settings. DB_FAILED only when the
// answer could not be held; *applied tells whether a list was applied.
static LONG ApplyRuleList(DWORD ruleId, const DataBaseRequest* request, LONG* settings,
                          DWORD settingsBytes, BOOL* applied)
{
    *applied = FALSE;
    if (request == NULL || settings == NULL) {
        return DB_OK;
    }
    DWORD need = 0;
    if (QueryDriverDataBase(ruleId, request, 0, NULL, &need) != DB_MORE_DATA || need == 0) {
        return DB_OK;
    }
    LONG* pairs = static_cast<LONG*>(GlobalAlloc(GPTR, need));
    if (pairs == NULL) {
        return DB_FAILED;
    }
    DWORD got = 0;
    if (QueryDriverDataBase(ruleId, request, need, pairs, &got) == DB_OK) {
        DWORD slots = settingsBytes / sizeof(LONG);
        DWORD pairCount = (got < need ? got : need) / (2 * sizeof(LONG));
        for (DWORD i = 0; i < pairCount; ++i) {
            // Taken unsigned: a negative setting number falls outside.
            DWORD setting = (DWORD)pairs[2 * i];
            if (setting < slots) {
                settings[setting] = pairs[2 * i + 1];
            }
        }
        *applied = TRUE;
    }
    GlobalFree(pairs);
    return DB_OK;
}

LONG AnswerSettingsAdjustment(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                              DWORD* outSize)
{
    if (request == NULL) {
        return DB_FAILED;
    }
    if (request->Settings == NULL) {
        return DB_NO_REQUEST;
    }
    if (request->SettingCount == 0) {
        return DB_NO_SETTINGS;
    }
    // Larger arrays cannot be measured in 32-bit byte counts.
    if (request->SettingCount > kMaxSettings) {
        return DB_FAILED;
    }
    DataBaseRequest* copy = NULL;
    if (id == 4191) {
        copy = CloneRequest(request);
        if (copy == NULL) {
            return DB_FAILED;
        }
    }
    LONG* settings = CopySettings(request);
    if (settings == NULL) {
        FreeBlock(copy);
        return DB_FAILED;
    }
    BOOL changed = FALSE;
    LONG status = DB_OK;
    if (copy != NULL) {
        status = ApplyJobRules(copy, settings, request->SettingCount, &changed);
    } else {
        status = ApplyRuleList(InternalId::Rules4192, request, settings,
                               request->SettingCount * sizeof(LONG), &changed);
    }
    LONG result = DB_NO_ANSWER;
    DWORD bytes = request->SettingCount * sizeof(LONG);
    if (status != DB_OK) {
        result = status;
    } else if (!changed) {
        *outSize = 0;
    } else {
        *outSize = bytes;
        result = DB_MORE_DATA;
        if (buffer != NULL && size >= bytes) {
            memcpy(buffer, settings, bytes);
            result = DB_OK;
        }
    }
    GlobalFree(settings);
    FreeBlock(copy);
    return result;
}
