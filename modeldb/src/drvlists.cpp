// List answers of the driver database: the values of a setting with their
// names, details and default marks, 20 bytes per item.
#include <windows.h>

#include <string.h>

#include "driverdb.h"
#include "drvqueries.h"
#include "drvtables.h"
#include "store.h"

namespace
{

const int kPaperSizeSetting = SettingId::PaperSize;
const int kColourSetting = SettingId::Colour;
const int kQualitySetting = SettingId::Quality;
const WORD kStandardPaperList = 4112;

enum ItemField {
    FIELD_VALUE = 0,
    FIELD_NAME_ID = 1,
    FIELD_DETAIL1 = 2,
    FIELD_DETAIL2 = 3,
    FIELD_DEFAULT_MARK = 4
};

// The list parameters of an id without a route: no names, no default, no
// details.
const DriverIdRow kNoRoute = {0, 0, ListDetails::NoDetails, NoRouteSetting, NoRouteDefault, 0, 0};

// Items are reached byte-wise: the caller's buffer need not be aligned.
LONG GetField(const void* items, DWORD index, ItemField field)
{
    LONG value;
    memcpy(&value, static_cast<const BYTE*>(items) + index * ListItemSize + field * 4, 4);
    return value;
}

void SetField(void* items, DWORD index, ItemField field, LONG value)
{
    memcpy(static_cast<BYTE*>(items) + index * ListItemSize + field * 4, &value, 4);
}

BOOL FindSettingRow(const SettingValueTable* table, DWORD setting, DWORD* first, DWORD* count)
{
    if (table == NULL || table->SettingNumbers == NULL || table->ValueCounts == NULL ||
        table->FirstValues == NULL) {
        return FALSE;
    }
    for (DWORD row = 0; row < table->RowCount; ++row) {
        if (table->SettingNumbers[row] == setting) {
            *first = table->FirstValues[row];
            *count = table->ValueCounts[row];
            return TRUE;
        }
    }
    return FALSE;
}

LONG FillNames(DWORD setting, void* items, DWORD n)
{
    const SettingValueTable* table = CurrentDriverTables()->SettingValues;
    DWORD first = 0;
    DWORD count = 0;
    if (!FindSettingRow(table, setting, &first, &count)) {
        return DB_NO_ANSWER;
    }
    if (n > count) {
        return DB_FAILED;
    }
    for (DWORD i = 0; i < n; ++i) {
        LONG value = GetField(items, i, FIELD_VALUE);
        BOOL found = FALSE;
        for (DWORD k = 0; k < count && !found; ++k) {
            DWORD at = first + k;
            if (at >= table->ValueCount || table->Values == NULL || table->NameIds == NULL) {
                return DB_FAILED;
            }
            if ((LONG)table->Values[at] == value) {
                SetField(items, i, FIELD_NAME_ID, table->NameIds[at]);
                found = TRUE;
            }
        }
        if (!found) {
            return DB_NO_ANSWER;
        }
    }
    return DB_OK;
}

// Reads a detail of at most 4 bytes into one field of item i.
LONG FillDetail(DataBaseRequest* copy, DWORD detailId, ItemField field, void* items, DWORD i)
{
    LONG detail = 0;
    DWORD got = 0;
    LONG result = ReadInternalEntry(detailId, copy, sizeof(detail), &detail, &got);
    if (result == DB_OK) {
        SetField(items, i, field, detail);
    }
    return result;
}

// Item by item, with the item's value in `setting` of the copy: its first
// detail, then its second (none when secondId is 0).
LONG FillDetails(DataBaseRequest* copy, int setting, DWORD detailId, ItemField field,
                 DWORD secondId, ItemField secondField, void* items, DWORD n)
{
    for (DWORD i = 0; i < n; ++i) {
        copy->Settings[setting] = GetField(items, i, FIELD_VALUE);
        LONG result = FillDetail(copy, detailId, field, items, i);
        if (result == DB_OK && secondId != 0) {
            result = FillDetail(copy, secondId, secondField, items, i);
        }
        if (result != DB_OK) {
            return result;
        }
    }
    return DB_OK;
}

LONG WithRequestCopy(const DataBaseRequest* request, DWORD minSettings, int setting, DWORD detailId,
                     ItemField field, DWORD secondId, ItemField secondField, void* items, DWORD n)
{
    if (request == NULL) {
        return DB_FAILED;
    }
    if (request->SettingCount < minSettings) {
        return DB_NO_SETTINGS;
    }
    DataBaseRequest* copy = CloneRequest(request);
    if (copy == NULL) {
        return DB_FAILED;
    }
    LONG result = FillDetails(copy, setting, detailId, field, secondId, secondField, items, n);
    FreeBlock(copy);
    return result;
}

// Marks the sizes of the full paper list that the standard list lacks.
LONG MarkNonStandardPapers(const DataBaseRequest* request, void* items, DWORD n)
{
    EntryDescriptor leaf;
    LONG result = FindEntry(kStandardPaperList, request, &leaf);
    if (result != DB_OK) {
        return result;
    }
    DWORD count = EntryCountOf(leaf.TagCount);
    DWORD need = 0;
    result = ReadEntry(request, 0, NULL, &need, &leaf);
    if (result != DB_MORE_DATA && result != DB_OK) {
        return result;
    }
    if (need != 4 * count) {
        return DB_FAILED;
    }
    LONG* standard = static_cast<LONG*>(GlobalAlloc(GPTR, need + sizeof(LONG)));
    if (standard == NULL) {
        return DB_FAILED;
    }
    DWORD got = 0;
    result = ReadEntry(request, need, standard, &got, &leaf);
    if (result == DB_OK && got != need) {
        result = DB_FAILED;
    }
    DWORD next = 0;
    for (DWORD i = 0; i < n && result == DB_OK; ++i) {
        if (next >= count) {
            result = DB_FAILED;
        } else if (GetField(items, i, FIELD_VALUE) == standard[next]) {
            SetField(items, i, FIELD_DETAIL2, 0);
            next++;
        } else {
            SetField(items, i, FIELD_DETAIL2, 1);
        }
    }
    GlobalFree(standard);
    return result;
}

LONG FillDefaultMarks(DWORD pairId, const DataBaseRequest* request, void* items, DWORD n)
{
    LONG pair[2];
    LONG result = ReadDefaultPair(pairId, request, pair);
    if (result == DB_NO_ANSWER || result == DB_UNKNOWN_ID) {
        return DB_OK;
    }
    if (result != DB_OK) {
        return result;
    }
    for (DWORD i = 0; i < n; ++i) {
        if (GetField(items, i, FIELD_VALUE) == pair[0]) {
            SetField(items, i, FIELD_DEFAULT_MARK, pair[1]);
        }
    }
    return DB_OK;
}

// Shared head of the entry-backed lists: finds the list and checks room.
LONG ReadListValues(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                    DWORD* outSize, DWORD* n)
{
    EntryDescriptor leaf;
    LONG result = FindEntry(id, request, &leaf);
    if (result != DB_OK) {
        return result;
    }
    // Only numeric leaves arrive as 32-bit values, one per item.
    BYTE type = EntryTypeOf(leaf.TypeOffset);
    if (type < (BYTE)EntryType::Int32Array || type > (BYTE)EntryType::UnsignedShorts) {
        return DB_FAILED;
    }
    *n = EntryCountOf(leaf.TagCount);
    DWORD need = ListItemSize * *n;
    if (buffer == NULL || size < need) {
        *outSize = need;
        return DB_MORE_DATA;
    }
    DWORD got = 0;
    return ReadEntry(request, size, buffer, &got, &leaf);
}

} // namespace

