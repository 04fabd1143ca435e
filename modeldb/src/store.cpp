// The typed value store: key lookup, the tree walk and the leaf reader.
// Everything here is driven by the tables; no request id has code of its own.
#include "store.h"

#include "builders.h"

static const ModelTables* activeTables = &ModelTableSet;

const ModelTables* CurrentModelTables()
{
    return activeTables;
}

const ModelTables* SwapModelTables(const ModelTables* tables)
{
    const ModelTables* previous = activeTables;
    activeTables = tables != NULL ? tables : &ModelTableSet;
    return previous;
}

// The model's deepest walk is 12 entries. A walk far deeper than
// MaxWalkDepth can only come from a loop in the tables, which would otherwise
// exhaust the stack.

static WORD LowWord(DWORD id)
{
    return static_cast<WORD>(id & 0xFFFFu);
}

static BOOL EntryAt(const ModelTables* tables, DWORD index, EntryDescriptor* entry)
{
    if (tables->EntryTable == NULL || index >= tables->EntryCount)
        return FALSE;
    *entry = tables->EntryTable[index];
    return TRUE;
}

static BOOL IsLeafType(BYTE type)
{
    return (type >= 1 && type <= 7) || type == 18;
}

static BOOL KeyTablePresent(const ModelTables* tables)
{
    return tables->KeyIds != NULL && tables->KeyEntries != NULL && tables->KeyCount != 0;
}

// Index of key in the key table, or KeyCount when it has none.
static DWORD FindKey(const ModelTables* tables, WORD key)
{
    for (DWORD i = 0; i < tables->KeyCount; ++i) {
        if (tables->KeyIds[i] == key)
            return i;
    }
    return tables->KeyCount;
}

static LONG Resolve(DWORD id, const DataBaseRequest* request, DWORD typeOffset, DWORD tagCount,
                    EntryDescriptor* out, DWORD depth);

static LONG ResolveIndex(DWORD id, const DataBaseRequest* request, DWORD index,
                         EntryDescriptor* out, DWORD depth)
{
    EntryDescriptor entry;
    if (!EntryAt(CurrentModelTables(), index, &entry))
        return DB_FAILED;
    return Resolve(id, request, entry.TypeOffset, entry.TagCount, out, depth);
}

static LONG ReadSetting(const DataBaseRequest* request, DWORD number, LONG* value)
{
    if (request == NULL || request->Settings == NULL || number >= request->SettingCount)
        return DB_NO_SETTINGS;
    *value = request->Settings[number];
    return DB_OK;
}

// Children first..first+count-1 in order; the first that does not answer
// DB_NO_ANSWER decides. A FilteredSequence passes over WhenSetting children
// whose tag differs from its setting.
static LONG WalkChildren(DWORD id, const DataBaseRequest* request, DWORD first, WORD count,
                         BOOL filtered, DWORD settingNumber, EntryDescriptor* out, DWORD depth)
{
    const ModelTables* tables = CurrentModelTables();
    BOOL settingRead = FALSE;
    LONG setting = 0;
    for (DWORD i = 0; i < count; ++i) {
        EntryDescriptor child;
        if (!EntryAt(tables, first + i, &child))
            return DB_FAILED;
        if (filtered &&
            EntryTypeOf(child.TypeOffset) == static_cast<BYTE>(EntryType::WhenSetting)) {
            if (!settingRead) {
                LONG result = ReadSetting(request, settingNumber, &setting);
                if (result != DB_OK)
                    return result;
                settingRead = TRUE;
            }
            if (static_cast<DWORD>(setting) != EntryTagOf(child.TagCount))
                continue;
        }
        LONG result = Resolve(id, request, child.TypeOffset, child.TagCount, out, depth);
        if (result != DB_NO_ANSWER)
            return result;
    }
    return DB_NO_ANSWER;
}

// Scans labels start..count-1 against v and walks the first match's target.
static LONG ScanValueLabels(DWORD id, const DataBaseRequest* request, DWORD first, WORD count,
                            DWORD start, LONG v, EntryDescriptor* out, DWORD depth)
{
    const ModelTables* tables = CurrentModelTables();
    for (DWORD i = start; i < count; ++i) {
        EntryDescriptor label;
        if (!EntryAt(tables, first + i, &label))
            return DB_FAILED;
        BOOL match = FALSE;
        switch (static_cast<EntryType>(EntryTypeOf(label.TypeOffset))) {
        case EntryType::CaseEquals:
            match = static_cast<DWORD>(v) == label.TagCount;
            break;
        case EntryType::CaseRange: {
            DWORD r = label.TagCount;
            if (tables->LongPool == NULL || tables->LongPoolCount < 2 ||
                r >= tables->LongPoolCount - 1)
                return DB_FAILED;
            match = tables->LongPool[r] <= v && v <= tables->LongPool[r + 1];
            break;
        }
        case EntryType::CaseDefault:
            match = TRUE;
            break;
        default:
            return DB_FAILED;
        }
        if (match)
            return ResolveIndex(id, request, EntryOffsetOf(label.TypeOffset), out, depth);
    }
    return DB_NO_ANSWER;
}

