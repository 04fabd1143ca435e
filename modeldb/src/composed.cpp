// Composed command sequences: the pieces a row of the composed-sequence
// table selects under the piece key, concatenated in order.
#include <windows.h>

#include "drvqueries.h"
#include "drvtables.h"
#include "store.h"

namespace
{

const ComposedSequenceRow* FindComposedRow(const ComposedSequenceTable* table, DWORD id)
{
    if (table == NULL || table->Rows == NULL || table->Parts == NULL) {
        return NULL;
    }
    for (DWORD i = 0; i < table->RowCount; ++i) {
        if (table->Rows[i].Id == id) {
            return &table->Rows[i];
        }
    }
    return NULL;
}

// Resolves every part for the piece key; a part that selects nothing keeps
// an empty slot (type 0).
LONG SelectPieces(const ComposedSequenceTable* table, const ComposedSequenceRow* row,
                  const DataBaseRequest* request, EntryDescriptor* slots)
{
    const ModelTables* model = CurrentModelTables();
    for (DWORD i = 0; i < row->PartCount; ++i) {
        DWORD part = (DWORD)row->FirstPart + i;
        if (part >= table->PartCount || model->EntryTable == NULL ||
            table->Parts[part] >= model->EntryCount) {
            return DB_FAILED;
        }
        const EntryDescriptor* entry = &model->EntryTable[table->Parts[part]];
        slots[i].TypeOffset = 0;
        slots[i].TagCount = 0;
        LONG result =
            ResolveEntry(InternalId::Piece, request, entry->TypeOffset, entry->TagCount, &slots[i]);
        if (result == DB_NO_ANSWER) {
            slots[i].TypeOffset = 0;
        } else if (result != DB_OK) {
            return result;
        }
    }
    return DB_OK;
}

BOOL IsEmptySlot(const EntryDescriptor* slot)
{
    return EntryTypeOf(slot->TypeOffset) == 0;
}

LONG SumPieceSizes(const DataBaseRequest* request, const EntryDescriptor* slots, DWORD count,
                   DWORD* total)
{
    *total = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (IsEmptySlot(&slots[i])) {
            continue;
        }
        DWORD size = 0;
        LONG result = ReadEntry(request, 0, NULL, &size, &slots[i]);
        if (result != DB_OK && result != DB_MORE_DATA) {
            return result;
        }
        if (*total + size < *total) {
            return DB_FAILED;
        }
        *total += size;
    }
    return DB_OK;
}

LONG WritePieces(const DataBaseRequest* request, const EntryDescriptor* slots, DWORD count,
                 DWORD size, BYTE* buffer, DWORD* written)
{
    *written = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (IsEmptySlot(&slots[i])) {
            continue;
        }
        DWORD piece = 0;
        LONG result = ReadEntry(request, size - *written, buffer + *written, &piece, &slots[i]);
        if (result != DB_OK) {
            return result;
        }
        *written += piece;
    }
    return DB_OK;
}

LONG ComposeFromSlots(const DataBaseRequest* request, const EntryDescriptor* slots, DWORD count,
                      DWORD size, void* buffer, DWORD* outSize)
{
    DWORD total = 0;
    LONG result = SumPieceSizes(request, slots, count, &total);
    if (result != DB_OK) {
        return result;
    }
    if (total > size || (buffer == NULL && total != 0)) {
        *outSize = total;
        return DB_MORE_DATA;
    }
    DWORD written = 0;
    result = WritePieces(request, slots, count, size, static_cast<BYTE*>(buffer), &written);
    if (result != DB_OK) {
        return result;
    }
    *outSize = written;
    return DB_OK;
}

} // namespace

LONG AnswerComposedSequence(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                            DWORD* outSize)
{
    const ComposedSequenceTable* table = CurrentDriverTables()->ComposedSequences;
    const ComposedSequenceRow* row = FindComposedRow(table, id);
    if (row == NULL) {
        return DB_NO_ANSWER;
    }
    EntryDescriptor* slots = static_cast<EntryDescriptor*>(
        GlobalAlloc(GPTR, (row->PartCount + 1) * sizeof(EntryDescriptor)));
    if (slots == NULL) {
        return DB_FAILED;
    }
    LONG result = SelectPieces(table, row, request, slots);
    if (result == DB_OK) {
        result = ComposeFromSlots(request, slots, row->PartCount, size, buffer, outSize);
    }
    GlobalFree(slots);
    return result;
}
