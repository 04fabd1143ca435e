// The six database accessors. Each call is independent: it works on a local
// copy of the request and closes any printer it opened before returning.
#include <windows.h>
#include <winspool.h>

#include "driverdb.h"
#include "prnmodel.h"
#include "store.h"

typedef LONG (*QueryFunction)(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                              DWORD* outSize);

static LONG AccessDataBase(WORD firstId, WORD lastId, QueryFunction query, DWORD id,
                           const DataBaseRequest* request, DWORD size, void* buffer, DWORD* outSize)
{
    if (request == NULL)
        return DB_NO_REQUEST;
    WORD key = static_cast<WORD>(id & 0xFFFFu);
    if (key < firstId || key > lastId)
        return DB_NO_ANSWER;
    // Every answer reports its size through outSize; without it there is
    // nowhere to put it.
    if (outSize == NULL)
        return DB_FAILED;

    DataBaseRequest local = *request;
    BOOL opened = FALSE;
    if (local.Printer == NULL && local.PrinterName != NULL) {
        HANDLE printer = NULL;
        if (OpenPrinterByName(local.PrinterName, &printer)) {
            local.Printer = printer;
            opened = TRUE;
        }
    }
    LONG result = query(id, &local, size, buffer, outSize);
    if (opened)
        ClosePrinter(local.Printer);
    return result;
}

extern "C" {

LONG WINAPI XDB_AccessRootDataBase(DWORD id, const DataBaseRequest* request, DWORD size,
                                   void* buffer, DWORD* outSize)
{
    return AccessDataBase(0x0001, 0x0FFF, FindAndReadEntry, id, request, size, buffer, outSize);
}

LONG WINAPI XDB_AccessDrvDataBase(DWORD id, const DataBaseRequest* request, DWORD size,
                                  void* buffer, DWORD* outSize)
{
    return AccessDataBase(0x1001, 0x1FFF, QueryDriverDataBase, id, request, size, buffer, outSize);
}

LONG WINAPI XDB_AccessLMDataBase(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                                 DWORD* outSize)
{
    return AccessDataBase(0x2001, 0x2FFF, FindAndReadEntry, id, request, size, buffer, outSize);
}

LONG WINAPI XDB_AccessMntDataBase(DWORD id, const DataBaseRequest* request, DWORD size,
                                  void* buffer, DWORD* outSize)
{
    return AccessDataBase(0x3001, 0x3FFF, FindAndReadEntry, id, request, size, buffer, outSize);
}

LONG WINAPI XDB_AccessPADataBase(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                                 DWORD* outSize)
{
    return AccessDataBase(0x4001, 0x4FFF, FindAndReadEntry, id, request, size, buffer, outSize);
}

LONG WINAPI XDB_AccessSMDataBase(DWORD id, const DataBaseRequest* request, DWORD size, void* buffer,
                                 DWORD* outSize)
{
    return AccessDataBase(0x6001, 0x6FFF, FindAndReadEntry, id, request, size, buffer, outSize);
}

} // extern "C"