void SpreadListValues(void* items, DWORD n)
{
    BYTE* bytes = static_cast<BYTE*>(items);
    // From the last item down: item i never overlaps the values before i.
    for (DWORD i = n; i-- > 0;) {
        LONG value;
        memcpy(&value, bytes + 4 * i, 4);
        memset(bytes + ListItemSize * i, 0, ListItemSize);
        memcpy(bytes + ListItemSize * i, &value, 4);
    }
}

LONG ReadInternalEntry(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                       DWORD* got)
{
    LONG result = FindAndReadEntry(id, request, size, buffer, got);
    // A value larger than its slot is bad model data; passing the store's
    // "more data" on would have the caller retry forever with its own size.
    if (result == DB_MORE_DATA) {
        return DB_FAILED;
    }
    return result;
}

LONG ReadDefaultPair(DWORD id, const DataBaseRequest* request, LONG pair[2])
{
    DWORD got = 0;
    LONG result = ReadInternalEntry(id, request, 2 * sizeof(LONG), pair, &got);
    if (result != DB_OK) {
        return result;
    }
    return got == 2 * sizeof(LONG) ? DB_OK : DB_FAILED;
}

// Names, details and default marks of n items by the list's route.
static LONG FillRoutedItems(const DriverIdRow* route, const DataBaseRequest* request, DWORD size,
                            void* items, DWORD n)
{
    if (items == NULL || size / ListItemSize < n) {
        return DB_FAILED;
    }
    SpreadListValues(items, n);
    LONG result = DB_OK;
    if (route->NameSetting != NoRouteSetting) {
        result = FillNames(route->NameSetting, items, n);
        if (result != DB_OK) {
            return result;
        }
    }
    switch (route->Details) {
    case ListDetails::PaperDetails:
    case ListDetails::PaperDetailsMarked:
        result =
            WithRequestCopy(request, kPaperSizeSetting + 1, kPaperSizeSetting,
                            InternalId::PaperDetail, FIELD_DETAIL1, 0, FIELD_DETAIL2, items, n);
        if (result == DB_OK && route->Details == ListDetails::PaperDetailsMarked) {
            result = MarkNonStandardPapers(request, items, n);
        }
        break;
    case ListDetails::ColourDetails:
        result = WithRequestCopy(request, kColourSetting + 1, kColourSetting,
                                 InternalId::Setting4Detail1, FIELD_DETAIL1,
                                 InternalId::Setting4Detail2, FIELD_DETAIL2, items, n);
        break;
    default:
        break;
    }
    if (result != DB_OK || route->DefaultPair == NoRouteDefault) {
        return result;
    }
    return FillDefaultMarks(route->DefaultPair, request, items, n);
}