// Length of s when it is at most limit characters long, else limit + 1;
// never reads more than limit + 1 characters of it.
static DWORD BoundedLength(const char* s, DWORD limit)
{
    DWORD n = 0;
    while (n <= limit && s[n] != '\0')
        ++n;
    return n;
}

static LONG MatchStringLabel(const DataBaseRequest* request, WORD stringIndex,
                             const EntryDescriptor* label, BOOL* match)
{
    const ModelTables* tables = CurrentModelTables();
    EntryDescriptor candidate;
    if (!EntryAt(tables, label->TagCount, &candidate))
        return DB_FAILED;
    if (EntryTypeOf(candidate.TypeOffset) != static_cast<BYTE>(EntryType::Bytes))
        return DB_FAILED;
    DWORD offset = EntryOffsetOf(candidate.TypeOffset);
    DWORD length = EntryCountOf(candidate.TagCount);
    if (request == NULL || request->Strings == NULL || stringIndex >= request->StringCount)
        return DB_NO_STRINGS;
    const char* text = request->Strings[stringIndex];
    if (text == NULL)
        text = "";
    if (tables->MatchPool == NULL || offset > tables->MatchPoolCount ||
        length > tables->MatchPoolCount - offset)
        return DB_FAILED;
    *match = BoundedLength(text, length) == length &&
             CompareBytes(text, tables->MatchPool + offset, length);
    return DB_OK;
}

static LONG SelectString(DWORD id, const DataBaseRequest* request, DWORD first, WORD count,
                         WORD stringIndex, EntryDescriptor* out, DWORD depth)
{
    const ModelTables* tables = CurrentModelTables();
    for (DWORD i = 0; i < count; ++i) {
        EntryDescriptor label;
        if (!EntryAt(tables, first + i, &label))
            return DB_FAILED;
        BOOL match = FALSE;
        switch (static_cast<EntryType>(EntryTypeOf(label.TypeOffset))) {
        case EntryType::CaseString: {
            LONG result = MatchStringLabel(request, stringIndex, &label, &match);
            if (result != DB_OK)
                return result;
            break;
        }
        case EntryType::CaseDefault:
            match = TRUE;
            break;
        default:
            return DB_FAILED;
        }
        if (match)
            return ResolveIndex(id, request, EntryOffsetOf(label.TypeOffset), out, depth);
    }
    return DB_NO_ANSWER;
}

static LONG SelectPrinterData(DWORD id, const DataBaseRequest* request, DWORD first, WORD count,
                              WORD valueCode, EntryDescriptor* out, DWORD depth)
{
    const ModelTables* tables = CurrentModelTables();
    // Reading printer data looks its value name up under this very id: value
    // names that depended on printer data would ask for themselves without
    // end.
    if (LowWord(id) == PrinterDataNameId)
        return DB_FAILED;
    // The value's name comes from the printer-data name entry; without it the
    // node cannot be evaluated at all.
    if (!KeyTablePresent(tables) || tables->EntryTable == NULL || tables->EntryCount == 0)
        return DB_FAILED;
    DWORD key = FindKey(tables, PrinterDataNameId);
    if (key == tables->KeyCount)
        return DB_UNKNOWN_ID;
    if (tables->KeyEntries[key] >= tables->EntryCount)
        return DB_FAILED;

    // Without a request there is no printer to read from: the value counts
    // as unreadable, as it does for a request without a printer handle.
    LONG v = 0;
    if (request != NULL && ReadPrinterDataDword(request->Printer, request->Context, valueCode, &v))
        return ScanValueLabels(id, request, first, count, 0, v, out, depth);
    if (count == 0)
        return DB_NO_ANSWER;
    EntryDescriptor last;
    if (!EntryAt(tables, first + count - 1, &last))
        return DB_FAILED;
    if (EntryTypeOf(last.TypeOffset) != static_cast<BYTE>(EntryType::CaseDefault))
        return DB_NO_ANSWER;
    return ScanValueLabels(id, request, first, count, count - 1u, 0, out, depth);
}

