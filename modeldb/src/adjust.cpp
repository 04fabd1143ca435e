// Settings adjustment: rule lists of (setting, value) pairs that correct the
// driver's settings, applied in order so that later rules see earlier ones.
#include <windows.h>

#include <string.h>

#include "driverdb.h"
#include "drvqueries.h"
#include "drvtables.h"

static LONG ApplyRuleList(DWORD ruleId, const DataBaseRequest* request, LONG* settings,
                          DWORD settingsBytes, BOOL* applied);

namespace
{

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
LONG ApplyChainedRules(const WORD* rules, DWORD ruleCount, DataBaseRequest* copy, LONG* settings,
                       DWORD count, BOOL* changed)
{
    for (DWORD i = 0; i < ruleCount; ++i) {
        BOOL applied = FALSE;
        if (ApplyRuleList(rules[i], copy, settings, count * sizeof(LONG), &applied) != DB_OK) {
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

LONG AnswerSettingsAdjustment(const DriverIdRow* route, const DataBaseRequest* request, DWORD size,
                              void* buffer, DWORD* outSize)
{
    const DriverIdTable* table = &DriverIdTableData;
    if (table->Rules == NULL || route->RuleCount == 0 ||
        (DWORD)route->FirstRule + route->RuleCount > table->RuleIdCount) {
        return DB_FAILED;
    }
    const WORD* rules = &table->Rules[route->FirstRule];
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
    // Rule lists after the first select on the settings as the earlier ones
    // left them, through a copy of the request; a single list reads the
    // request itself.
    DataBaseRequest* copy = NULL;
    if (route->RuleCount > 1) {
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
        status = ApplyChainedRules(rules, route->RuleCount, copy, settings, request->SettingCount,
                                   &changed);
    } else {
        status = ApplyRuleList(rules[0], request, settings, request->SettingCount * sizeof(LONG),
                               &changed);
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