LONG FillListItems(DWORD id, const DataBaseRequest* request, DWORD size, void* items, DWORD n)
{
    const DriverIdRow* route = FindDriverIdRow(id & 0xFFFF);
    return FillRoutedItems(route != NULL ? route : &kNoRoute, request, size, items, n);
}

LONG AnswerEntryList(const DriverIdRow* route, const DataBaseRequest* request, DWORD size,
                     void* buffer, DWORD* outSize)
{
    DWORD n = 0;
    LONG result = ReadListValues(route->Id, request, size, buffer, outSize, &n);
    if (result != DB_OK) {
        return result;
    }
    return FillRoutedItems(route, request, size, buffer, n);
}

LONG AnswerSettingValueList(const DriverIdRow* route, const DataBaseRequest* request, DWORD size,
                            void* buffer, DWORD* outSize)
{
    const SettingValueTable* table = CurrentDriverTables()->SettingValues;
    DWORD first = 0;
    DWORD n = 0;
    if (!FindSettingRow(table, route->NameSetting, &first, &n)) {
        return DB_NO_ANSWER;
    }
    DWORD need = ListItemSize * n;
    if (buffer == NULL || size < need) {
        *outSize = need;
        return DB_MORE_DATA;
    }
    for (DWORD i = 0; i < n; ++i) {
        if (first + i >= table->ValueCount || table->Values == NULL) {
            return DB_FAILED;
        }
        LONG value = table->Values[first + i];
        memcpy(static_cast<BYTE*>(buffer) + 4 * i, &value, 4);
    }
    return FillRoutedItems(route, request, size, buffer, n);
}

LONG AnswerQualityList(const DriverIdRow* route, const DataBaseRequest* request, DWORD size,
                       void* buffer, DWORD* outSize)
{
    DWORD n = 0;
    LONG result = ReadListValues(route->Id, request, size, buffer, outSize, &n);
    if (result != DB_OK) {
        return result;
    }
    SpreadListValues(buffer, n);
    if (route->Details == ListDetails::QualityNames) {
        result =
            WithRequestCopy(request, kQualitySetting + 1, kQualitySetting, InternalId::QualityName,
                            FIELD_NAME_ID, InternalId::QualityDetail, FIELD_DETAIL1, buffer, n);
        if (result != DB_OK) {
            return result;
        }
    }
    LONG pair[2];
    result = ReadDefaultPair(InternalId::DefaultQuality, request, pair);
    if (result != DB_OK) {
        return result;
    }
    for (DWORD i = 0; i < n; ++i) {
        SetField(buffer, i, FIELD_DEFAULT_MARK,
                 GetField(buffer, i, FIELD_VALUE) == pair[0] ? pair[1] : 0);
    }
    return DB_OK;
}