static LONG SelectMasked(DWORD id, const DataBaseRequest* request, DWORD headerIndex, WORD count,
                         WORD settingNumber, EntryDescriptor* out, DWORD depth)
{
    EntryDescriptor header;
    if (!EntryAt(CurrentModelTables(), headerIndex, &header))
        return DB_FAILED;
    if (EntryTypeOf(header.TypeOffset) != static_cast<BYTE>(EntryType::MaskHeader))
        return DB_FAILED;
    if (request == NULL)
        return DB_FAILED;
    LONG setting = 0;
    LONG result = ReadSetting(request, settingNumber, &setting);
    if (result != DB_OK)
        return result;
    LONG v = static_cast<LONG>(static_cast<DWORD>(setting) & header.TagCount);
    return ScanValueLabels(id, request, EntryOffsetOf(header.TypeOffset), count, 0, v, out, depth);
}

static LONG Resolve(DWORD id, const DataBaseRequest* request, DWORD typeOffset, DWORD tagCount,
                    EntryDescriptor* out, DWORD depth)
{
    if (out == NULL)
        return DB_FAILED;
    if (depth > MaxWalkDepth)
        return DB_FAILED;
    ++depth;
    BYTE type = EntryTypeOf(typeOffset);
    DWORD offset = EntryOffsetOf(typeOffset);
    WORD tag = EntryTagOf(tagCount);
    WORD count = EntryCountOf(tagCount);

    if (IsLeafType(type)) {
        if (tag != LowWord(id))
            return DB_NO_ANSWER;
        out->TypeOffset = typeOffset;
        out->TagCount = tagCount;
        return DB_OK;
    }
    switch (static_cast<EntryType>(type)) {
    case EntryType::Sequence:
    case EntryType::WhenSetting:
    case EntryType::CaseEquals:
    case EntryType::CaseDefault:
        return WalkChildren(id, request, offset, count, FALSE, 0, out, depth);
    case EntryType::FilteredSequence:
        return WalkChildren(id, request, offset, count, TRUE, tag, out, depth);
    case EntryType::SelectBySetting: {
        if (request == NULL)
            return DB_FAILED;
        LONG v = 0;
        LONG result = ReadSetting(request, tag, &v);
        if (result != DB_OK)
            return result;
        return ScanValueLabels(id, request, offset, count, 0, v, out, depth);
    }
    case EntryType::SelectByMaskedSetting:
        return SelectMasked(id, request, offset, count, tag, out, depth);
    case EntryType::SelectByLocale: {
        LONG v = 0;
        if (GetUserCountryCode(tag, &v) != DB_OK)
            return DB_FAILED;
        return ScanValueLabels(id, request, offset, count, 0, v, out, depth);
    }
    case EntryType::SelectByPrinterData:
        return SelectPrinterData(id, request, offset, count, tag, out, depth);
    case EntryType::SelectByString:
        return SelectString(id, request, offset, count, tag, out, depth);
    default:
        // Labels, mask headers and unknown types are never walked.
        return DB_FAILED;
    }
}

LONG ResolveEntry(DWORD id, const DataBaseRequest* request, DWORD typeOffset, DWORD tagCount,
                  EntryDescriptor* out)
{
    return Resolve(id, request, typeOffset, tagCount, out, 0);
}

LONG FindEntry(DWORD id, const DataBaseRequest* request, EntryDescriptor* out)
{
    const ModelTables* tables = CurrentModelTables();
    if (!KeyTablePresent(tables))
        return DB_FAILED;
    DWORD key = FindKey(tables, LowWord(id));
    if (key == tables->KeyCount)
        return DB_UNKNOWN_ID;
    EntryDescriptor entry;
    if (!EntryAt(tables, tables->KeyEntries[key], &entry))
        return DB_FAILED;
    return ResolveEntry(id, request, entry.TypeOffset, entry.TagCount, out);
}

// Values go out in little-endian order whatever the alignment of the buffer.
static void StoreLong(BYTE* at, DWORD value)
{
    at[0] = static_cast<BYTE>(value);
    at[1] = static_cast<BYTE>(value >> 8);
    at[2] = static_cast<BYTE>(value >> 16);
    at[3] = static_cast<BYTE>(value >> 24);
}

static BOOL PoolHolds(const void* pool, DWORD poolCount, DWORD offset, DWORD count)
{
    return pool != NULL && offset <= poolCount && count <= poolCount - offset;
}

