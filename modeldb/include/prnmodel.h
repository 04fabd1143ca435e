/*
 * prnmodel: the model database of the printer, as the other components of
 * the printer driver see it. Every export is stateless and re-entrant.
 */
#ifndef PRNMODEL_H
#define PRNMODEL_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results shared by every operation of the library. */
#define DB_OK 0         /* answered: value in the buffer, its size in out size */
#define DB_NO_ANSWER 1  /* id outside the range, no leaf for it, or nothing built */
#define DB_MORE_DATA 2  /* buffer missing or short: needed size in out size */
#define DB_UNKNOWN_ID 3 /* the id has no key */
#define DB_FAILED (-1)  /* bad argument, bad table, failed allocation or locale */
#define DB_NO_STRINGS (-2)
#define DB_NO_SETTINGS (-3)
#define DB_NO_REQUEST (-4)

/*
 * The question's context. The library reads it and never writes to it or to
 * the arrays it points to. Setting n is Settings[n].
 */
typedef struct DataBaseRequest {
    HANDLE Printer;      /* open printer of the caller, or NULL */
    DWORD Context;       /* carried into derived requests, never interpreted */
    DWORD StringCount;   /* entries in Strings */
    LPCSTR* Strings;     /* 8-bit strings; a NULL entry counts as "" */
    DWORD SettingCount;  /* entries in Settings */
    LONG* Settings;      /* the driver's current settings */
    LPCWSTR PrinterName; /* opened for the call when Printer is NULL */
} DataBaseRequest;

/* One element of every list answer of the driver database (20 bytes). */
typedef struct ListItem {
    LONG Value;
    LONG NameId;
    LONG Detail1;
    LONG Detail2;
    LONG DefaultMark;
} ListItem;

/* What the printer's media report says (28 bytes). */
typedef struct MediaInfo {
    DWORD valid;
    DWORD mediaClass;
    DWORD flags;
    DWORD headerLow;
    DWORD headerHigh;
    DWORD reserved1; /* left as the caller put it */
    DWORD reserved2;
} MediaInfo;

/*
 * The six database accessors. id: only the low 16 bits count. size/buffer:
 * the caller's buffer in bytes (buffer NULL asks for the size). outSize:
 * receives the size of the answer (DB_OK) or the size needed (DB_MORE_DATA).
 */
LONG WINAPI XDB_AccessRootDataBase(DWORD id, const DataBaseRequest* request, DWORD size,
                                   void* buffer, DWORD* outSize);
LONG WINAPI XDB_AccessDrvDataBase(DWORD id, const DataBaseRequest* request, DWORD size,
                                  void* buffer, DWORD* outSize);
LONG WINAPI XDB_AccessLMDataBase(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                                 DWORD* outSize);
LONG WINAPI XDB_AccessMntDataBase(DWORD id, const DataBaseRequest* request, DWORD size,
                                  void* buffer, DWORD* outSize);
LONG WINAPI XDB_AccessPADataBase(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                                 DWORD* outSize);
LONG WINAPI XDB_AccessSMDataBase(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                                 DWORD* outSize);

/*
 * Decodes the printer's media report (at least 12 UTF-16 hex characters).
 * size: in, the bytes at info; out, 28. Returns 1 on success, 0 on failure.
 */
LONG WINAPI GetMediaInfo(LPCWSTR text, MediaInfo* info, DWORD* size);

#ifdef __cplusplus
}
#endif

#endif /* PRNMODEL_H */
