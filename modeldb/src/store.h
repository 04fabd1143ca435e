// The typed value store: the packed model tables and the walk that finds the
// leaf answering a request id. Used by the exports, the driver database, the
// builders and the media functions.
#ifndef PRNMODEL_STORE_H
#define PRNMODEL_STORE_H

#include <windows.h>

#include "modelformat.h"
#include "prnmodel.h"

// One entry of the model tables: two words (packing in modelformat.h).
struct EntryDescriptor {
    DWORD TypeOffset;
    DWORD TagCount;
};

// The constant tables of one model. Every index the engine takes from the
// data is checked against the count of the table it addresses.
struct ModelTables {
    const EntryDescriptor* EntryTable;
    DWORD EntryCount;
    const WORD* KeyIds;      // request ids ...
    const DWORD* KeyEntries; // ... and the index of each one's tree (parallel)
    DWORD KeyCount;
    const BYTE* BytePool;
    DWORD BytePoolCount;
    const WORD* ShortPool; // signed or unsigned by the leaf's type
    DWORD ShortPoolCount;
    const LONG* LongPool;
    DWORD LongPoolCount;
    const BYTE* MatchPool; // match strings of CaseString labels, no terminators
    DWORD MatchPoolCount;
};

// The tables built into the library (generated from modeldb/tables/*.model).
extern const ModelTables ModelTableSet;

// The tables the engine walks: ModelTableSet unless a test swapped them.
const ModelTables* CurrentModelTables();

// Test hook: makes the engine walk `tables` (NULL restores the built-in set)
// and returns the previous set. Not for product code; not thread-safe.
const ModelTables* SwapModelTables(const ModelTables* tables);

// Finds id's tree in the key table and walks it; on DB_OK *out is the leaf.
LONG FindEntry(DWORD id, const DataBaseRequest* request, EntryDescriptor* out);

// Walks one entry (given by its two words) for id.
LONG ResolveEntry(DWORD id, const DataBaseRequest* request, DWORD typeOffset, DWORD tagCount,
                  EntryDescriptor* out);

// Produces the value of a leaf found by FindEntry, with the size-query
// protocol: DB_MORE_DATA and the need in *outSize when buffer is NULL or short.
LONG ReadEntry(const DataBaseRequest* request, DWORD size, void* buffer, DWORD* outSize,
               const EntryDescriptor* descriptor);

// The plain answer of an id: FindEntry, and on DB_OK ReadEntry of its leaf.
LONG FindAndReadEntry(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                      DWORD* outSize);

// The spooler's OpenPrinter and GetPrinterData with the wide forms' contract
// on every platform: where the wide form is a stub that fails with
// ERROR_CALL_NOT_IMPLEMENTED (Windows 98 and Me), the call goes through the
// ANSI form. OpenPrinterByName leaves *printer NULL when it fails.
BOOL OpenPrinterByName(LPCWSTR name, HANDLE* printer);
DWORD ReadPrinterValue(HANDLE printer, LPCWSTR name, DWORD* type, BYTE* data, DWORD size,
                       DWORD* needed);

// Reads the 32-bit printer-data value of valueCode (named by Root entry 8).
// Returns 1 and the value in *out, or 0 when it cannot be read.
LONG ReadPrinterDataDword(HANDLE printer, DWORD context, DWORD valueCode, LONG* out);

// Reads the REG_SZ printer-data value of valueCode into a new GlobalAlloc
// block that the caller releases (FreeBlock / GlobalFree). NULL on failure.
WCHAR* ReadPrinterDataString(HANDLE printer, DWORD context, DWORD valueCode);

// The user's country code (LOCALE_ICOUNTRY). DB_OK or DB_FAILED.
LONG GetUserCountryCode(DWORD selectorTag, LONG* out);

// 1 when a and b are both present and their first n bytes are equal.
LONG CompareBytes(const void* a, const void* b, DWORD n);

#endif // PRNMODEL_STORE_H