static LONG CopyLeaf(BYTE type, DWORD offset, DWORD count, BYTE* to)
{
    const ModelTables* tables = CurrentModelTables();
    switch (static_cast<EntryType>(type)) {
    case EntryType::Bytes:
        if (!PoolHolds(tables->BytePool, tables->BytePoolCount, offset, count))
            return DB_FAILED;
        for (DWORD i = 0; i < count; ++i)
            to[i] = tables->BytePool[offset + i];
        return DB_OK;
    case EntryType::Int32Array:
        if (!PoolHolds(tables->LongPool, tables->LongPoolCount, offset, count))
            return DB_FAILED;
        for (DWORD i = 0; i < count; ++i)
            StoreLong(to + 4 * i, static_cast<DWORD>(tables->LongPool[offset + i]));
        return DB_OK;
    case EntryType::SignedBytes:
    case EntryType::UnsignedBytes:
        if (!PoolHolds(tables->BytePool, tables->BytePoolCount, offset, count))
            return DB_FAILED;
        for (DWORD i = 0; i < count; ++i) {
            BYTE b = tables->BytePool[offset + i];
            LONG v = type == static_cast<BYTE>(EntryType::SignedBytes)
                         ? static_cast<LONG>(static_cast<signed char>(b))
                         : static_cast<LONG>(b);
            StoreLong(to + 4 * i, static_cast<DWORD>(v));
        }
        return DB_OK;
    case EntryType::SignedShorts:
    case EntryType::UnsignedShorts:
        if (!PoolHolds(tables->ShortPool, tables->ShortPoolCount, offset, count))
            return DB_FAILED;
        for (DWORD i = 0; i < count; ++i) {
            WORD w = tables->ShortPool[offset + i];
            LONG v = type == static_cast<BYTE>(EntryType::SignedShorts)
                         ? static_cast<LONG>(static_cast<SHORT>(w))
                         : static_cast<LONG>(w);
            StoreLong(to + 4 * i, static_cast<DWORD>(v));
        }
        return DB_OK;
    case EntryType::Text:
        if (!PoolHolds(tables->BytePool, tables->BytePoolCount, offset, count))
            return DB_FAILED;
        for (DWORD i = 0; i < count; ++i) {
            to[2 * i] = tables->BytePool[offset + i];
            to[2 * i + 1] = 0;
        }
        return DB_OK;
    default:
        return DB_FAILED;
    }
}

LONG ReadEntry(const DataBaseRequest* request, DWORD size, void* buffer, DWORD* outSize,
               const EntryDescriptor* descriptor)
{
    if (descriptor == NULL || outSize == NULL)
        return DB_FAILED;
    BYTE type = EntryTypeOf(descriptor->TypeOffset);
    DWORD offset = EntryOffsetOf(descriptor->TypeOffset);
    DWORD count = EntryCountOf(descriptor->TagCount);

    DWORD need = 0;
    switch (static_cast<EntryType>(type)) {
    case EntryType::Bytes:
        need = count;
        break;
    case EntryType::Int32Array:
    case EntryType::SignedBytes:
    case EntryType::SignedShorts:
    case EntryType::UnsignedBytes:
    case EntryType::UnsignedShorts:
        need = 4 * count;
        break;
    case EntryType::Text:
        need = 2 * count;
        break;
    case EntryType::Built: {
        // Builders that read printer data look value names up; a computed
        // value name would have them ask for it without end.
        if (EntryTagOf(descriptor->TagCount) == PrinterDataNameId)
            return DB_FAILED;
        LONG result = BuildComputedEntry(count, request, 0, NULL, &need);
        if (result == DB_NO_ANSWER) {
            // A builder with nothing to say yields an empty answer.
            *outSize = 0;
            return DB_OK;
        }
        if (result != DB_OK && result != DB_MORE_DATA)
            return result;
        break;
    }
    default:
        return DB_FAILED;
    }

    if (buffer == NULL || size < need) {
        *outSize = need;
        return DB_MORE_DATA;
    }
    if (type == static_cast<BYTE>(EntryType::Built)) {
        DWORD written = 0;
        LONG result = BuildComputedEntry(count, request, size, buffer, &written);
        if (result != DB_OK)
            return result;
        *outSize = written;
        return DB_OK;
    }
    LONG result = CopyLeaf(type, offset, count, static_cast<BYTE*>(buffer));
    if (result != DB_OK)
        return result;
    *outSize = need;
    return DB_OK;
}

LONG FindAndReadEntry(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                      DWORD* outSize)
{
    EntryDescriptor leaf;
    LONG result = FindEntry(id, request, &leaf);
    if (result != DB_OK)
        return result;
    return ReadEntry(request, size, buffer, outSize, &leaf);
}

LONG CompareBytes(const void* a, const void* b, DWORD n)
{
    if (a == NULL || b == NULL)
        return 0;
    const BYTE* x = static_cast<const BYTE*>(a);
    const BYTE* y = static_cast<const BYTE*>(b);
    for (DWORD i = 0; i < n; ++i) {
        if (x[i] != y[i])
            return 0;
    }
    return 1;
}
